#!/bin/sh
# Runs the COM-port tests under Wine against Linux ptys: run.sh BUILD_WIN_DIR WINEPREFIX [NATIVE_BUILD_DIR]
# The meter simulator comes from the native build (default: build next to BUILD_WIN_DIR); the exit code
# is 0 only when tests passed and none failed.
set -eu
if [ $# -lt 2 ]; then
    echo "usage: $0 BUILD_WIN_DIR WINEPREFIX [NATIVE_BUILD_DIR]" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build_win=$(cd "$1" && pwd)
prefix=$2
native=${3:-$(dirname "$build_win")/build}
exe=$build_win/tests/wine/test_wine_serial.exe
if [ ! -f "$exe" ]; then
    echo "wine-tests: $exe is not built" >&2
    exit 1
fi
exec python3 "$here/wine_host.py" wine "$exe" "$prefix" --meter-sim "$native/tools/ormet-meter-sim/ormet-meter-sim"
