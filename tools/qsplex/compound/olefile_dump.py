#!/usr/bin/env python3
"""Lists a compound file through Debian's python3-olefile, an independent
reader: one line per element, "PATH storage CLSID" or "PATH stream SIZE
FNV1A64", sorted, the root as "/" with its class id. Exit status 3 when
olefile is missing."""
import sys

try:
    import olefile
except ImportError:
    sys.exit(3)


def fnv1a64(data):
    digest = 14695981039346656037
    for byte in data:
        digest = ((digest ^ byte) * 1099511628211) % 2**64
    return "%016x" % digest


def main(path):
    ole = olefile.OleFileIO(path)
    lines = ["/ storage {%s}" % (ole.root.clsid or "00000000-0000-0000-0000-000000000000")]
    for names in ole.listdir(streams=True, storages=True):
        where = "/" + "/".join(names)
        if ole.get_type(names) == olefile.STGTY_STORAGE:
            clsid = ole.getclsid(names) or "00000000-0000-0000-0000-000000000000"
            lines.append("%s storage {%s}" % (where, clsid))
        else:
            data = ole.openstream(names).read()
            lines.append("%s stream %d %s" % (where, len(data), fnv1a64(data)))
    sys.stdout.buffer.write(("\n".join(sorted(lines)) + "\n").encode("utf-8"))


main(sys.argv[1])
