#!/usr/bin/env bash
# Runs the tests labelled vm on real kernel serial drivers in a QEMU guest (16550, PCI UART, USB adapter).
# Usage: scripts/vm-tests.sh [BUILD_DIR (default build)]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
started=$(date +%s)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
need=()
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
[ -x /bin/busybox ] || need+=(busybox-static)
command -v python3 >/dev/null || need+=(python3)
if [ ${#need[@]} -gt 0 ]; then
    $SUDO apt-get update -q >/dev/null
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}" >/dev/null
fi

[ -f "$build/build.ninja" ] || [ -f "$build/Makefile" ] || cmake -S . -B "$build" -G Ninja
cmake --build "$build" --target test_vm_serial ormet-meter-sim
build=$(cd "$build" && pwd)

# The kernel of the package linux-image-amd64 depends on, cached by its version under the build folder.
kernel_package() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ { print $2; exit }'; }
kpkg=$(kernel_package)
cache="$build/vm/$kpkg"
if [ -z "$kpkg" ] || [ ! -f "$cache/vmlinux" ] || [ ! -f "$cache/initrd.gz" ] || [ tests/vm/vm_host.py -nt "$cache/initrd.gz" ]; then
    tmp=$(mktemp -d)
    # Missing or old package lists (a version the archive no longer has): update once and look again.
    if [ -z "$kpkg" ] || ! (cd "$tmp" && apt-get download "$kpkg" >/dev/null 2>&1); then
        $SUDO apt-get update -q >/dev/null
        kpkg=$(kernel_package)
        cache="$build/vm/$kpkg"
        (cd "$tmp" && apt-get download "$kpkg" >/dev/null)
    fi
    mkdir -p "$cache"
    python3 tests/vm/vm_host.py prepare "$tmp"/*.deb "$cache"
    rm -rf "$tmp"
fi

# The helper prints the summary line; its time counts from the start of this script.
VM_STARTED=$started exec python3 tests/vm/vm_host.py run "$cache" "$build" "$build/tests/vm/test_vm_serial" 2700
