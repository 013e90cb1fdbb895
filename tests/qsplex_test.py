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
import fcntl
import glob
import json
import os
import pty
import random
import re
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

import qsplex_reports  # du and report, beside this file

MAGIC = b"QSSPLEX\x1a"
FAILURES = []


# Header slots (current format): 56 bytes of fields, then their XXH3-64
# seeded with the slot's number (0 and 1 at bytes 512 and 1024).
SLOT_FIELDS = "<QIIQQQQ"  # generation, id limit, count, words, table,
SLOT_NAMES = ["generation", "id_limit", "count", "words", "table",
              "table_checksum", "end"]  # the table's checksum, the end
XXH_SECRET = bytes.fromhex(
    "b8fe6c3923a44bbe7c01812cf721ad1cded46de9839097db7240a4a4b7b3671f"
    "cb79e64eccc0e578825ad07dccff7221b8084674f743248ee03590e6813a264c")
U64 = (1 << 64) - 1


def slot_checksum(data, seed):
    """XXH3-64 of a slot's 56 bytes of fields with `seed` (the 33-to-64
    byte case of XXH3, which is all a slot needs)."""
    def mix16(at, secret_at):
        lo, hi = struct.unpack_from("<QQ", data, at)
        s_lo, s_hi = struct.unpack_from("<QQ", XXH_SECRET, secret_at)
        product = (lo ^ ((s_lo + seed) & U64)) * (hi ^ ((s_hi - seed) & U64))
        return (product & U64) ^ (product >> 64)
    acc = (len(data) * 0x9E3779B185EBCA87) & U64
    for at, secret_at in ((0, 0), (len(data) - 16, 16), (16, 32),
                          (len(data) - 32, 48)):
        acc = (acc + mix16(at, secret_at)) & U64
    acc ^= acc >> 37
    acc = (acc * 0x165667919E3779F9) & U64
    return acc ^ (acc >> 32)


def newest_slot(path):
    """(offset, number, fields) of the header slot with the higher
    generation."""
    data = open(path, "rb").read(1088)
    at = max((512, 1024), key=lambda a: struct.unpack_from("<Q", data, a))
    return at, (at - 512) // 512, dict(zip(SLOT_NAMES, struct.unpack_from(
        SLOT_FIELDS, data, at)))


def craft_slot(path, **changes):
    """Rewrites fields of the newest header slot, its checksum holding."""
    at, number, fields = newest_slot(path)
    fields.update(changes)
    body = struct.pack(SLOT_FIELDS, *(fields[n] for n in SLOT_NAMES)) + bytes(8)
    with open(path, "r+b") as f:
        f.seek(at)
        f.write(body + struct.pack("<Q", slot_checksum(body, number)))


def cp1252(raw):
    """Name bytes as the library's interfaces give them: code page 1252,
    the five bytes it leaves undefined as the characters of their value."""
    return "".join(bytes([b]).decode("cp1252", errors="ignore") or chr(b)
                   for b in raw)


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
        # Two header slots; the one with the higher generation names the
        # block table, whose entries say where each block's words are.
        assert version == 3, f"image format {version}"
        slot = max((512, 1024), key=lambda at: struct.unpack_from("<Q", data, at))
        _, self.id_limit, count, _, table = struct.unpack_from("<QIIQQ", data, slot)
        for k in range(count):
            block, words, offset, _ = struct.unpack_from("<2I2Q", data, table + 24 * k)
            self.blocks[block] = list(struct.unpack_from(f"<{words}i", data, offset))

    def save(self, path):
        out = MAGIC + struct.pack("<3I", 1, self.id_limit, len(self.blocks))
        for block in sorted(self.blocks):
            words = self.blocks[block]
            out += struct.pack(f"<2I{len(words)}i", block, len(words), *words)
        digest = 14695981039346656037
        for byte in out:
            digest = ((digest ^ byte) * 1099511628211) % 2**64
        open(path, "wb").write(out + struct.pack("<Q", digest))

    def unname(self, path):
        """Empties the name of the element at `path`, as a caller's
        CreateStream or CreateStorage with an empty name leaves it."""
        entry = self.blocks[self.entry(path)]
        node = entry[3]
        header = 9 if entry[2] == 0 else 8
        self.blocks[node] = self.blocks[node][:header - 1] + [0]

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
                if cp1252(raw.rstrip(b"\0")) == name:
                    break
                entry = self.blocks[entry][0]
            assert entry, f"no element {path}"
            node = self.blocks[entry][3]
        return entry


class Tool:
    def __init__(self, qsplex, runner, workdir):
        self.command = ([runner] if runner else []) + [qsplex]
        self.workdir = workdir

    def path(self, name):
        return os.path.join(self.workdir, name)

    def start(self, *args, stdin=subprocess.DEVNULL, **options):
        """Starts qsplex; finish() collects it. Output goes through files,
        not pipes: Wine's server can inherit a pipe and hold it open for
        seconds after the program ended."""
        out_file, err_file = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        process = subprocess.Popen(self.command + list(args), stdin=stdin,
                                   stdout=out_file, stderr=err_file,
                                   cwd=self.workdir, **options)
        process.files = (out_file, err_file)
        return process

    @staticmethod
    def finish(process):
        """(status, stdout, stderr) of a started run."""
        status = process.wait()
        outputs = []
        for output in process.files:
            output.seek(0)
            outputs.append(output.read())
            output.close()
        return status, outputs[0], outputs[1]

    def run(self, *args, stdin=b"", status=0, out=None, err=None, raw=False,
            stdin_file=None, **options):
        """Runs qsplex; records a failure unless status and output match."""
        process = self.start(*args, stdin=stdin_file or subprocess.PIPE,
                             **options)
        if stdin_file is None:
            try:
                process.stdin.write(stdin)
                process.stdin.close()
            except BrokenPipeError:
                pass
        done_status, stdout, stderr = self.finish(process)
        if not raw:
            stdout = stdout.decode().replace("\r\n", "\n")
        stderr = stderr.decode(errors="replace").replace("\r\n", "\n")
        problems = []
        self.status = done_status
        if status is not None and done_status != status:
            problems.append(f"exit status {done_status}, expected {status}")
        if out is not None and (out != stdout if raw else out not in stdout):
            problems.append(f"stdout lacks {out!r:.300}")
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
    q.run("put", "--help", out="usage: qsplex put [-p] [-r [-f]] IMAGE PATH [FILE | DIR]")
    q.run("init", img)
    q.run("init", img, status=1, err="exists already")
    q.run("mkdir", "-p", img, "/a/b")
    q.run("mkdir", "-p", img, "/a/b")
    q.run("put", img, "/a/b/s", stdin=b"hello")
    q.run("put", "-p", img, "/big/data", "payload.bin")
    q.run("cat", img, "/big/data", out=payload, raw=True)
    q.run("ls", img, out="a/\nbig/\n")
    q.run("ls", "--sort", "none", img, out="big/\na/\n")
    q.run("ls", "-l", img, "/a/b", out=f"{'stream':7} {5:10} {'-':6} {'-':38} s\n")
    q.run("ls", "-R", img, out="/a/b:\ns\n")
    q.run("tree", img, out="|-- a/ (5 bytes)\n|   `-- b/ (5 bytes)\n"
          "|       `-- s (5 bytes)\n`-- big/ (200000 bytes)\n"
          "    `-- data (200000 bytes)\n3 storages, 2 streams, 200005 bytes")
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
    q.run(img, out="format:      version 3, the current one")

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
        (("ls", "-x", img), 2, "unknown option -x"),
        (("cp", img, "/a"), 2, "usage: qsplex cp [-r] IMAGE FROM TO"),
        (("frobnicate", img), 2, "unknown command"),
    ]:
        q.run(*args, status=status, err=err)
    assert open(os.path.join(q.workdir, img), "rb").read() == before, \
        "a failed command changed the image"

    # A save that cannot happen leaves the image as it was, and nothing else.
    def small_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (256, 256))
    q.run("mkdir", img, "/new", status=1, preexec_fn=small_files,
          err="cannot write the image: File too large; the image is unchanged")
    q.run("ls", img, "/new", status=1, err="no such element")
    if glob.glob(q.path("*.qsplex-*.tmp")):
        FAILURES.append("a failed save left its temporary file")

    # Open modes saved in the image grant and deny nothing to the next run.
    def read_only(image):
        node = image.blocks[image.entry("/a")][3]
        image.blocks[node][4] = 0x10
    plant(q, img, "ro.img", read_only)
    q.run("ls", "-l", "ro.img", out="0x10")
    q.run("put", "ro.img", "/a/new", stdin=b"x")

    # Damaged and foreign files are refused.
    open(os.path.join(q.workdir, "cut.img"), "wb").write(before[:-9])
    q.run("ls", "cut.img", status=1, err="a damaged plex image")
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
    q.run("clear", "-f", img)
    q.run("ls", img, out="")
    q.run("check", img, out="the tree is consistent: 0 storages, 0 streams, 2 blocks")


def compound_tour(q, payload):
    """Every command once, with a compound file out and back in: the
    platform's in the Win32 build, libgsf's natively."""
    import olefile  # Debian's python3-olefile: an independent reader

    img = "w.img"
    q.run("--version", out="qsplex ")
    q.run("init", img)
    q.run("info", img, out='"Root", mode 0x42')
    q.run("mkdir", "-p", img, "/tour/dôcs")
    q.run("put", img, "/tour/dôcs/hello.txt", stdin=b"hello\nworld\n")
    q.run("put", img, "/tour/payload.bin", "payload.bin")
    q.run("ls", "-l", img, "/tour", out="stream      200000 -")
    q.run("tree", img, out="`-- tour/ (200012 bytes)\n    |-- dôcs/ (12 bytes)")
    q.run("stat", img, "/tour/dôcs/hello.txt", out="size:     12 bytes")
    q.run("cat", img, "/tour/dôcs/hello.txt", out=b"hello\nworld\n", raw=True)
    q.run("cat", img, "/tour/nope", status=1, err="STG_E_FILENOTFOUND")
    q.run("setclass", img, "/tour", "01234567-89ab-cdef-0123-456789abcdef")
    q.run("setclass", img, "/tour/dôcs", "00000000-0000-0000-c000-000000000046")
    # What a compound file cannot hold is listed before any file is made.
    q.run("mkdir", img, "/tour/DÔCS")
    q.run("put", img, "/tour/a name longer than thirty-one units", stdin=b"")
    q.run("export", img, "/tour", "tour.cfb", status=1,
          err="the name differs only in case from its sibling")
    q.run("export", img, "/tour", "tour.cfb", status=1,
          err="/tour/a name longer than thirty-one units: ")
    if os.path.exists(os.path.join(q.workdir, "tour.cfb")):
        FAILURES.append("a refused export left a file")
    q.run("rm", "-r", img, "/tour/DÔCS")
    q.run("rm", img, "/tour/a name longer than thirty-one units")
    q.run("export", img, "/tour", "tour.cfb")
    cfb = olefile.OleFileIO(os.path.join(q.workdir, "tour.cfb"))
    if sorted(cfb.listdir()) != [["dôcs", "hello.txt"], ["payload.bin"]]:
        FAILURES.append(f"exported tree: {cfb.listdir()}")
    elif (cfb.openstream("dôcs/hello.txt").read() != b"hello\nworld\n" or
          cfb.openstream("payload.bin").read() != payload or
          cfb.root.clsid != "01234567-89AB-CDEF-0123-456789ABCDEF" or
          cfb.getclsid("dôcs") != "00000000-0000-0000-C000-000000000046"):
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
    q.run("stat", img, "/back/dôcs",
          out="class id: {00000000-0000-0000-C000-000000000046}")
    q.run("reset", img)
    q.run("check", img, out="the tree is consistent")
    plant(q, img, "bad.img",
          lambda i: i.blocks[i.entry("/back")].__setitem__(1, 12345))
    q.run("check", "bad.img", status=1, out="previous word 12345")
    q.run("tree", "bad.img", status=1, err="the storage tree is damaged")
    q.run("clear", "-f", img)
    q.run("ls", img, "/tour", status=1, err="no such element")


def patched(q, source, target, pattern, replacement):
    """Copies file `source` to `target` with the one place `pattern` holds
    replaced; returns that place. Damage goes where the bytes are found,
    wherever the image's format puts them."""
    data = open(q.path(source), "rb").read()
    at = data.find(pattern)
    assert at >= 0 and data.find(pattern, at + 1) < 0, f"{pattern!r} not once"
    assert len(replacement) == len(pattern)
    open(q.path(target), "wb").write(data[:at] + replacement +
                                      data[at + len(pattern):])
    return at


