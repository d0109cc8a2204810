#!/usr/bin/env bash
# Installs what is needed, builds and runs every test. Usage: scripts/run-tests.sh [build-dir] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${1:-build}
shift || true
cmake -S . -B "$build" -G Ninja "$@"
# BUILD_TARGETS (space-separated) builds only those, for a run limited to their tests.
# shellcheck disable=SC2086
cmake --build "$build" ${BUILD_TARGETS:+--target $BUILD_TARGETS}
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure ${CTEST_ARGS:-}
