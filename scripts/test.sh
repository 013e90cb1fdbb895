#!/usr/bin/env bash
# Builds and runs every test on both targets: natively under AddressSanitizer
# and UBSan, and the Win32 DLL under Wine, built by GCC and again by clang;
# then builds natively with clang, without sanitizers, the library, the
# fuzzers and the tests valgrind runs; installs that build and the Win32 one
# and builds and runs examples/consumer (in C++ and C, the C one once more
# through pkg-config) and examples/testkit against each install; then runs
# the sequence fuzzer for a bounded time (QSS_FUZZ_SECONDS, 60 by default),
# each of the two image fuzzers for QSS_IMAGE_FUZZ_SECONDS (by default as
# long), and under valgrind the tests through the library's exports and the
# plex store's image tests.
# Prints the time each part takes.
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

# The clang build of the Win32 target makes the DLL and the unit and export
# tests only (its build preset names them, its test preset picks them).
test_presets=(linux-asan windows-x86 windows-x86-clang)
for preset in "${test_presets[@]}"; do
  echo "== $preset"
  cmake --preset "$preset" -DQSS_BUILD_TESTS=ON >/dev/null
  part cmake --build --preset "$preset" -j "$jobs"
  part ctest --preset "$preset"
done

echo "== qsplex: compound files from each build read by the other"
# A compound file exported by the native qsplex is imported by the Win32 one
# under Wine and the other way round, and olefile reads both. Debian's
# python3 has python3-olefile; the test says so and passes when a build is
# missing.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
part "$python" tests/qsplex_test.py --qsplex build/linux-asan/bin/qsplex \
  --cross build/windows-x86/bin/qsplex.exe --runner cmake/wine-run.sh

echo "== linux-clang: the library without sanitizers, the fuzzers"
# The build the native package is installed from, with the fuzzers and the
# programs valgrind runs (the fuzzers compile their own instrumented copy of
# the library). DWARF 4: the valgrind of Debian 12 cannot read clang's
# DWARF 5.
clang_build=build/linux-clang
cmake -S . -B "$clang_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS=-gdwarf-4 -DCMAKE_CXX_FLAGS=-gdwarf-4 \
  -DQSS_BUILD_FUZZERS=ON -DQSS_BUILD_TOOLS=OFF >/dev/null
part cmake --build "$clang_build" -j "$jobs" --target qsstorage \
  qss_api_tests qss_unit_tests qss_sequence_fuzzer qss_image_load_fuzzer \
  qss_image_salvage_fuzzer

