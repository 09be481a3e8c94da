#!/usr/bin/env bash
# Measures registry-list against the floors of its work, on a loopback bench server:
#   transfer  curl making the same four requests with the same headers over one reused
#             connection, output read through a pipe: what fetching alone costs;
#   print     print-floor writing the program's exact output a line and a flush at a time: what
#             printing alone costs.
# For each registry size and wire format it reports the medians (wall time, CPU time, peak RSS)
# of each, the program's overhead over the floors and its CPU time per row, then checks the
# figures against the performance goals, then runs the microbenchmarks.
#
#   bash scripts/bench.sh [--write] [ROWS...]     (sizes default to 1000 10000 100000)
#
# --write also stores the report in bench/results.md. BENCH_REPEAT sets the timed rounds
# (default 7). Nothing is asserted about the timings: the exit status is non-zero only when
# something crashed, failed, or printed other output than expected.
set -euo pipefail
# Text tools (sed, grep, sort, awk, tr, wc) treat bytes the same whatever locale the caller has;
# the calls that need UTF-8 say so themselves.
export LC_ALL=C
unset LANGUAGE
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench

usage() {
  echo "usage: $0 [--write] [ROWS...]" >&2
  exit 2
}

write=false
sizes=()
for arg in "$@"; do
  case $arg in
    --write) write=true ;;
    '' | *[!0-9]* | 0*) usage ;;
    *) sizes+=("$arg") ;;
  esac
done
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 10000 100000)
repeat=${BENCH_REPEAT:-7}
formats=(gdata sheets-v4)

fail() {
  echo "bench: $*" >&2
  exit 1
}

bash "$root/scripts/setup.sh"
command -v curl >/dev/null || fail "curl is not installed"
grep -q 'add_subdirectory(bench)' "$root/CMakeLists.txt" ||
  fail "the top-level CMakeLists.txt does not include bench/ (REGISTRY_BENCH)"

echo "bench: building $build (Release)" >&2
build_log=$(mktemp)
if ! cmake -S "$root" -B "$build" -DREGISTRY_BENCH=ON -DBUILD_TESTING=ON \
  -DCMAKE_BUILD_TYPE=Release >"$build_log" 2>&1 ||
  ! cmake --build "$build" --parallel "$(nproc)" --target bench-tools >>"$build_log" 2>&1; then
  tail -n 50 "$build_log" >&2
  rm -f "$build_log"
  fail "the build failed"
fi
rm -f "$build_log"

bin=$build/bench
pki=$build/tests/pki
port=$(sed -n 's/^REGISTRY_BENCH_PORT:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$port" ] || fail "REGISTRY_BENCH_PORT is not in $build/CMakeCache.txt"
work=$build/bench-run
rm -rf "$work"
mkdir -p "$work"
# The bench builds open their key file in the working directory, as the program always does.
install -m 600 "$pki/sa-legacy.p12" "$work/bench-service-account.p12"

server_pid=
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
}
trap stop_server EXIT
trap 'exit 130' INT TERM

# start_server ROWS FORMAT DIR: waits (at most 5 minutes) until it has warmed up and listens.
start_server() {
  "$bin/bench-server" --pki-dir "$pki" --port "$port" --rows "$1" --format "$2" \
    --urls-file "$3/urls" --log >"$3/server.out" 2>"$3/server.log" &
  server_pid=$!
  local i
  for ((i = 0; i < 3000; i++)); do
    grep -qs '^listening on' "$3/server.out" && return 0
    if ! kill -0 "$server_pid" 2>/dev/null; then
      cat "$3/server.log" >&2
      server_pid=
      fail "bench-server did not start (is port $port in use?)"
    fi
    sleep 0.1
  done
  fail "bench-server did not get ready within 5 minutes"
}

# The request lines of the server log: "METHOD target status port headers".
request_lines() { grep -E '^(GET|POST) ' "$1" || true; }

declare -A wall cpu rss
connections=()
runner_peak_kib=0

