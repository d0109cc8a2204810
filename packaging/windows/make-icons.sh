#!/usr/bin/env bash
# Makes the Windows icons (.ico, 16 to 256 px) from the programs' SVG icons; the .ico files are kept in
# git so that a Windows build needs no SVG renderer. Needs librsvg2-bin and imagemagick.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for name in busprobe ormet-master; do
  sizes=()
  for px in 16 24 32 48 64 256; do
    rsvg-convert -w "$px" -h "$px" -o "$work/$name-$px.png" "../icons/$name.svg"
    sizes+=("$work/$name-$px.png")
  done
  convert "${sizes[@]}" "$name.ico"
done
