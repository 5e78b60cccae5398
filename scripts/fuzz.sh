#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in their own build folder, makes their seed corpora afresh, and
# runs every target side by side for the given number of seconds. Fails when a target does not
# build or finds a fault; the input that shows it is kept in <build>/findings.
# usage: scripts/fuzz.sh [seconds] [target...]    (20 seconds and every target by default)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
(($# > 0)) && shift
build=${FUZZ_BUILD_DIR:-build-fuzz}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DSKARNBOLT_BUILD_FUZZERS=ON \
  -DSKARNBOLT_BUILD_TESTS=OFF -DSKARNBOLT_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target fuzzers -j "$(nproc)"

targets=("$@")
if ((${#targets[@]} == 0)); then
  for source in fuzz/*_fuzz.cpp; do
    name=${source#fuzz/}
    targets+=("${name%_fuzz.cpp}")
  done
fi

rm -rf "$build/seeds"
python3 fuzz/make_corpora.py "$build/seeds"
mkdir -p "$build/corpus" "$build/logs" "$build/findings"

pids=()
for target in "${targets[@]}"; do
  # The icon lookup's faults show in inputs far above libFuzzer's usual sizes.
  case $target in
    icons) max_len=1048576 len_control=0 ;;
    zip | unpack) max_len=65536 len_control=100 ;;
    *) max_len=4096 len_control=100 ;;
  esac
  mkdir -p "$build/corpus/$target"
  nice "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len="$max_len" \
    -len_control="$len_control" -timeout=30 \
    -rss_limit_mb=3072 -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
    "$build/corpus/$target" "$build/seeds/$target" >"$build/logs/$target.log" 2>&1 &
  pids+=($!)
done

failed=0
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  if wait "${pids[$i]}"; then
    printf 'fuzz %-14s %s\n' "$target" "$(grep -E '^#[0-9]+' "$build/logs/$target.log" | tail -1)"
  else
    echo "fuzz $target FAILED (log: $build/logs/$target.log, input: $build/findings/):"
    tail -40 "$build/logs/$target.log"
    failed=1
  fi
done
exit "$failed"
