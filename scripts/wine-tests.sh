#!/usr/bin/env bash
# Builds the serial library and both protocol cores for Windows (mingw-w64) and runs their tests under
# Wine. Usage: scripts/wine-tests.sh [build-dir]   (default build-win; the Wine prefix lives inside it)
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)
build=${1:-build-win}

bash scripts/install-deps.sh g++-mingw-w64-x86-64-posix wine wine64 googletest cmake ninja-build

mkdir -p "$build"
build=$(cd "$build" && pwd)
export WINEPREFIX="$build/wineprefix" WINEARCH=win64 WINEDEBUG=-all
# No desktop integration, no Mono or Gecko prompts: the prefix is only a place to run console tests.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
# One wineserver and one set of Wine's own services for the whole run, instead of a start of both for
# every test program (5 s each on a busy box). Started with no terminal or pipe of ours: a service that
# held ctest's output pipe would keep ctest waiting for ever.
# A server already running for the prefix (a run that was cut short) is ended first: -p only starts one.
wineserver -k </dev/null >/dev/null 2>&1 || true
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k </dev/null >/dev/null 2>&1 || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i </dev/null >/dev/null 2>&1
else
  wineboot </dev/null >/dev/null 2>&1
fi

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"

log="$build/wine-tests.log"
status=0
# The pty rig's own tests (label wine) run through tests/wine/run.sh, which sets up the ports first.
ctest --test-dir "$build" -j"$(nproc)" -LE '^wine$' --output-on-failure ${CTEST_ARGS:-} 2>&1 | tee "$log" || status=1
if [ -x tests/wine/run.sh ]; then
  tests/wine/run.sh "$build" "$WINEPREFIX" 2>&1 | tee -a "$log" || status=1
fi

# Every summary line of the run, the rig's included: "NN% tests passed, M tests failed out of N", the
# rig's with "(P passed, S skipped)" behind it.
read -r passed failed skipped < <(awk '/tests passed, [0-9]+ tests? failed out of/ {
    for (i = 1; i <= NF; ++i) {
      if ($i == "failed") f += $(i - 2)
      if ($i == "of") n += $(i + 1)
      if ($i == "skipped)") s += $(i - 1)
    }
  } END { print n - f - s, f + 0, s + 0 }' "$log")
skips=""
[ "$skipped" -eq 0 ] || skips=" ($skipped skipped)"
echo "wine-tests: $passed passed, $failed failed in $(($(date +%s) - started)) s$skips"
exit $status
