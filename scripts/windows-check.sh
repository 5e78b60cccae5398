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
# No Mono or Gecko: the prefix is made in seconds and asks nothing. No crash debugger: a crash
# ends the program at once (Wine falls back to its debugger even with the registry's entry gone,
# so its program is disabled), and the verdict below comes from GoogleTest's report alone, never
# from Wine's exit status, which a crash leaves at 0 as often as not.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
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

# The Linux tests' own verdicts come from CTest; here they make the records, so each must
# pass and leave some: a Windows test without its record would test nothing.
records="$work/peers"
pids=()
for test in "$build_dir"/tests/apk_*_test; do
  SKARNBOLT_PEER_RECORD="$records" "$test" > "$work/$(basename "$test").log" 2>&1 &
  pids+=("$!:$test")
done
recorded=true
for entry in "${pids[@]}"; do
  test=${entry#*:}
  if ! wait "${entry%%:*}"; then
    echo "The recording run of $test failed:" >&2
    tail -n 40 "$work/$(basename "$test").log" >&2
    recorded=false
  fi
done
$recorded || exit 1
if ((${#pids[@]} == 0)) || [[ -z $(ls -A "$records" 2>/dev/null) ]]; then
  echo "No peer records were made in $records" >&2
  exit 1
fi
# The tests the Windows program must run: the same sources' tests as Linux lists them.
for test in "$build_dir"/tests/apk_*_test; do
  "$test" --gtest_list_tests
done > "$work/expected.txt"

timeout 120 "$wine" wineboot -i > "$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
replay=$("$wine" winepath -w "$records")
report=$("$wine" winepath -w "$work/report.xml")
echo "Running the toolkit's tests for Windows under Wine"
SKARNBOLT_PEER_REPLAY="$replay" timeout 900 "$wine" "$windows_dir/tests/apk/apk_tests.exe" \
  --gtest_brief=1 "--gtest_output=xml:$report" || true
python3 scripts/gtest_verdict.py "$work/expected.txt" "$work/report.xml"
