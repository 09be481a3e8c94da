#!/usr/bin/env bash
# Installs the dependencies, builds, and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
bash "$root/scripts/build.sh" "$@"
cd "$build_dir"
ctest --parallel "$(nproc)" --output-on-failure --timeout 300
