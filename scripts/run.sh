#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and starts Skarnbolt Builder.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec "${BUILD_DIR:-build}/builder/skarnbolt-builder" "$@"
