#!/usr/bin/env bash
# Installs what is needed, builds both tools and starts them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DBUILD_TESTING=OFF
cmake --build build
echo "Built. The windows are not there yet; nothing to start."
