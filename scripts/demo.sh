#!/usr/bin/env bash
# Installs the dependencies, builds, starts the fake service on a sample registry, and runs the
# loopback build of registry-list against it in both modes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
bash "$root/scripts/build.sh"

port=$(sed -n 's/^REGISTRY_TEST_PORT:STRING=//p' "$build_dir/CMakeCache.txt")
key_file=$(sed -n 's/^REGISTRY_CERTIFICATE_FILE:STRING=//p' "$build_dir/CMakeCache.txt")
work=$(mktemp -d)
fake_pid=
cleanup() {
  [ -n "$fake_pid" ] && kill "$fake_pid" 2>/dev/null && wait "$fake_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$build_dir/tests/fake_service/fake-service" --pki-dir "$build_dir/tests/pki" --port "$port" \
  >"$work/fake.out" 2>"$work/fake.log" &
fake_pid=$!
for _ in $(seq 100); do
  grep -q listening "$work/fake.out" && break
  kill -0 "$fake_pid" 2>/dev/null || { cat "$work/fake.log" >&2; exit 1; }
  sleep 0.1
done

# The program reads its key file from the working directory, under its configured name.
install -m 600 "$build_dir/tests/pki/sa-legacy.p12" "$work/$key_file"
cd "$work"
run() {
  echo "\$ registry-list${*:+ $*}"
  local status=0
  "$build_dir/tests/registry-list-loopback" "$@" || status=$?
  # The JSON listing ends without a newline.
  [ $# -eq 0 ] || echo
  echo "(exit status $status)"
  echo
}
run
run --json
