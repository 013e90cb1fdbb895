#!/usr/bin/env bash
# Builds and runs every test on both targets: natively under AddressSanitizer
# and UBSan, and the Win32 DLL under Wine; then, natively with clang, the
# sequence fuzzer for a bounded time (QSS_FUZZ_SECONDS, 60 by default) and
# the unit tests under valgrind. Prints the time each part takes.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-qsstorage}"

part() {
  local start=$SECONDS
  "$@"
  echo "-- $(( SECONDS - start )) s: $*"
}

for preset in linux-asan windows-x86; do
  echo "== $preset"
  cmake --preset "$preset" -DQSS_BUILD_TESTS=ON >/dev/null
  part cmake --build --preset "$preset" -j "$jobs"
  part ctest --preset "$preset"
done

echo "== linux-clang: fuzzing and valgrind"
clang_build=build/linux-clang
# DWARF 4: the valgrind of Debian 12 cannot read clang's DWARF 5.
cmake -S . -B "$clang_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS=-gdwarf-4 -DCMAKE_CXX_FLAGS=-gdwarf-4 \
  -DQSS_BUILD_FUZZERS=ON -DQSS_BUILD_TOOLS=OFF >/dev/null
part cmake --build "$clang_build" -j "$jobs" --target qss_sequence_fuzzer \
  qss_unit_tests
# The fuzzer adds what it finds to its first directory: a scratch copy.
corpus="$clang_build/fuzz-corpus"
rm -rf "$corpus" && mkdir -p "$corpus"
cp fuzz/corpus/* fuzz/regressions/* "$corpus"/
part "$clang_build/bin/qss_sequence_fuzzer" -max_total_time="${QSS_FUZZ_SECONDS:-60}" \
  -max_len=2048 -timeout=60 -print_final_stats=1 \
  -artifact_prefix="$clang_build/" "$corpus"
# Death tests abort on purpose; they run under the sanitizers above.
part valgrind -q --error-exitcode=1 --leak-check=full \
  --errors-for-leak-kinds=definite "$clang_build/bin/qss_unit_tests" \
  --gtest_filter=-*DeathTest*

# Reaching here, every part passed (the script stops at the first failure):
# the ctest programs of both targets, the fuzz run and the valgrind run.
total=2
for preset in linux-asan windows-x86; do
  n=$(ctest --preset "$preset" -N | awk '/Total Tests:/ {print $3}')
  total=$((total + n))
done
echo "qsstorage: $total passed, 0 failed"
