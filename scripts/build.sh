#!/usr/bin/env bash
# Configures and builds everything (program, loopback build, fake service, tests) in BUILD_DIR,
# build/ by default. Extra arguments go to the CMake configure step.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build_dir" -DBUILD_TESTING=ON "$@" >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"
