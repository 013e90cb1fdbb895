#!/usr/bin/env python3
"""Prints the figures of one qss_compare run as the Markdown table of
docs/benchmarks.md: medians per operation (MB/s for bytes), and the ratios
of the medians against this library.

    bench/table.py build/windows-x86/bench-win32.jsonl
"""
import json
import sys

PEERS = ["docfile-mem", "docfile-disk", "memcpy"]


def significant(value):
    """Three significant digits; whole numbers with separators from 1,000."""
    text = f"{value:.3g}"
    if value >= 1000 or "e+" in text:
        return f"{round(value):,}"
    return text


def duration(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale or unit == "ns":
            return f"{significant(seconds / scale)} {unit}"


def size(n):
    return f"{n >> 20} MiB" if n >= 1 << 20 and n % (1 << 20) == 0 else str(n)


def main(path):
    rows = {}
    order = []
    with open(path, encoding="utf-8") as results:
        for line in results:
            record = json.loads(line)
            if not record.get("ok"):
                continue
            key = (record["workload"], record["n"])
            if key not in rows:
                order.append(key)
            rows.setdefault(key, {})[record["impl"]] = record
    print("| workload | n | qss | " + " | ".join(PEERS) +
          " | qss vs mem | qss vs disk | qss / memcpy |")
    print("|---|---:|" + "---:|" * (len(PEERS) + 4))
    for key in order:
        impls = rows[key]
        cells = []
        for impl in ["qss"] + PEERS:
            record = impls.get(impl)
            if record is None:
                cells.append("–")
            elif record["unit"] == "MB":
                cells.append(f"{significant(record['rate_per_s'])} MB/s")
            else:
                cells.append(duration(record["per_op_s"]))
        for impl in PEERS:
            record = impls.get(impl)
            cells.append("–" if record is None else
                         f"{significant(record['speedup'])}×")
        print(f"| {key[0]} | {size(key[1])} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main(sys.argv[1])
