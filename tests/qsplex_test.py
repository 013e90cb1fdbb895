#!/usr/bin/env python3
"""End-to-end test of the qsplex tool, natively or the Win32 build under Wine.

Runs the built tool on scratch images and checks its output, exit status and
the images it leaves. Damage is planted by rewriting the plex image file
(read in the host stand-in's current format, written in its first one, which
it still loads: magic, version 1, id limit, block count, the blocks, FNV-1a
hash). The Win32 run (--wine) is short, since every command is
a Wine process, and reads an exported compound file back with olefile.
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

MAGIC = b"QSSPLEX\x1a"
FAILURES = []


class Image:
    """A plex image file as blocks of signed 32-bit words."""

    def __init__(self, path):
        data = open(path, "rb").read()
        assert data[:8] == MAGIC, "not a plex image"
        version, self.id_limit, count = struct.unpack_from("<3I", data, 8)
        self.blocks = {}
        if version == 1:
            pos = 20
            for _ in range(count):
                block, words = struct.unpack_from("<2I", data, pos)
                self.blocks[block] = list(struct.unpack_from(f"<{words}i", data, pos + 8))
                pos += 8 + 4 * words
            return
        # A 48-byte header, a table of (id, words, checksum), then the words.
        pos = 48 + 16 * count
        for k in range(count):
            block, words, _ = struct.unpack_from("<2IQ", data, 48 + 16 * k)
            self.blocks[block] = list(struct.unpack_from(f"<{words}i", data, pos))
            pos += 4 * words

    def save(self, path):
        out = MAGIC + struct.pack("<3I", 1, self.id_limit, len(self.blocks))
        for block in sorted(self.blocks):
            words = self.blocks[block]
            out += struct.pack(f"<2I{len(words)}i", block, len(words), *words)
        digest = 14695981039346656037
        for byte in out:
            digest = ((digest ^ byte) * 1099511628211) % 2**64
        open(path, "wb").write(out + struct.pack("<Q", digest))

    def entry(self, path):
        """The element entry (id) of a '/'-separated path."""
        node, entry = self.blocks[2][52], 0
        for name in path.strip("/").split("/"):
            entry = self.blocks[node][6]
            while entry:
                kind, child = self.blocks[entry][2:4]
                words = self.blocks[child]
                first = 9 if kind == 0 else 8
                raw = struct.pack(f"<{words[first - 1]}i", *words[first:])
                if raw.rstrip(b"\0").decode("cp1252") == name:
                    break
                entry = self.blocks[entry][0]
            assert entry, f"no element {path}"
            node = self.blocks[entry][3]
        return entry


class Tool:
    def __init__(self, qsplex, runner, workdir):
        self.command = ([runner] if runner else []) + [qsplex]
        self.workdir = workdir

    def run(self, *args, stdin=b"", status=0, out=None, err=None, raw=False):
        """Runs qsplex; records a failure unless status and output match."""
        # Output goes through files, not pipes: Wine's server can inherit a
        # pipe and hold it open for seconds after the program ended.
        with tempfile.TemporaryFile() as out_file, \
                tempfile.TemporaryFile() as err_file:
            done = subprocess.run(self.command + list(args), input=stdin,
                                  stdout=out_file, stderr=err_file,
                                  cwd=self.workdir)
            out_file.seek(0)
            err_file.seek(0)
            stdout, stderr = out_file.read(), err_file.read()
        if not raw:
            stdout = stdout.decode().replace("\r\n", "\n")
        stderr = stderr.decode(errors="replace").replace("\r\n", "\n")
        problems = []
        if done.returncode != status:
            problems.append(f"exit status {done.returncode}, expected {status}")
        if out is not None and (out != stdout if raw else out not in stdout):
            problems.append(f"stdout lacks {out!r}")
        if err is not None and err not in stderr:
            problems.append(f"stderr lacks {err!r}")
        if problems:
            FAILURES.append(f"qsplex {' '.join(args)}: {'; '.join(problems)}\n"
                            f"  stdout: {stdout[:600]!r}\n  stderr: {stderr[:600]!r}")
        return stdout


def plant(tool, source, target, change):
    """Copies image `source` to `target` with `change(image)` applied."""
    image = Image(os.path.join(tool.workdir, source))
    change(image)
    image.save(os.path.join(tool.workdir, target))


def native_tour(q, payload):
    img = "t.img"
    q.run("--version", out="qsplex ")
    q.run("--help", out="Commands:")
    q.run("put", "--help", out="usage: qsplex put [-p] IMAGE PATH [FILE]")
    q.run("init", img)
    q.run("init", img, status=1, err="exists already")
    q.run("mkdir", "-p", img, "/a/b")
    q.run("mkdir", "-p", img, "/a/b")
    q.run("put", img, "/a/b/s", stdin=b"hello")
    q.run("put", "-p", img, "/big/data", "payload.bin")
    q.run("cat", img, "/big/data", out=payload, raw=True)
    q.run("ls", img, out="big/\na/\n")
    q.run("ls", "-l", img, "/a/b", out=f"{'stream':7} {5:10} {'-':6} {'-':38} s\n")
    q.run("ls", "-R", img, out="/a/b:\ns\n")
    q.run("tree", img, out="`-- a/ (5 bytes)\n    `-- b/ (5 bytes)\n"
          "        `-- s (5 bytes)\n3 storages, 2 streams, 200005 bytes")
    q.run("stat", img, "/a/b/s", out="size:     5 bytes")
    q.run("setclass", img, "/a", "{01234567-89AB-CDEF-0123-456789ABCDEF}")
    q.run("stat", img, "/a", out="class id: {01234567-89AB-CDEF-0123-456789ABCDEF}")
    q.run("put", img, "/c0")
    q.run("mkdir", img, "/c1")
    q.run("setclass", img, "/c1", "01234567-89ab-cdef-0123-456789abcdef")
    q.run("ls", "-l", img, out=f"{'stream':7} {0:10} {'-':6} {'-':38} c0\n")
    q.run("cp", "-r", img, "/a", "/big")
    q.run("mv", img, "/big/a/b/s", "/moved")
    q.run("cat", img, "/moved", out=b"hello", raw=True)
    q.run("cat", img, "/a/b/s", out=b"hello", raw=True)
    q.run("put", img, "/moved", stdin=b"hi")
    q.run("cat", img, "/moved", out=b"hi", raw=True)
    q.run("rm", "-r", img, "/big/a")
    q.run("check", img, out="the tree is consistent")
    q.run("dump", img, "/a/b", out='ElementEntry')
    q.run("reset", img)
    q.run(img, out="root anchor: block 2, word 52")

    # Failures: each names the element and the reason, and changes nothing.
    before = open(os.path.join(q.workdir, img), "rb").read()
    long_name = "/" + "x" * 1100
    for args, status, err in [
        (("cat", img, "/nope"), 1,
         "qsplex: cat: /nope: no such element (STG_E_FILENOTFOUND)"),
        (("cat", img, "/a"), 1, "qsplex: cat: /a: is a storage, not a stream"),
        (("put", img, "/moved/x"), 1, "/moved: is a stream, not a storage"),
        (("mkdir", img, "/x/y"), 1, "/x: no such element"),
        (("mkdir", img, "/a"), 1, "STG_E_FILEALREADYEXISTS"),
        (("rm", img, "/a"), 1, "is a storage (-r removes it"),
        (("rm", img, "/"), 1, "the root cannot be removed"),
        (("cp", img, "/a", "/c"), 1, "is a storage (-r copies it"),
        (("mv", img, "/a", "/a/b/z"), 1, "/a/b/z: lies inside /a"),
        (("mv", img, "/a/b/s", "/moved"), 1, "STG_E_FILEALREADYEXISTS"),
        (("setclass", img, "/moved", "{01234567-89AB-CDEF-0123-456789ABCDEF}"),
         1, "only storages have a class id"),
        (("setclass", img, "/a", "nope"), 2, "not a class id"),
        (("put", img, long_name), 1, "STG_E_INVALIDNAME"),
        (("put", img, "/n", "missing.bin"), 1, "qsplex: put: missing.bin: "),
        (("ls", img, os.fsdecode(b"/\xff")), 1, "not valid UTF-8"),
        (("export", img, "out.cfb"), 1, "not available in this build"),
        (("import", img, "out.cfb"), 1, "not available in this build"),
        (("ls", "-x", img), 2, "unknown option -x"),
        (("cp", img, "/a"), 2, "usage: qsplex cp [-r] IMAGE FROM TO"),
        (("frobnicate", img), 2, "unknown command"),
    ]:
        q.run(*args, status=status, err=err)
    assert open(os.path.join(q.workdir, img), "rb").read() == before, \
        "a failed command changed the image"

    # A save that cannot happen leaves the image as it was.
    os.mkdir(os.path.join(q.workdir, img + ".tmp"))
    q.run("mkdir", img, "/new", status=1, err="cannot write the image")
    os.rmdir(os.path.join(q.workdir, img + ".tmp"))
    q.run("ls", img, "/new", status=1, err="no such element")

    # Open modes saved in the image grant and deny nothing to the next run.
    def read_only(image):
        node = image.blocks[image.entry("/a")][3]
        image.blocks[node][4] = 0x10
    plant(q, img, "ro.img", read_only)
    q.run("ls", "-l", "ro.img", out="0x10")
    q.run("put", "ro.img", "/a/new", stdin=b"x")

    # Damaged and foreign files are refused.
    open(os.path.join(q.workdir, "cut.img"), "wb").write(before[:-9])
    q.run("ls", "cut.img", status=1, err="not a plex image, or a damaged one")
    q.run("check", "missing.img", status=1, err="make one with 'qsplex init")

    # check finds planted damage; commands refuse trees that are unsafe.
    damages = [
        ("leak.img", lambda i: i.blocks.update({i.id_limit: [0] * 4}) or
         setattr(i, "id_limit", i.id_limit + 1), "allocated (4 words) but not", True),
        ("link.img", lambda i: i.blocks[i.entry("/a")].__setitem__(1, 12345),
         "previous word 12345", False),
        ("kind.img", lambda i: i.blocks[i.entry("/moved")].__setitem__(2, 7),
         "has kind 7", False),
        ("size.img", lambda i: i.blocks[i.blocks[i.entry("/a/b/s")][3]]
         .__setitem__(3, 99999), "size 99999 exceeds the byte capacity", False),
    ]
    for name, change, finding, walkable in damages:
        plant(q, img, name, change)
        q.run("check", name, status=1, out=finding)
        if walkable:
            q.run("ls", name, out="a/")
        else:
            q.run("ls", name, status=1, err="the storage tree is damaged")
            q.run("dump", name, out="StorageNode")
    q.run("clear", img)
    q.run("ls", img, out="")
    q.run("check", img, out="the tree is consistent (2 blocks)")


def wine_tour(q, payload):
    import olefile  # Debian's python3-olefile: an independent reader

    img = "w.img"
    q.run("--version", out="qsplex ")
    q.run("init", img)
    q.run("info", img, out='"Root", mode 0x42')
    q.run("mkdir", "-p", img, "/tour/dôcs")
    q.run("put", img, "/tour/dôcs/hello.txt", stdin=b"hello\nworld\n")
    q.run("put", img, "/tour/payload.bin", "payload.bin")
    q.run("ls", "-l", img, "/tour", out="stream      200000 -")
    q.run("tree", img, out="`-- tour/ (200012 bytes)\n    |-- payload.bin")
    q.run("stat", img, "/tour/dôcs/hello.txt", out="size:     12 bytes")
    q.run("cat", img, "/tour/dôcs/hello.txt", out=b"hello\nworld\n", raw=True)
    q.run("cat", img, "/tour/nope", status=1, err="STG_E_FILENOTFOUND")
    q.run("setclass", img, "/tour", "01234567-89ab-cdef-0123-456789abcdef")
    q.run("export", img, "/tour", "tour.cfb")
    cfb = olefile.OleFileIO(os.path.join(q.workdir, "tour.cfb"))
    if sorted(cfb.listdir()) != [["dôcs", "hello.txt"], ["payload.bin"]]:
        FAILURES.append(f"exported tree: {cfb.listdir()}")
    elif (cfb.openstream("dôcs/hello.txt").read() != b"hello\nworld\n" or
          cfb.openstream("payload.bin").read() != payload or
          cfb.root.clsid != "01234567-89AB-CDEF-0123-456789ABCDEF"):
        FAILURES.append("exported streams or class id differ")
    cfb.close()
    q.run("import", img, "tour.cfb", "/tour", status=1,
          err="an element of that name exists (STG_E_FILEALREADYEXISTS)")
    q.run("cp", "-r", img, "/tour", "/copy")
    q.run("rm", "-r", img, "/copy/dôcs")
    q.run("mv", img, "/copy", "/back")
    q.run("import", img, "tour.cfb", "/back", status=1, err="payload.bin")
    q.run("rm", img, "/back/payload.bin")
    q.run("import", img, "tour.cfb", "/back")
    q.run("dump", img, "/back/dôcs/hello.txt", out=" 68 65 6c 6c 6f 0a")
    q.run("reset", img)
    q.run("check", img, out="the tree is consistent")
    plant(q, img, "bad.img",
          lambda i: i.blocks[i.entry("/back")].__setitem__(1, 12345))
    q.run("check", "bad.img", status=1, out="previous word 12345")
    q.run("tree", "bad.img", status=1, err="the storage tree is damaged")
    q.run("clear", img)
    q.run("ls", img, "/tour", status=1, err="no such element")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qsplex", required=True)
    parser.add_argument("--runner", help="runs the program, e.g. under Wine")
    parser.add_argument("--wine", action="store_true")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as workdir:
        payload = bytes((i * 7 + i // 256) % 251 for i in range(200000))
        open(os.path.join(workdir, "payload.bin"), "wb").write(payload)
        tool = Tool(os.path.abspath(options.qsplex), options.runner, workdir)
        (wine_tour if options.wine else native_tour)(tool, payload)
    for failure in FAILURES:
        print(failure, file=sys.stderr)
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
