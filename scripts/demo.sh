#!/usr/bin/env bash
# Installs the dependencies, builds, starts the fake service on a sample registry, and runs the
# loopback builds of registry-list against it in both modes, over both wire formats.
set -euo pipefail
# Text tools (sed, grep, sort, awk, tr, wc) treat bytes the same whatever locale the caller has;
# the calls that need UTF-8 say so themselves.
export LC_ALL=C
unset LANGUAGE
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
bash "$root/scripts/build.sh"

port=$(sed -n 's/^REGISTRY_TEST_PORT:STRING=//p' "$build_dir/CMakeCache.txt")
key_file=$(sed -n 's/^REGISTRY_CERTIFICATE_FILE:STRING=//p' "$build_dir/CMakeCache.txt")
work=$(mktemp -d)
fake_pid=
stop_fake() {
  if [ -n "$fake_pid" ]; then
    kill "$fake_pid" 2>/dev/null || true
    wait "$fake_pid" 2>/dev/null || true
    fake_pid=
  fi
}
trap 'stop_fake; rm -rf "$work"' EXIT

start_fake() {
  "$build_dir/tests/fake_service/fake-service" --pki-dir "$build_dir/tests/pki" --port "$port" \
    --format "$1" >"$work/fake.out" 2>"$work/fake.log" &
  fake_pid=$!
  for _ in $(seq 100); do
    grep -q listening "$work/fake.out" && return 0
    kill -0 "$fake_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/fake.log" >&2
  exit 1
}

run() {
  local program=$1
  shift
  echo "\$ registry-list${*:+ $*}"
  local status=0
  (cd "$work" && "$program" "$@") || status=$?
  # The JSON listing ends without a newline.
  [ $# -eq 0 ] || echo
  echo "(exit status $status)"
  echo
}

# The program reads its key file from the working directory, under its configured name.
install -m 600 "$build_dir/tests/pki/sa-legacy.p12" "$work/$key_file"

for format in gdata sheets-v4; do
  program=$build_dir/tests/registry-list-loopback
  [ "$format" = gdata ] || program=$build_dir/tests/registry-list-loopback-v4
  echo "=== $format"
  start_fake "$format"
  run "$program"
  run "$program" --json
  stop_fake
done
