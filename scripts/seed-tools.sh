#!/usr/bin/env bash
# Seeds a tool cache for builds on Linux, as the tests do: the pinned downloads are Windows
# builds, so CMake and Ninja become this machine's own, in the pinned folders with the stamps
# that mark them as unpacked, and llvm-mingw an empty folder (the port then uses the machine's
# compiler). Builds for this computer only. The cache is the one beside the program in
# build/ (or $BUILD_DIR), or the folder given.
set -euo pipefail
cd "$(dirname "$0")/.."
cache=$(realpath -m "${1:-${BUILD_DIR:-build}/builder/skarnbolt-builder-data/cache}")

# The folder and SHA-256 of each pinned download, as the program holds them.
rows=$(python3 - builder/downloads.cpp <<'PY'
import re, sys
text = open(sys.argv[1]).read()
for row in re.findall(r'const Download \w+\{(.*?)\};', text, re.S):
    literals = re.findall(r'"([^"]*)"', row)
    sha = next(l for l in literals if re.fullmatch(r'[0-9a-f]{64}', l))
    print(literals[-1], sha)
PY
)

stamp() {  # <folder below tools/>: makes it and writes its stamp
  local sha
  sha=$(awk -v f="$1" '$1 == f { print $2 }' <<<"$rows")
  [[ -n $sha ]] || { echo "no pinned download for $1" >&2; exit 1; }
  mkdir -p "$cache/tools/$1"
  printf '%s' "$sha" >"$cache/tools/$1/.skarnbolt-sha256"
}

stamp cmake
mkdir -p "$cache/tools/cmake/bin"
# A link: CMake finds its modules next to the file it really is.
ln -sfn "$(command -v cmake)" "$cache/tools/cmake/bin/cmake"
stamp ninja
# A copy: the build job makes it executable, which must not touch the machine's own file.
cp -f "$(command -v ninja)" "$cache/tools/ninja/ninja"
stamp llvm-mingw
mkdir -p "$cache/tools/llvm-mingw/bin"
echo "$cache"
