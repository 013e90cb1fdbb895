#!/usr/bin/env bash
# The main job: builds both targets and tours the host qsplex over a plex
# image (default qsplex.img, made when missing) natively and under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-qsstorage}"
image="${1:-qsplex.img}"

for preset in linux-debug windows-x86; do
  cmake --preset "$preset" -DQSS_BUILD_TESTS=OFF >/dev/null
  cmake --build --preset "$preset" -j "$jobs" --target qsplex
done
echo "== native"
tools/qsplex/tour.sh "$image" build/linux-debug/bin/qsplex
echo "== Win32 under Wine"
tools/qsplex/tour.sh "$image" cmake/wine-run.sh build/windows-x86/bin/qsplex.exe
