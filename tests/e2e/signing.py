"""Release keys for the signed-release tests: Ed25519 through Debian's libsodium,
the library the launcher and the publisher use. A key comes from a label (so that
a launcher's built-in key is known in advance) or from a publisher's key file."""

import ctypes
import hashlib
import re
import sys
from datetime import datetime, timedelta, timezone
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parents[1] / "publish"))

from publish_tree import lzma_decode, read_vif, tree_path  # noqa: E402

_sodium = ctypes.CDLL("libsodium.so.23")

# The files of a version or patch set that are signed in "<file>.sig".
CONTROL_FILES = ("versioninfo.vif", "changes.txt", "versioninfo.sha256")
CONTAINER_FLAG = 1
MASTER_SIGNATURE = re.compile(rb"\$sig=[0-9a-f]{128}\Z")
# The piece naming the keys and the chain of signature pieces, one per key.
MASTER_SIGNATURES = re.compile(rb"(\$keys=[0-9a-f,]*)?(\$sig[1-3]?=[0-9a-f]{128})+\Z")


class ReleaseKey:
    def __init__(self, seed):
        public = ctypes.create_string_buffer(32)
        self._secret = ctypes.create_string_buffer(64)
        assert _sodium.crypto_sign_seed_keypair(public, self._secret, seed) == 0
        self.public_hex = public.raw.hex()
        self._seed = seed

    @classmethod
    def labelled(cls, label):
        return cls(hashlib.sha256(label.encode("utf-8")).digest())

    @classmethod
    def from_key_file(cls, path):
        """The key of quillomark-publish keygen: a header line, then the seed in hex."""
        return cls(bytes.fromhex(path.read_text().splitlines()[1]))

    def write_key_file(self, path):
        """The key as quillomark-publish keygen writes it."""
        path.write_text(f"quillomark-publish ed25519 secret key\n{self._seed.hex()}\n")
        return path

    def signature(self, content):
        signature = ctypes.create_string_buffer(64)
        assert _sodium.crypto_sign_detached(signature, None, content,
                                            ctypes.c_ulonglong(len(content)), self._secret) == 0
        return signature.raw

    def sign_master(self, tree):
        """Signs the master record in itself: "$sig=" and the signature in hex of
        everything before, in place of any signature piece it had."""
        path = tree / "masterversion"
        text = unsigned_master(path.read_bytes())
        path.write_bytes(text + b"$sig=" + self.signature(text).hex().encode())

    def sign_tree(self, tree, strong_digests=True):
        """Signs the master record, writes each directory's SHA-256 record (unless
        told to keep them) and <file>.sig beside every version's and patch set's
        control files."""
        product = master_product(tree)
        if (tree / "masterversion").exists():
            self.sign_master(tree)
        for record in tree.glob("*/versioninfo.vif") if strong_digests else []:
            record.with_name("versioninfo.sha256").write_bytes(
                strong_digests_of(record.parent, product))
        for path in [path for name in CONTROL_FILES for path in tree.glob(f"*/{name}")]:
            path.with_name(path.name + ".sig").write_bytes(self.signature(path.read_bytes()))


def strong_digest_text(files, served, product=None, version=None):
    """The SHA-256 record of the digests {name: hex} of files as installed and as
    served, naming the product and version it belongs to where they are given."""
    lines = [f"file {hashlib.sha256(value.encode()).hexdigest()} *{word} {value}\n"
             for word, value in (("product", product), ("version", version)) if value]
    lines += [f"{kind} {digests[name]} {name}\n"
             for kind, digests in (("file", files), ("served", served))
             for name in sorted(digests, key=lambda name: name.encode())]
    return ("quillomark sha256 1\n" + "".join(lines)).encode()


def strong_digests_of(directory, product=None, version=None):
    """The SHA-256 record of a version or patch set directory ("2", or "1_2" from 1
    to 2): each file as installed and each container or patch as served, made for
    the product and for the directory's version unless another is given."""
    _, records = read_vif(directory / "versioninfo.vif")
    files, served = {}, {}
    for record in records:
        content = tree_path(directory, ".", record.name).read_bytes()
        if "_" in directory.name or record.flags & CONTAINER_FLAG:
            served[record.name] = hashlib.sha256(content).hexdigest()
        if "_" not in directory.name:
            unpacked = lzma_decode(content) if record.flags & CONTAINER_FLAG else content
            files[record.name] = hashlib.sha256(unpacked).hexdigest()
    return strong_digest_text(files, served, product, version or directory.name.replace("_", " "))


def master_product(tree):
    """The product that the tree's master record names, if any."""
    path = tree / "masterversion"
    found = re.search(rb"\$product=([^$]*)", path.read_bytes()) if path.exists() else None
    return found[1].decode() if found else None


def unsigned_master(text):
    """The master record without its signature pieces."""
    return MASTER_SIGNATURES.sub(b"", text)


def master_signed_by(public_hex, text):
    """The rule of launchers that hold one key: the last piece signs all before it."""
    found = MASTER_SIGNATURE.search(text)
    return bool(found) and signature_matches(public_hex, text[:found.start()],
                                             bytes.fromhex(found.group()[5:].decode()))


def signature_matches(public_hex, content, signature):
    return len(signature) == 64 and _sodium.crypto_sign_verify_detached(
        signature, content, ctypes.c_ulonglong(len(content)), bytes.fromhex(public_hex)) == 0


def expires_in(delta):
    """The master record's expires piece for now + delta."""
    moment = datetime.now(timezone.utc) + delta
    return "$expires=" + moment.strftime("%Y-%m-%dT%H:%M:%SZ")


NEXT_QUARTER = timedelta(days=90)
