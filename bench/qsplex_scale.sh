#!/usr/bin/env bash
# qsplex over a large image, against the yardsticks of plain file copies.
#
#   bench/qsplex_scale.sh [--qsplex PROGRAM] [--mb N] [--reps N] [--keep DIR]
#
# Builds the native release qsplex (preset linux-release) unless --qsplex
# names a program, makes an image holding one N-MB stream (default 400) and a
# few small ones, and times every command REPS times (default 5), each round
# running every command once so that a busy spell of the machine falls on all
# of them alike. Prints medians: time, the yardstick's time, their ratio, and
# the peak resident memory (/usr/bin/time). The image, the big file and the
# copies (about 6 N MB) go to a temporary directory under TMPDIR, or to DIR.
set -euo pipefail
cd "$(dirname "$0")/.."

qsplex=""
mb=400
reps=5
keep=""
while (($#)); do
  case "$1" in
    --qsplex) qsplex="$2"; shift 2 ;;
    --mb) mb="$2"; shift 2 ;;
    --reps) reps="$2"; shift 2 ;;
    --keep) keep="$2"; shift 2 ;;
    *) sed -n '2,12s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
  esac
done

if [ -z "$qsplex" ]; then
  scripts/setup.sh
  dir="${QSS_BENCH_BUILD_DIR:-build/linux-release}"
  cmake --preset linux-release -B "$dir" >/dev/null
  cmake --build "$dir" -j "$(nproc)" --target qsplex >/dev/null
  qsplex="$dir/bin/qsplex"
fi
qsplex="$(realpath "$qsplex")"
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (scripts/setup.sh)" >&2; exit 1; }

if [ -n "$keep" ]; then
  work="$keep"
  mkdir -p "$work"
else
  work="$(mktemp -d "${TMPDIR:-/tmp}/qsplex_scale.XXXXXX")"
  trap 'rm -rf "$work"' EXIT
fi
image="$work/scale.img"
results="$work/results"
: >"$results"

# measure NAME OUTPUT COMMAND...: one timed run; peak memory from time(1).
measure() {
  local name="$1" output="$2" start end
  shift 2
  start=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/rss" "$@" >"$output"
  end=$(date +%s%N)
  echo "$name $(((end - start) / 1000)) $(tail -n 1 "$work/rss")" >>"$results"
}
copy_and_sync() { cp "$1" "$2" && sync "$2"; }
export -f copy_and_sync

echo "qsplex_scale: making a ${mb} MB image in $work" >&2
head -c "$((mb * 1000 * 1000))" /dev/urandom >"$work/big.bin"
head -c 1000 /dev/urandom | base64 >"$work/small.txt"
"$qsplex" init "$image" >/dev/null
"$qsplex" mkdir "$image" /docs
"$qsplex" put "$image" /docs/a.txt "$work/small.txt"
head -c 65536 /dev/urandom | "$qsplex" put "$image" /docs/b.bin
"$qsplex" put "$image" /docs/c.txt "$work/small.txt"
"$qsplex" put "$image" /big "$work/big.bin"
"$qsplex" check "$image" >/dev/null
image_bytes=$(stat -c %s "$image")
clsid="{01234567-89ab-cdef-0123-456789abcdef}"

