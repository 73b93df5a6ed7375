#!/usr/bin/python3
"""Server trees for the launcher benchmarks, written below WORK:

  launcher_release.py WORK small      300 files, 150 MiB, patches made by bsdiff
  launcher_release.py WORK large      2,000 files, 1 GiB, sizes from bytes to tens of MiB
  launcher_release.py WORK big        one file of 1 GiB, packed; its patch changes 1 %
  launcher_release.py WORK huge       one file of 3 GiB, packed; its patch changes a few
                                      places (launcher only, no reference lists)
  launcher_release.py WORK many N     N files of 4 KiB (check only)
  launcher_release.py WORK wide       8 files of 24 MiB, each packed with a 16 MiB
                                      dictionary as the publisher packs (install and
                                      check only)

Every other file (and the big one) is an LZMA container on the server. QM_BENCH_SCALE
(a fraction, default 1) shrinks the sizes and file counts of large, big and many for
trying the benchmarks out. The trees:

  install/  version 1, for a first installation
  check/    version 2 with the same files, for an installation of version 1
  patch/    version 2 with 10 % of the files changed (1 % of the big file's bytes),
            and the patch set 1_2
  v1/       the files of version 1, as installed

With QM_BENCH_SIGNED set, every tree is signed as the publisher signs one, with the
key of the benchmark's signed launcher. Each tree has download/ (the server's files)
and lists for the reference run:
fetch.txt (URLs below the base), containers.txt (downloaded containers to unpack),
and patch/ has patched.txt (the names patched, in fetch order). Patches other than
the small tree's are written directly in the BSDIFF40 format from the known change,
as bsdiff would find it, since bsdiff needs about 17 times a file's size in memory."""

import bz2
import hashlib
import os
import random
import struct
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "e2e"))
from harness import (Record, big_patch, bsdiff, pack_big_version_1,  # noqa: E402
                     version_info)
from signing import NEXT_QUARTER, ReleaseKey, expires_in, strong_digest_text  # noqa: E402

SCALE = float(os.environ.get("QM_BENCH_SCALE", "1"))
MIB = 1024 * 1024
CHANGED_EVERY = 10
# The fastest LZMA preset, so that writing a GiB of containers stays quick; the
# launcher's and the reference's unpacking read the same containers.
FAST_PRESET = "-0"


def content(generator, size):
    """Bytes that compress about as well as programs and data files do."""
    words = [generator.randbytes(generator.randint(2, 12)) for _ in range(512)]
    parts, length = [], 0
    while length < size:
        part = (generator.randbytes(4096) if generator.random() < 0.4
                else b" ".join(generator.choices(words, k=400)))
        parts.append(part)
        length += len(part)
    return b"".join(parts)[:size]


