#!/usr/bin/env bash
# Installs what is needed, builds both tools and both simulators, and starts the demo (scripts/demo.sh).
# Usage: scripts/run-tools.sh [--no-build] [demo options; see scripts/demo.sh --help]
# The build directory is build/ unless BUILD_DIR names another.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${BUILD_DIR:-build}
build=1
args=()
for a in "$@"; do
    case "$a" in
    --no-build) build=0 ;;
    --installed) build=0; args+=("$a") ;;
    -h|--help) echo "Usage: scripts/run-tools.sh [--no-build] [demo options]"; exec scripts/demo.sh --help ;;
    *) args+=("$a") ;;
    esac
done

if [ $build = 1 ]; then
    bash scripts/install-deps.sh
    cmake -S . -B "$dir" -G Ninja >/dev/null
    # Only the four programs, not the test suites.
    cmake --build "$dir" --target busprobe Ormet-Master modbus-slave-sim ormet-meter-sim
fi
exec scripts/demo.sh --build-dir "$dir" "${args[@]}"
