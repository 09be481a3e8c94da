#!/usr/bin/env bash
# Installs the dependencies, builds, and runs the whole test suite:
#   plain     the suite on a normal build (build/);
#   sanitize  the suite again on a build under AddressSanitizer and UndefinedBehaviorSanitizer
#             (build-sanitize/), where any report fails the run;
#   fuzz      every fuzz target for FUZZ_SECONDS (default 60) each, from the committed corpora;
#   bench     the benchmark harness at 1 000 rows, so it cannot rot: it checks the output and
#             the requests, never the timings;
#   windows   the Windows build (scripts/windows.sh): the cross-built programs run under Wine
#             against the plain build's fake service, and the release .zip checked.
# With no argument it runs all five; name stages to run only those. Each stage says how long it
# took.
set -euo pipefail
# Text tools (sed, grep, sort, awk, tr, wc) treat bytes the same whatever locale the caller has;
# the calls that need UTF-8 say so themselves.
export LC_ALL=C
unset LANGUAGE
root=$(cd "$(dirname "$0")/.." && pwd)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(plain sanitize fuzz bench windows)

run_suite() {
  local build_dir=$1
  shift
  BUILD_DIR=$build_dir bash "$root/scripts/build.sh" "$@"
  (cd "$build_dir" && ctest --parallel "$(nproc)" --output-on-failure --timeout 300 \
    ${CTEST_EXCLUDE:+--exclude-regex "$CTEST_EXCLUDE"})
}

for stage in "${stages[@]}"; do
  echo "=== test stage: $stage"
  started=$SECONDS
  case $stage in
    plain)
      run_suite "${BUILD_DIR:-$root/build}"
      ;;
    sanitize)
      # The package check is left out here: a sanitized program links the sanitizer runtimes,
      # which no package should depend on. It runs in the plain stage.
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1 \
      UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      LSAN_OPTIONS=suppressions=$root/tests/sanitizer/lsan.supp:print_suppressions=0 \
      CTEST_EXCLUDE=package_check \
        run_suite "$root/build-sanitize" -DREGISTRY_SANITIZE=address,undefined \
        -DCMAKE_BUILD_TYPE=Debug
      ;;
    fuzz)
      bash "$root/scripts/fuzz.sh" all "${FUZZ_SECONDS:-60}"
      ;;
    bench)
      bash "$root/scripts/bench.sh" 1000
      ;;
    windows)
      LINUX_BUILD_DIR=${BUILD_DIR:-$root/build} bash "$root/scripts/windows.sh" test
      LINUX_BUILD_DIR=${BUILD_DIR:-$root/build} bash "$root/scripts/windows.sh" package
      ;;
    *)
      echo "unknown stage: $stage (plain, sanitize, fuzz, bench, windows)" >&2
      exit 2
      ;;
  esac
  echo "=== test stage: $stage passed in $((SECONDS - started)) s"
done
