#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# Before CTest, whose summary closes the run.
scripts/windows-check.sh
# Every fuzz target briefly, so that one which no longer builds or crashes at once is seen.
scripts/fuzz.sh 20
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"
