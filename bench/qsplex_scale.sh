#!/usr/bin/env bash
# qsplex over a large image, against the yardsticks of plain file copies.
#
#   bench/qsplex_scale.sh [--qsplex PROGRAM] [--mb N] [--reps N] [--keep DIR]
#                         [--costs] [--win32 PROGRAM] [--win32-mb N]
#
# Builds the native release qsplex (preset linux-release) unless --qsplex
# names a program, makes an image holding one N-MB stream (default 400) and a
# few small ones, and times every command REPS times (default 5), each round
# running every command once so that a busy spell of the machine falls on all
# of them alike. Prints medians: time, the yardstick's time, their ratio, and
# the peak resident memory (/usr/bin/time); then the best of the runs for
# what a command costs against the image's size: ls -l against cat, a
# one-element change (mkdir, then rm) against cp + sync, all of them timed
# without time(1), ls's peak memory, and the machine's load average before
# and after. --costs times only those.
# --win32 names the Win32 build's qsplex.exe, run under Wine
# (cmake/wine-run.sh) over an image of one N-MB stream (default 600): its
# ls -l against its own --version. The image, the big file and the copies
# (about 6 N MB) go to a temporary directory under TMPDIR, or to DIR.
set -euo pipefail
cd "$(dirname "$0")/.."

qsplex=""
mb=400
reps=5
keep=""
costs_only=0
win32=""
win32_mb=600
while (($#)); do
  case "$1" in
    --qsplex) qsplex="$2"; shift 2 ;;
    --mb) mb="$2"; shift 2 ;;
    --reps) reps="$2"; shift 2 ;;
    --keep) keep="$2"; shift 2 ;;
    --costs) costs_only=1; shift ;;
    --win32) win32="$(realpath "$2")"; shift 2 ;;
    --win32-mb) win32_mb="$2"; shift 2 ;;
    *) sed -n '2,19s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
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
  mkdir -p "$keep"
  work="$(realpath "$keep")"
else
  work="$(mktemp -d "${TMPDIR:-/tmp}/qsplex_scale.XXXXXX")"
  trap 'rm -rf "$work"' EXIT
fi
image="$work/scale.img"
results="$work/results"
: >"$results"

# measure NAME OUTPUT COMMAND...: one timed run; peak memory from time(1).
# The clock is bash's own, so that no process started to read it counts;
# micros START END gives the microseconds between two of its readings
# (six decimals always, whatever the locale's decimal point).
micros() { echo $((10#${2//[!0-9]/} - 10#${1//[!0-9]/})); }
measure() {
  local name="$1" output="$2" start end
  shift 2
  start=$EPOCHREALTIME
  /usr/bin/time -f %M -o "$work/rss" "$@" >"$output"
  end=$EPOCHREALTIME
  echo "$name $(micros "$start" "$end") $(tail -n 1 "$work/rss")" >>"$results"
}
# measure_bare NAME OUTPUT COMMAND...: one timed run with no time(1) around
# it, for the figures of a few milliseconds that its start would distort.
measure_bare() {
  local name="$1" output="$2" start end
  shift 2
  start=$EPOCHREALTIME
  "$@" >"$output"
  end=$EPOCHREALTIME
  echo "$name $(micros "$start" "$end") 0" >>"$results"
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
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

if [ -n "$win32" ]; then
  echo "qsplex_scale: making a ${win32_mb} MB image for the Win32 build" >&2
  head -c "$((win32_mb * 1000 * 1000))" /dev/urandom >"$work/win32.bin"
  "$qsplex" init "$work/win32.img" >/dev/null
  "$qsplex" put "$work/win32.img" /big "$work/win32.bin"
  rm -f "$work/win32.bin"
  wine_run="$(pwd)/cmake/wine-run.sh"
fi

# One round of the costs against the image's size, commands and yardsticks
# timed alike; ls -l once more under time(1) for its peak memory.
measure_costs() {
  measure_bare cost-cat /dev/null cat "$image"
  rm -f "$work/copy"
  measure_bare cost-cp-sync /dev/null bash -c 'copy_and_sync "$0" "$1"' \
    "$image" "$work/copy"
  rm -f "$work/copy"
  measure_bare cost-ls-l /dev/null "$qsplex" ls -l "$image" /
  measure ls-l /dev/null "$qsplex" ls -l "$image" /
  measure_bare cost-mkdir-rm /dev/null bash -c \
    '"$0" mkdir "$1" /y && "$0" rm -r "$1" /y' "$qsplex" "$image"
  if [ -n "$win32" ]; then
    # Wine's server stays up a few seconds after its last program: started
    # here, it is up for both figures, which then count the program alone.
    (cd "$work" && "$wine_run" "$win32" --version >/dev/null)
    (cd "$work" && measure_bare win32-version /dev/null "$wine_run" "$win32" \
      --version)
    (cd "$work" && measure_bare win32-ls-l /dev/null "$wine_run" "$win32" \
      ls -l win32.img /)
  fi
}

for ((round = 1; round <= reps && costs_only; ++round)); do
  echo "qsplex_scale: round $round of $reps" >&2
  measure_costs
done

for ((round = 1; round <= reps && !costs_only; ++round)); do
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
  measure_costs
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

python3 - "$results" "$image_bytes" "$mb" "$reps" "$costs_only" \
  "$load_before" "$load_after" "$win32_mb" <<'EOF'
import statistics
import sys

path, image_bytes, mb, reps = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
costs_only, load_before, load_after, win32_mb = sys.argv[5:9]
seconds, kib = {}, {}
for line in open(path):
    name, us, rss = line.split()
    seconds.setdefault(name, []).append(int(us) / 1e6)
    kib.setdefault(name, []).append(int(rss))
t = {k: statistics.median(v) for k, v in seconds.items()}
best = {k: min(v) for k, v in seconds.items()}
peak = {k: max(v) / 1024 for k, v in kib.items()}
image_mib = image_bytes / 2**20

print(f"\ncosts against the image's size, {image_mib:.0f} MiB image (one {mb} MB "
      f"stream), best of {reps}; load average {load_before} before, "
      f"{load_after} after\n")
print("| figure | command | yardstick | ratio | goal |")
print("|---|---:|---:|---:|---:|")
cost_rows = [
    ("`ls -l` / `cat IMAGE > /dev/null`", "cost-ls-l", "cost-cat", 0.05),
    ("`mkdir` + `rm` / `cp IMAGE copy && sync copy`", "cost-mkdir-rm",
     "cost-cp-sync", 0.02),
    (f"Win32 `ls -l` of a {win32_mb} MB image / its `--version`",
     "win32-ls-l", "win32-version", 2),
]
for figure, name, yardstick, goal in cost_rows:
    if name in best:
        print(f"| {figure} | {best[name]:.3f} s | {best[yardstick]:.3f} s | "
              f"{best[name] / best[yardstick]:.3f}x | {goal}x |")
print(f"| `ls -l` peak memory | {peak['ls-l']:.0f} MiB | | | 64 MiB |")
if costs_only == "1":
    sys.exit(0)

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
