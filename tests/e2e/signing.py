"""Release keys for the signed-release tests: Ed25519 through Debian's libsodium,
the library the launcher and the publisher use. A key comes from a label (so that
a launcher's built-in key is known in advance) or from a publisher's key file."""

import ctypes
import hashlib
import re
from datetime import datetime, timedelta, timezone

_sodium = ctypes.CDLL("libsodium.so.23")

# The files of a version or patch set that are signed in "<file>.sig".
CONTROL_FILES = ("versioninfo.vif", "changes.txt")
MASTER_SIGNATURE = re.compile(rb"\$sig=[0-9a-f]{128}\Z")


class ReleaseKey:
    def __init__(self, seed):
        public = ctypes.create_string_buffer(32)
        self._secret = ctypes.create_string_buffer(64)
        assert _sodium.crypto_sign_seed_keypair(public, self._secret, seed) == 0
        self.public_hex = public.raw.hex()

    @classmethod
    def labelled(cls, label):
        return cls(hashlib.sha256(label.encode("utf-8")).digest())

    @classmethod
    def from_key_file(cls, path):
        """The key of quillomark-publish keygen: a header line, then the seed in hex."""
        return cls(bytes.fromhex(path.read_text().splitlines()[1]))

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

    def sign_tree(self, tree):
        """Signs the master record and writes <file>.sig beside every version's and
        patch set's control files."""
        if (tree / "masterversion").exists():
            self.sign_master(tree)
        for path in [path for name in CONTROL_FILES for path in tree.glob(f"*/{name}")]:
            path.with_name(path.name + ".sig").write_bytes(self.signature(path.read_bytes()))


def unsigned_master(text):
    """The master record without its signature piece."""
    return MASTER_SIGNATURE.sub(b"", text)


def master_signed_by(public_hex, text):
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
