#!/usr/bin/env bash
# Starts the program under a virtual display and saves a picture of its window, as a user
# first sees it, to docs/window.png (or the path given). Needs the packages of setup.sh and a
# build in build/ (or $BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${BUILD_DIR:-build}/builder/skarnbolt-builder")
out=$(realpath -m "${1:-docs/window.png}")

# A throwaway home and data folder, so that the picture shows no cache size of this machine.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

xvfb-run --auto-servernum --server-args="-screen 0 900x700x24 -br" env \
  HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" LOCALAPPDATA="$scratch" \
  SKARNBOLT_BUILDER_HOME="$scratch" XDG_RUNTIME_DIR="$scratch" QT_QPA_PLATFORM=xcb \
  bash -c '
    "$1" &
    pid=$!
    sleep 4
    import -window root "$2.full.png"
    kill "$pid"
    wait "$pid" || true
  ' screenshot "$program" "$out"

# Without a window manager the window sits in the corner of a black screen: cut it out.
convert "$out.full.png" -trim +repage "$out"
rm -f "$out.full.png"
echo "$out"
