#!/usr/bin/env bash
# Builds a static Qt 6 kit for 64-bit Windows (mingw-w64) from Debian's own qt6-base source, the host
# Qt's version, with only what busprobe and Ormet-Master need, and keeps it in a cache folder.
# Usage: scripts/windows-qt-kit.sh          build the kit unless cached; prints its folder last
#        scripts/windows-qt-kit.sh --path   print the kit's folder only (it may not exist yet)
# Environment: QT_KIT_CACHE (default ${XDG_CACHE_HOME:-$HOME/.cache}/busprobe), QT_KIT_JOBS (nproc).
set -euo pipefail
cd "$(dirname "$0")/.."

# What the kit is made of: these options, the Debian version, the source patch and the toolchain lines
# below are its cache key. Comments and the rest of this script are not, so editing them does not cost a
# 40-minute rebuild.
QT_CONFIGURE=(
  -release -static -static-runtime -opensource -confirm-license
  -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
  -qt-host-path /usr -nomake examples -nomake tests
  -no-opengl -no-pkg-config -no-dbus
  -no-feature-sql -no-feature-network -no-feature-printsupport -no-feature-testlib
  -no-feature-concurrent -no-feature-xml -no-feature-vulkan
  -no-feature-textmarkdownreader -no-feature-textmarkdownwriter -no-feature-textodfwriter
  -no-libjpeg -no-gif -no-ico
  -no-feature-androiddeployqt -no-feature-tabletevent -no-feature-direct2d
  -qt-zlib -qt-pcre -qt-libpng -qt-freetype -qt-harfbuzz -qt-doubleconversion
)
# Qt's own build uses the compilers and find modes of ours, nothing else of our toolchain file.
kit_toolchain() { grep -v '^#' cmake/mingw-w64-target.cmake; }
# Qt 6.4 builds its DirectWrite font code only together with Direct2D, which the Windows plugin does not
# need: without Direct2D the programs fail to link (QWindowsDirectWriteFontDatabase), and the GDI font
# database never uses its DirectWrite engine (asked for by a hinting preference, as busprobe does).
patch_qt_source() {
  local gui=src/gui/CMakeLists.txt fonts=src/gui/text/windows
  grep -q 'CONDITION QT_FEATURE_direct2d AND QT_FEATURE_directwrite' "$gui"
  sed -i 's/CONDITION QT_FEATURE_direct2d AND QT_FEATURE_directwrite/CONDITION QT_FEATURE_directwrite/' "$gui"
  grep -q '^#if QT_CONFIG(directwrite) && QT_CONFIG(direct2d)$' "$fonts/qwindowsfontdatabase.cpp"
  sed -i 's/^#if QT_CONFIG(directwrite) && QT_CONFIG(direct2d)$/#if QT_CONFIG(directwrite)/' \
    "$fonts/qwindowsfontdatabase.cpp" "$fonts/qwindowsfontdatabasebase.cpp"
}

qt_version=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || true)
if [ -z "$qt_version" ]; then
  bash scripts/install-deps.sh qt6-base-dev
  qt_version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
fi
key=$({ echo "$qt_version"; declare -p QT_CONFIGURE; declare -f patch_qt_source; kit_toolchain; } |
  sha256sum | cut -c1-12)
cache=${QT_KIT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/busprobe}
kit=$cache/qt-kit-${qt_version%%+*}-$key
stamp=$kit/busprobe-kit.txt
if [ "${1:-}" = --path ]; then
  echo "$kit"
  exit 0
fi

mkdir -p "$cache"
# One build at a time per cache: a second caller waits for the first and then reuses its kit.
exec 9>"$cache/qt-kit.lock"
flock 9
if [ -f "$stamp" ]; then
  echo "qt kit: reused $kit"
  echo "$kit"
  exit 0
fi

started=$(date +%s)
bash scripts/install-deps.sh qt6-base-dev qt6-base-dev-tools g++-mingw-w64-x86-64-posix cmake ninja-build \
  dpkg-dev time
work=$cache/qt-kit-$key.build
mkdir -p "$work"

# The source: Debian's qt6-base of the host's version, with Debian's patches applied. apt gets a deb-src
# list of its own made from the machine's deb entries, with its own state under $work, so the system's
# apt configuration is never touched and nothing is left to remove but $work.
src=$work/src
if [ ! -f "$src/.patched" ]; then
  rm -rf "$src" "$work/apt"
  mkdir -p "$work/apt/sources.list.d" "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$src"
  for f in /etc/apt/sources.list.d/*.sources; do
    if [ -f "$f" ]; then sed 's/^Types:.*/Types: deb-src/' "$f" && echo; fi
  done >"$work/apt/sources.list.d/qt-src.sources"
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    if [ -f "$f" ]; then sed -n 's/^deb \(.*\)/deb-src \1/p' "$f"; fi
  done >"$work/apt/sources.list.d/qt-src.list"
  apt_opts=(-o "Dir::Etc::SourceList=$work/apt/sources.list.d/qt-src.list"
    -o "Dir::Etc::SourceParts=$work/apt/sources.list.d" -o "Dir::State::Lists=$work/apt/lists"
    -o "Dir::Cache=$work/apt/cache" -o APT::Sandbox::User=root)
  apt-get "${apt_opts[@]}" update -q
  (cd "$src" && apt-get "${apt_opts[@]}" source -q "qt6-base=$qt_version")
  rm -rf "$work/apt"
  tree=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*')
  (cd "$tree" && patch_qt_source)
  mv "$tree" "$src/qtbase"
  touch "$src/.patched"
fi

mkdir -p "$kit"
kit_toolchain >"$kit/mingw-w64-qt.cmake"
build=$work/build
mkdir -p "$build"
timed() { # label, command...: runs it, keeps its wall time, CPU time and peak memory for the record
  local label=$1
  shift
  /usr/bin/time -f "$label: %e s wall, %U s user, %S s system, %M KB peak" -a -o "$work/times.txt" "$@"
}
rm -f "$work/times.txt"
if [ ! -f "$build/build.ninja" ]; then
  (cd "$build" && timed configure nice -n 19 "$src/qtbase/configure" -prefix "$kit" "${QT_CONFIGURE[@]}" -- -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$kit/mingw-w64-qt.cmake" -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake)
fi
steps=$(ninja -C "$build" -n | grep -c '^\[' || true)
echo "qt kit: $steps build steps"
timed build nice -n 19 ninja -C "$build" -j"${QT_KIT_JOBS:-$(nproc)}"
timed install cmake --install "$build" >/dev/null

strip_size=$(du -sm "$kit" | cut -f1)
{
  echo "Qt $qt_version (Debian source), static, Win64, mingw-w64; key $key"
  echo "configure options: ${QT_CONFIGURE[*]}"
  echo "build steps: $steps"
  cat "$work/times.txt"
  echo "installed size: ${strip_size} MB"
  echo "total: $(($(date +%s) - started)) s"
} >"$stamp.new"
mv "$stamp.new" "$stamp"
cat "$stamp"
# The build folder (2 GB) is kept only while the kit is not installed, so an interrupted build resumes.
rm -rf "$work"
echo "qt kit: built in $(($(date +%s) - started)) s"
echo "$kit"
