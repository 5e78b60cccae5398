#!/usr/bin/env bash
# Installs the Debian packages the project needs that are missing (asking for root through sudo
# only then), and builds as the user who called it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/as-user.sh

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
  as_root=()
  if [[ $(id -u) -ne 0 ]]; then
    if ! command -v sudo >/dev/null; then
      echo "Installing ${missing[*]} needs root, and there is no sudo: install them as root." >&2
      exit 1
    fi
    echo "Installing ${missing[*]} needs root: asking sudo." >&2
    as_root=(sudo)
  fi
  "${as_root[@]}" apt-get update
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "${missing[@]}"
fi

build_dir=${BUILD_DIR:-build}
# Earlier versions of these scripts built as root under sudo; give such a build folder back.
if [[ $(id -u) -eq 0 && -n ${SUDO_USER:-} && $SUDO_USER != root && -d $build_dir ]] &&
  [[ -n $(find "$build_dir" -maxdepth 0 -user root) ]]; then
  chown -R "$SUDO_USER:" "$build_dir"
fi
as_user cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
as_user cmake --build "$build_dir" -j "$(nproc)"
