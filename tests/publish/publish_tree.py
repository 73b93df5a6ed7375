"""Helpers of the publisher tests: running quillomark-publish, reading the files it
writes with an independent reader, and building release directories."""

import hashlib
import os
import struct
import subprocess
from dataclasses import dataclass
from pathlib import Path

PUBLISH = os.environ.get("QM_PUBLISH", "")
# Set when PUBLISH is the Windows publisher under Wine: the Linux one, to compare with.
LINUX_PUBLISH = os.environ.get("QM_PUBLISH_LINUX", "")


def publish(*arguments, check_status=0, program=PUBLISH):
    """Runs the publisher; returns (status, stdout, stderr) after checking the status."""
    result = subprocess.run([program, *map(str, arguments)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    assert result.returncode == check_status, (result.returncode, result.stdout, result.stderr)
    return result


def md5(content):
    return hashlib.md5(content).digest()


@dataclass
class Record:
    name: str
    size: int
    flags: int
    digest: bytes

    def encoded(self):
        name = self.name.encode("utf-8")
        return (struct.pack("<i", len(name)) + name + struct.pack("<IBB", self.size, self.flags, 16)
                + self.digest)


def read_vif(path):
    """(version, records) of a versioninfo.vif."""
    data = Path(path).read_bytes()
    assert data[:7] == b"QM_VIF\x01", data[:7]
    version, count = struct.unpack_from("<ii", data, 7)
    position, records = 15, []
    for _ in range(count):
        (length,) = struct.unpack_from("<i", data, position)
        name = data[position + 4:position + 4 + length].decode("utf-8")
        size, flags, digest_length = struct.unpack_from("<IBB", data, position + 4 + length)
        assert digest_length == 16
        start = position + 4 + length + 6
        records.append(Record(name, size, flags, data[start:start + 16]))
        position = start + 16
    assert position == len(data)
    return version, records


def write_vif(path, version, records):
    Path(path).write_bytes(b"QM_VIF" + struct.pack("<Bii", 1, version, len(records))
                           + b"".join(record.encoded() for record in records))


def tree_path(tree, directory, name):
    """A record name below a tree directory."""
    return Path(tree) / directory / name.replace("\\", "/")


def source_files(directory):
    """Record name -> content of every file below a release directory."""
    root = Path(directory)
    return {str(path.relative_to(root)).replace("/", "\\"): path.read_bytes()
            for path in sorted(root.rglob("*")) if path.is_file()}


def lzma_decode(content):
    return subprocess.run(["xz", "--format=lzma", "-d", "-c"], input=content,
                          stdout=subprocess.PIPE, check=True).stdout


def bspatch(old, patch, folder):
    """Debian's bspatch applied to bytes."""
    (folder / "old").write_bytes(old)
    (folder / "patch").write_bytes(patch)
    subprocess.run(["bspatch", folder / "old", folder / "new", folder / "patch"], check=True)
    return (folder / "new").read_bytes()


def make_release(directory, files):
    """A release directory from name -> content (names with "/")."""
    for name, content in files.items():
        path = Path(directory) / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)
    return Path(directory)
