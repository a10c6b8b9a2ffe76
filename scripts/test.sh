#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
cd "$BUILD_DIR"
ctest --output-on-failure -j 2 --timeout 900 "$@"