echo "== installed packages and programs built against each"
# A program's file: with .exe when the build made one.
program() {
  if [ -f "$1.exe" ]; then echo "$1.exe"; else echo "$1"; fi
}
# Installs a build into a fresh prefix and builds against it, with the given
# configure options, examples/consumer (in C++ and in C89) and
# examples/testkit (a host's test through the test kit), then runs the three
# programs through the given runner.
consume() {
  local name="$1" build="$2" runner="$3"
  shift 3
  local prefix="$PWD/build/install/$name" example
  rm -rf "$prefix"
  cmake --install "$build" --prefix "$prefix" >/dev/null
  for example in consumer testkit; do
    rm -rf "build/$example/$name"
    cmake -S "examples/$example" -B "build/$example/$name" --no-warn-unused-cli \
      "$@" >/dev/null
    cmake --build "build/$example/$name" -j "$jobs" >/dev/null
  done
  local consumer="build/consumer/$name" testkit="build/testkit/$name"
  $runner "$(program "$consumer/consumer")"
  $runner "$(program "$consumer/consumer_c")"
  $runner "$(program "$testkit/plex_round_trip_test")" "$testkit/saved.plex"
}
# The C consumer once more, as a Make or Meson host builds it: C99, with
# the flags pkg-config gives for the installed prefix and nothing else. The
# options given end the link line.
consume_pkg_config() {
  local name="$1" cc="$2" runner="$3"
  shift 3
  local prefix="$PWD/build/install/$name" out="build/consumer/$name-pkg-config"
  rm -rf "$out" && mkdir -p "$out"
  local flags
  flags=$(PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" \
          pkg-config --cflags --libs qsstorage)
  # shellcheck disable=SC2086 # the flags are words
  $cc -std=c99 -pedantic-errors -Wall -Wextra -Werror \
    -o "$out/consumer_c" examples/consumer/main.c $flags "$@"
  # Windows finds the DLLs beside the program.
  if [ -f "$prefix/bin/qsstorage.dll" ]; then cp "$prefix"/bin/*.dll "$out"/; fi
  $runner "$(program "$out/consumer_c")"
}
# The native package comes from the clang build, without the sanitizers,
# which a program would otherwise have to load first.
strict_c="-DCMAKE_C_FLAGS=-pedantic-errors -Wall -Wextra -Werror"
part consume linux "$clang_build" "" \
  -DCMAKE_PREFIX_PATH="$PWD/build/install/linux" "$strict_c"
part consume_pkg_config linux cc "" -Wl,-rpath,"$PWD/build/install/linux/lib"
part consume win32 build/windows-x86 cmake/wine-run.sh \
  --toolchain "$PWD/cmake/mingw-i686.cmake" \
  -Dqsstorage_DIR="$PWD/build/install/win32/lib/cmake/qsstorage" "$strict_c"
part consume_pkg_config win32 i686-w64-mingw32-gcc cmake/wine-run.sh -static
# docs/embedding.md shows the examples' files as they are.
part python3 - <<'PY'
import sys
doc = open("docs/embedding.md").read()
stale = [f for f in ("examples/consumer/CMakeLists.txt",
                     "examples/consumer/main.cc", "examples/consumer/main.c",
                     "examples/testkit/CMakeLists.txt",
                     "examples/testkit/main.cc") if open(f).read() not in doc]
sys.exit("docs/embedding.md does not show " + ", ".join(stale) if stale else 0)
PY

echo "== linux-clang: fuzzing and valgrind"
# Runs a fuzzer for SECONDS over its seeds and the inputs that once failed
# it, copied into a scratch folder: a fuzzer adds what it finds to its
# first folder.
fuzz() {
  local name="$1" seconds="$2" seeds="$3" regressions="$4"
  shift 4
  local corpus="$clang_build/fuzz-corpus-$name"
  rm -rf "$corpus" && mkdir -p "$corpus"
  for folder in "$seeds" "$regressions"; do
    if [ -d "$folder" ]; then
      find "$folder" -maxdepth 1 -type f -exec cp -t "$corpus" {} +
    fi
  done
  "$clang_build/bin/qss_${name}_fuzzer" -max_total_time="$seconds" \
    -print_final_stats=1 -artifact_prefix="$clang_build/$name-" "$@" "$corpus"
}
fuzz_seconds="${QSS_FUZZ_SECONDS:-60}"
image_fuzz_seconds="${QSS_IMAGE_FUZZ_SECONDS:-$fuzz_seconds}"
part fuzz sequence "$fuzz_seconds" fuzz/corpus fuzz/regressions \
  -max_len=2048 -timeout=60
# The seed changed in place holds over a MiB, past libFuzzer's default
# longest input.
for target in image_load image_salvage; do
  part fuzz "$target" "$image_fuzz_seconds" fuzz/corpus/image \
    "fuzz/regressions/$target" -dict=fuzz/image.dict -max_len=1200000 \
    -timeout=30
done
# Valgrind finds what the sanitizers do not: reads of bytes never written,
# here in the library as shipped (no instrumentation) through its exports,
# and in the bytes the plex store writes to image files. The rest of the
# unit tests, the death tests and the two tests that only go deep run under
# the sanitizers above.
memcheck() {
  valgrind -q --error-exitcode=1 --leak-check=full \
    --errors-for-leak-kinds=definite "$@"
}
part memcheck "$clang_build/bin/qss_api_tests" \
  --gtest_filter=-*DeepChains*:*DeepHierarchies*
part memcheck "$clang_build/bin/qss_unit_tests" \
  --gtest_filter='PlexStandinTest.*'

# Reaching here, every part passed (the script stops at the first failure):
# the ctest programs of every test preset, the cross-build round trip, the
# three example programs on each target and the pkg-config build on each,
# the check of the embedding page, the three fuzz runs and the two valgrind
# runs.
total=15
for preset in "${test_presets[@]}"; do
  n=$(ctest --preset "$preset" -N | awk '/Total Tests:/ {print $3}')
  total=$((total + n))
done
echo "qsstorage: $total passed, 0 failed"
