#!/usr/bin/env bash
# Installs every Debian package the project needs (idempotent; needs root) and builds.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ pkg-config zlib1g-dev
  qt6-base-dev qt6-base-dev-tools
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 zip unzip zipalign aapt android-framework-res
  openssl imagemagick rsync curl tar
  # /usr/bin/time, which measures the builds' peak memory in bench/.
  time
  # The system trust store for the program's HTTPS downloads; a fresh machine may lack it.
  ca-certificates
  # The Breeze Light and Breeze Dark colour schemes, compiled into the program.
  kde-style-breeze
  # The SVG plugins that draw the window's icon; a virtual display for the screenshot script.
  libqt6svg6 xvfb
  # clang with libFuzzer and the sanitizers, for the fuzz targets (scripts/fuzz.sh).
  clang-14 libclang-rt-14-dev
  # The Windows checks (scripts/windows-check.sh): a cross compiler and its zlib, GoogleTest's
  # sources to build for Windows, and Wine to run the tests.
  mingw-w64 libz-mingw-w64-dev googletest wine64
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "Installing ${missing[*]} needs root: run this script with sudo." >&2
    exit 1
  fi
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build_dir" -j "$(nproc)"
