#!/usr/bin/python3
"""Writes the fuzz targets' seed corpora into tests/fuzz/corpus/<target>/ from the
files the project's own tests use: the end-to-end tests' version records, master
records, release notes and names, xz's containers and Debian's bsdiff patches of
their contents, the server answers of the transfer tests, and two small programs
built with mingw-w64 that carry a launcher's kinds of resources. Run it again after
changing a target's input layout; the files are committed."""

import bz2
import hashlib
import shutil
import struct
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "e2e"))
from harness import Record, bsdiff, lzma_container, version_info  # noqa: E402
from signing import ReleaseKey  # noqa: E402

CORPUS = HERE / "corpus"
NOTES = "Ülevaade: äädikas ja õunad\r\n".encode("utf-8")
WORDS = "õun\r\nöö\r\n".encode("utf-8")


def write(target, seeds):
    folder = CORPUS / target
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    for name, content in seeds.items():
        (folder / name).write_bytes(content)


def version_info_seeds():
    records = [Record("app.exe", b"MZ" + bytes(range(64)), compressed=True),
               Record("data\\sõnad.txt", WORDS * 3),
               Record("changes.txt", NOTES)]
    return {"empty-version": version_info(7, []),
            "three-files": version_info(12, records),
            "patch-set": version_info(12, [Record("app.exe", b"BSDIFF40" + bytes(24))]),
            "count-too-large": version_info(3, records[:1])[:-10],
            "format-0": b"QM_VIF\x00" + struct.pack("<ii", 3, 0)}


def master_seeds():
    return {"plain": b"version=3$startapp=app.exe",
            "patches": b"version=12$startapp=app.exe$patches=10_12,11_12$force_releasenotes=1",
            "blanks": b"version = 4 \r\n$ patches=\n$startapp=..\\outside.exe$",
            "repeated": b"version=3$version=4$a=b=c$no pair$"}


def signature_seeds():
    """A master record signed in itself, then a public key, a detached signature and
    the bytes it signs."""
    key = ReleaseKey.labelled("quillomark e2e release key")
    record = b"version=2$startapp=app.exe$expires=2030-01-01T00:00:00Z"
    signed = record + b"$sig=" + key.signature(record).hex().encode()

    def seed(master, signature, content):
        return master + b"\n" + bytes.fromhex(key.public_hex) + signature + content

    return {"signed": seed(signed, key.signature(record), record),
            "changed": seed(signed.replace(b"version=2", b"version=3"), key.signature(record),
                            record + b"$"),
            "short-signature": seed(signed[:-40] + b"$expires=2030-02-30T00:00:00Z",
                                    key.signature(record)[:40], b""),
            "leap-day": seed(b"version=2$expires=2024-02-29T23:59:59Z", bytes(64), record)}


def strong_digests_seeds():
    digest = hashlib.sha256(b"app").hexdigest()
    header = b"quillomark sha256 1\n"
    return {"version": header + f"file {digest} app.exe\nfile {digest} data\\sõnad.txt\n"
                                f"served {digest} app.exe\n".encode("utf-8"),
            "patch-set": header + f"served {digest} data.bin\n".encode(),
            "repeated": header + f"file {digest} a\nfile {digest} a\n".encode(),
            "unended": header + f"file {digest} a".encode()}


def text_table_seeds():
    texts = HERE.parents[1] / "resources" / "texts"
    estonian = (texts / "et.txt").read_bytes()
    return {"estonian": estonian, "english": (texts / "en.txt").read_bytes(),
            "placeholder-changed": estonian.replace(b"Laen alla: %s", b"Laen alla: %d"),
            "crlf": estonian.replace(b"\n", b"\r\n")}


def name_seeds():
    names = ["app.exe", "data\\sõnad.txt", "a/b/c.txt", "..\\outside.txt", "sub/../x",
             "C:\\Windows\\x.exe", "file.txt:stream", "\\\\host\\share\\x", "PRN .txt",
             "... ", "100% #1?.txt"]
    return {f"name-{index}": name.encode("utf-8") for index, name in enumerate(names)}


def text_seeds():
    return {"notes-utf8": NOTES * 2,
            "notes-cp1257": "Tõõtäiendus ülevaade, šokolaad".encode("cp1257"),
            "undefined-bytes": b"\x80 \x81 \xff",
            "surrogate": b"a\xed\xa0\x80b",
            "truncated": "õun".encode("utf-8")[:-1]}


def stated_size(container, size):
    """xz leaves the size unstated; the launcher's own containers state it."""
    return container[:5] + struct.pack("<Q", size) + container[13:]


def lzma_seeds():
    text = WORDS * 40
    return {"text-xz": lzma_container(text),
            "text-stated": stated_size(lzma_container(text), len(text)),
            "empty-xz": lzma_container(b""),
            "binary-xz": lzma_container(bytes(range(256)) * 4)}


def patch_blocks(patch):
    """The patch with its three bzip2 blocks unpacked, as the plain-block mode reads it."""
    control_length, diff_length, new_size = struct.unpack("<qqq", patch[8:32])
    control = patch[32:32 + control_length]
    diff = patch[32 + control_length:32 + control_length + diff_length]
    extra = patch[32 + control_length + diff_length:]
    blocks = [bz2.decompress(block) for block in (control, diff, extra)]
    header = b"BSDIFF40" + struct.pack("<qqq", len(blocks[0]), len(blocks[1]), new_size)
    return header + b"".join(blocks)


