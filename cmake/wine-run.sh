#!/bin/sh
# Runs a Windows program under Wine quietly, in the project's own prefix
# unless the caller chose one.
: "${WINEPREFIX:=${HOME}/.wine-qsstorage}"
export WINEPREFIX
: "${WINEDEBUG:=-all}"
export WINEDEBUG
exec wine "$@"
