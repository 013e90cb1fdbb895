"""du and report end to end, for tests/qsplex_test.py: du's sums against
ls -lR, the report's embedded data against the tree, and across builds the
same page byte for byte from the native and the Win32 qsplex. The pages in
a browser are tested by tests/browser/report_test.mjs."""
import json
import os
import re

# A tree with a class id, a name outside ASCII, a control character and a
# name a page must not take for markup; and one element list deep.
TREE = {"/docs/a.txt": b"hello\n", "/docs/old/b.bin": bytes(range(256)) * 40,
        "/d\u00f4cs %05x/<b>n": b"x" * 3000, "/empty": b""}
CLASS = "01234567-89AB-CDEF-0123-456789ABCDEF"


def make_tree(q, img):
    q.run("init", img)
    for path, data in TREE.items():
        q.run("put", "-p", img, path, stdin=data)
    q.run("setclass", img, "/docs", CLASS)


def listing_sums(q, img):
    """{path: bytes} of every storage (the streams below it summed) and
    stream, as ls -lR shows them; and the storages' paths."""
    sums, folder, storages = {"/": 0}, "/", {"/"}
    for line in q.run("ls", "-lR", img).splitlines():
        heading = re.match(r"^(/.*):$", line)
        if heading:
            folder = heading.group(1)
            continue
        row = re.match(r"^(stream|storage)\s+(\d+|-)\s+\S+\s+\S+\s+(.*)$", line)
        if not row:
            continue
        path = (folder.rstrip("/") + "/" + row.group(3)).rstrip("/")
        size = int(row.group(2)) if row.group(1) == "stream" else 0
        sums[path] = sums.get(path, 0)
        if row.group(1) == "storage":
            storages.add(path)
        else:
            sums[path] = size
            parts = path.split("/")
            for end in range(1, len(parts)):
                sums["/".join(parts[:end]) or "/"] += size
    return sums, storages


def page_data(q, html):
    """The JSON object a report page holds."""
    text = open(q.path(html), encoding="ascii").read()
    found = re.search(r'<script type="application/json" id="qsplex-data">'
                      r'(.*?)</script>', text, re.S)
    return json.loads(found.group(1)) if found else None


def du_and_report(q, failures):
    """du against ls -lR; the report's data against the tree; the page of a
    damaged image; refusals."""
    img = "du.img"
    make_tree(q, img)
    sums, storages = listing_sums(q, img)
    lines = [line.split("\t") for line in q.run("du", img).splitlines()]
    got = {path: int(size) for size, path in lines}
    want = {p: sums[p] for p in storages}
    if got != want:
        failures.append(f"du {img}: {got}, ls -lR sums {want}")
    sizes = [int(size) for size, _ in lines]
    if sizes != sorted(sizes, reverse=True):
        failures.append(f"du {img}: not largest first: {lines}")
    q.run("du", "-d", "0", img, out=f"{sums['/']}\t/\n")
    q.run("du", "-H", img, "/docs", out="11 KiB\t/docs\n")
    du = json.loads(q.run("du", "--json", img, "/docs/old"))
    if du["storages"] != [{"path": "/docs/old", "size": 10240, "depth": 0,
                           "storages": 0, "streams": 1}]:
        failures.append(f"du --json: {du}")
    q.run("du", "-d", "x", img, status=2, err="-d takes a whole number")

    q.run("report", img, "-o", "du.html", out="du.html: ")
    data = page_data(q, "du.html")
    if data is None:
        failures.append("report: no data in the page")
        return
    names = data["names"]
    paths = {}
    for i, name in enumerate(names):
        parent = data["parents"][i]
        paths[i] = "/" if parent < 0 else (
            paths[parent].rstrip("/") + "/" + name)
    streams = {paths[i]: data["sizes"][i] for i in range(len(names))
               if data["kinds"][i] == 1}
    wanted = {path.replace("%05", "\x05"): len(bytes_)
              for path, bytes_ in TREE.items()}
    if streams != wanted:
        failures.append(f"report: streams {streams}, wanted {wanted}")
    docs = names.index("docs")
    if data["classes"][data["class_ids"][docs]] != "{" + CLASS + "}":
        failures.append(f"report: class id of /docs: {data['classes']}")
    if data["damage"] or data["findings"] or any(data["fates"]):
        failures.append(f"report of a sound image tells damage: {data}"[:600])
    q.run("report", img, "-o", "du.html", status=1, err="exists already")
    q.run("report", img, status=2, err="no page to write")
    q.run("report", img, "/nothing", "-fo", "du.html", status=1,
          err="no such element")
    q.run("report", img, "/docs", "-fo", "du.html")
    if page_data(q, "du.html")["names"][0] != "docs":
        failures.append("report /docs: the page does not start at /docs")


def reports_across_builds(native, win32, failures):
    """The native and the Win32 qsplex write the same page, byte for byte,
    for the same image, sound and damaged, and du prints the same."""
    img = "cross-report.img"
    make_tree(native, img)
    native.run("put", img, "/big.bin",
               stdin=bytes(i % 251 for i in range(100000)))
    data = bytearray(open(native.path(img), "rb").read())
    broken = "cross-broken.img"
    at = data.find(bytes(i % 251 for i in range(251)) * 2)
    data[at + 100] ^= 0xFF
    open(native.path(broken), "wb").write(data)
    for image in (img, broken):
        pages = []
        for tool, tag in ((native, "n"), (win32, "w")):
            page = f"{image}.{tag}.html"
            tool.run("report", "-f", image, "-o", page)
            pages.append(open(tool.path(page), "rb").read()
                         if os.path.exists(tool.path(page)) else b"")
        if not pages[0] or pages[0] != pages[1]:
            failures.append(f"report {image}: the builds' pages differ "
                            f"({len(pages[0])} and {len(pages[1])} bytes)")
    if native.run("du", img) != win32.run("du", img):
        failures.append("du: the builds print differently")
