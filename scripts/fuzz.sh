#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ (FUZZ_BUILD_DIR) and runs one target, or
# all of them one after another, for SECONDS each (default 60), starting from a copy of the
# committed corpus in fuzz/corpus/<target>/, so the checkout is never modified.
#
# Usage: scripts/fuzz.sh [TARGET|all] [SECONDS]
#
# Prints one summary line per target (executions and the final coverage). Exits non-zero when any
# target crashes, times out, runs out of memory or fails its checks; the input that did it is kept
# under build-fuzz/artifacts/<target>/ and the report is printed. With CI=true nothing else is
# printed; otherwise libFuzzer's progress is shown as it runs.
set -euo pipefail
# Text tools (sed, grep, sort, awk, tr, wc) treat bytes the same whatever locale the caller has;
# the calls that need UTF-8 say so themselves.
export LC_ALL=C
unset LANGUAGE
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${FUZZ_BUILD_DIR:-$root/build-fuzz}
which=${1:-all}
seconds=${2:-60}
quiet=false
[[ "${CI:-}" == true ]] && quiet=true

all_targets=()
for source in "$root"/fuzz/*_fuzzer.cc; do
  name=$(basename "$source" _fuzzer.cc)
  all_targets+=("$name")
done
if [[ "$which" == all ]]; then
  targets=("${all_targets[@]}")
elif [[ " ${all_targets[*]} " == *" $which "* ]]; then
  targets=("$which")
else
  echo "usage: $0 [all|$(IFS='|'; echo "${all_targets[*]}")] [SECONDS]" >&2
  exit 2
fi
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "fuzz: SECONDS must be a positive whole number, not '$seconds'" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs a step; in CI its output is shown only when it fails.
step() {
  if $quiet; then
    "$@" >"$work/step.log" 2>&1 || {
      cat "$work/step.log" >&2
      return 1
    }
  else
    "$@"
  fi
}

step bash "$root/scripts/setup.sh"
step env CC=clang CXX=clang++ cmake -S "$root" -B "$build_dir" -DREGISTRY_FUZZ=ON \
  -DBUILD_TESTING=OFF
step cmake --build "$build_dir" --parallel "$(nproc)" --target fuzzers

failed=()
for target in "${targets[@]}"; do
  corpus=$work/corpus-$target
  mkdir -p "$corpus"
  if [[ -d "$root/fuzz/corpus/$target" ]]; then
    cp -R "$root/fuzz/corpus/$target/." "$corpus/"
  fi
  artifacts=$build_dir/artifacts/$target
  mkdir -p "$artifacts"
  options=(-max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 -timeout=10
    -print_final_stats=1 -artifact_prefix="$artifacts/")
  [[ -f "$root/fuzz/$target.dict" ]] && options+=(-dict="$root/fuzz/$target.dict")
  log=$work/$target.log

  status=0
  # The outer limit only catches a fuzzer that stops honouring its own time limit.
  if $quiet; then
    timeout -k 30 $((seconds + 300)) "$build_dir/fuzz/${target}_fuzzer" "${options[@]}" \
      "$corpus" >"$log" 2>&1 || status=$?
  else
    timeout -k 30 $((seconds + 300)) "$build_dir/fuzz/${target}_fuzzer" "${options[@]}" \
      "$corpus" 2>&1 | tee "$log" || status=${PIPESTATUS[0]}
  fi

  execs=$(sed -n 's/^stat::number_of_executed_units: //p' "$log" | tail -n 1)
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1 || true)
  files=$(find "$corpus" -type f | wc -l)
  if [[ $status -eq 0 ]]; then
    echo "fuzz: $target: ok, execs ${execs:-?}, ${coverage:-cov: ? ft: ?}, corpus $files files"
  else
    failed+=("$target")
    if $quiet; then
      # The report without the progress lines; libFuzzer puts the input in it as Base64.
      grep -v -E '^#[0-9]+[[:space:]]|^INFO: ' "$log" >&2 || true
    fi
    echo "fuzz: $target: FAILED (exit $status), execs ${execs:-?}, ${coverage:-cov: ? ft: ?};" \
      "input kept in $artifacts/"
  fi
done

if [[ ${#failed[@]} -gt 0 ]]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
