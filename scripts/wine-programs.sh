#!/usr/bin/env bash
# Both programs on Windows: builds them against the Qt kit (scripts/windows-qt-kit.sh, built once and
# cached), makes the zip and the installer, then under Wine in Xvfb installs them into a new prefix and
# uses them (tests/wine/wine_programs.py). Screenshots stay in BUILD/screenshots.
# Usage: scripts/wine-programs.sh [build-dir]   (default build-win-qt)
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)
build=${1:-build-win-qt}

bash scripts/install-deps.sh g++-mingw-w64-x86-64-posix wine wine64 nsis cmake ninja-build xvfb xauth x11-utils \
  imagemagick e2fsprogs libmodbus-dev
scripts/windows-qt-kit.sh
kit=$(scripts/windows-qt-kit.sh --path)

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
t=$(date +%s)
QT_KIT=$kit cmake --preset windows-kit -B "$build" "${launcher[@]}" >/dev/null
cmake --build "$build" --target windows-dist
build=$(cd "$build" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
setup=$build/busprobe-suite-$version-setup.exe
zip=$build/busprobe-suite-$version-win64.zip
echo "windows programs built in $(($(date +%s) - t)) s:"
ls -l "$build/busprobe/window/busprobe.exe" "$build/meter/windows/Ormet-Master.exe" "$build"/dist/*.exe "$setup" \
  "$zip" | awk '{ printf "  %6.1f MB  %s\n", $5 / 1048576, $9 }'

# The simulators are Linux programs, from the native build.
native=build
sims=(tools/modbus-slave-sim/modbus-slave-sim tools/ormet-meter-sim/ormet-meter-sim)
if [ ! -x "$native/${sims[0]}" ] || [ ! -x "$native/${sims[1]}" ]; then
  [ -f "$native/build.ninja" ] || cmake -S . -B "$native" -G Ninja "${launcher[@]}" >/dev/null
  cmake --build "$native" --target modbus-slave-sim ormet-meter-sim >/dev/null
fi

status=0
xvfb-run -a -s "-screen 0 1280x1024x24" python3 tests/wine/wine_programs.py --setup "$setup" --zip "$zip" \
  --prefix "$build/wineprefix" --shots "$build/screenshots" --slave-sim "$PWD/$native/${sims[0]}" \
  --meter-sim "$PWD/$native/${sims[1]}" || status=1
echo "wine-programs: done in $(($(date +%s) - started)) s"
exit $status
