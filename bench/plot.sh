#!/usr/bin/env bash
# Draws the scaling curves from the JSON lines of qss_compare --json: the
# cost of one element operation against the number of elements in the
# storage, this library beside the compound files, on log-log axes.
#
#   bench/plot.sh RESULTS.jsonl [OUT.svg|OUT.png]   (default docs/scaling.svg)
#
# Needs gnuplot (Debian: gnuplot-nox, which scripts/setup.sh installs).
set -euo pipefail
results="${1:?usage: bench/plot.sh RESULTS.jsonl [OUT.svg]}"
out="${2:-$(dirname "$0")/../docs/scaling.svg}"
data="$(mktemp -d)"
trap 'rm -rf "$data"' EXIT

# One file per workload and implementation: "n seconds-per-operation".
awk -v dir="$data" '
  function field(name,   m) {
    if (match($0, "\"" name "\":\"?[^,\"}]*")) {
      m = substr($0, RSTART, RLENGTH)
      sub("\"" name "\":\"?", "", m)
      return m
    }
    return ""
  }
  /^\{/ && field("ok") == "true" && field("unit") ~ /^(element|lookup)$/ {
    file = dir "/" field("workload") "." field("impl")
    print field("n"), field("per_op_s") > file
  }' "$results"

panels=(create open enumerate destroy-newest destroy-oldest lookup-miss)
titles=("create" "open" "enumerate (per element)" "destroy, newest first"
        "destroy, oldest first" "lookup of an absent name")
case "$out" in
  *.png) terminal='pngcairo size 1200,760 font "sans,10"' ;;
  *) terminal='svg size 1200,760 dynamic font "sans,11" background "white"' ;;
esac
{
  echo "set terminal $terminal"
  echo "set output '$out'"
  echo 'set multiplot layout 2,3 title "Cost of one operation against the number of elements (Win32 under Wine, medians)"'
  echo 'set logscale xy'
  echo 'set format y "%.0s %cs"'
  echo 'set xlabel "elements in the storage"'
  echo 'set key top left'
  echo 'set grid'
  for i in "${!panels[@]}"; do
    w="${panels[$i]}"
    echo "set title '${titles[$i]}'"
    plots=()
    for impl in qss docfile-mem docfile-disk; do
      [ -s "$data/$w.$impl" ] || continue
      sort -n "$data/$w.$impl" -o "$data/$w.$impl"
      plots+=("'$data/$w.$impl' using 1:2 with linespoints title '$impl'")
    done
    if ((${#plots[@]})); then
      (IFS=,; echo "plot ${plots[*]}")
    fi
  done
  echo 'unset multiplot'
} | gnuplot
echo "wrote $out"