for rows in "${sizes[@]}"; do
  for format in "${formats[@]}"; do
    case $format in
      gdata) program=$bin/registry-list-bench-gdata ;;
      sheets-v4) program=$bin/registry-list-bench-v4 ;;
    esac
    dir=$work/$format-$rows
    mkdir -p "$dir"
    echo "bench: $rows rows, $format" >&2
    start_server "$rows" "$format" "$dir"
    mapfile -t urls <"$dir/urls"
    [ ${#urls[@]} -eq 4 ] || fail "bench-server wrote ${#urls[@]} addresses, not 4"

    # One curl, four transfers joined by --next so they share a connection, each with the
    # program's headers: it asks for the encodings its libcurl decodes (gzip and deflate), sends
    # no User-Agent, and the POST carries a form and no "Expect: 100-continue". The same without
    # compression (plain), for comparison: what the transfer costs when the answers come as they
    # are (more bytes, no inflate).
    compression=(--compressed -H 'Accept-Encoding: deflate, gzip')
    for kind in gzip plain; do
      common=(--fail --cacert "$pki/ca.pem" -H 'User-Agent:')
      [ "$kind" = plain ] || common+=("${compression[@]}")
      command=(curl --silent --show-error
        "${common[@]}" -H 'Content-Type: application/x-www-form-urlencoded' -H 'Expect:'
        --data-raw 'grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Ajwt-bearer&assertion=bench'
        "${urls[0]}")
      for url in "${urls[@]:1}"; do
        command+=(--next "${common[@]}" -H 'Authorization: Bearer bench-token' "$url")
      done
      if [ "$kind" = gzip ]; then transfer=("${command[@]}"); else transfer_plain=("${command[@]}"); fi
    done

    # The expected output, from one untimed run; every timed run must print exactly this.
    expected=$dir/expected.txt
    (cd "$work" && "$program" >"$expected") || fail "$format: the program exited non-zero"
    [ "$(tail -n 1 "$expected")" = "[ OK ]" ] ||
      fail "$format, $rows rows: the program printed $(tail -n 1 "$expected")"
    printed=$(($(wc -l <"$expected") - 1))
    [ "$printed" -eq "$rows" ] || fail "$format: $printed rows printed, $rows served"
    "${transfer[@]}" >/dev/null || fail "$format: the transfer floor failed"

    # Both must have made the same requests (method, target, headers) and been answered 200.
    mapfile -t seen < <(request_lines "$dir/server.log")
    [ ${#seen[@]} -eq 8 ] || fail "$format: ${#seen[@]} requests logged, expected 4 + 4"
    for i in 0 1 2 3; do
      read -r p_method p_target p_status _ p_headers <<<"${seen[$i]}"
      read -r c_method c_target c_status _ c_headers <<<"${seen[$((i + 4))]}"
      want=${urls[$i]#https://127.0.0.1:"$port"}
      [ "$p_target" = "$want" ] || fail "$format: the program asked for $p_target, not $want"
      [ "$p_method $p_target $p_status $p_headers" = "$c_method $c_target $c_status $c_headers" ] ||
        fail "$format: program and curl differ: '${seen[$i]}' / '${seen[$((i + 4))]}'"
      [ "$p_status" = 200 ] || fail "$format: $p_target answered $p_status"
    done
    program_connections=$(printf '%s\n' "${seen[@]:0:4}" | awk '{print $4}' | sort -u | wc -l)
    curl_connections=$(printf '%s\n' "${seen[@]:4:4}" | awk '{print $4}' | sort -u | wc -l)
    connections+=("$rows $format: program $program_connections, curl $curl_connections")

    # print-cat is the print floor read by cat, as a shell pipeline reads it: the runner's own
    # reading must cost no more than that.
    # shellcheck disable=SC2016 # the inner shell expands $0 and $1
    (cd "$work" && "$bin/bench-runner" --repeat "$repeat" \
      --expect "program=$expected" --expect "print=$expected" \
      -- program "$program" :: transfer "${transfer[@]}" :: print "$bin/print-floor" "$expected" \
      :: transfer-plain "${transfer_plain[@]}" \
      :: print-cat sh -c '"$0" "$1" | cat >/dev/null' "$bin/print-floor" "$expected") \
      >"$dir/times" 2>"$dir/runner.err" || {
      cat "$dir/runner.err" >&2
      fail "$format, $rows rows: a timed run failed"
    }
    runner_kib=$(sed -n 's/^bench-runner: own peak RSS \([0-9]*\) KiB$/\1/p' "$dir/runner.err")
    [ "${runner_kib:-0}" -le "$runner_peak_kib" ] || runner_peak_kib=$runner_kib
    while read -r name w c r _; do
      wall[$rows,$format,$name]=$w
      cpu[$rows,$format,$name]=$c
      rss[$rows,$format,$name]=$r
    done <"$dir/times"
    stop_server
  done
done

calc() { awk "BEGIN { printf \"$1\", $2 }"; }
ms() { calc '%.1f' "$1 * 1000"; }
mib() { calc '%.1f' "$1 / 1024"; }
grouped() { printf '%s' "$1" | sed -e ':a' -e 's/\([0-9]\)\([0-9]\{3\}\)\($\| \)/\1 \2\3/' -e 'ta'; }

report=$work/report.md
{
  echo "## registry-list against its floors"
  echo
  echo "Median of $repeat runs each, run alternately. Wall and CPU in ms, peak RSS in MiB;"
  echo "transfer = curl making the same requests, print = print-floor writing the same output."
  echo
  echo "| rows | format | wall program | wall transfer | wall print | CPU program | CPU transfer | CPU print | RSS program | RSS transfer | RSS print | wall / (transfer + print) | wall / transfer | CPU µs / row |"
  echo "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  for rows in "${sizes[@]}"; do
    for format in "${formats[@]}"; do
      k=$rows,$format
      wp=${wall[$k,program]} wt=${wall[$k,transfer]} wr=${wall[$k,print]}
      echo "| $(grouped "$rows") | $format | $(ms "$wp") | $(ms "$wt") | $(ms "$wr") |" \
        "$(ms "${cpu[$k,program]}") | $(ms "${cpu[$k,transfer]}") | $(ms "${cpu[$k,print]}") |" \
        "$(mib "${rss[$k,program]}") | $(mib "${rss[$k,transfer]}") | $(mib "${rss[$k,print]}") |" \
        "$(calc '%.2f' "$wp / ($wt + $wr)") | $(calc '%.2f' "$wp / $wt") |" \
        "$(calc '%.2f' "${cpu[$k,program]} * 1e6 / $rows") |"
    done
  done
  echo
  echo "Peak RSS counts from the spawning runner's own $(mib "$runner_peak_kib") MiB (the kernel carries"
  echo "it into the child), as time(1) does from its own."
  echo
  echo "Connections used for the four requests: $(printf '%s; ' "${connections[@]}" | sed 's/; $//')."
  echo
  echo "### The floors, checked"
  echo
  echo "The transfer floor asks for gzip, as the program does; without it (plain) the same answers"
  echo "come uncompressed. print | cat is print-floor piped into \`cat >/dev/null\` by sh; at 100 000"
  echo "rows the runner's print floor must be within 10 % of it. At the smaller sizes print | cat is"
  echo "mostly the start of sh and cat, which the print floor does not pay."
  echo
  echo "| rows | format | wall transfer (gzip) | wall transfer (plain) | wall print | wall print \\| cat | print / print \\| cat |"
  echo "|---:|---|---:|---:|---:|---:|---:|"
  for rows in "${sizes[@]}"; do
    for format in "${formats[@]}"; do
      k=$rows,$format
      echo "| $(grouped "$rows") | $format | $(ms "${wall[$k,transfer]}") |" \
        "$(ms "${wall[$k,transfer-plain]}") | $(ms "${wall[$k,print]}") |" \
        "$(ms "${wall[$k,print-cat]}") | $(calc '%.2f' "${wall[$k,print]} / ${wall[$k,print-cat]}") |"
    done
  done
  echo
  echo "## Goals"
  echo
  echo "| goal | measured | target | |"
  echo "|---|---:|---:|---|"
  # goal TEXT MEASURED LIMIT UNIT: MEASURED empty when the sizes run did not cover it.
  goal() {
    if [ -z "$2" ]; then
      echo "| $1 | – | ≤ $3$4 | not measured |"
    elif awk "BEGIN { exit !($2 <= $3) }"; then
      echo "| $1 | $2$4 | ≤ $3$4 | met |"
    else
      echo "| $1 | $2$4 | ≤ $3$4 | **not met** |"
    fi
  }
  have() { [ -n "${wall[$1,program]:-}" ]; }
  overhead() { have "$1" && calc '%.2f' "${wall[$1,program]} / (${wall[$1,transfer]} + ${wall[$1,print]})"; }
  over_transfer() { have "$1" && calc '%.2f' "${wall[$1,program]} / ${wall[$1,transfer]}"; }
  peak() { have "$1" && mib "${rss[$1,program]}"; }
  growth() {
    have "10000,$1" && have "100000,$1" &&
      calc '%.2f' "(${cpu[100000,$1,program]} / 100000) / (${cpu[10000,$1,program]} / 10000)"
  }
  goal "sheets-v4, 100 000 rows: wall / (transfer + print)" "$(overhead 100000,sheets-v4 || true)" 1.3 ×
  goal "gdata, 100 000 rows: wall / (transfer + print)" "$(overhead 100000,gdata || true)" 2.5 ×
  goal "sheets-v4, 1 000 rows: wall / transfer" "$(over_transfer 1000,sheets-v4 || true)" 1.3 ×
  goal "gdata, 1 000 rows: wall / transfer" "$(over_transfer 1000,gdata || true)" 1.3 ×
  goal "sheets-v4, 100 000 rows: peak RSS" "$(peak 100000,sheets-v4 || true)" 59 " MiB"
  goal "gdata, 100 000 rows: peak RSS" "$(peak 100000,gdata || true)" 160 " MiB"
  goal "sheets-v4: CPU per row, 100 000 rows / 10 000 rows" "$(growth sheets-v4 || true)" 1.2 ×
  goal "gdata: CPU per row, 100 000 rows / 10 000 rows" "$(growth gdata || true)" 1.2 ×
} >"$report"

echo "bench: microbenchmarks" >&2
micro_args=(--benchmark_color=false)
if [ "${CI:-}" = true ]; then
  micro_args+=(--benchmark_min_time=0.05)
else
  # Medians of five: single figures of a 60 ms benchmark wander by a third on a shared machine.
  micro_args+=(--benchmark_repetitions=5 --benchmark_report_aggregates_only=true)
fi
"$bin/micro-bench" "${micro_args[@]}" >"$work/micro.txt" 2>"$work/micro.err" || {
  cat "$work/micro.err" >&2
  fail "micro-bench failed"
}
{
  echo
  echo "## Microbenchmarks (10 000 rows)"
  echo
  echo '```'
  grep -v '^\*\*\*' "$work/micro.err" || true
  # With repetitions, the medians (and their spread) are the figures worth keeping.
  grep -v -E '_(mean|stddev) ' "$work/micro.txt"
  echo '```'
  echo
  commit=$(git -C "$(dirname "$0")" rev-parse --short HEAD 2>/dev/null || echo unknown)
  [ -z "$(git -C "$(dirname "$0")" status --porcelain 2>/dev/null)" ] || commit="$commit (with local changes)"
  cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
  echo "Measured $(date -u +%Y-%m-%d) at $commit on $(nproc) × ${cpu_model:-unknown CPU}, Release build."
} >>"$report"

cat "$report"
if $write; then
  cp "$report" "$root/bench/results.md"
  echo "bench: wrote bench/results.md" >&2
fi
