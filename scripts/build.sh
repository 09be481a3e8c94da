#!/usr/bin/env bash
# Configures and builds everything (program, loopback build, fake service, tests) in BUILD_DIR,
# build/ by default. Extra arguments go to the CMake configure step; BUILD_TARGETS (space-separated)
# builds only those targets.
set -euo pipefail
# Text tools (sed, grep, sort, awk, tr, wc) treat bytes the same whatever locale the caller has;
# the calls that need UTF-8 say so themselves.
export LC_ALL=C
unset LANGUAGE
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build_dir" -DBUILD_TESTING=ON "$@" >/dev/null
targets=()
[ -z "${BUILD_TARGETS:-}" ] || read -r -a targets <<<"--target $BUILD_TARGETS"
cmake --build "$build_dir" --parallel "$(nproc)" "${targets[@]}"
