#!/usr/bin/env bash
# Builds and runs every test on both targets: natively under AddressSanitizer
# and UBSan, and the Win32 DLL under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-qsstorage}"

for preset in linux-asan windows-x86; do
  echo "== $preset"
  cmake --preset "$preset" -DQSS_BUILD_TESTS=ON >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset"
done
