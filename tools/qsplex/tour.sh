#!/usr/bin/env bash
# A short tour of qsplex over a plex image, made when missing:
#   tools/qsplex/tour.sh IMAGE COMMAND...
# where COMMAND runs qsplex: build/linux-debug/bin/qsplex, or
# cmake/wine-run.sh build/windows-x86/bin/qsplex.exe.
set -euo pipefail
image="$1"
shift
qsplex=("$@")
readme="$(dirname "$0")/../../README.md"

step() {
  echo "\$ qsplex $*"
  "${qsplex[@]}" "$@"
}

[ -f "$image" ] || step init "$image"
step info "$image"
step mkdir -p "$image" /tour/docs
echo "hello from the plex" | step put "$image" /tour/docs/hello.txt
step put "$image" /tour/README.md "$readme"
step tree "$image" /tour
step cat "$image" /tour/docs/hello.txt
step check "$image"
step export -f "$image" /tour "${image%.img}.cfb" ||
  echo "(compound files need libgsf natively, or the Win32 build)"
