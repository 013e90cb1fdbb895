#!/usr/bin/env bash
# The main job: builds both targets and tours the host qsplex over a plex
# image (default qsplex.img in the repository, made when missing) natively
# and under Wine. The tour exports to IMAGE's name with .cfb beside it.
set -euo pipefail
# IMAGE names a file from the caller's folder; the default lies in the
# repository, where git ignores it and the compound file beside it.
image="${1:-}"
if [ -n "$image" ] && [ "${image#/}" = "$image" ]; then
  image="$PWD/$image"
fi
cd "$(dirname "$0")/.."
image="${image:-qsplex.img}"
scripts/setup.sh
jobs=$(nproc)
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-qsstorage}"

for preset in linux-debug windows-x86; do
  cmake --preset "$preset" -DQSS_BUILD_TESTS=OFF >/dev/null
  cmake --build --preset "$preset" -j "$jobs" --target qsplex
done
echo "== native"
tools/qsplex/tour.sh "$image" build/linux-debug/bin/qsplex
echo "== Win32 under Wine"
tools/qsplex/tour.sh "$image" cmake/wine-run.sh build/windows-x86/bin/qsplex.exe
