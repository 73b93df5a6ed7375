#!/usr/bin/python3
"""Server trees for the launcher benchmark, written below WORK:

  install/  version 1: 300 files, 150 MiB, every other one an LZMA container
  check/    version 2 with the same files, for an installation of version 1
  patch/    version 2 with 10 % of the files changed, and the patch set 1_2
  v1/       the files of version 1, as installed

Each tree has download/ (the server's files) and lists for the reference run:
fetch.txt (URLs below the base), containers.txt (downloaded containers to unpack)."""

import random
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "e2e"))
from harness import Record, bsdiff, version_info  # noqa: E402

FILES = 300
TOTAL = 150 * 1024 * 1024
CHANGED_EVERY = 10


def content(generator, size):
    """Bytes that compress about as well as programs and data files do."""
    words = [generator.randbytes(generator.randint(2, 12)) for _ in range(512)]
    parts, length = [], 0
    while length < size:
        part = (generator.randbytes(4096) if generator.random() < 0.4
                else b" ".join(generator.choice(words) for _ in range(400)))
        parts.append(part)
        length += len(part)
    return b"".join(parts)[:size]


def version_1():
    generator = random.Random(1)
    sizes = [generator.randint(1, 1000) for _ in range(FILES)]
    scale = TOTAL / sum(sizes)
    return [Record(f"d{i % 10}\\f{i:03}.bin", content(generator, max(1, int(s * scale))),
                   compressed=i % 2 == 0) for i, s in enumerate(sizes)]


def version_2(records):
    generator = random.Random(2)
    changed = []
    for i, record in enumerate(records):
        body = record.content
        if i % CHANGED_EVERY == 0:
            middle = len(body) // 2
            body = body[:middle] + generator.randbytes(2000) + body[middle + 1000:]
        changed.append(Record(record.name, body, record.compressed))
    return changed


def container(record):
    return subprocess.run(["xz", "--format=lzma", "-c"], input=record.content,
                          stdout=subprocess.PIPE, check=True).stdout


def write(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


def publish(tree, number, records, served, master):
    download = tree / "download"
    write(download / "masterversion", master.encode())
    write(download / f"{number}" / "versioninfo.vif", version_info(number, records))
    write(download / f"{number}" / "changes.txt", b"")
    for record in records:
        write(download / str(number) / record.name.replace("\\", "/"), served[record.name])


def write_lists(tree, urls, containers):
    (tree / "fetch.txt").write_text("".join(url + "\n" for url in urls))
    (tree / "containers.txt").write_text("".join(f"{i}\n" for i in containers))


def main(work):
    v1 = version_1()
    v2 = version_2(v1)
    with ThreadPoolExecutor(2) as pool:
        packed_1 = dict(zip([r.name for r in v1], pool.map(
            lambda r: container(r) if r.compressed else r.content, v1)))
        packed_2 = dict(zip([r.name for r in v2], pool.map(
            lambda r: container(r) if r.compressed else r.content, v2)))
    for record in v1:
        write(work / "v1" / record.name.replace("\\", "/"), record.content)

    names = [r.name.replace("\\", "/") for r in v1]
    publish(work / "install", 1, v1, packed_1, "version=1$startapp=app.exe")
    write_lists(work / "install", [f"1/{n}" for n in names],
                [i for i, r in enumerate(v1) if r.compressed])
    publish(work / "check", 2, v1, packed_1, "version=2$startapp=app.exe")

    patch = work / "patch"
    publish(patch, 2, v2, packed_2, "version=2$patches=1_2$startapp=app.exe")
    patches = {}
    for old, new in zip(v1, v2):
        if old.content != new.content:
            patches[old.name] = bsdiff(old.content, new.content, work / "bsdiff")
    write(patch / "download" / "1_2" / "versioninfo.vif",
          version_info(2, [Record(name, body) for name, body in patches.items()]))
    for name, body in patches.items():
        write(patch / "download" / "1_2" / name.replace("\\", "/"), body)
    (patch / "patched.txt").write_text("".join(n.replace("\\", "/") + "\n" for n in patches))
    write_lists(patch, [f"1_2/{n.replace(chr(92), '/')}" for n in patches], [])


if __name__ == "__main__":
    main(Path(sys.argv[1]))
