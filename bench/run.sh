#!/usr/bin/env bash
# Builds and runs the benchmarks.
#
#   bench/run.sh native [GOOGLE-BENCHMARK-FLAGS]
#       the Google Benchmark suite, medians of 5 repetitions; JSON in
#       BUILD/bench-native.json
#   bench/run.sh win32 [--quick] [qss_compare FLAGS]
#       the side-by-side comparison under Wine; table in BUILD/bench-win32.txt,
#       JSON lines in BUILD/bench-win32.jsonl, chart in BUILD/scaling.svg
#
# BUILD is the preset's build directory (build/linux-release,
# build/windows-x86) unless QSS_BENCH_BUILD_DIR names another.
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:-}"
shift || true
scripts/setup.sh
jobs=$(nproc)

case "$mode" in
  native)
    dir="${QSS_BENCH_BUILD_DIR:-build/linux-release}"
    cmake --preset linux-release -B "$dir" >/dev/null
    cmake --build "$dir" -j "$jobs" --target qss_bench
    "$dir/bin/qss_bench" --benchmark_repetitions=5 \
      --benchmark_report_aggregates_only=true \
      --benchmark_out="$dir/bench-native.json" --benchmark_out_format=json "$@"
    ;;
  win32)
    dir="${QSS_BENCH_BUILD_DIR:-build/windows-x86}"
    export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-qsstorage}"
    cmake --preset windows-x86 -B "$dir" >/dev/null
    cmake --build "$dir" -j "$jobs" --target qss_compare
    cmake/wine-run.sh "$dir/bin/qss_compare.exe" --json "$dir/bench-win32.jsonl" \
      "$@" | grep -v '^{' | tee "$dir/bench-win32.txt"
    bench/plot.sh "$dir/bench-win32.jsonl" "$dir/scaling.svg"
    ;;
  *)
    echo "usage: bench/run.sh native|win32 [flags]" >&2
    exit 2
    ;;
esac
