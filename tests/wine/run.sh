#!/bin/sh
# Runs the COM-port tests under Wine against Linux ptys: run.sh BUILD_WIN_DIR WINEPREFIX [NATIVE_BUILD_DIR]
# The Linux meter simulator comes from the native build (default: build at the top of the tree), built
# here when missing. The exit code is 0 only when tests passed and none failed.
set -eu
if [ $# -lt 2 ]; then
    echo "usage: $0 BUILD_WIN_DIR WINEPREFIX [NATIVE_BUILD_DIR]" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
exe=$(cd "$1" && pwd)/tests/wine/test_wine_serial.exe
prefix=$2
native=${3:-$top/build}
if [ ! -f "$exe" ]; then
    echo "wine-tests: $exe is not built" >&2
    exit 1
fi
sim=$native/tools/ormet-meter-sim/ormet-meter-sim
if [ ! -x "$sim" ]; then
    [ -f "$native/build.ninja" ] || cmake -S "$top" -B "$native" -G Ninja >/dev/null
    cmake --build "$native" --target ormet-meter-sim >/dev/null
fi
exec python3 "$here/wine_host.py" wine "$exe" "$prefix" --meter-sim "$sim"
