#!/usr/bin/env bash
# The Windows side, checked on Linux: every builder/ and kde/ source compiled for syntax with
# mingw-w64, then the APK toolkit and its tests cross-built and run under Wine. The tests' peer
# tools (Python, Info-ZIP, aapt, ...) exist only here, so the Linux tests record what each peer
# command made and the Windows tests replay it. Needs the Linux build (scripts/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build}
windows_dir=${WINDOWS_BUILD_DIR:-build-windows}
wine=/usr/lib/wine/wine64
work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
# No Mono or Gecko: the prefix is made in seconds and asks nothing.
export WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

python3 scripts/windows_syntax.py "$build_dir/compile_commands.json"

cmake --no-warn-unused-cli -S . -B "$windows_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DSKARNBOLT_TOOLKIT_ONLY=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$work/configure.log" ||
  { cat "$work/configure.log"; exit 1; }
cmake --build "$windows_dir" -j "$(nproc)"

# The Linux tests' own verdicts come from CTest; here they only make the records.
for test in "$build_dir"/tests/apk_*_test; do
  SKARNBOLT_PEER_RECORD="$work/peers" "$test" > "$work/$(basename "$test").log" 2>&1 &
done
wait || true

timeout 120 "$wine" wineboot -i > "$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
replay=$("$wine" winepath -w "$work/peers")
echo "Running the toolkit's tests for Windows under Wine"
SKARNBOLT_PEER_REPLAY="$replay" timeout 900 "$wine" "$windows_dir/tests/apk/apk_tests.exe" \
  --gtest_brief=1
