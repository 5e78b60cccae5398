#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and starts Skarnbolt Builder as the calling user.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/as-user.sh
scripts/setup.sh
as_user "${BUILD_DIR:-build}/builder/skarnbolt-builder" "$@"