for ((round = 1; round <= reps; ++round)); do
  echo "qsplex_scale: round $round of $reps" >&2
  measure cat-image /dev/null cat "$image"
  rm -f "$work/copy"
  measure cp-image-sync /dev/null bash -c 'copy_and_sync "$0" "$1"' \
    "$image" "$work/copy"
  rm -f "$work/copy"
  measure cp-big /dev/null cp "$work/big.bin" "$work/copy"
  rm -f "$work/copy"
  measure cp-big-sync /dev/null bash -c 'copy_and_sync "$0" "$1"' \
    "$work/big.bin" "$work/copy"
  rm -f "$work/copy"

  # The first command after the copies above may find the system's memory
  # to be tidied first; which command that is rotates from round to round.
  reads=(ls stat tree cat-small check)
  for ((k = 0; k < ${#reads[@]}; ++k)); do
    case "${reads[(k + round) % ${#reads[@]}]}" in
      ls) measure ls /dev/null "$qsplex" ls "$image" / ;;
      stat) measure stat /dev/null "$qsplex" stat "$image" /docs/a.txt ;;
      tree) measure tree /dev/null "$qsplex" tree "$image" / ;;
      cat-small) measure cat-small /dev/null "$qsplex" cat "$image" /docs/a.txt ;;
      check) measure check /dev/null "$qsplex" check "$image" ;;
    esac
  done

  # Each round leaves the tree as it found it.
  measure mkdir /dev/null "$qsplex" mkdir "$image" /x
  measure setclass /dev/null "$qsplex" setclass "$image" /x "$clsid"
  measure put-small /dev/null "$qsplex" put "$image" /x/n.txt "$work/small.txt"
  measure mv /dev/null "$qsplex" mv "$image" /x/n.txt /x/m.txt
  measure rm /dev/null "$qsplex" rm -r "$image" /x

  # The copy reaches the device first: put syncs the image, and would
  # otherwise also wait for the copy's own bytes still on their way.
  cp "$image" "$work/twice.img"
  sync "$work/twice.img"
  measure put-big /dev/null "$qsplex" put "$work/twice.img" /big2 "$work/big.bin"
  measure cat-big "$work/out.bin" "$qsplex" cat "$work/twice.img" /big2
  cmp -s "$work/out.bin" "$work/big.bin" || { echo "cat-big: bytes differ" >&2; exit 1; }
  rm -f "$work/twice.img" "$work/out.bin"
done

python3 - "$results" "$image_bytes" "$mb" "$reps" <<'EOF'
import statistics
import sys

path, image_bytes, mb, reps = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
seconds, kib = {}, {}
for line in open(path):
    name, us, rss = line.split()
    seconds.setdefault(name, []).append(int(us) / 1e6)
    kib.setdefault(name, []).append(int(rss))
t = {k: statistics.median(v) for k, v in seconds.items()}
peak = {k: max(v) / 1024 for k, v in kib.items()}
image_mib = image_bytes / 2**20

print(f"\nqsplex over a {image_mib:.0f} MiB image (one {mb} MB stream), "
      f"medians of {reps}; peak memory is the largest of the runs\n")
print("| command | time | yardstick | ratio | goal | peak memory |")
print("|---|---:|---|---:|---:|---:|")
rows = [
    ("ls", "cat-image", 5), ("stat", "cat-image", 5), ("tree", "cat-image", 5),
    ("cat-small", "cat-image", 5), ("check", "cat-image", 5),
    ("mkdir", "cp-image-sync", 2.5), ("put-small", "cp-image-sync", 2.5),
    ("rm", "cp-image-sync", 2.5), ("mv", "cp-image-sync", 2.5),
    ("setclass", "cp-image-sync", 2.5),
    ("put-big", "cp-big-sync", 2), ("cat-big", "cp-big", 2),
]
names = {
    "cat-image": "`cat IMAGE > /dev/null`",
    "cp-image-sync": "`cp IMAGE copy && sync copy`",
    "cp-big": f"`cp` of the {mb} MB file",
    "cp-big-sync": f"`cp` + `sync` of the {mb} MB file",
}
commands = {
    "cat-small": "cat (small stream)", "put-small": "put (small stream)",
    "put-big": f"put of a second {mb} MB stream",
    "cat-big": f"cat of that stream into a file",
}
for name, yardstick, goal in rows:
    ratio = t[name] / t[yardstick]
    print(f"| {commands.get(name, name)} | {t[name]:.3f} s | {names[yardstick]} "
          f"{t[yardstick]:.3f} s | {ratio:.1f}x | {goal}x | {peak[name]:.0f} MiB |")
print(f"\npeak-memory goal for ls to setclass: image + 64 MiB = "
      f"{image_mib + 64:.0f} MiB")
EOF
