#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs the whole test suite. Every check runs
# whatever the ones before it did, so one hiccup hides none of the others; the run ends with
# CTest's summary and fails, naming them, when any check failed.
set -uo pipefail
cd "$(dirname "$0")/.."

# Without the packages and the build nothing else can run.
if ! scripts/setup.sh; then
  echo "test.sh: the set-up or the build failed; nothing was tested" >&2
  exit 1
fi

# Through sudo the checks run as the user who called it, like the build, so that the
# checkout's folders stay theirs.
source scripts/as-user.sh

failed=()
step() {
  local name=$1
  shift
  as_user "$@" || failed+=("$name")
}

step "Windows check" scripts/windows-check.sh
# Every fuzz target briefly, so that one which no longer builds or crashes at once is seen.
step "fuzz targets" scripts/fuzz.sh 20
step "test suite" env QT_QPA_PLATFORM=offscreen \
  ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"

if ((${#failed[@]})); then
  list=$(printf '%s, ' "${failed[@]}")
  echo "test.sh: failed: ${list%, }" >&2
  exit 1
fi
echo "test.sh: every check passed"
