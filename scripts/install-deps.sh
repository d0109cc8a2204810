#!/usr/bin/env bash
# Installs every Debian 12 package needed to build, test, run and package both tools. Safe to rerun.
# With package names as arguments, installs those instead (what a test tier needs beyond the rest).
set -euo pipefail
PKGS=(
  build-essential g++ cmake ninja-build pkg-config git
  googletest libgtest-dev libgmock-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev libglx-dev
  libmodbus-dev
  fonts-wqy-zenhei
  xvfb xauth x11-utils imagemagick
  socat procps dpkg-dev file
  clang libclang-rt-14-dev libbenchmark-dev libboost-dev libserialport-dev
)
[ $# -eq 0 ] || PKGS=("$@")
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