def write(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


def unix(name):
    return name.replace("\\", "/")


def vif_record(name, size, compressed, digest):
    encoded = name.encode("utf-8")
    return (struct.pack("<i", len(encoded)) + encoded
            + struct.pack("<IBB", size, int(compressed), 16) + digest)


def vif(number, records):
    return b"QM_VIF" + struct.pack("<Bii", 1, number, len(records)) + b"".join(records)


def write_lists(tree, urls, containers):
    (tree / "fetch.txt").write_text("".join(url + "\n" for url in urls))
    (tree / "containers.txt").write_text("".join(f"{i}\n" for i in containers))


def write_control(tree, number, vif_bytes, master):
    download = tree / "download"
    write(download / "masterversion", master.encode())
    write(download / str(number) / "versioninfo.vif", vif_bytes)
    write(download / str(number) / "changes.txt", b"")


def offset_bytes(value):
    """An 8-byte BSDIFF40 number: little-endian magnitude, sign in the top bit."""
    return struct.pack("<Q", abs(value) | (1 << 63 if value < 0 else 0))


def write_patch(path, old_size, new_size, steps, diff_of, extras):
    """A BSDIFF40 patch from control steps (diff count, extra count, old step); the
    diff block comes from diff_of(start, count) for the new file's spans, streamed."""
    control = b"".join(offset_bytes(a) + offset_bytes(b) + offset_bytes(c) for a, b, c in steps)
    diff = bz2.BZ2Compressor(9)
    diff_blocks = []
    position = 0
    for count, extra_count, _ in steps:
        for start in range(position, position + count, 64 * MIB):
            diff_blocks.append(diff.compress(diff_of(start, min(64 * MIB, position + count - start))))
        position += count + extra_count
    diff_blocks.append(diff.flush())
    blocks = [bz2.compress(control, 9), b"".join(diff_blocks), bz2.compress(extras, 9)]
    header = b"BSDIFF40" + offset_bytes(len(blocks[0])) + offset_bytes(len(blocks[1]))
    write(path, header + offset_bytes(new_size) + b"".join(blocks))


def packed(body):
    return subprocess.run(["xz", "--format=lzma", FAST_PRESET, "-c"], input=body,
                          stdout=subprocess.PIPE, check=True).stdout


def sha256(content):
    return hashlib.sha256(content).hexdigest()


def write_strong_digests(directory, records, served):
    """The SHA-256 record of a directory's {name: bytes} as installed and as served."""
    write(directory / "versioninfo.sha256",
          strong_digest_text({name: sha256(body) for name, body in records.items()},
                             {name: sha256(body) for name, body in served.items()}))


def contents(records):
    return {record.name: record.content for record in records}


def containers(records, bodies):
    return {record.name: bodies[record.name] for record in records if record.compressed}


def publish_files(tree, number, records, bodies):
    for record in records:
        write(tree / "download" / str(number) / unix(record.name), bodies[record.name])


def publish_versions(work, v1, served_1, master_patches=""):
    """install/ and check/ for version 1's records, and the installed files."""
    for record in v1:
        write(work / "v1" / unix(record.name), record.content)
    write_control(work / "install", 1, version_info(1, v1), "version=1$startapp=app.exe")
    publish_files(work / "install", 1, v1, served_1)
    write_strong_digests(work / "install" / "download" / "1", contents(v1),
                         containers(v1, served_1))
    write_lists(work / "install", [f"1/{unix(r.name)}" for r in v1],
                [i for i, r in enumerate(v1) if r.compressed])
    # The check needs no files on the server: every installed one is current.
    write_control(work / "check", 2, version_info(2, v1), "version=2$startapp=app.exe")
    write_strong_digests(work / "check" / "download" / "2", contents(v1), {})


def served_bodies(records):
    with ThreadPoolExecutor(2) as pool:
        return dict(zip([r.name for r in records],
                        pool.map(lambda r: packed(r.content) if r.compressed else r.content,
                                 records)))


def publish_patch_set(work, v2, patches, served_2=None):
    """patch/: version 2, and the patch set 1_2 of the patches {name: path}. Without
    the whole files of version 2 a failed patch fails the run, which the scenario's
    check of the result catches."""
    patch = work / "patch"
    write_control(patch, 2, version_info(2, v2), "version=2$patches=1_2$startapp=app.exe")
    if served_2:
        publish_files(patch, 2, v2, served_2)
    write_strong_digests(patch / "download" / "2", contents(v2),
                         containers(v2, served_2) if served_2 else {})
    write_strong_digests(patch / "download" / "1_2", {},
                         {name: path.read_bytes() for name, path in patches.items()})
    write(patch / "download" / "1_2" / "versioninfo.vif",
          version_info(2, [Record(name, path.read_bytes()) for name, path in patches.items()]))
    (patch / "patched.txt").write_text("".join(unix(n) + "\n" for n in patches))
    write_lists(patch, [f"1_2/{unix(n)}" for n in patches], [])


def small(work):
    generator = random.Random(1)
    sizes = [generator.randint(1, 1000) for _ in range(300)]
    scale = 150 * MIB / sum(sizes)
    v1 = [Record(f"d{i % 10}\\f{i:03}.bin", content(generator, max(1, int(s * scale))),
                 compressed=i % 2 == 0) for i, s in enumerate(sizes)]
    generator = random.Random(2)
    v2 = []
    for i, record in enumerate(v1):
        body = record.content
        if i % CHANGED_EVERY == 0:
            middle = len(body) // 2
            body = body[:middle] + generator.randbytes(2000) + body[middle + 1000:]
        v2.append(Record(record.name, body, record.compressed))
    publish_versions(work, v1, served_bodies(v1))
    patches = {}
    for old, new in zip(v1, v2):
        if old.content != new.content:
            path = work / "patch" / "download" / "1_2" / unix(old.name)
            write(path, bsdiff(old.content, new.content, work / "bsdiff"))
            patches[old.name] = path
    publish_patch_set(work, v2, patches, served_bodies(v2))


def large(work):
    """Sizes spread evenly on a log scale from 16 bytes to 48 MiB, then scaled to the total."""
    files = max(20, int(2000 * SCALE))
    generator = random.Random(3)
    sizes = [int(16 * (3 * MIB) ** generator.random()) for _ in range(files)]
    scale = 1024 * MIB * SCALE / sum(sizes)
    v1 = [Record(f"d{i % 20}\\sub{i % 7}\\f{i:04}.bin",
                 content(generator, max(1, int(s * scale))), compressed=i % 2 == 0)
          for i, s in enumerate(sizes)]
    publish_versions(work, v1, served_bodies(v1))
    # One file in ten gets 1000 bytes in its middle replaced by 2000 new ones.
    generator = random.Random(4)
    v2, patches = [], {}
    for i, record in enumerate(v1):
        body = record.content
        if i % CHANGED_EVERY == 0:
            middle = len(body) // 2
            inserted = generator.randbytes(2000)
            removed = min(1000, len(body) - middle)
            body = body[:middle] + inserted + body[middle + removed:]
            path = work / "patch" / "download" / "1_2" / unix(record.name)
            zeros = lambda start, count: bytes(count)  # noqa: E731
            write_patch(path, len(record.content), len(body),
                        [(middle, len(inserted), removed),
                         (len(body) - middle - len(inserted), 0, 0)], zeros, inserted)
            patches[record.name] = path
        v2.append(Record(record.name, body, record.compressed))
    publish_patch_set(work, v2, patches)


def big(work):
    """One file in 64 MiB pieces; the new version changes 1 % of the bytes, in runs of
    64 KiB spread evenly, so the patch's diff block is zeros but for those runs."""
    size = int(1024 * MIB * SCALE)
    name = "data\\big.bin"
    piece = 64 * MIB
    run = 64 * 1024
    every = 100 * run
    old_path, new_path = work / "v1" / unix(name), work / "v2" / unix(name)
    old_path.parent.mkdir(parents=True)
    new_path.parent.mkdir(parents=True)
    old_digest, new_digest = hashlib.md5(), hashlib.md5()
    generator = random.Random(5)
    with open(old_path, "wb") as old, open(new_path, "wb") as new:
        for start in range(0, size, piece):
            body = content(generator, min(piece, size - start))
            changed = bytearray(body)
            for offset in range(-start % every, len(body), every):
                changed[offset:offset + run] = generator.randbytes(len(changed[offset:offset + run]))
            old.write(body)
            new.write(changed)
            old_digest.update(body)
            new_digest.update(changed)
    packed_path = work / "install" / "download" / "1" / unix(name)
    packed_path.parent.mkdir(parents=True)
    with open(old_path, "rb") as source, open(packed_path, "wb") as target:
        subprocess.run(["xz", "--format=lzma", FAST_PRESET, "-c"], stdin=source, stdout=target,
                       check=True)
    v1_record = vif_record(name, size, True, old_digest.digest())
    write_control(work / "install", 1, vif(1, [v1_record]), "version=1$startapp=app.exe")
    write_lists(work / "install", [f"1/{unix(name)}"], [0])

    patch_path = work / "patch" / "download" / "1_2" / unix(name)
    write_patch(patch_path, size, size, [(size, 0, 0)], changed_difference(old_path, new_path),
                b"")
    patch = work / "patch"
    # The new version's file is served plain, for the launcher to fall back on when
    # the patch tool fails.
    write_control(patch, 2, vif(2, [vif_record(name, size, False, new_digest.digest())]),
                  "version=2$patches=1_2$startapp=app.exe")
    served_new = patch / "download" / "2" / unix(name)
    served_new.parent.mkdir(parents=True, exist_ok=True)
    new_path.rename(served_new)
    patch_bytes = patch_path.read_bytes()
    write(patch / "download" / "1_2" / "versioninfo.vif",
          vif(2, [vif_record(name, len(patch_bytes), False, hashlib.md5(patch_bytes).digest())]))
    (patch / "patched.txt").write_text(unix(name) + "\n")
    write_lists(patch, [f"1_2/{unix(name)}"], [])


def changed_difference(old_path, new_path):
    """diff_of for two files of the same size: the new bytes minus the old, byte by
    byte, computed only where the pieces differ."""
    def difference(start, count):
        with open(old_path, "rb") as old, open(new_path, "rb") as new:
            old.seek(start)
            new.seek(start)
            a, b = old.read(count), new.read(count)
        if a == b:
            return bytes(count)
        out = bytearray(count)
        index = 0
        while index < count:
            if a[index:index + 4096] != b[index:index + 4096]:
                out[index:index + 4096] = bytes(
                    (y - x) & 255 for x, y in zip(a[index:index + 4096], b[index:index + 4096]))
            index += 4096
        return bytes(out)
    return difference


def huge(work):
    """The end-to-end tests' file of 3 GiB: version 1 packed, version 2 only as its
    patch. QM_BENCH_SCALE does not apply."""
    name = "big.bin"
    container = work / "install" / "download" / "1" / name
    container.parent.mkdir(parents=True)
    first, second = pack_big_version_1(container)
    write_control(work / "install", 1, version_info(1, [first]), "version=1$startapp=app.exe")
    patch = work / "patch"
    write_control(patch, 2, version_info(2, [second]), "version=2$patches=1_2$startapp=app.exe")
    patch_bytes = big_patch()
    write(patch / "download" / "1_2" / name, patch_bytes)
    write(patch / "download" / "1_2" / "versioninfo.vif",
          version_info(2, [Record(name, patch_bytes)]))


def many(work, count):
    """Files of 4 KiB, a thousand to a folder: only the installed tree and the records."""
    count = max(10, int(count * SCALE))
    generator = random.Random(6)
    records = []
    for i in range(count):
        name = f"m{i // 1000:02}\\f{i:05}.bin"
        body = generator.randbytes(4096)
        write(work / "v1" / unix(name), body)
        records.append(vif_record(name, len(body), False, hashlib.md5(body).digest()))
    write(work / "install" / "download" / "1" / "versioninfo.vif", vif(1, records))
    write_control(work / "check", 2, vif(2, records), "version=2$startapp=app.exe")


def sign(work):
    """Each tree's master record given an expiry, and every record signed."""
    key = ReleaseKey.labelled("quillomark bench release key")
    for tree in (work / name / "download" for name in ("install", "check", "patch")):
        master = tree / "masterversion"
        master.write_bytes(master.read_bytes() + expires_in(NEXT_QUARTER).encode())
        key.sign_tree(tree, strong_digests=False)


def wide(work):
    generator = random.Random(8)
    v1 = [Record(f"wide\\f{i}.bin", content(generator, int(24 * MIB * SCALE)), compressed=True)
          for i in range(8)]
    with ThreadPoolExecutor(2) as pool:
        served = dict(zip([r.name for r in v1], pool.map(
            lambda r: subprocess.run(["xz", "--format=lzma", "--lzma1=preset=0,dict=16MiB", "-c"],
                                     input=r.content, stdout=subprocess.PIPE, check=True).stdout,
            v1)))
    publish_versions(work, v1, served)


def main():
    work, scenario = Path(sys.argv[1]), sys.argv[2]
    if scenario == "many":
        many(work, int(sys.argv[3]))
    else:
        {"small": small, "large": large, "big": big, "huge": huge, "wide": wide}[scenario](work)
    if os.environ.get("QM_BENCH_SIGNED"):
        sign(work)


if __name__ == "__main__":
    main()
