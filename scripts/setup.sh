#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, skipping what is
# there already, and makes the Wine prefix the Win32 tests run in.
set -euo pipefail

# strace fails system calls for the tool's tests. clang also builds the
# Win32 target; llvm's dlltool makes the MSVC import
# library, which a caller linked by lld's lld-link checks. chromium and
# node run the browser test of qsplex report (tests/browser), which
# installs its one npm package itself.
packages=(cmake g++ make googletest libgtest-dev libgmock-dev libbenchmark-dev
          g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix wine wine32
          python3-olefile clang libclang-rt-14-dev lld llvm gnuplot-nox
          valgrind libxxhash-dev time pkg-config libgsf-1-dev strace chromium)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# Node and npm from Debian unless a node of another origin is there (its
# package brings npm along and clashes with Debian's npm).
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  missing+=(nodejs npm)
fi
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  if [[ " ${missing[*]} " == *" wine32 "* ]]; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q \
    --no-install-recommends "${missing[@]}"
fi

export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-qsstorage}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "setup: creating the Wine prefix $WINEPREFIX"
  WINEDEBUG=-all wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