def salvage(q):
    """recover, check and dump on images damaged in stream bytes, in records
    and cut short: what is kept is byte-exact, what is not is named, and the
    exit status says whether anything was lost."""
    img, text = "s.img", b"hello salvage\n"
    payload = random.Random(14).randbytes(200000)  # any 32 bytes are unique
    open(q.path("salvage.bin"), "wb").write(payload)
    # Zeros where the image will be cut: the bytes read are told from the
    # zeros a cut block is filled with.
    runs = b"A" * 500 + b"\0" * 500 + b"B" * 500
    q.run("init", img)
    q.run("mkdir", "-p", img, "/docs/old")
    q.run("put", img, "/docs/a.txt", stdin=text)
    q.run("put", img, "/docs/old/body.bin", "salvage.bin")
    q.run("put", img, "/runs.bin", stdin=runs)
    q.run("setclass", img, "/docs", "01234567-89ab-cdef-0123-456789abcdef")
    listing = q.run("ls", "-lR", img)

    def kept_exactly(new, streams):
        for path, data in streams.items():
            q.run("cat", new, path, out=data, raw=True)
        q.run("check", new, out="the tree is consistent")

    # A sound image comes through whole.
    q.run("recover", img, "r0.img", out="6 kept, 0 damaged, 0 lost")
    if q.run("ls", "-lR", "r0.img") != listing:
        FAILURES.append("recover changed a sound tree's listing")
    for args, err in [((img, "r0.img"), "r0.img: exists already (-f"),
                      ((img, img), "is the damaged image itself"),
                      ((img,), "wrong number of arguments")]:
        q.run("recover", *args, status=1 if len(args) == 2 else 2, err=err)
    q.run("recover", "-f", img, "r0.img")

    # A stream's bytes: kept as read, and said so.
    spot = payload[100000:100032]
    patched(q, img, "bytes.img", spot, bytes([spot[0] ^ 0x20]) + spot[1:])
    damaged = payload[:100000] + bytes([spot[0] ^ 0x20]) + payload[100001:]
    q.run("check", "bytes.img", status=1,
          out=": fails its checksum: the data of /docs/old/body.bin\n")
    q.run("check", "bytes.img", status=1,
          out="/docs/old/body.bin: damaged: its data block ")
    q.run("dump", "bytes.img", status=1, out="fails its checksum\n")
    q.run("ls", "-R", "bytes.img", out="body.bin")  # see damaged_stream_data
    q.run("recover", "bytes.img", "r1.img", status=1,
          out="damaged  /docs/old/body.bin (200000 bytes)\n"
              "         its data block ")
    kept_exactly("r1.img", {"/docs/a.txt": text, "/runs.bin": runs,
                            "/docs/old/body.bin": damaged})
    q.run("stat", "r1.img", "/docs",
          out="class id: {01234567-89AB-CDEF-0123-456789ABCDEF}")
    if q.run("ls", "-lR", "r1.img") != listing:
        FAILURES.append("recover changed the listing of a damaged tree")

    # Cut short inside a stream's zeros: exactly the bytes the file holds,
    # and the list past the elements made later, which the cut takes.
    q.run("init", "c.img")
    q.run("put", "c.img", "/runs.bin", stdin=runs)
    q.run("put", "c.img", "/a.txt", stdin=text)
    q.run("mkdir", "c.img", "/later")
    q.run("put", "c.img", "/later/b.bin", "salvage.bin")
    data = open(q.path("c.img"), "rb").read()
    open(q.path("short.img"), "wb").write(data[:data.find(runs) + 700])
    out = q.run("recover", "short.img", "r2.img", status=1,
                out="damaged  /runs.bin (700 bytes)\n         bytes 700 to "
                    "1499 are lost: the image ends inside its data\n")
    kept = {"/runs.bin": runs[:700]}
    if "kept     /a.txt " in out:
        kept["/a.txt"] = text
    kept_exactly("r2.img", kept)
    q.run("check", "short.img", status=1,
          out="cut off by the image's end after 700 of its")
    q.run("dump", "short.img", status=1, out="cut off by the image's end")
    open(q.path("stub.img"), "wb").write(data[:30])
    q.run("recover", "stub.img", "r3.img", status=1,
          err="its header or block table is wrong")
    if os.path.exists(q.path("r3.img")):
        FAILURES.append("a recover that read nothing made its image")

    # Records: a stream's data block and a storage's name length changed
    # in place (their blocks then fail their checksums too), and an element
    # list sent to a block that is not there.
    name = struct.pack("<i", 2) + b"a.txt\0\0\0"
    at = patched(q, img, "rec.img", name, name)
    record = bytearray(open(q.path(img), "rb").read())
    record[at - 28:at - 24] = struct.pack("<i", 0x7ffffff0)
    old = struct.pack("<i", 1) + b"old\0"
    at = bytes(record).find(old)
    assert bytes(record).count(old) == 1
    record[at:at + 4] = struct.pack("<i", 5)
    open(q.path("rec.img"), "wb").write(bytes(record))
    out = q.run("recover", "rec.img", "r4.img", status=1,
                out="damaged  /docs/a.txt (0 bytes)\n")
    for expected in ["bytes 0 to 13 are lost: its data block 2147483632 is "
                     "not allocated", "lost     /docs/old\n",
                     "unlike its name length 5", "kept     /runs.bin "]:
        if expected not in out:
            FAILURES.append(f"recover of damaged records lacks {expected!r}")
    kept_exactly("r4.img", {"/runs.bin": runs, "/docs/a.txt": b""})
    q.run("ls", "r4.img", "/docs/old", status=1, err="STG_E_FILENOTFOUND")
    q.run("check", "rec.img", status=1, out="/docs/old: lost: its record")
    plant(q, img, "links.img",
          lambda i: i.blocks[i.entry("/runs.bin")].__setitem__(0, 99999))
    q.run("check", "links.img", status=1,
          out="the element list names entry 99999, which is not allocated")
    q.run("recover", "links.img", "r5.img", status=1,
          out="lost     /<entry 99999>\n         its element list runs into "
              "block 99999, which is not allocated")
    kept_exactly("r5.img", {"/runs.bin": runs})

    # An image changed in place, cut short before its newest changes: read
    # as the newest save whose block table the file still holds left it.
    big = random.Random(15).randbytes(1500000)
    open(q.path("big.bin"), "wb").write(big)
    q.run("init", "p.img")
    q.run("put", "p.img", "/big.bin", "big.bin")
    whole = os.path.getsize(q.path("p.img"))
    q.run("mkdir", "p.img", "/later")
    before_put = os.path.getsize(q.path("p.img"))
    q.run("put", "p.img", "/later/n.txt", stdin=text)
    data = open(q.path("p.img"), "rb").read()
    if len(data) - whole > 100000:
        FAILURES.append("small changes to a large image rewrote it")
    open(q.path("p1.img"), "wb").write(data[:before_put + 8])
    q.run("check", "p1.img", status=1,
          out="p1.img: the file is cut short before the block table of its "
              "newest save (or that table is damaged): read as it was "
              "before that save, whose changes are lost\n")
    q.run("recover", "p1.img", "r6.img", status=1,
          out="kept     /later\n")
    q.run("ls", "r6.img", "/later", out="")
    kept_exactly("r6.img", {"/big.bin": big})
    open(q.path("p2.img"), "wb").write(data[:whole // 2])
    expect("check --json of an image cut before its changes",
           parsed(q, "check", "--json", "p2.img", status=1)["changes_lost"],
           2)
    out = q.run("recover", "p2.img", "r7.img", status=1,
                out="before the block table of its newest 2 saves")
    if "damaged  /big.bin" not in out or "/later" in out:
        FAILURES.append(f"recover of an image cut in its first save: {out!r}")
    q.run("ls", "r7.img", out="big.bin\n")

    # Cut right after the newest save's block table: the blocks it wrote
    # are all cut off, and no earlier bytes of theirs are taken as read.
    q.run("put", "p.img", "/later/n.txt", stdin=text.upper())
    data = open(q.path("p.img"), "rb").read()
    slots = [struct.unpack_from("<QIIQQQQ", data, at) for at in (512, 1024)]
    _, _, count, _, table, _, _ = max(slots)
    open(q.path("p3.img"), "wb").write(data[:table + 24 * count])
    out = q.run("recover", "p3.img", "r8.img", status=1)
    if "kept     /later/n.txt" in out or (
            "damaged  /later/n.txt" in out
            and "damaged  /later/n.txt (0 bytes)" not in out):
        FAILURES.append(f"recover of an image cut after its table: {out!r}")



def damaged_stream_data(q):
    """Four bytes changed in one stream's data fail what reads that
    stream's bytes, naming it and pointing to check and recover; everything
    else reads as usual. A change is refused, and so is every command on an
    image whose records are damaged."""
    payload = random.Random(24).randbytes(100000)  # any 32 bytes are unique
    open(q.path("ds_data.bin"), "wb").write(payload)
    q.run("init", "ds.img")
    q.run("mkdir", "-p", "ds.img", "/s/deep")
    q.run("put", "ds.img", "/s/deep/bad.bin", "ds_data.bin")
    q.run("put", "ds.img", "/s/ok.txt", stdin=b"fine\n")
    q.run("put", "ds.img", "/top.txt", stdin=b"top\n")
    q.run("mkdir", "ds.img", "/clean")
    q.run("put", "ds.img", "/clean/c.txt", stdin=b"clean\n")
    spot = payload[50000:50032]
    patched(q, "ds.img", "ds_bad.img", spot,
            bytes(b ^ 0x55 for b in spot[:4]) + spot[4:])
    img = "ds_bad.img"
    found = re.search(r"block (\d+): fails its checksum: the data of "
                      r"/s/deep/bad.bin\n", q.run("check", img, status=1))
    refusal = (f"/s/deep/bad.bin: its data is damaged (block "
               f"{found and found.group(1)} fails its checksum); 'qsplex "
               f"check {img}' lists the damage, 'qsplex recover {img} NEW' "
               f"keeps what can be read\n")
    for args, out in [
            (("ls", "-lR", img), "100000 -      -     "),
            (("tree", img), "bad.bin (100000 bytes)"),
            (("stat", img, "/s/deep/bad.bin"), "size:     100000 bytes"),
            (("cat", img, "/s/ok.txt"), "fine\n"),
            (("cat", img, "/top.txt"), "top\n"),
            (("hexdump", img, "/top.txt"), "|top.|"),
            (("get", img, "/clean/c.txt", "-"), "clean\n"),
            (("get", "-r", img, "/clean", "ds_clean.out"), ""),
            (("export", img, "/clean", "ds_clean.cfb"), ""),
    ]:
        q.run(*args, out=out)
    if open(q.path("ds_clean.out/c.txt"), "rb").read() != b"clean\n":
        FAILURES.append("get -r of a sound storage beside damage: wrong bytes")
    for args in [("cat", img, "/s/deep/bad.bin"),
                 ("get", img, "/s/deep/bad.bin", "ds_bad.out"),
                 ("get", "-r", img, "/s", "ds_s.out"),
                 ("hexdump", img, "/s/deep/bad.bin", "--length", "16"),
                 ("export", img, "/s", "ds_s.cfb"),
                 ("export", img, "ds_x.cfb")]:
        q.run(*args, status=1, out=b"", raw=True, err=refusal)
    # diff compares bytes: it cannot tell a damaged stream's (exit 2).
    q.run("diff", "ds.img", img, status=2, err=refusal)
    q.run("diff", "ds.img", img, "/clean", out="")
    for made in ("ds_bad.out", "ds_s.out", "ds_s.cfb", "ds_x.cfb"):
        if os.path.exists(q.path(made)):
            FAILURES.append(f"a refused read of damaged data left {made}")
    before = open(q.path(img), "rb").read()
    for args in [("cp", img, "/s/deep/bad.bin", "/copy"),
                 ("cp", img, "/top.txt", "/copy"),
                 ("mkdir", img, "/new"),
                 ("rm", img, "/s/deep/bad.bin")]:
        q.run(*args, status=1,
              err=f"'qsplex recover {img} NEW' keeps what can be read")
    if open(q.path(img), "rb").read() != before:
        FAILURES.append("a change refused on a damaged image changed it")
    # Damage in a record: every command refuses, as the tree is in doubt.
    patched(q, "ds.img", "ds_record.img", b"ok.txt", b"oK.txt")
    for args in [("ls", "ds_record.img"), ("cat", "ds_record.img", "/top.txt")]:
        q.run(*args, status=1,
              err="fails its checksum, and the damage reaches its tree's "
                  "records or element lists, not only streams' data; "
                  "'qsplex check ds_record.img' tells what is damaged")


def damaged_large_stream(q):
    """A large stream's data, which a load leaves in the image file (mapped
    natively, read on first touch in the Win32 build), is verified by the
    commands that read it: damage in it fails them and check, and a change
    elsewhere keeps it damaged rather than stamping it afresh. Removing the
    image's only large stream saves it whole, over the file it was read
    from."""
    payload = random.Random(25).randbytes(3 << 19)  # 1.5 MiB
    open(q.path("dl_data.bin"), "wb").write(payload)
    q.run("init", "dl.img")
    q.run("put", "dl.img", "/big.bin", "dl_data.bin")
    q.run("put", "dl.img", "/small.txt", stdin=b"small\n")
    spot = payload[700000:700032]
    patched(q, "dl.img", "dl_bad.img", spot, bytes([spot[0] ^ 1]) + spot[1:])
    img = "dl_bad.img"
    q.run("ls", "-l", img, out="1572864")
    q.run("cat", img, "/small.txt", out="small\n")
    q.run("cat", "dl.img", "/big.bin", out=payload, raw=True)
    for round_ in ("as saved", "after a change beside it"):
        check = q.run("check", img, status=1)
        found = re.search(r"block (\d+): fails its checksum: the data of "
                          r"/big.bin\n", check)
        if not found:
            FAILURES.append(f"check {round_}: no damage in /big.bin: {check!r}")
            return
        for args in [("cat", img, "/big.bin"),
                     ("hexdump", img, "/big.bin", "--length", "16"),
                     ("get", img, "/big.bin", "dl_out.bin")]:
            q.run(*args, status=1, out=b"", raw=True,
                  err=f"/big.bin: its data is damaged (block {found.group(1)} "
                      f"fails its checksum)")
        if round_ == "as saved":
            q.run("mkdir", img, "/beside")
    q.run("ls", img, out="beside/\nbig.bin\nsmall.txt\n")
    # put over the damaged stream makes it anew: its new bytes read back.
    q.run("put", img, "/big.bin", stdin=b"new\n")
    q.run("cat", img, "/big.bin", out="new\n")
    q.run("check", img)
    q.run("rm", "dl.img", "/big.bin")
    listed = q.run("ls", "dl.img")
    if listed != "small.txt\n":
        FAILURES.append(f"rm of the only large stream: ls shows {listed!r}")


def writes_onto_the_image(q, wine):
    """get, export and report refuse to write their file over the image
    itself, -f or not, leaving it whole; init refuses a link to nothing;
    JSON paths and modes are the image's."""
    # Wine shows a Unix link to nothing as no file at all.
    os.symlink("nowhere.img", q.path("dangling.img"))
    for force in ([], ["-f"]) if not wine else []:
        q.run("init", *force, "dangling.img", status=1,
              err="dangling.img: is a link to a file that does not exist")
    if not os.path.islink(q.path("dangling.img")) and not wine:
        FAILURES.append("init replaced a dangling link")
    q.run("init", "own.img")
    q.run("mkdir", "own.img", "/docs")
    q.run("put", "own.img", "/docs/a.txt", stdin=b"a\n")
    before = open(q.path("own.img"), "rb").read()
    for args in [("get", "-f", "own.img", "/docs/a.txt", "own.img"),
                 ("export", "-f", "own.img", "/docs", "own.img"),
                 ("report", "-f", "own.img", "-o", "own.img")]:
        q.run(*args, status=1, out="",
              err="own.img: is the image itself; give another file")
    if open(q.path("own.img"), "rb").read() != before:
        FAILURES.append("a write refused onto the image changed it")
    listing = json.loads(q.run("ls", "--json", "own.img"))
    if [e["path"] for e in listing["entries"]] != ["/docs"]:
        FAILURES.append(f"ls --json of /: entry paths {listing!r}")
    tree = json.loads(q.run("tree", "--json", "own.img", "/docs"))
    if tree["mode"] != 0:
        FAILURES.append(f"tree --json /docs: mode {tree['mode']}, not 0")


def imports_keep_class_ids(q):
    """A compound file whose top has no class id, imported into a storage
    that has one (the root's is the host's), leaves that class id as it
    was, on both builds."""
    q.run("init", "ci.img")
    q.run("mkdir", "ci.img", "/t")
    q.run("mkdir", "ci.img", "/z")
    q.run("setclass", "ci.img", "/t", "11111111-1111-1111-1111-111111111111")
    q.run("export", "ci.img", "/z", "ci_z.cfb")
    before = {p: json.loads(q.run("stat", "--json", "ci.img", p))["class_id"]
              for p in ("/", "/t")}
    q.run("import", "ci.img", "/t", "ci_z.cfb")
    q.run("import", "ci.img", "/", "ci_z.cfb")
    for path, clsid in before.items():
        now = json.loads(q.run("stat", "--json", "ci.img", path))["class_id"]
        if now != clsid:
            FAILURES.append(f"import into {path}: class id {now}, was {clsid}")


def moves_keep_class_ids(q):
    """mv and cp -r keep the class id of every storage they carry, nested
    ones too, whether the move renames within one storage or goes into
    another. A rename changes the name alone: it needs no room in the plex
    and keeps every block where it was."""
    img, outer, inner = "cls.img", "{44444444-4444-4444-4444-444444444444}", \
        "{55555555-5555-5555-5555-555555555555}"
    q.run("init", img)
    q.run("mkdir", "-p", img, "/x/in/deep")
    q.run("mkdir", img, "/d")
    q.run("setclass", img, "/x", outer)
    q.run("setclass", img, "/x/in/deep", inner)
    for args in [("mv", img, "/x", "/y"),          # a rename
                 ("cp", "-r", img, "/y", "/z"),    # a copy beside it
                 ("mv", img, "/z", "/d"),          # into another storage
                 ("mv", img, "/d/z", "/w")]:       # out, under a new name
        q.run(*args)
    listing = parsed(q, "ls", "-R", "--json", img)
    expect("class ids after mv and cp -r",
           {e["path"]: e["class_id"] for e in listing.get("entries", [])},
           {"/d": NULL_CLASS, "/w": outer, "/w/in": NULL_CLASS,
            "/w/in/deep": inner, "/y": outer, "/y/in": NULL_CLASS,
            "/y/in/deep": inner})

    # A storage holding more than the plex has free: a copy is refused
    # (into another storage too), a rename is not.
    q.run("put", "-p", img, "/big/s", stdin=os.urandom(3 << 20))

    def data_block(path):
        found = re.search(r"\ndata block (\d+) ",
                          q.run("dump", img, path, status=None))
        return found and found.group(1)
    before = data_block("/big/s")
    for args, status in [(("cp", "-r", img, "/big", "/copy"), 1),
                         (("mv", img, "/big", "/d"), 1),
                         (("mv", img, "/big", "/large"), 0)]:
        q.run(*args, status=status, **with_plex(5),
              err="the plex cannot hold 3145728 bytes more" if status else "")
    expect("a renamed storage's siblings", sorted(q.run("ls", img).split()),
           ["d/", "large/", "w/", "y/"])
    expect("a renamed stream's data block", data_block("/large/s"), before)


def image_changed_while_read(q):
    """Another program rewriting or cutting the image while a command reads
    it (its large blocks are mapped from the file) fails the command with a
    message, never a success with bytes of two images nor SIGBUS; a change
    is then not saved."""
    first, second = os.urandom(4 << 20), os.urandom(4 << 20)
    for img, data in [("mine.img", first), ("other.img", second)]:
        q.run("init", img)
        q.run("put", img, "/s", stdin=data)
    other = open(q.path("other.img"), "rb").read()

    def rewrite():
        open(q.path("read.img"), "wb").write(other)  # as cp does

    def cut():
        os.truncate(q.path("read.img"), 4096)

    trusted = ("; what the command showed or wrote of it cannot be trusted: "
               "run the command again")
    shorter = " (it is shorter now); qsplex stopped without changing it"
    # A rewrite cuts the file to nothing before it writes it again: a read
    # of a mapped page in between finds the file shorter.
    for change, errs in [(rewrite, (trusted, shorter)), (cut, (shorter,))]:
        shutil.copy(q.path("mine.img"), q.path("read.img"))
        # cat waits on the full pipe, past the start of its stream.
        process = subprocess.Popen(q.command + ["cat", "read.img", "/s"],
                                   cwd=q.workdir, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        process.stdout.read(1 << 20)
        change()
        process.stdout.read()
        err_text = process.stderr.read().decode()
        status = process.wait()
        wanted = ("qsplex: cat: read.img: the image was changed by another "
                  "program while qsplex read it")
        if status != 1 or not any(wanted + err in err_text for err in errs):
            FAILURES.append(f"cat of an image {change.__name__} under it: "
                            f"exit {status}, {err_text!r}")

    # A change loaded before the rewrite, saved after it: not saved. put
    # reads standard input (read(2) of descriptor 0) once it has loaded.
    shutil.copy(q.path("mine.img"), q.path("read.img"))
    process = q.start("put", "read.img", "/t", stdin=subprocess.PIPE)
    deadline = time.time() + 60
    while (time.time() < deadline and process.poll() is None and
           open(f"/proc/{process.pid}/syscall").read().split()[:2] != [
               "0", "0x0"]):
        time.sleep(0.05)
    rewrite()
    process.stdin.close()
    status, _, err_text = q.finish(process)
    if status != 1 or b"while qsplex read it; nothing was saved" not in err_text:
        FAILURES.append(f"put into an image rewritten under it: exit {status}, "
                        f"{err_text!r}")
    if open(q.path("read.img"), "rb").read() != other:
        FAILURES.append("put saved into an image another program rewrote")


def cut_measured_in_place(q):
    """check and recover tell where a large, sparse image is cut from the
    file's length: nothing is written beside it, and the bytes held are
    exact though the stream is all zeros."""
    img, size = "sparse.img", 64 << 20
    q.run("init", img)
    with open(q.path("zeros.bin"), "wb") as zeros:
        zeros.truncate(size)
    q.run("put", img, "/zeros", "zeros.bin")
    data = open(q.path(img), "rb").read()
    slot = max((512, 1024), key=lambda at: struct.unpack_from("<Q", data, at))
    _, _, count, _, table = struct.unpack_from("<QIIQQ", data, slot)
    words, offset = max(struct.unpack_from("<4xIQ", data, table + 24 * k)
                        for k in range(count))
    held = (40 << 20) + 12
    with open(q.path("cut.img"), "wb") as cut:
        cut.write(data[:offset])
        cut.truncate(offset + held)  # a hole up to the cut
    os.remove(q.path(img))

    def small_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
    q.run("check", "cut.img", status=1, preexec_fn=small_files,
          out=f"cut off by the image's end after {held} of its {4 * words} "
              "bytes: the data of /zeros")
    q.run("recover", "cut.img", "r.img", status=1,
          out=f"bytes {held} to {size - 1} are lost")
    q.run("cat", "r.img", "/zeros", raw=True, out=bytes(held))
    if glob.glob(q.path("cut.img.qsplex-*.tmp")):
        FAILURES.append("a cut image's check left a temporary file")


def cross_build(native, win32, payload):
    """A compound file exported by either build is imported by the other,
    and olefile reads what both wrote with the same names, bytes and class
    ids; the tree goes ten storages deep, with streams at several levels."""
    import olefile  # Debian's python3-olefile: an independent reader

    deep = "dôcs/deeper/" + "/".join(f"d{n}" for n in range(3, 11))
    streams = {"dôcs/hello.txt": b"hello\nworld\n", "dôcs/empty": b"",
               "payload.bin": payload, "dôcs/deeper/x": b"\0\1\2",
               deep.rsplit("/", 4)[0] + "/middle": b"middle",
               deep + "/bottom": b"bottom" * 1000}
    classes = {"": "01234567-89AB-CDEF-0123-456789ABCDEF",
               "dôcs": "00000000-0000-0000-C000-000000000046",
               deep: "76543210-89AB-CDEF-0123-456789ABCDEF"}

    def read_back(cfb_name):
        cfb = olefile.OleFileIO(native.path(cfb_name))
        found = {"/".join(p): cfb.openstream(p).read()
                 for p in cfb.listdir(streams=True, storages=False)}
        ids = {p: cfb.getclsid(p) if cfb.exists(p) else None
               for p in classes if p}
        ids[""] = cfb.root.clsid
        cfb.close()
        return found, ids

    for maker, reader, tag in ((native, win32, "n"), (win32, native, "w")):
        img, back = f"{tag}.img", f"{tag}-back.img"
        maker.run("init", img)
        maker.run("mkdir", "-p", img, "/t/" + deep)
        for path, data in streams.items():
            maker.run("put", img, "/t/" + path, stdin=data)
        for path, clsid in classes.items():
            maker.run("setclass", img, "/t/" + path, clsid)
        maker.run("export", img, "/t", f"{tag}.cfb")
        reader.run("init", back)
        reader.run("mkdir", back, "/in")
        reader.run("import", back, f"{tag}.cfb", "/in")
        for path, data in streams.items():
            reader.run("cat", back, "/in/" + path, out=data, raw=True)
        for path, clsid in classes.items():
            reader.run("stat", back, "/in/" + path, out=f"class id: {{{clsid}}}")
        reader.run("export", back, "/in", f"{tag}-back.cfb")
        for cfb_name in (f"{tag}.cfb", f"{tag}-back.cfb"):
            if not os.path.exists(native.path(cfb_name)):
                FAILURES.append(f"no {cfb_name}")
            elif read_back(cfb_name) != (streams, classes):
                FAILURES.append(f"olefile reads {cfb_name} differently: "
                                f"{read_back(cfb_name)!r}"[:600])



def hidden_newer_save(q, big):
    """A flipped byte in the header slot in use hides the newest save: no
    command reads the older one in its place, no change cuts the newer one
    off, check says so and recover brings it back whole."""
    img = "slot.img"
    q.run("init", img)
    q.run("put", img, "/big.bin", big)
    q.run("mkdir", img, "/keep")
    q.run("put", img, "/keep/data.txt", "payload.bin")
    at, _, _ = newest_slot(q.path(img))
    with open(q.path(img), "r+b") as f:
        f.seek(at + 20)
        byte = f.read(1)[0]
        f.seek(at + 20)
        f.write(bytes([byte ^ 1]))
    before = open(q.path(img), "rb").read()
    hint = "header slot of its newest save is damaged"
    q.run("ls", "-R", img, "/", status=1, err=hint)
    q.run("mkdir", img, "/x", status=1, err=hint)
    if open(q.path(img), "rb").read() != before:
        FAILURES.append("a change to an image with a damaged slot changed it")
    q.run("check", img, status=1, out="newest header slot damaged")
    report = json.loads(q.run("check", "--json", img, status=1))
    expect("check --json of a damaged slot", report["newest_slot_damaged"],
           True)
    q.run("recover", img, "slot_back.img", out="4 kept, 0 damaged, 0 lost")
    q.run("ls", "-R", "slot_back.img", "/", out="data.txt")


def crafted_slots(q, big):
    """Header slots that claim what the file or the plex cannot hold are
    refused at once, with memory bounded by the file; one whose end lies
    past the file is damage to check and recover as much as to ls; and
    the generation running out saves the image whole."""
    base = "crafted.img"
    q.run("init", base)
    q.run("put", base, "/big.bin", big)
    q.run("mkdir", base, "/keep")
    probe = ("import resource, subprocess, sys\n"
             "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, "
             "stderr=subprocess.DEVNULL)\n"
             "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    end = os.path.getsize(q.path(base))
    cases = [
        ("its end past the file", dict(end=end + 4096), None),
        ("an id limit past the plex", dict(id_limit=2**27 + 3), None),
        ("2^31-2 table entries", dict(generation=9, id_limit=2**31 - 1,
                                      count=2**31 - 2, words=0),
         4096 + 24 * (2**31 - 2)),
        ("10 million table entries", dict(generation=9, id_limit=10**7 + 1,
                                          count=10**7, words=0),
         4096 + 24 * 10**7),
    ]
    for what, fields, sparse_end in cases:
        img = "crafted_case.img"
        data = open(q.path(base), "rb").read()
        open(q.path(img), "wb").write(data[:4096] if sparse_end else data)
        if sparse_end:
            fields.update(table=4096, end=sparse_end)
        craft_slot(q.path(img), **fields)
        if sparse_end:
            os.truncate(q.path(img), sparse_end)
        q.run("ls", img, "/", status=1)
        peak = int(subprocess.run(
            [sys.executable, "-c", probe] + q.command + ["ls", img, "/"],
            cwd=q.workdir, stdout=subprocess.PIPE, check=True).stdout) << 10
        if peak > 256 << 20:
            FAILURES.append(f"ls of a slot with {what}: peak memory "
                            f"{peak >> 20} MiB")
        if not sparse_end:
            q.run("check", img, status=1)
            q.run("recover", "-f", img, "crafted_back.img", status=1)
        os.remove(q.path(img))
    img = "generations.img"
    open(q.path(img), "wb").write(open(q.path(base), "rb").read())
    craft_slot(q.path(img), generation=2**64 - 3)
    for name in ("/a", "/b", "/c"):
        q.run("mkdir", img, name)
    q.run("ls", "--sort", "none", img, "/", out="c/\nb/\na/\nkeep/")
    q.run("check", img)


def failing_writes(q):
    """A sync that fails after the header slot was written, or after the
    rename, leaves the change unknown and says so; one before leaves the
    image unchanged; a limit on the file's size fails the write with a
    message (never SIGXFSZ)."""
    img = "sync.img"
    q.run("init", img)
    open(q.path("three.bin"), "wb").write(os.urandom(3 << 20))
    q.run("put", img, "/three.bin", "three.bin")
    good = open(q.path(img), "rb").read()
    strace = shutil.which("strace")
    if strace is None:
        print("failing syncs skipped: no strace")
    else:
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
        unsure = "may or may not have reached the disk"
        for when, args, err in [
                (1, ("mkdir", img, "/x"), "the image is unchanged"),
                (2, ("mkdir", img, "/x"), unsure),
                (2, ("rm", img, "/three.bin"),
                 "cannot flush its folder to the disk: Input/output error; "
                 "the change " + unsure)]:
            open(q.path(img), "wb").write(good)
            failing = Tool(q.command[-1], None, q.workdir)
            failing.command = [strace, "-f", "-o", os.devnull, "-e",
                               "trace=fsync", "-e",
                               f"inject=fsync:error=EIO:when={when}"] + q.command
            failing.run(*args, status=1, err=err, env=env)
            if err == "the image is unchanged" and \
                    open(q.path(img), "rb").read() != good:
                FAILURES.append("a failed sync before the slot changed the image")
    open(q.path(img), "wb").write(good)
    limit = len(good) + (1 << 20)
    q.run("put", img, "/more.bin", "three.bin", status=1,
          err="File too large; the image is unchanged",
          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE,
                                                (limit, limit)))
    if open(q.path(img), "rb").read() != good:
        FAILURES.append("a write past the size limit changed the image")


def full_disk(q):
    """On a full disk, removing a large stream still works: the change goes
    in place when there is no room for the image whole. Needs a small
    tmpfs, so root."""
    mount = q.path("small_disk")
    os.mkdir(mount)
    if os.geteuid() != 0 or subprocess.run(
            ["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", mount],
            stderr=subprocess.DEVNULL).returncode != 0:
        print("full disk skipped: cannot mount a small tmpfs")
        return
    try:
        img = os.path.join(mount, "full.img")
        open(q.path("one.bin"), "wb").write(os.urandom(1500000))
        open(q.path("five.bin"), "wb").write(os.urandom(5000000))
        q.run("init", img)
        q.run("put", img, "/one.bin", "one.bin")
        q.run("put", img, "/five.bin", "five.bin")
        room = os.statvfs(mount)
        with open(os.path.join(mount, "filler"), "wb") as filler:
            filler.write(bytes(room.f_bavail * room.f_frsize - (64 << 10)))
        q.run("rm", img, "/five.bin")
        q.run("ls", img, "/", out="one.bin")
        q.run("check", img)
        q.run("put", img, "/again.bin", "five.bin", status=1,
              err="No space left on device; the image is unchanged")
        q.run("check", img)
    finally:
        subprocess.run(["umount", mount])


def recorded_change_states(q, big):
    """Every state a crash can leave of one change in place, in a bounded
    form: the change's writes, truncations and syncs are recorded with
    strace, and each prefix of them is applied to a copy of the old image,
    as written and with the writes since the last sync dropped, all of
    them or each alone. Every state reads as the old tree or the new."""
    strace = shutil.which("strace")
    if strace is None:
        print("recorded change states skipped: no strace")
        return
    img = "record.img"
    q.run("init", img)
    q.run("put", img, "/big.bin", big)
    q.run("mkdir", img, "/keep")
    old = open(q.path(img), "rb").read()
    old_tree = q.run("ls", "-R", img, "/")
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    trace = q.path("record.trace")
    subprocess.run([strace, "-f", "-xx", "-s", "100000000", "-o", trace,
                    "-e", "trace=openat,close,lseek,read,write,ftruncate,fsync"]
                   + q.command + ["put", img, "/keep/new.txt", "payload.bin"],
                   cwd=q.workdir, env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    new_tree = q.run("ls", "-R", img, "/")
    ops, fd, position = [], None, 0
    for line in open(trace):
        call = line.split(None, 1)[1] if " " in line else line
        result = call.rsplit("= ", 1)[-1].split()[0] if "= " in call else ""
        if call.startswith("openat(") and '"' in call:
            path = bytes.fromhex(call.split('"', 2)[1].replace("\\x", ""))
            if path.endswith(b"/" + img.encode()) and "O_RDWR" in call \
                    and result.isdigit():
                fd, position = int(result), 0
        elif fd is None or not call.startswith(
                ("lseek(", "read(", "write(", "ftruncate(", "fsync(", "close(")):
            continue
        elif not call.split("(", 1)[1].startswith((f"{fd},", f"{fd})")):
            continue
        elif call.startswith("lseek("):
            position = int(result)
        elif call.startswith("read("):
            position += int(result)
        elif call.startswith("write("):
            data = bytes.fromhex(call.split('"', 2)[1].replace("\\x", ""))
            ops.append(("write", position, data))
            position += len(data)
        elif call.startswith("ftruncate("):
            ops.append(("truncate", int(call.split(",")[1].split(")")[0]), b""))
        elif call.startswith("fsync("):
            ops.append(("sync", 0, b""))
        else:
            fd = None
    if not any(op[0] == "sync" for op in ops):
        FAILURES.append(f"recorded no change in place: {ops[:3]}")
        return

    def state(applied):
        data = bytearray(old)
        for kind, at, bytes_ in applied:
            if kind == "truncate":
                del data[at:]
                data.extend(bytes(at - len(data)))
            elif kind == "write":
                data.extend(bytes(max(0, at + len(bytes_) - len(data))))
                data[at:at + len(bytes_)] = bytes_
        return bytes(data)

    states = set()
    for end in range(len(ops) + 1):
        prefix = ops[:end]
        synced = max([i + 1 for i, op in enumerate(prefix) if op[0] == "sync"],
                     default=0)
        unsynced = [i for i in range(synced, end) if prefix[i][0] == "write"]
        states.add(state(prefix))
        states.add(state(prefix[:synced]))
        for dropped in unsynced:
            states.add(state(prefix[:dropped] + prefix[dropped + 1:]))
    seen = set()
    for k, data in enumerate(sorted(states)):
        open(q.path("state.img"), "wb").write(data)
        tree = q.run("ls", "-R", "state.img", "/", status=None)
        seen.add(tree)
        if q.status != 0 or tree not in (old_tree, new_tree):
            FAILURES.append(f"crash state {k} of {len(states)} reads as "
                            f"neither the old nor the new tree: {tree!r:.200}")
    if seen != {old_tree, new_tree}:
        FAILURES.append("the recorded crash states do not reach both trees")
    print(f"recorded change: {len(ops)} calls, {len(states)} crash states")


def accidental_images(q):
    """Only init makes an image: no mistyped word, missing image or foreign
    file leaves a file behind, not even a lock file."""
    before = sorted(os.listdir(q.workdir))
    for args, status, err in [
        (("help",), 0, None),
        (("lsit",), 2, "unknown command 'lsit', and no image of that name; "
         "did you mean 'ls'?"),
        (("docs",), 2, "unknown command 'docs', and no image of that name"),
        (("info", "missing.img"), 1,
         "missing.img: no such image (make one with 'qsplex init IMAGE')"),
        (("put", "missing.img", "/a"), 1, "missing.img: no such image"),
        (("mkdir", "-p", "missing.img", "/a"), 1, "missing.img: no such image"),
        (("check", "missing.img"), 1, "missing.img: no such image"),
        (("payload.bin",), 1, "payload.bin: not a plex image: a file of "
         "another kind"),
        (("init", "payload.bin"), 1, "payload.bin: exists already (-f "
         "replaces it)"),
    ]:
        q.run(*args, status=status, err=err)
    after = sorted(os.listdir(q.workdir))
    if after != before:
        FAILURES.append(f"files made: {sorted(set(after) - set(before))}")


def names(q, img):
    """A name the ANSI code page cannot hold exactly is refused, saying which
    character and where; best-fit ('A' for U+0100) is no exception."""
    for args, err in [
        (("put", "-p", img, "/données/ü€ 日本.txt"),
         "character 4 of the name 'ü€ 日本.txt', '日' (U+65E5), is not in "
         "code page 1252"),
        (("put", img, "/日本"), "character 1 of the name '日本'"),
        (("mkdir", img, "/a😀b"), "character 2 of the name 'a😀b', '😀' (U+1F600)"),
        (("mkdir", img, "/Ā"), "'Ā' (U+0100)"),
        (("cat", img, "/中国"), "'中' (U+4E2D)"),
    ]:
        q.run(*args, status=1, err=err)
    q.run("ls", img, "/données", status=1, err="no such element")
    q.run("put", img, "/ü€ ÿ", stdin=b"kept")
    q.run("cat", img, "/ü€ ÿ", out=b"kept", raw=True)


def messages(q, img):
    """Each mistake is told with what to do about it, file errors with the
    system's own reason."""
    os.mkdir(q.path("folder"))
    for args, status, err in [
        (("ls", "/docs", img), 1, f"/docs: no such image; {img} is one: IMAGE "
         f"comes first, as in 'qsplex ls {img} /docs'"),
        (("ls", "--sort=size", "/docs", "--json", img), 1,
         f"IMAGE comes first, as in 'qsplex ls --json --sort size {img} "
         "/docs'"),
        (("ls", "folder"), 1, "folder: is a folder, not a plex image"),
        (("mkdir", img, "/m/n"), 1, "/m: no such element "
         "(STG_E_FILENOTFOUND); -p makes the missing storages"),
        (("init", "nowhere/x.img"), 1, "nowhere/x.img: cannot create it: No "
         "such file or directory (there is no folder nowhere)"),
        (("put", img, "/p", "nothere.bin"), 1,
         "nothere.bin: No such file or directory"),
        (("put", img, "/p", "folder"), 1, "folder: is a folder"),
        ((img, "ls"), 2, "the command comes first, as in 'qsplex ls"),
        (("help", "lsit"), 2, "did you mean 'ls'?"),
        (("ls", "--jsn", img), 2, "unknown option --jsn\n"),
        (("ls", "-lx", img), 2, "unknown option -x (in -lx)"),
        (("ls", "--wait", "soon", img), 2, "--wait takes a whole number"),
    ]:
        q.run(*args, status=status, err=err)
    leader, follower = pty.openpty()
    q.run("put", img, "/t", stdin_file=follower, status=2,
          err="standard input is a terminal: give FILE, or '-'")
    os.close(leader)
    os.close(follower)
    # One overwrite rule: init replaces an existing file only with -f.
    q.run("init", img, status=1, err="exists already (-f replaces it)")
    q.run("init", "-f", "copy.img")
    q.run("init", "-f", "copy.img")
    q.run("ls", "copy.img", out="")


# Names that JSON must escape or that are not ASCII, each a stream of
# distinct length in /d, made in this order. The last holds bytes 0x81 and
# 0x90, which code page 1252 leaves undefined.
ODD_NAMES = ["q\"uo\nte", "\x05Summary", "back\\sl\tash", "données €ÿ",
             "\x81-\x90"]
def shown(name):
    """A name as the text output shows it: control characters, '%' and the
    C1 bytes code page 1252 keeps as %XX."""
    return "".join(f"%{ord(ch):02X}" if ord(ch) < 0x20 or ch in "%\x7f" or
                   ord(ch) in (0x81, 0x8D, 0x8F, 0x90, 0x9D) else ch
                   for ch in name)


CLASS_ID = "{01234567-89AB-CDEF-0123-456789ABCDEF}"
NULL_CLASS = "{00000000-0000-0000-0000-000000000000}"


def parsed(q, *args, status=0):
    """Runs a --json command; its standard output as one JSON document."""
    text = q.run(*args, status=status)
    try:
        return json.loads(text)
    except ValueError as error:
        FAILURES.append(f"qsplex {' '.join(args)}: not JSON ({error}): "
                        f"{text[:300]!r}")
        return {}


def expect(what, got, wanted):
    if got != wanted:
        FAILURES.append(f"{what}: {got!r}, expected {wanted!r}")


def script_output(q, payload):
    """--json gives one document whose names survive exactly; -H, --sort
    and the header of ls -l serve people."""
    img = "json.img"
    q.run("init", img)
    q.run("mkdir", "-p", img, "/d/sub")
    q.run("setclass", img, "/d", CLASS_ID)
    for length, name in enumerate(ODD_NAMES, 1):
        q.run("put", img, f"/d/{name}", stdin=b"x" * length)
    q.run("put", img, "/d/big", "payload.bin")
    q.run("put", img, "/d/sub/x", stdin=b"12345")
    made = ["sub"] + ODD_NAMES + ["big"]
    Image(q.path(img)).entry("/d/" + ODD_NAMES[-1])  # its bytes, 0x81 too
    sizes = {name: length for length, name in enumerate(ODD_NAMES, 1)}
    sizes["big"] = len(payload)

    listing = parsed(q, "ls", "--json", "--sort", "none", img, "/d")
    expect("ls --json path", (listing.get("path"), listing.get("type")),
           ("/d", "storage"))
    entries = listing.get("entries", [])
    expect("ls --json names, newest first", [e["name"] for e in entries],
           made[::-1])
    for entry in entries:
        name = entry["name"]
        kind = "storage" if name == "sub" else "stream"
        expect(f"ls --json entry {name!r}", entry, {
            "name": name, "path": "/d/" + name, "type": kind,
            "size": sizes.get(name), "mode": 0,
            "class_id": NULL_CLASS if kind == "storage" else None})
    below = parsed(q, "ls", "-R", "--json", "--sort=none", img, "/")
    expect("ls -R --json paths", [e["path"] for e in below["entries"]],
           ["/d"] + ["/d/" + n for n in made[::-1]] + ["/d/sub/x"])
    one = parsed(q, "ls", "--json", img, "/d/" + ODD_NAMES[1])
    expect("ls --json of a stream", [(e["path"], e["size"])
                                     for e in one["entries"]],
           [("/d/" + ODD_NAMES[1], 2)])

    stat = parsed(q, "stat", "--json", img, "/d")
    expect("stat --json", stat, {"name": "d", "path": "/d", "type": "storage",
                                 "size": None, "mode": 0,
                                 "class_id": CLASS_ID})
    expect("stat --json of a stream", parsed(
        q, "stat", "--json", img, "/d/" + ODD_NAMES[3])["name"], ODD_NAMES[3])

    tree = parsed(q, "tree", "--json", "--sort", "name", img, "/d")
    total = sum(sizes.values()) + 5
    expect("tree --json totals", [tree.get(k) for k in (
        "path", "class_id", "total_bytes", "storages", "streams", "listed")],
           ["/d", CLASS_ID, total, 1, 7, True])
    children = tree.get("children", [])
    expect("tree --json --sort name", [c["name"] for c in children],
           sorted(made))
    sub = [c for c in children if c["name"] == "sub"]
    expect("tree --json nesting", [(c["path"], c["size"]) for c in
                                   sub[0]["children"]] if sub else None,
           [("/d/sub/x", 5)])
    by_size = parsed(q, "tree", "--json", "--sort=size", img, "/d")
    expect("tree --sort size", [c["name"] for c in by_size["children"]],
           ["big", "sub"] + ODD_NAMES[::-1])
    stream = parsed(q, "tree", "--json", img, "/d/big")
    expect("tree --json of a stream", (stream.get("size"), "children" in
                                       stream), (len(payload), False))

    report = parsed(q, "check", "--json", img)
    expect("check --json", report, {
        "image": img, "consistent": True, "changes_lost": 0,
        "header_damaged": False, "newest_slot_damaged": False,
        "damaged_blocks": [],
        "damaged_elements": [], "findings": [], "storages": 2,
        "streams": 7, "unnamed": 0, "blocks": report.get("blocks")})
    data = open(q.path(img), "rb").read()
    open(q.path("cut.img"), "wb").write(data[:len(data) - 64])
    cut = parsed(q, "check", "--json", "cut.img", status=1)
    expect("check --json of a cut image",
           (cut.get("consistent"), cut.get("storages"),
            all("cut off" in d["problem"] for d in cut["damaged_blocks"]),
            len(cut["damaged_blocks"]) > 0),
           (False, None, True, True))
    plant(q, img, "broken.img",
          lambda i: i.blocks[i.entry("/d/sub")].__setitem__(1, 12345))
    broken = parsed(q, "check", "--json", "broken.img", status=1)
    expect("check --json of damage", (broken.get("consistent"),
                                      broken.get("storages")), (False, None))
    expect("check --json finding", [(f["kind"], "12345" in f["message"])
                                    for f in broken.get("findings", [])][:1],
           [("link", True)])
    info = parsed(q, "info", "--json", img)
    root = info.get("root") or {}
    expect("info --json", (root.get("block"), info.get("root_anchor"),
                           len(root.get("record", [])) > 8,
                           0 < info.get("used_bytes", 0)
                           < info.get("capacity_bytes", 0)),
           (info["root_anchor"]["value"], {"block": 2, "word": 52,
                                           "value": root.get("block")},
            True, True))

    # For people: sizes in KiB, a header over ls -l, orders.
    q.run("ls", "-lH", "--sort", "size", img, "/d",
          out=f"{'TYPE':7} {'SIZE':>10} {'MODE':6} {'CLASS ID':38} NAME\n"
          f"{'stream':7} {'196 KiB':>10} {'-':6} {'-':38} big\n"
          f"{'stream':7} {'5 B':>10} ")
    q.run("ls", "--sort=name", img, "/d",
          out="".join(shown(n) + ("/" if n == "sub" else "") + "\n"
                      for n in sorted(made)))
    q.run("tree", "--human", img, "/d", out="|-- big (196 KiB)\n")
    q.run("stat", "-H", img, "/d/big", out="size:     196 KiB (200000 bytes)")

    # Failures stay on standard error, with nothing on standard output.
    for args, status, err in [
        (("ls", "--json", img, "/nope"), 1, "/nope: no such element"),
        (("ls", "--sort", "date", img), 2, "--sort takes name, size or none"),
        (("cat", "--json", img, "/d/big"), 2, "unknown option --json"),
        (("stat", "--sort", "name", img, "/d"), 2, "unknown option --sort"),
    ]:
        expect(f"stdout of {args}", q.run(*args, status=status, err=err), "")


def help_and_version(q):
    """Every command has help ending in examples, through -h and --help."""
    q.run("-V", out="qsplex ")
    text = q.run("help", out="Commands:")
    listed = text.split("Commands:\n")[1].split("\n\n")[0].splitlines()
    for name in [line.split()[0] for line in listed]:
        help_text = q.run(name, "--help", out=f"usage: qsplex {name} ")
        examples = help_text.rstrip("\n").split("\nExamples:\n")
        if (len(examples) != 2 or not 1 <= len(examples[1].splitlines()) <= 3
                or f"qsplex {name}" not in examples[1]):
            FAILURES.append(f"help of {name} does not end in examples")
    q.run("ls", "-h", out="usage: qsplex ls ")
    q.run("help", "put", out="usage: qsplex put ")
    q.run("help", out="'%05SummaryInformation', '100%25'")


def unnamed_elements(q, img):
    """Elements without a name, which callers may make, are shown, counted,
    passed by in copies (saying so) and removed with their storage."""
    q.run("mkdir", "-p", img, "/u/t")
    q.run("put", img, "/u/t/inner", stdin=b"12345")
    q.run("put", img, "/u/s", stdin=b"abc")
    q.run("put", img, "/u/named", stdin=b"n")
    plant(q, img, "unnamed.img",
          lambda i: i.unname("/u/s") or i.unname("/u/t"))
    q.run("ls", "unnamed.img", "/u", out="(no name)\n(no name)/\nnamed\n")
    q.run("ls", "-l", "unnamed.img", "/u",
          out=f"{'stream':7} {3:10} {'-':6} {'-':38} (no name)\n")
    q.run("tree", "unnamed.img", "/u", out="|-- (no name) (3 bytes)\n"
          "|-- (no name)/ (not opened: no name finds it)\n`-- named ")
    tree = parsed(q, "tree", "--json", "unnamed.img", "/u")
    expect("tree --json of unnamed elements",
           [(c["name"], c["path"], c.get("listed")) for c in tree["children"]],
           [("", "/u/", None), ("", "/u/", False),
            ("named", "/u/named", None)])
    q.run("check", "unnamed.img", out="2 storages, 4 streams (2 without a name)")
    q.run("cp", "-r", "unnamed.img", "/u", "/copy",
          err="/u/(no name): has no name, so it is not copied")
    q.run("ls", "unnamed.img", "/copy", out="named\n")
    # A rename keeps them (the same storage); a move elsewhere would not.
    q.run("mv", "unnamed.img", "/u", "/u2")
    q.run("ls", "unnamed.img", "/u2", out="(no name)\n(no name)/\nnamed\n")
    q.run("mv", "unnamed.img", "/u2", "/copy", status=1,
          err="/u2: holds an element without a name, which a move would lose")
    q.run("mv", "unnamed.img", "/u2", "/u")
    q.run("rm", "-r", "unnamed.img", "/u")
    q.run("check", "unnamed.img",
          out="consistent: 1 storage, 2 streams, 11 blocks")


def durable_replacement(q):
    """A change replaces the file a link names, keeping its permissions and
    owner, and leaves nothing beside it."""
    q.run("init", "kept.img")
    os.chmod(q.path("kept.img"), 0o640)
    owner = (65534, 65534) if os.geteuid() == 0 else None
    if owner:
        os.chown(q.path("kept.img"), *owner)
    os.symlink("kept.img", q.path("alias.img"))
    q.run("mkdir", "alias.img", "/through")
    q.run("ls", "kept.img", out="through/")
    status = os.lstat(q.path("kept.img"))
    if status.st_mode & 0o7777 != 0o640 or (
            owner and (status.st_uid, status.st_gid) != owner):
        FAILURES.append(f"image mode or owner changed: {status}")
    if not os.path.islink(q.path("alias.img")):
        FAILURES.append("the link was replaced by a file")
    left_beside(q, "kept.img")


def left_beside(q, img):
    """Records a failure for any file a command left beside `img`."""
    left = glob.glob(q.path(img + ".*"))
    if left:
        FAILURES.append(f"left beside {img}: {left}")


# The image's lock: open file description locks on bytes far past its end,
# the first held for a command's run, the second a gate a waiting writer
# holds.
IN_BYTE, GATE_BYTE = 1 << 62, (1 << 62) + 1
F_OFD_GETLK, F_OFD_SETLK = 36, 37


def ofd_lock(fd, kind, byte, query=False):
    """Sets (or with `query`, tests) a lock as another program would; returns
    the kind of lock another holds, for a query."""
    packed = struct.pack("hhqqi4x", kind, os.SEEK_SET, byte, 1, 0)
    got = fcntl.fcntl(fd, F_OFD_GETLK if query else F_OFD_SETLK, packed)
    return struct.unpack("hhqqi4x", got)[0]


def lock_kinds(q, img):
    """Readers share the lock, a writer holds it alone, a writer waiting at
    the gate holds new readers back, a locked temporary file beside the
    image (a replacement under way) holds everyone back; --wait 0 fails at
    once, saying why. The locks are taken as another program would, on the
    image file itself."""
    in_use = f"{img} is in use by another qsplex (waited 0 s; --wait SECONDS"
    lock = os.open(q.path(img), os.O_RDWR)
    temporary = q.path(img + ".qsplex-999999.tmp")
    open(temporary, "wb").close()
    open(q.path(img + ".lock"), "wb").close()  # as earlier builds left it
    marker = os.open(temporary, os.O_RDWR)
    for byte, kind, reads in [(IN_BYTE, fcntl.F_RDLCK, True),
                              (IN_BYTE, fcntl.F_WRLCK, False),
                              (GATE_BYTE, fcntl.F_WRLCK, False),
                              (GATE_BYTE, fcntl.F_RDLCK, True)]:
        ofd_lock(lock, kind, byte)
        q.run("ls", "--wait", "0", img, status=0 if reads else 1,
              err=None if reads else in_use)
        q.run("mkdir", "--wait", "0", img, "/held", status=1, err=in_use)
        ofd_lock(lock, fcntl.F_UNLCK, byte)
    ofd_lock(marker, fcntl.F_WRLCK, IN_BYTE)
    q.run("--wait=0", "ls", img, status=1, err="is in use by another qsplex")
    os.close(marker)
    os.close(lock)
    q.run("ls", "--wait", "0", img)
    if not os.path.exists(temporary) or not os.path.exists(q.path(img + ".lock")):
        FAILURES.append("a reading command removed a file beside the image")
    q.run("mkdir", "--wait", "0", img, "/held")
    left_beside(q, img)
    # A writer's lock holds while it reads its input, after the store
    # opened, read and closed the image.
    process = q.start("put", img, "/later", stdin=subprocess.PIPE)
    process.stdin.write(b"part")
    process.stdin.flush()
    lock = os.open(q.path(img), os.O_RDONLY)
    for _ in range(200):
        if ofd_lock(lock, fcntl.F_WRLCK, IN_BYTE, query=True) != fcntl.F_UNLCK:
            break
        time.sleep(0.05)
    time.sleep(0.5)
    held = ofd_lock(lock, fcntl.F_WRLCK, IN_BYTE, query=True)
    os.close(lock)
    process.stdin.close()
    if q.finish(process)[0] != 0 or held == fcntl.F_UNLCK:
        FAILURES.append(f"a put reading its input: lock {held}, "
                        f"status {process.returncode}")


def linked_names(q, wine, writers=4):
    """Writers through a hard link, a symbolic link and the image's own name
    at once meet at one lock: every change reported done is there through
    each name, the image checks clean, the names still name one file, and
    nothing is left beside it. A large image is changed in place; a small
    one is replaced whole, which gives its name a new file (a hard link
    would keep the old one)."""
    for img, size in [("linked.img", 2 << 20), ("small.img", 0)]:
        q.run("init", img)
        open(q.path("fill.bin"), "wb").write(os.urandom(size))
        q.run("put", img, "/fill", "fill.bin")
        names = [img, "soft-" + img] + (["hard-" + img] if size else [])
        os.symlink(img, q.path(names[1]))
        if size:
            os.link(q.path(img), q.path(names[2]))
        runs = [(name, f"/{k}{i}", q.start("mkdir", "--wait", "60", name,
                                            f"/{k}{i}"))
                for i in range(writers) for k, name in enumerate(names)]
        runs += [(None, None, q.start("ls", "-R", name)) for name in names]
        done = []
        for name, path, process in runs:
            status, _, stderr = q.finish(process)
            if status != 0:
                FAILURES.append(f"through {name}: {stderr[:300]!r}")
            elif path:
                done.append(path)
        listing = q.run("ls", names[-1])
        for name in names:
            if q.run("ls", name) != listing:
                FAILURES.append(f"{name} lists another image than {img}")
        missing = [p for p in done if p[1:] + "/" not in listing.split("\n")]
        if missing:
            FAILURES.append(f"changes reported done but missing: {missing}")
        q.run("check", img, out="the tree is consistent")
        if size and not os.path.samefile(q.path(img), q.path(names[2])):
            FAILURES.append("the hard link no longer names the image")
        if not os.path.islink(q.path(names[1])):
            FAILURES.append("the symbolic link was replaced by a file")
        for name in names:
            left_beside(q, name)


def read_only_media(q):
    """An image in a folder and file this user may not write (an unprivileged
    user, as root may write anywhere) is read without a lock file and
    refused for a change, saying why; nothing is made beside it. A small
    image this user may write there takes a change in place, as it cannot
    be written whole beside itself."""
    setpriv = "/usr/bin/setpriv"
    if os.geteuid() != 0 or not os.path.exists(setpriv):
        print("qsplex read-only media case skipped: needs root and setpriv")
        return
    folder = q.path("media")
    os.mkdir(folder)
    q.run("init", "media/ro.img")
    q.run("put", "media/ro.img", "/data", "payload.bin")
    q.run("init", "media/rw.img")
    os.chmod(q.path("media/rw.img"), 0o666)
    os.chmod(q.path("media/ro.img"), 0o444)
    os.chmod(folder, 0o555)
    os.chmod(q.workdir, 0o755)
    nobody = Tool(q.command[-1], q.command[0] if len(q.command) > 1 else None,
                  q.workdir)
    nobody.command = [setpriv, "--reuid=65534", "--regid=65534",
                      "--clear-groups"] + q.command
    payload = open(q.path("payload.bin"), "rb").read()
    nobody.run("cat", "media/ro.img", "/data", out=payload, raw=True)
    nobody.run("check", "media/ro.img", out="the tree is consistent")
    nobody.run("mkdir", "media/ro.img", "/x", status=1,
               err="media/ro.img: cannot change it: Permission denied")
    nobody.run("mkdir", "media/rw.img", "/x")
    nobody.run("ls", "media/rw.img", out="x/")
    nobody.run("check", "media/rw.img", out="the tree is consistent")
    if sorted(os.listdir(folder)) != ["ro.img", "rw.img"]:
        FAILURES.append(f"read-only media: made {os.listdir(folder)}")
    os.chmod(folder, 0o755)


def writer_priority(q, readers=4):
    """A writer gets in while readers loop without a pause, each holding the
    lock for a while (its output waits to be read): it waits only for the
    readers already in, not for those that come after it."""
    img = "prio.img"
    q.run("init", img)
    open(q.path("prio.bin"), "wb").write(os.urandom(4 << 20))
    q.run("put", img, "/big", "prio.bin")
    stop = q.path("prio.stop")
    loop = (f"set -o pipefail; while [ ! -e {stop} ]; do "
            f"{' '.join(q.command)} cat {img} /big | "
            "{ sleep 0.4; cat >/dev/null; } || exit 1; done")
    loops = [subprocess.Popen(["bash", "-c", loop], cwd=q.workdir)
             for _ in range(readers)]
    time.sleep(1)
    started = time.time()
    for i in range(3):
        q.run("mkdir", "--wait", "10", img, f"/w{i}")
    took = time.time() - started
    open(stop, "wb").close()
    if any(loop.wait() != 0 for loop in loops):
        FAILURES.append("a reader loop failed")
    q.run("ls", img, out="w2/")
    print(f"qsplex: 3 writers among {readers} reader loops took {took:.1f} s")


def wine_signals(q):
    """Under Wine, SIGINT reaches the console handler, which ends the Win32
    build as Windows would (status 0xC000013A, of which 58 shows), and
    SIGTERM ends it at once: Wine passes it to no handler. Either way a
    put still reading its input leaves the image as it was."""
    img = "signals.img"
    q.run("init", img)
    for sig, wanted in [(signal.SIGINT, 58), (signal.SIGTERM, -signal.SIGTERM)]:
        process = q.start("put", img, "/x", stdin=subprocess.PIPE)
        process.stdin.write(b"x" * 100000)
        process.stdin.flush()
        lock = os.open(q.path(img), os.O_RDONLY)
        for _ in range(300):
            if ofd_lock(lock, fcntl.F_WRLCK, IN_BYTE,
                        query=True) != fcntl.F_UNLCK:
                break
            time.sleep(0.05)
        os.close(lock)
        process.send_signal(sig)
        try:
            status = process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            status = "still running after 10 s"
        process.stdin.close()
        q.finish(process)
        if status != wanted:
            FAILURES.append(f"{signal.Signals(sig).name} under Wine: status "
                            f"{status}, expected {wanted}")
        if "x" in q.run("ls", img).split():
            FAILURES.append(f"{signal.Signals(sig).name} under Wine: the "
                            "put's stream is there")
        q.run("check", img, out="the tree is consistent")


def locks_across_builds(native, win32):
    """The native and the Win32 build see each other's locks on the image
    file, and writers of both at once through a link lose nothing."""
    img = "both.img"
    native.run("init", img)
    process = win32.start("put", img, "/held", stdin=subprocess.PIPE)
    process.stdin.write(b"part")
    process.stdin.flush()
    lock = os.open(native.path(img), os.O_RDONLY)
    for _ in range(300):
        if ofd_lock(lock, fcntl.F_WRLCK, IN_BYTE, query=True) != fcntl.F_UNLCK:
            break
        time.sleep(0.05)
    native.run("ls", "--wait", "0", img, status=1, err="is in use")
    process.stdin.close()
    if win32.finish(process)[0] != 0:
        FAILURES.append("the Win32 put while a native ls waited failed")
    os.close(lock)  # the put replaced the file
    lock = os.open(native.path(img), os.O_RDONLY)
    ofd_lock(lock, fcntl.F_RDLCK, IN_BYTE)
    win32.run("ls", img, out="held")
    win32.run("mkdir", "--wait", "0", img, "/no", status=1, err="is in use")
    os.close(lock)
    os.symlink(img, native.path("both-link.img"))
    runs = []
    for i in range(4):
        for tool, name in ((native, img), (win32, "both-link.img")):
            path = f"/{'nw'[tool is win32]}{i}"
            runs.append((path, tool.start("mkdir", name, path)))
    for path, process in runs:
        status, _, stderr = native.finish(process)
        if status != 0:
            FAILURES.append(f"mkdir {path} across builds: {stderr[:300]!r}")
        else:
            native.run("stat", img, path, out="type:     storage")
    native.run("check", img, out="the tree is consistent")
    left_beside(native, img)


def concurrency(q, writers, readers):
    """Writers and readers at once: every change reported done is there,
    every refusal says why, and the image checks clean."""
    img = "busy.img"
    q.run("init", img)
    runs = []
    for i in range(writers):
        name = f"in{i}.bin"
        open(q.path(name), "wb").write(b"w%d" % i)
        args = (("put", "-p", img, f"/d{i % 3}/w{i}", name) if i % 4 else
                ("mkdir", "-p", img, f"/m{i}"))
        runs.append((args, q.start(*args)))
    for i in range(readers):
        args = ("check", img) if i % 2 else ("ls", "-R", img)
        runs.append((args, q.start(*args)))
    done = []
    for args, process in runs:
        status, _, stderr = q.finish(process)
        if status == 0:
            done.append(args)
        elif b"in use by another qsplex" not in stderr:
            FAILURES.append(f"{args}: status {status} without a reason: "
                            f"{stderr[:300]!r}")
    for args in done:
        if args[0] == "put":
            q.run("cat", img, args[3], out=open(q.path(args[4]), "rb").read(),
                  raw=True)
        elif args[0] == "mkdir":
            q.run("stat", img, args[3], out="type:     storage")
    q.run("check", img, out="the tree is consistent")
    # Commands making one new image at once: one makes it, the others say
    # that it is there.
    makers = [q.start("init", "made.img") for _ in range(writers // 4 + 2)]
    outcomes = sorted(q.finish(p)[0:3:2] for p in makers)
    if [s for s, _ in outcomes] != [0] + [1] * (len(makers) - 1) or not all(
            b"exists already" in e or b"made a file of its name meanwhile" in e
            for _, e in outcomes[1:]):
        FAILURES.append(f"inits of one new image at once: {outcomes}")
    q.run("check", "made.img", out="the tree is consistent")
    left_beside(q, "made.img")


def interrupted_puts(q):
    """SIGINT, SIGTERM and SIGKILL at several moments of a large put: the
    image is the old one or the new one; an interrupt removes a temporary
    file at once, and the next change removes what a kill left, in the
    image's folder or past the image's end in its file."""
    img = "kill.img"
    q.run("init", img)
    big = os.urandom(8 << 20)
    temporaries = q.path(img + ".qsplex-*.tmp")
    for step, (moment, sig) in enumerate([
            ("reading", signal.SIGINT), ("reading", signal.SIGKILL),
            ("saving", signal.SIGINT), ("saving", signal.SIGTERM),
            ("saving", signal.SIGKILL), (0.8, signal.SIGKILL)]):
        size = os.path.getsize(q.path(img))
        process = q.start("put", img, "/big", stdin=subprocess.PIPE)
        if moment == "reading":
            process.stdin.write(big[:len(big) // 2])
            process.stdin.flush()
            time.sleep(0.3)
        else:
            process.stdin.write(big)
            process.stdin.close()
            if moment == "saving":
                # The save writes a temporary file, or adds to the image.
                for _ in range(2000):
                    if (glob.glob(temporaries) or process.poll() is not None
                            or os.path.getsize(q.path(img)) > size):
                        break
                    time.sleep(0.005)
            else:
                time.sleep(moment)
        process.send_signal(sig)
        if moment == "reading":
            process.stdin.close()
        q.finish(process)
        listing = q.run("ls", img)
        if "big" in listing:
            q.run("cat", img, "/big", out=big, raw=True)
        q.run("check", img, out="the tree is consistent")
        if sig != signal.SIGKILL and glob.glob(temporaries):
            FAILURES.append(f"{signal.Signals(sig).name} while {moment} left "
                            f"{glob.glob(temporaries)}")
        if "big" in listing:
            q.run("rm", img, "/big")
        else:
            q.run("mkdir", img, f"/next{step}")
        if os.path.getsize(q.path(img)) > 1 << 20:
            FAILURES.append(f"{signal.Signals(sig).name} while {moment}: the "
                            f"next change left {os.path.getsize(q.path(img))} "
                            "bytes in the image")
    q.run("mkdir", img, "/after")
    if glob.glob(temporaries):
        FAILURES.append(f"the next change left {glob.glob(temporaries)}")


def with_plex(megabytes):
    """Run options giving the plex a reservation of `megabytes` MiB."""
    return {"env": dict(os.environ, QSPLEX_PLEX_BYTES=str(megabytes << 20))}


def plex_capacity(q):
    """The plex's capacity is stated, and what exceeds it is refused before
    anything changes: an image too large to load, a put of a file or of
    standard input, a copy. A small reservation stands in for the 32-bit
    limit."""
    img = "cap.img"
    q.run("init", img)
    q.run("info", "-v", img, out=" MiB in this build\nin use:      1 MiB")
    q.run("info", "-v", img, out="capacity:    4 MiB in this build",
          **with_plex(4))
    q.run("info", img, out="capacity:    1 MiB used of 4 MiB in this build",
          **with_plex(4))
    five = os.urandom(5 << 20)
    open(q.path("five.bin"), "wb").write(five)
    open(q.path("three.bin"), "wb").write(five[:3 << 20])
    q.run("put", img, "/three", "three.bin")
    before = open(q.path(img), "rb").read()
    for args, stdin, err in [
        (("put", img, "/five", "five.bin"), b"",
         "/five: the plex cannot hold 5242880 bytes more (capacity 4 MiB in "
         "this build); the image is unchanged"),
        (("put", img, "/three", "five.bin"), b"", "cannot hold 5242880 bytes"),
        (("put", img, "/five", "-"), five, "bytes stored so far (capacity 4 "
         "MiB in this build); the image is unchanged"),
        (("cp", img, "/three", "/copy"), b"", "/three: the plex cannot hold "
         "3145728 bytes more (capacity 4 MiB in this build)"),
    ]:
        q.run(*args, stdin=stdin, status=1, err=err, **with_plex(4))
    if open(q.path(img), "rb").read() != before:
        FAILURES.append("a put or cp past the plex's capacity changed the image")
    q.run("put", img, "/five", "five.bin")
    q.run("ls", img, status=1, err=f"{img}: holds 9 MiB, but this build's "
          "plex holds at most 4 MiB", **with_plex(4))
    # -q goes before or after the command word, alone or among letters.
    q.run("-q", "ls", img, out="five\nthree\n")
    q.run("cat", "-q", img, "/three", out=five[:3 << 20], raw=True)
    q.run("rm", "-qr", img, "/five")


def peak_memory(q):
    """A put, a cat, a get and a load of a 64 MiB stream move data in
    pieces: no command's peak memory exceeds the image's size by more than
    64 MiB."""
    img = "mem.img"
    q.run("init", img)
    open(q.path("big.bin"), "wb").write(os.urandom(64 << 20))
    probe = ("import resource, subprocess, sys\n"
             "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)\n"
             "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    for args in [("put", img, "/big", "big.bin"), ("cat", img, "/big"),
                 ("get", img, "/big", "big.out"), ("ls", img)]:
        peak = int(subprocess.run(
            [sys.executable, "-c", probe] + q.command + list(args),
            cwd=q.workdir, stdout=subprocess.PIPE, check=True).stdout) << 10
        bound = os.path.getsize(q.path(img)) + (64 << 20)
        if peak > bound:
            FAILURES.append(f"qsplex {args[0]}: peak memory {peak >> 20} MiB, "
                            f"more than {bound >> 20} MiB")
    os.remove(q.path(img))


def wine_files(q, img):
    """The Win32 build's file cases: compound files missing, foreign or in
    a missing folder; export's overwrite rule; attributes kept."""
    for args, status, err in [
        (("export", img, "nodir/x.cfb"), 1,
         "nodir/x.cfb: cannot create it: Path not found (there is no folder "
         "nodir)"),
        (("import", img, "nothere.cfb"), 1, "nothere.cfb: no such file: "),
        (("import", img, "payload.bin"), 1,
         "payload.bin: not a compound file"),
        (("export", img, "payload.bin"), 1,
         "payload.bin: exists already (-f replaces it)"),
    ]:
        q.run(*args, status=status, err=err)
    q.run("export", "-f", img, "payload.bin")
    attrib = [q.command[0], "cmd", "/c", "attrib"]
    subprocess.run(attrib + ["+h", img], cwd=q.workdir,
                   stdout=subprocess.DEVNULL)
    q.run("mkdir", img, "/hidden")
    shown = subprocess.run(attrib + [img], cwd=q.workdir,
                           stdout=subprocess.PIPE).stdout.decode()
    if "H" not in shown.split("Z:")[0]:
        FAILURES.append(f"the image lost its hidden attribute: {shown!r}")


def folder_tree(root):
    """{relative path: bytes, or None for a folder} of a folder's tree."""
    tree = {}
    for folder, folders, files in os.walk(root):
        for name in folders + files:
            path = os.path.join(folder, name)
            tree[os.path.relpath(path, root)] = (
                None if os.path.isdir(path) else open(path, "rb").read())
    return tree


def trees_in_and_out(q, payload, wine):
    """get -r and put -r carry a tree with awkward names, bytes and class
    ids through a folder and back into a fresh image unchanged; names a file
    system cannot hold travel as %XX, in the Win32 build its own too."""
    img, clsid = "trees.img", "{01234567-89AB-CDEF-0123-456789ABCDEF}"
    q.run("init", img)
    q.run("mkdir", "-p", img, "/top/dôcs/..")
    q.run("setclass", img, "/top", clsid)
    # (element path, its file natively, its file in the Win32 build, bytes)
    streams = [
        ("%05SummaryInformation", None, None, b"\x05summary"),
        ("100%25", None, None, b"percent"),
        ("a%2Fb", None, None, b"slash"),
        ("x%01%1F%7F%81", None, None, b"controls"),
        ("a:b*?", "a:b*?", "a%3Ab%2A%3F", b"reserved"),
        ("end.", "end.", "end%2E", b"dot"),
        ("end ", "end ", "end%20", b"space"),
        ("empty", None, None, b""),
        ("dôcs/../payload.bin", "dôcs/.%2E/payload.bin", None, payload),
    ]
    for path, _, _, data in streams:
        q.run("put", img, "/top/" + path, stdin=data)
    q.run("ls", img, "/top", out="%05SummaryInformation\n")
    q.run("tree", img, "/top", out="`-- x%01%1F%7F%81 (8 bytes)")
    q.run("stat", img, "/top/100%25", out="path:     /top/100%25\n")
    q.run("cat", img, "/top/x\x01%1F\x7f%81", out=b"controls", raw=True)
    plant(q, img, "named.img", lambda i: i.blocks[i.blocks[i.entry(
        "/top/\x05SummaryInformation")][3]].__setitem__(3, 99999))
    q.run("check", "named.img", status=1,
          out="/top/%05SummaryInformation: size 99999 exceeds")
    q.run("dump", "named.img", "/top/%05SummaryInformation",
          out='StreamNode', err="")
    q.run("get", "-r", img, "/top", "out")
    expected = {"%classid": (clsid + "\n").encode(), "dôcs": None,
                "dôcs/.%2E": None}
    for path, native, windows, data in streams:
        name = (windows if wine else native) or native or path
        expected[name] = data
    got = folder_tree(q.path("out"))
    if got != expected:
        FAILURES.append(f"get -r wrote {sorted(got)}, expected {sorted(expected)}")
    q.run("init", "back.img")
    q.run("put", "-r", "-p", "back.img", "/deep/top", "out")
    q.run("stat", "back.img", "/deep/top", out=f"class id: {clsid}")
    q.run("get", "-r", "back.img", "/deep/top", "again")
    if folder_tree(q.path("again")) != got:
        FAILURES.append("get -r, put -r and get -r again changed the tree")
    listing = q.run("ls", "-lR", img, "/top").replace("/top", "")
    if sorted(listing.splitlines()) != sorted(
            q.run("ls", "-lR", "back.img", "/deep/top")
            .replace("/deep/top", "").splitlines()):
        FAILURES.append("the tree put back lists differently")
    for path, _, _, data in streams:
        q.run("cat", "back.img", "/deep/top/" + path, out=data, raw=True)
    q.run("check", "back.img", out="the tree is consistent")

    # One stream: into a file, a folder, standard output; -f to replace.
    q.run("get", img, "/top/100%25", "-", out=b"percent", raw=True)
    q.run("get", img, "/top/100%25", "out", status=1,
          err="out/100%25: exists already (-f replaces it)")
    q.run("get", "-f", img, "/top/empty", "out/100%25")
    if open(q.path("out/100%25"), "rb").read() != b"":
        FAILURES.append("get -f did not replace the file")
    q.run("get", img, "/top/dôcs/..", "x.bin", status=1,
          err="is a storage (-r copies it")
    for args, err in [
        (("get", "-r", img, "/top", "out"),
         "out: exists already (-f writes into it"),
        (("get", "-r", img, "/top/empty", "new"), "is a stream; get without"),
        (("put", "-r", "back.img", "/deep/top", "out"),
         "/deep/top: an element of that name exists (STG_E_FILEALREADYEXISTS)"
         "; -f puts"),
        (("put", "-r", "back.img", "/deep", "again"),
         "/deep: an element of that name exists"),
        (("put", "-r", "back.img", "/x", "payload.bin"), "is not a folder"),
    ]:
        q.run(*args, status=1, err=err)
    os.mkdir(q.path("clash"))
    open(q.path("clash/deep"), "wb").write(b"file where a storage is")
    q.run("put", "-r", "back.img", "/", "clash", status=1,
          err="/deep: an element of that name exists (STG_E_FILEALREADYEXISTS)"
          "; -f replaces it with clash/deep")
    q.run("get", "-r", "-f", img, "/top", "out")
    if folder_tree(q.path("out")) != got:
        FAILURES.append("get -r -f did not rewrite the folder")
    q.run("put", "-r", "-f", "back.img", "/", "clash")
    q.run("cat", "back.img", "/deep", out=b"file where a storage is", raw=True)

    # Only the escaped form is taken, and nothing is stored when any name
    # or class id file is wrong.
    os.makedirs(q.path("bad/sub"))
    for name in ["50%", "%41", "lower%2f", "ok"]:
        open(q.path("bad/sub/" + name), "wb").write(b"x")
    open(q.path("bad/%classid"), "wb").write(b"not a class id\n")
    if not wine:
        os.symlink("..", q.path("bad/up"))
    before = open(q.path("back.img"), "rb").read()
    q.run("put", "-r", "back.img", "/bad", "bad", status=1,
          err="bad/sub/50%: not a name put -r takes: character 3 of '50%', "
          "'%', does not start the escape")
    stderr_check = q.start("put", "-r", "back.img", "/bad", "bad")
    _, _, err = q.finish(stderr_check)
    for part in [b"bad/sub/%41:", b"bad/sub/lower%2f:", b"bad/%classid: does "
                 b"not hold a class id", b"bad: 4 files above cannot be stored"
                 ] + ([] if wine else [b"bad/up: is a link, which put -r does "
                                      b"not follow, so it is not stored"]):
        if part not in err:
            FAILURES.append(f"put -r of bad names does not say {part!r}: {err!r}")
    if open(q.path("back.img"), "rb").read() != before:
        FAILURES.append("a refused put -r changed the image")
    if wine:
        # Windows tells no case apart: refused before the folder is made.
        q.run("put", "-p", img, "/case/Name", stdin=b"1")
        q.run("put", img, "/case/NAME", stdin=b"2")
        q.run("put", img, "/case/nul.txt", stdin=b"3")
        _, _, err = q.finish(q.start("get", "-r", img, "/case", "case"))
        for part in [b"/case/Name: its file name differs only in case from "
                     b"that of /case/NAME", b"/case/nul.txt: its file name is "
                     b"a device's on Windows", b"2 elements above cannot be "
                     b"written; nothing was written"]:
            if part not in err:
                FAILURES.append(f"get -r in the Win32 build does not say "
                                f"{part!r}: {err!r}")
        if os.path.exists(q.path("case")):
            FAILURES.append("a refused get -r made its folder")


def timed(source, target):
    """Copies the compound file `source` to `target` with a modification
    time in each storage's directory entry."""
    data = bytearray(open(source, "rb").read())
    shift = struct.unpack_from("<H", data, 0x1E)[0]
    entry = (struct.unpack_from("<I", data, 0x30)[0] + 1) << shift
    for at in range(entry, entry + (1 << shift), 128):
        if data[at + 0x42] in (1, 5):  # a storage, the root
            struct.pack_into("<Q", data, at + 0x6C, 132000000000000000)
    open(target, "wb").write(data)


def habits(q, wine):
    """What users bring from other tools: import's operands in export's
    order (the older order taken, -p for parents), export --rename, times
    said to be dropped, --version, info's summary, put -r of links."""
    import olefile
    img = "h.img"
    q.run("init", img)
    q.run("put", "-p", img, "/src/a", stdin=b"a")
    q.run("mkdir", img, "/src/d")
    q.run("export", img, "/src", "h-src.cfb")
    timed(q.path("h-src.cfb"), q.path("h-timed.cfb"))
    q.run("put", img, "/stream", stdin=b"s")
    # (operands, exit status, what standard error says or None: nothing
    # of times)
    for args, status, text in [
        (("/new", "h-src.cfb"), 0, None),
        (("h-src.cfb", "/old"), 0, None),
        (("h-src.cfb",), 0, None),
        (("/x/y", "h-src.cfb"), 1, "/x: no such element (STG_E_FILE"
         "NOTFOUND); -p makes the missing storages"),
        (("-p", "/x/y", "h-src.cfb"), 0, None),
        # Wine's compound files give no element times to read.
        (("/timed", "h-timed.cfb"), 0, None if wine else
         "h-timed.cfb: times are not kept (the image keeps none)"),
        (("/stream", "h-src.cfb"), 1, "/stream: is a stream"),
        (("/z", "h-nope.cfb"), 1, "h-nope.cfb: no such file"),
        (("h-nope.cfb", "/z"), 1, "FILE comes last, as in 'qsplex "
         "import h.img /z h-nope.cfb'"),
        (("/z",), 1, "PATH in the image comes before FILE"),
    ]:
        done, _, err = q.finish(q.start("import", img, *args))
        err = err.decode(errors="replace")
        if done != status or ((text or "times") in err) != bool(text):
            FAILURES.append(f"import {args}: exit status {done}, "
                            f"expected {status}; stderr {err!r}")
    q.run("import", "h-src.cfb", img, "/w", status=1,
          err="h.img is one: IMAGE comes first")
    for path in ["/new/a", "/old/a", "/a", "/x/y/a", "/timed/a"]:
        q.run("cat", img, path, out=b"a", raw=True)

    # Each kind of name a compound file cannot hold, renamed.
    long_name = "a name longer than thirty-one units"
    for name in ["a:b", "a_b", "back\\slash", "bang!", long_name,
                 long_name + "!", "Same", "SAME"]:
        q.run("put", "-p", img, "/bad/" + name, stdin=name.encode())
    q.run("put", "-p", img, "/bad/sub/x:y", stdin=b"deep")
    q.run("export", img, "/bad", "h-bad.cfb", status=1,
          err="cannot be held by a compound file; nothing was written")
    out = q.run("export", "--rename", img, "/bad", "h-bad.cfb")
    renames = dict(line.split(" -> ") for line in out.splitlines())
    wanted = {"/bad/a:b": "a_b~1", "/bad/back\\slash": "back_slash",
              "/bad/bang!": "bang_", "/bad/" + long_name:
              long_name[:29] + "~1", "/bad/" + long_name + "!":
              long_name[:31], "/bad/Same": "Same~1", "/bad/sub/x:y": "x_y"}
    expect("export --rename", renames, wanted)
    cfb = olefile.OleFileIO(q.path("h-bad.cfb"))
    got = {"/".join(entry): cfb.openstream(entry).read()
           for entry in cfb.listdir()}
    cfb.close()
    expect("export --rename's file", got, {
        "a_b": b"a_b", "a_b~1": b"a:b", "back_slash": b"back\\slash",
        "bang_": b"bang!", long_name[:29] + "~1": long_name.encode(),
        long_name[:31]: (long_name + "!").encode(), "SAME": b"SAME",
        "Same~1": b"Same", "sub/x_y": b"deep"})

    version = q.run("--version")
    for field in ["target:         " + ("Win32" if wine else "native"),
                  "compiler:       ", "images:         reads formats 1 to "
                  "3, writes format 3", "compound files: " +
                  ("the platform's" if wine else "libgsf ")]:
        if field not in version:
            FAILURES.append(f"--version lacks {field!r}: {version!r}")

    summary = q.run("info", img, out="format:      version 3, the current "
                    "one\nlast saved:  whole (generation 1)")
    for line in ["elements:    ", "bytes:       ", "capacity:    "]:
        if line not in summary or "root anchor:" in summary:
            FAILURES.append(f"info's summary: {summary!r}")
    q.run(img, out="last saved:  whole")
    q.run("info", "-v", img, out="root anchor: block 2, word 52 = ")
    big = "hbig.img"
    q.run("init", big)
    open(q.path("hbig.bin"), "wb").write(bytes(1 << 20))
    open(q.path("hmore.bin"), "wb").write(bytes(200000))
    q.run("put", big, "/big", "hbig.bin")
    q.run("put", big, "/more", "hmore.bin")
    q.run("put", big, "/small", stdin=b"x")
    info = parsed(q, "info", "--json", big)
    expect("info --json's summary", (
        info.get("storages"), info.get("streams"), info.get("stream_bytes"),
        info.get("format_version"), info.get("last_saved")),
        (0, 3, (1 << 20) + 200001, 3, {"whole": False, "generation": 4,
                           "whole_generation": 1}))
    q.run("info", big, out="changes in place (generation 4, 3 saves after "
          "the last whole one)")

    # Links are named and left out by both builds; files' times are said
    # to be dropped once.
    os.makedirs(q.path("linked/dir"))
    open(q.path("linked/file"), "wb").write(b"f")
    os.symlink("file", q.path("linked/to-file"))
    os.symlink("dir", q.path("linked/to-dir"))
    _, _, err = q.finish(q.start("put", "-r", img, "/linked", "linked"))
    for part in [b"linked/to-file: is a link", b"linked/to-dir: is a link",
                 b"linked: times are not kept"]:
        if part not in err:
            FAILURES.append(f"put -r of links does not say {part!r}: {err!r}")
    q.run("ls", "--sort", "name", img, "/linked", out="dir/\nfile\n")
    q.run("stat", img, "/linked/to-file", status=1)
    _, _, err = q.finish(q.start("put", "-r", "-q", img, "/quiet", "linked"))
    if b"times" in err:
        FAILURES.append(f"put -r -q tells of times: {err!r}")


def deep_trees(q, wine):
    """A folder ten levels deep, with files at several levels, goes in with
    put -r, out to a compound file and back in, and out again with get -r
    unchanged; olefile reads the compound file the same."""
    import olefile  # Debian's python3-olefile: an independent reader

    levels = [f"level{n}" for n in range(1, 11)]
    files = {}
    for depth in (1, 2, 5, 9, 10):
        files["/".join(levels[:depth] + [f"f{depth}"])] = b"x" * depth
    for path, data in files.items():
        os.makedirs(os.path.dirname(q.path("deep/" + path)), exist_ok=True)
        open(q.path("deep/" + path), "wb").write(data)
    q.run("init", "deep.img")
    q.run("put", "-r", "deep.img", "/t", "deep")
    q.run("export", "deep.img", "/t", "deep.cfb")
    cfb = olefile.OleFileIO(q.path("deep.cfb"))
    found = {"/".join(p): cfb.openstream(p).read()
             for p in cfb.listdir(streams=True, storages=False)}
    cfb.close()
    if found != files:
        FAILURES.append(f"olefile reads deep.cfb as {sorted(found)}")
    q.run("init", "deep-back.img")
    q.run("import", "deep-back.img", "deep.cfb", "/")
    q.run("get", "-r", "deep-back.img", "/level1", "deep-back")
    if folder_tree(q.path("deep-back")) != folder_tree(q.path("deep/level1")):
        FAILURES.append("a deep tree changed through export and import")
    # A storage whose element list points past the directory: the failure
    # names the file (and in the Win32 build the storage in it), and
    # nothing is imported.
    data = bytearray(open(q.path("deep.cfb"), "rb").read())
    entry = data.index("level3".encode("utf-16-le") + b"\0\0")
    struct.pack_into("<I", data, entry + 0x4C, 99999)
    open(q.path("bad.cfb"), "wb").write(data)
    q.run("init", "deep-bad.img")
    q.run("import", "deep-bad.img", "bad.cfb", "/", status=1,
          err="import: bad.cfb: /level1/level2/level3: " if wine else
          "import: bad.cfb: the compound file is damaged")
    q.run("ls", "deep-bad.img", out=b"", raw=True)


def hexdumps(q, img):
    """hexdump shows offsets, hex and text as hexdump -C does, from and for
    as many bytes as asked, a repeated line once as '*'."""
    data = bytes(range(32)) + b"\0" * 48 + b"Hello, world!\n"
    q.run("put", img, "/hex", stdin=data)
    q.run("hexdump", img, "/hex", out=(
        "00000000  00 01 02 03 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f  "
        "|................|\n"
        "00000010  10 11 12 13 14 15 16 17  18 19 1a 1b 1c 1d 1e 1f  "
        "|................|\n"
        "00000020  00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00  "
        "|................|\n*\n"
        "00000050  48 65 6c 6c 6f 2c 20 77  6f 72 6c 64 21 0a        "
        "|Hello, world!.|\n0000005e\n"))
    q.run("hexdump", img, "/hex", "--offset", "0x51", "--length=5",
          out="00000051  65 6c 6c 6f 2c" + " " * 36 + "|ello,|\n00000056\n")
    text = q.run("hexdump", "-v", img, "/hex")
    if text.count("\n") != 7 or "*" in text:
        FAILURES.append(f"hexdump -v squeezed lines: {text!r}")
    q.run("hexdump", img, "/hex", "--offset", "94", raw=True, out=b"")
    q.run("hexdump", img, "/hex", "--offset", "-1", status=2,
          err="--offset: takes a whole number of bytes")
    q.run("hexdump", img, "/hex", "--length", status=2,
          err="--length takes a value")
    q.run("hexdump", img, "/", status=1, err="/: is a storage, not a stream")



def finds(q):
    """find prints the paths that match, depth first by name and escaped as
    ls shows names; --json gives ls --json's entries."""
    img = "find.img"
    q.run("init", img)
    q.run("mkdir", "-p", img, "/docs/old")
    for path in ["/docs/b.txt", "/docs/a.txt", "/docs/old/c.txt",
                 "/docs/%05x", "/run-1", "/données"]:
        q.run("put", img, path, stdin=b"12")
    for args, paths in [
        ((), ["/", "/docs", "/docs/%05x", "/docs/a.txt", "/docs/b.txt",
              "/docs/old", "/docs/old/c.txt", "/données", "/run-1"]),
        (("-name", "*.txt"), ["/docs/a.txt", "/docs/b.txt", "/docs/old/c.txt"]),
        (("/docs", "-type", "s"), ["/docs", "/docs/old"]),
        (("-type", "f", "-name", "[!ab]*"), ["/docs/%05x", "/docs/old/c.txt",
                                            "/données", "/run-1"]),
        (("-name", "%05*"), ["/docs/%05x"]),
        (("-name", "donn?es"), ["/données"]),
        (("-name", "*-[0-9]", "-name", "r*"), ["/run-1"]),
        (("/docs/a.txt", "-type", "f"), ["/docs/a.txt"]),
        (("-type", "s", "-type", "f"), []),
        (("-name", "/"), ["/"]),
    ]:
        expect(f"find {args}", q.run("find", img, *args).splitlines(), paths)
    found = parsed(q, "find", "--json", img, "/docs", "-name", "a*")
    expect("find --json", found, [{
        "name": "a.txt", "path": "/docs/a.txt", "type": "stream", "size": 2,
        "mode": 0, "class_id": None}])
    for args, status, err in [
        (("-type", "x"), 2, "-type takes s (storages) or f (streams), not 'x'"),
        (("-name",), 2, "-name takes a pattern"),
        (("/nope",), 1, "/nope: no such element"),
    ]:
        expect(f"stdout of find {args}",
               q.run("find", img, *args, status=status, err=err), "")


def diffs(q, wine):
    """diff tells each kind of difference by a line and in JSON, exiting
    with 0 on equal images, 1 on different ones and 2 on trouble."""
    q.run("init", "d0.img")
    q.run("mkdir", "-p", "d0.img", "/s/t")
    q.run("put", "d0.img", "/s/x", stdin=b"abc")
    q.run("put", "d0.img", "/y", stdin=b"12345")
    big = os.urandom(5 << 19)  # several of the pieces streams are read in
    q.run("put", "d0.img", "/big", stdin=big)
    cases = [  # the change to a copy of d0.img; its line; its JSON
        ("equal", [], None, None),
        ("added", [("put", "/s/t/new", b"12")],
         "+ /s/t/new (stream, 2 bytes)\n", ("added", "/s/t/new")),
        ("removed", [("rm", "-r", "/s")],
         "- /s (storage, 1 stream, 3 bytes)\n", ("removed", "/s")),
        ("bytes", [("put", "/big", big[:-1] + b"?")],
         "M /big (bytes differ)\n", ("bytes", "/big")),
        ("size", [("put", "/y", b"1234")], "M /y (size 5 -> 4)\n",
         ("size", "/y")),
        ("class id", [("setclass", "/s/t", CLASS_ID)],
         f"M /s/t (class id {NULL_CLASS} -> {CLASS_ID})\n",
         ("class_id", "/s/t")),
        ("kind", [("rm", "/y"), ("mkdir", "/y")],
         "M /y (stream -> storage)\n", ("type", "/y")),
    ]
    for name, changes, line, change in cases[:3] if wine else cases:
        shutil.copy(q.path("d0.img"), q.path("d1.img"))
        for command, *args in changes:
            stdin = args.pop() if command == "put" else b""
            q.run(command, "d1.img", *args, stdin=stdin)
        status = 0 if line is None else 1
        expect(f"diff of {name}", q.run("diff", "d0.img", "d1.img",
                                        status=status), line or "")
        doc = parsed(q, "diff", "--json", "d0.img", "d1.img", status=status)
        expect(f"diff --json of {name}",
               (doc.get("equal"), [(d["change"], d["path"])
                                   for d in doc.get("differences", [])]),
               (line is None, [change] if change else []))
    if not wine:  # d1.img holds the last case's change
        q.run("diff", "d1.img", "d0.img", "/y", status=1,
              out="M /y (storage -> stream)\n")
    open(q.path("cut.img"), "wb").write(
        open(q.path("d0.img"), "rb").read()[:-9])
    for args, err in [
        (("d0.img", "missing.img"), "missing.img: no such image"),
        (("d0.img", "d1.img", "/s/t/new"), "d0.img: /s/t/new: no such element"),
        (("d0.img", "cut.img"), "a damaged plex image"),
        (("d0.img",), "usage: qsplex diff"),
    ]:
        q.run("diff", *args, status=2, err=err)

def listing_order(q):
    """ls and tree list by name, as ls does, so a renamed element moves only
    as its name does; --sort none keeps the library's order, newest first."""
    img = "order.img"
    q.run("init", img)
    for name in ["b", "a", "C", "é"]:
        q.run("put", img, "/" + name, stdin=b"x")
    q.run("mkdir", img, "/_d")
    q.run("put", img, "/_d/z", stdin=b"")
    q.run("put", img, "/_d/y", stdin=b"")
    q.run("mv", img, "/a", "/c")
    by_name = ["C", "_d", "b", "c", "é"]
    newest_first = ["_d", "é", "C", "c", "b"]  # a rename keeps its place
    for args, names in [
        ((), by_name), (("--sort", "name"), by_name),
        (("--sort", "none"), newest_first),
    ]:
        expect(f"ls {args}", q.run("ls", *args, img).replace("/", "").split(),
               names)
        expect(f"ls --json {args}", [e["name"] for e in parsed(
            q, "ls", "--json", *args, img)["entries"]], names)
        expect(f"tree --json {args}", [c["name"] for c in parsed(
            q, "tree", "--json", *args, img)["children"]], names)
    expect("tree", q.run("tree", img).splitlines()[1:8], [
        "|-- C (1 bytes)", "|-- _d/ (0 bytes)", "|   |-- y (0 bytes)",
        "|   `-- z (0 bytes)", "|-- b (1 bytes)", "|-- c (1 bytes)",
        "`-- é (1 bytes)"])
    expect("ls -R", q.run("ls", "-R", img).split("\n\n")[1], "/_d:\ny\nz\n")


def clear_asks(q):
    """clear discards the tree with -f; without it only after a yes on a
    terminal, and never from a pipe or file."""
    img = "clear.img"
    q.run("init", img)
    q.run("mkdir", img, "/kept")
    q.run("clear", img, status=2, err="add -f")
    for answer, listing in [(b"n\n", "kept/\n"), (b"\n", "kept/\n"),
                            (b"y\n", "")]:
        leader, follower = pty.openpty()
        os.write(leader, answer)
        q.run("clear", img, stdin_file=follower, err="? [y/N] ")
        os.close(leader)
        os.close(follower)
        expect(f"ls after answering {answer!r}", q.run("ls", img), listing)
    q.run("mkdir", img, "/again")
    q.run("clear", "-f", img)
    expect("ls after clear -f", q.run("ls", img), "")

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qsplex", required=True)
    parser.add_argument("--runner", help="runs the program, e.g. under Wine")
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--cross", metavar="WIN32_QSPLEX",
                        help="only the round trip of compound files between "
                        "--qsplex (native) and this Win32 build, run by "
                        "--runner")
    options = parser.parse_args()
    if options.cross:
        missing = [p for p in (options.qsplex, options.cross)
                   if not os.path.isfile(p)]
        if missing:
            print("qsplex cross-build round trip skipped: no "
                  + " and no ".join(missing) + " (build both presets)")
            return 0
    with tempfile.TemporaryDirectory() as workdir:
        payload = bytes((i * 7 + i // 256) % 251 for i in range(200000))
        open(os.path.join(workdir, "payload.bin"), "wb").write(payload)
        tool = Tool(os.path.abspath(options.qsplex), options.runner, workdir)
        if options.cross:
            runner = options.runner and os.path.abspath(options.runner)
            win32 = Tool(os.path.abspath(options.cross), runner, workdir)
            tool.command = [os.path.abspath(options.qsplex)]
            cross_build(tool, win32, payload)
            locks_across_builds(tool, win32)
            qsplex_reports.reports_across_builds(tool, win32, FAILURES)
            return report()
        # Under Wine only what goes through the Win32 build's own code: the
        # platform's compound files, argument and name conversion, files,
        # links, locks and signals, the plex's reservation. The checks of
        # code that both builds share (salvage, mv and cp, hexdump) run
        # natively.
        compound_tour(tool, payload)
        script_output(tool, payload)
        finds(tool)
        writes_onto_the_image(tool, options.wine)
        imports_keep_class_ids(tool)
        diffs(tool, options.wine)
        listing_order(tool)
        if options.wine:
            tool.run("init", "n.img")
            names(tool, "n.img")
            wine_files(tool, "n.img")
            lock_kinds(tool, "n.img")
            linked_names(tool, wine=True, writers=2)
            wine_signals(tool)
            concurrency(tool, writers=4, readers=2)
            plex_capacity(tool)
            open(tool.path("big.bin"), "wb").write(os.urandom(3 << 20))
            hidden_newer_save(tool, "big.bin")
            damaged_large_stream(tool)
            trees_in_and_out(tool, payload, wine=True)
            deep_trees(tool, wine=True)
            habits(tool, wine=True)
        else:
            salvage(tool)
            damaged_stream_data(tool)
            damaged_large_stream(tool)
            qsplex_reports.du_and_report(tool, FAILURES)
            native_tour(tool, payload)
            accidental_images(tool)
            help_and_version(tool)
            clear_asks(tool)
            tool.run("init", "n.img")
            names(tool, "n.img")
            messages(tool, "n.img")
            unnamed_elements(tool, "n.img")
            durable_replacement(tool)
            lock_kinds(tool, "n.img")
            linked_names(tool, wine=False)
            read_only_media(tool)
            writer_priority(tool)
            concurrency(tool, writers=20, readers=8)
            interrupted_puts(tool)
            open(tool.path("big.bin"), "wb").write(os.urandom(3 << 20))
            hidden_newer_save(tool, "big.bin")
            crafted_slots(tool, "big.bin")
            failing_writes(tool)
            recorded_change_states(tool, "big.bin")
            full_disk(tool)
            plex_capacity(tool)
            peak_memory(tool)
            trees_in_and_out(tool, payload, wine=False)
            deep_trees(tool, wine=False)
            habits(tool, wine=False)
            hexdumps(tool, "n.img")
            moves_keep_class_ids(tool)
            image_changed_while_read(tool)
            cut_measured_in_place(tool)
    return report()


def report():
    for failure in FAILURES:
        print(failure, file=sys.stderr)
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