def patch_seeds(scratch):
    pairs = {"text": (NOTES * 20, NOTES * 12 + WORDS * 10 + NOTES * 8),
             "binary": (bytes(range(256)) * 4, bytes(range(256)) * 2 + b"new" + bytes(range(200))),
             "grown": (b"x", WORDS * 5)}
    seeds = {}
    for name, (old, new) in pairs.items():
        patch = bsdiff(old, new, scratch / name)
        prefix = struct.pack("<H", len(old)) + old
        seeds[f"{name}-bzip2"] = b"\x00" + prefix + patch
        seeds[f"{name}-plain"] = b"\x01" + prefix + patch_blocks(patch)
    return seeds


def writes(known_length, *pairs):
    return struct.pack("<q", known_length) + b"".join(struct.pack("<qi", *pair) for pair in pairs)


def reget_seeds():
    return {"resume": writes(4096, (4064, 1024), (5088, 1024), (6112, 100)),
            "fresh": writes(0, (0, 1024), (1024, 1024), (2048, 0)),
            "retry-from-start": writes(0, (0, 1024), (1024, 512), (0, 1024), (1024, 1024)),
            "server-ignores-range": writes(8192, (0, 1024), (8000, 1024)),
            "past-4-gib": writes(5 << 30, ((5 << 30) - 32, 65536), ((5 << 30) + 65504, 65536))}


def response(offset, *lines):
    return struct.pack("<q", offset) + "\n".join(lines).encode("latin-1")


def http_seeds():
    return {"ok": response(0, "200", "5088", "", "Keep-Alive", ""),
            "partial": response(4064, "206", "1024", "bytes 4064-5087/5088", "close", ""),
            "partial-no-length": response(1, "206", "0", "bytes 1-0/0", "", ""),
            "partial-past-4-gib": response(5 << 30, "206", "1024",
                                           f"bytes {5 << 30}-{(5 << 30) + 1023}/{(5 << 30) + 1024}",
                                           "close", ""),
            "range-ignored": response(4064, "200", "5088", "", "", ""),
            "redirect": response(0, "302", "", "", "", ""),
            "not-found": response(0, "404", "12", "", "", ""),
            "disposition": response(0, "200", "", "", "keep-alive",
                                    'attachment; FILENAME="uus.exe"'),
            "disposition-open": response(0, "200", "", "", "", 'attachment; filename="uus.exe')}


LAUNCHER_RESOURCES = """#include <windows.h>
QUILLOMARK_CONFIG RCDATA "config.txt"
132 PATCHER "config.txt"
1 ICON "one.ico"
1 VERSIONINFO
FILEVERSION 1,0,0,0
PRODUCTVERSION 1,0,0,0
FILEOS VOS_NT_WINDOWS32
FILETYPE VFT_APP
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "042504B0"
    BEGIN
      VALUE "FileDescription", "Quillomark launcher"
      VALUE "ProductName", "Quillomark"
      VALUE "FileVersion", "1.0.0.0"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x0425, 1200
  END
END
"""


def one_pixel_icon():
    """An .ico of one 32-bit image of 1 by 1 pixel."""
    image = struct.pack("<IiiHHIIiiII", 40, 1, 2, 1, 32, 0, 8, 0, 0, 0, 0) + bytes(8)
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 1, 1, 0, 0, 1, 32,
                                                      len(image), 22) + image


def launcher_resources_seeds(scratch):
    """Two small programs with a launcher's kinds of resources, built with mingw-w64:
    one whose resources are its last section, one with relocations after them."""
    scratch.mkdir(parents=True, exist_ok=True)
    (scratch / "config.txt").write_bytes(
        b"quillomark-config 1\nbase_url=http://127.0.0.1:8480/download/\npublic_key=\n")
    (scratch / "one.ico").write_bytes(one_pixel_icon())
    (scratch / "seed.rc").write_text(LAUNCHER_RESOURCES)
    (scratch / "last.c").write_text("int start(void) { return 0; }\n")
    (scratch / "relocated.c").write_text("int x; int *p = &x; int start(void) { return *p; }\n")
    subprocess.run(["i686-w64-mingw32-windres", "seed.rc", "-O", "coff", "-o", "seed.res"],
                   cwd=scratch, check=True)
    seeds = {}
    for name in ("last", "relocated"):
        subprocess.run(["i686-w64-mingw32-gcc", "-nostdlib", "-e", "_start", "-s",
                        "-Wl,--dynamicbase", f"{name}.c", "seed.res", "-o", f"{name}.exe"],
                       cwd=scratch, check=True)
        seeds[name] = (scratch / f"{name}.exe").read_bytes()
    return seeds


def main():
    scratch = Path("/tmp/quillomark-fuzz-seeds")
    shutil.rmtree(scratch, ignore_errors=True)
    write("version_info", version_info_seeds())
    write("master_version", master_seeds())
    write("name_rules", name_seeds())
    write("signature", signature_seeds())
    write("strong_digests", strong_digests_seeds())
    write("text_decoding", text_seeds())
    write("text_table", text_table_seeds())
    write("lzma_container", lzma_seeds())
    write("patch", patch_seeds(scratch))
    write("reget_rule", reget_seeds())
    write("http_response", http_seeds())
    write("launcher_resources", launcher_resources_seeds(scratch / "launcher"))
    shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
