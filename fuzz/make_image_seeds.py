#!/usr/bin/env python3
"""Makes the seeds of the image fuzz targets in fuzz/corpus/image with qsplex.

    fuzz/make_image_seeds.py build/linux-asan/bin/qsplex

Images the tool makes: an empty one; a small tree; a stream of 300 KB, so
that loading maps a block; an image of more than a MiB changed in place
several times, so that it holds the heads and tables of its changes; then
cut copies of each, and the kept images of the first two formats. Each
seed is the image followed by the control byte 0 (every checksum
resealed; see fuzz/image_fuzz.h).
"""
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "fuzz", "corpus", "image")


def pattern(size, step):
    """Bytes that compress well but are not all alike."""
    return bytes((i * step) % 251 for i in range(size))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: fuzz/make_image_seeds.py QSPLEX")
    qsplex = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="qss-image-seeds-")
    try:
        def run(*args, data=None):
            subprocess.run([qsplex, "-q", *args], input=data, check=True,
                           stdout=subprocess.DEVNULL)

        def image(name, *steps):
            path = os.path.join(work, name + ".img")
            run("init", path)
            for step in steps:
                run(step[0], path, *step[1:-1], data=step[-1])
            with open(path, "rb") as f:
                return f.read()

        images = {
            "empty": image("empty"),
            "small": image(
                "small",
                ("mkdir", "-p", "/docs/old", None),
                ("put", "/docs/a.txt", b"hello, plex\n"),
                ("put", "/docs/old/b.bin", pattern(100, 7)),
                ("put", "/c", b""),
                ("setclass", "/docs", "{0C7E0F9B-7C1B-4E2A-9A6D-1C2B3A4D5E6F}",
                 None),
                ("rm", "/docs/old/b.bin", None)),
            "mapped": image("mapped", ("put", "/big.bin", pattern(300_000, 13))),
            "changed": image(
                "changed",
                ("put", "/base.bin", pattern(1_100_000, 31)),
                ("put", "/one.txt", b"first change\n"),
                ("mkdir", "/d", None),
                ("put", "/d/two.txt", b"second change\n"),
                ("rm", "/one.txt", None),
                ("put", "/d/two.txt", b"fourth change, longer\n")),
        }
        changed = images["changed"]
        base_end = int.from_bytes(changed[1536 + 40:1536 + 48], "little")
        if base_end >= len(changed):
            sys.exit("the changed image was not changed in place")
        for name in ("v1_blocks", "v2_blocks"):
            with open(os.path.join(ROOT, "standins", "testdata", name + ".img"),
                      "rb") as f:
                images[name] = f.read()

        shutil.rmtree(OUT, ignore_errors=True)
        os.makedirs(OUT)
        seeds = {}
        for name, data in images.items():
            seeds[name] = data
            seeds[name + "-cut-half"] = data[:len(data) // 2]
            seeds[name + "-cut-end"] = data[:max(0, len(data) - 100)]
        # Cut inside the first change: the image as saved whole.
        seeds["changed-cut-first-change"] = changed[:base_end + 200]
        for name, data in sorted(seeds.items()):
            with open(os.path.join(OUT, name), "wb") as f:
                f.write(data + b"\0")
        print("%d seeds in %s" % (len(seeds), os.path.relpath(OUT, ROOT)))
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
