#!/usr/bin/env bash
# Measures registry-list against the floors of its work, over two links to the bench server:
#   loopback  the bench server itself, at three loopback addresses that stand for the service's
#             three hosts (token, Drive, Sheets);
#   wan       the same addresses behind bench-link, which delays each direction by half a round
#             trip and caps each connection's rate (BENCH_RTT_MS, default 30 ms; BENCH_DOWN_MBIT,
#             default 50 Mbit/s towards the client; BENCH_UP_MBIT, default 10 towards the server).
# The floors:
#   transfer  curl making the same four requests with the same headers, one connection per host,
#             output read through a pipe: what fetching alone costs, over the same link;
#   print     print-floor writing the program's exact output a line and a flush at a time: what
#             printing alone costs.
# For each registry size and wire format it times the program and the transfer floor over both
# links and the print floor, alternately in one runner, and reports the medians (wall time, CPU
# time, peak RSS), the program's overhead over the floors, the connections each used per host,
# then checks the figures against the performance goals, then runs the microbenchmarks. First it
# checks the link itself (bench-link --self-test, and curl's timings of a new TLS connection).
#
#   bash scripts/bench.sh [--write] [--vs REV] [ROWS...]   (sizes default to 1000 10000 100000;
#                                                          with --vs, to 1000 100000)
#
# --write also stores the report in bench/results.md. --vs REV (or BENCH_VS=REV) also builds the
# program of git revision REV in a temporary worktree under /tmp, with that revision's own
# setup, and times it alongside, over both links; BENCH_VS_KEEP=1 leaves the worktree for the
# next run. BENCH_REPEAT sets the timed rounds (default 7). Nothing is asserted about the
# timings: the exit status is non-zero only when something crashed, failed, or printed other
# output than expected.
set -euo pipefail
# Text tools (sed, grep, sort, awk, tr, wc) treat bytes the same whatever locale the caller has;
# the calls that need UTF-8 say so themselves.
export LC_ALL=C
unset LANGUAGE
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench

usage() {
  echo "usage: $0 [--write] [--vs REV] [ROWS...]" >&2
  exit 2
}

write=false
vs=${BENCH_VS:-}
sizes=()
while [ $# -gt 0 ]; do
  case $1 in
    --write) write=true ;;
    --vs)
      [ $# -ge 2 ] || usage
      [ -n "$2" ] || usage
      vs=$2
      shift
      ;;
    --vs=?*) vs=${1#--vs=} ;;
    '' | *[!0-9]* | 0*) usage ;;
    *) sizes+=("$1") ;;
  esac
  shift
done
if [ ${#sizes[@]} -eq 0 ]; then
  if [ -n "$vs" ]; then sizes=(1000 100000); else sizes=(1000 10000 100000); fi
fi
repeat=${BENCH_REPEAT:-7}
rtt_ms=${BENCH_RTT_MS:-30}
down_mbit=${BENCH_DOWN_MBIT:-50}
up_mbit=${BENCH_UP_MBIT:-10}
formats=(gdata sheets-v4)
profiles=(loopback wan)
hosts=(127.0.0.1 127.0.0.2 127.0.0.3)

fail() {
  echo "bench: $*" >&2
  exit 1
}

bash "$root/scripts/setup.sh"
command -v curl >/dev/null || fail "curl is not installed"
grep -q 'add_subdirectory(bench)' "$root/CMakeLists.txt" ||
  fail "the top-level CMakeLists.txt does not include bench/ (REGISTRY_BENCH)"

# configure_and_build SOURCE BUILD LOG [CMAKE ARGS...] -- TARGETS...
configure_and_build() {
  local source=$1 dir=$2 log=$3
  shift 3
  local args=()
  while [ "$1" != -- ]; do
    args+=("$1")
    shift
  done
  shift
  local targets=()
  for t in "$@"; do targets+=(--target "$t"); done
  if ! cmake -S "$source" -B "$dir" -DCMAKE_BUILD_TYPE=Release "${args[@]}" >"$log" 2>&1 ||
    ! cmake --build "$dir" --parallel "$(nproc)" "${targets[@]}" >>"$log" 2>&1; then
    tail -n 50 "$log" >&2
    return 1
  fi
}

echo "bench: building $build (Release)" >&2
mkdir -p "$build"
curl_choice=()
# The program links Debian's libcurl; a tree that still offers a libcurl of its own as the
# default is told to take Debian's too.
! grep -q '^set(REGISTRY_CURL ' "$root/CMakeLists.txt" || curl_choice=(-DREGISTRY_CURL=system)
configure_and_build "$root" "$build" "$build/build.log" -DREGISTRY_BENCH=ON -DBUILD_TESTING=ON \
  "${curl_choice[@]}" -- bench-tools || fail "the build failed"

bin=$build/bench
pki=$build/tests/pki
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
port=$(cache_value REGISTRY_BENCH_PORT)
wan_port=$(cache_value REGISTRY_BENCH_WAN_PORT)
if [ -z "$port" ] || [ -z "$wan_port" ]; then
  fail "REGISTRY_BENCH_PORT or REGISTRY_BENCH_WAN_PORT is not in $build/CMakeCache.txt"
fi
# The server certificate must name every address the programs connect to.
sans=$(openssl x509 -in "$pki/server.pem" -noout -ext subjectAltName)
for host in "${hosts[@]}"; do
  grep -q "IP Address:$host\\(,\\|\$\\)" <<<"$sans" ||
    fail "$pki/server.pem does not name $host (tests/pki/make_test_pki.sh makes it)"
done
work=$build/bench-run
rm -rf "$work"
mkdir -p "$work"
# The bench builds open their key file in the working directory, as the program always does.
install -m 600 "$pki/sa-legacy.p12" "$work/bench-service-account.p12"

server_pid=
link_pid=
vs_tree=
stop_server() {
  local pid
  for pid in "$link_pid" "$server_pid"; do
    [ -n "$pid" ] || continue
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  server_pid=
  link_pid=
}
cleanup() {
  stop_server
  if [ -n "$vs_tree" ] && [ "${BENCH_VS_KEEP:-}" != 1 ]; then
    git -C "$root" worktree remove --force "$vs_tree" 2>/dev/null || rm -rf "$vs_tree"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The program of another revision, built by that revision's own setup (its libcurl included)
# for the same origins and the same test CA: only its four bench programs.
vs_bin=
vs_label=
if [ -n "$vs" ]; then
  vs_commit=$(git -C "$root" rev-parse --verify --quiet "$vs^{commit}") || fail "no revision $vs"
  vs_label=$(git -C "$root" rev-parse --short "$vs_commit")
  vs_tree=/tmp/registry-list-bench-vs-$vs_label
  if [ -d "$vs_tree" ] && [ "$(git -C "$vs_tree" rev-parse HEAD 2>/dev/null)" = "$vs_commit" ]; then
    echo "bench: reusing the worktree $vs_tree of $vs_label" >&2
  else
    rm -rf "$vs_tree"
    git -C "$root" worktree prune
    git -C "$root" worktree add --detach "$vs_tree" "$vs_commit" >/dev/null 2>&1 ||
      fail "cannot make a worktree of $vs_label in $vs_tree"
  fi
  echo "bench: building $vs_label in $vs_tree (its own setup, then Release)" >&2
  if [ -f "$vs_tree/scripts/setup.sh" ]; then
    bash "$vs_tree/scripts/setup.sh" >"$vs_tree/bench-setup.log" 2>&1 || {
      tail -n 30 "$vs_tree/bench-setup.log" >&2
      fail "$vs_label: its scripts/setup.sh failed"
    }
  fi
  # Its bench folder becomes this tree's list of programs, whatever it held.
  mkdir -p "$vs_tree/bench"
  cp "$root/bench/programs.cmake" "$vs_tree/bench/programs.cmake"
  echo 'include(programs.cmake)' >"$vs_tree/bench/CMakeLists.txt"
  grep -q 'add_subdirectory(bench)' "$vs_tree/CMakeLists.txt" ||
    echo 'add_subdirectory(bench)' >>"$vs_tree/CMakeLists.txt"
  configure_and_build "$vs_tree" "$vs_tree/build-bench" "$vs_tree/bench-build.log" \
    -DREGISTRY_BENCH=ON -DBUILD_TESTING=OFF -DREGISTRY_BENCH_PORT="$port" \
    -DREGISTRY_BENCH_WAN_PORT="$wan_port" -DREGISTRY_BENCH_CA_BUNDLE="$pki/ca.pem" \
    -- registry-list-bench-gdata registry-list-bench-v4 registry-list-bench-gdata-wan \
    registry-list-bench-v4-wan || fail "$vs_label: the build failed"
  vs_bin=$vs_tree/build-bench/bench
fi

# wait_for FILE PATTERN PID WHAT: at most 5 minutes, while PID lives.
wait_for() {
  local i
  for ((i = 0; i < 3000; i++)); do
    grep -qs "$2" "$1" && return 0
    kill -0 "$3" 2>/dev/null || return 1
    sleep 0.1
  done
  fail "$4 did not get ready within 5 minutes"
}

# start_server ROWS FORMAT DIR: the bench server, warmed up, and bench-link in front of its
# second fake.
start_server() {
  # cpp-httplib binds with SO_REUSEPORT, so a server left listening on the port would not make
  # this one fail to start but take some of its connections: refuse to start next to one.
  local host p
  for host in "${hosts[@]}"; do
    for p in "$port" "$wan_port"; do
      ! (exec 3<>"/dev/tcp/$host/$p") 2>/dev/null || fail "something already listens on $host:$p"
    done
  done
  "$bin/bench-server" --pki-dir "$pki" --port "$port" --link-port "$wan_port" --rows "$1" \
    --format "$2" --urls-file "$3/urls" --log >"$3/server.out" 2>"$3/server.log" &
  server_pid=$!
  if ! wait_for "$3/server.out" '^listening on' "$server_pid" bench-server; then
    cat "$3/server.log" >&2
    server_pid=
    fail "bench-server did not start (is port $port in use?)"
  fi
  local upstream
  upstream=$(sed -n 's/.*for the link on port \([0-9]*\).*/\1/p' "$3/server.out")
  [ -n "$upstream" ] || fail "bench-server did not say where the link goes"
  "$bin/bench-link" --hosts "$(
    IFS=,
    echo "${hosts[*]}"
  )" --port "$wan_port" --upstream-port "$upstream" --rtt-ms "$rtt_ms" \
    --down-mbit "$down_mbit" --up-mbit "$up_mbit" --idle-exit 900 --log \
    >"$3/link.out" 2>"$3/link.log" &
  link_pid=$!
  if ! wait_for "$3/link.out" '^listening on' "$link_pid" bench-link; then
    cat "$3/link.log" >&2
    link_pid=
    fail "bench-link did not start (is port $wan_port in use?)"
  fi
}

# mark DIR: has the server write and reset its connection counts, and prints how many lines its
# log has after them: what a run did lies between two marks.
mark() {
  local log=$1/server.log before i
  before=$(grep -c '^connections loopback' "$log" || true)
  kill -USR1 "$server_pid"
  for ((i = 0; i < 200; i++)); do
    [ "$(grep -c '^connections loopback' "$log" || true)" -le "$before" ] || break
    sleep 0.05
  done
  [ "$i" -lt 200 ] || fail "bench-server did not report its connections"
  wc -l <"$log"
}
# between DIR FROM TO: the server log's lines after mark FROM up to mark TO.
between() { sed -n "$(($2 + 1)),$3p" "$1/server.log"; }

# connections_of PROFILE: from lines between two marks, "token/drive/sheets" connections.
connections_of() {
  grep "^connections $1 " | head -n 1 | awk '{
    for (i = 3; i <= NF; i++) { split($i, kv, "="); n[kv[1]] = kv[2] }
    printf "%d/%d/%d", n["127.0.0.1"], n["127.0.0.2"], n["127.0.0.3"] }'
}

# The request lines of one profile between two marks: "METHOD target status host port headers".
request_lines() { grep -E "^$1 (GET|POST) " | cut -d' ' -f2- || true; }
head_count() { grep -c -E "^$1 HEAD / " || true; }

# probe_tls PROFILE PORT DIR: curl's timings of nine new connections making a HEAD / each
# (connect, TLS ready, answer, in ms; medians), one host after another.
probe_tls() {
  local i host
  for ((i = 0; i < 9; i++)); do
    host=${hosts[$((i % 3))]}
    curl --silent --show-error --head --output /dev/null --cacert "$pki/ca.pem" \
      -w '%{time_connect} %{time_appconnect} %{time_total}\n' "https://$host:$2/"
  done >"$3/probe-$1" || fail "curl could not make a HEAD / over the $1 link"
  local column
  for column in 1 2 3; do
    cut -d' ' -f"$column" "$3/probe-$1" | sort -g | sed -n 5p | awk '{ printf "%.1f ", $1 * 1000 }'
  done
}

echo "bench: checking the link" >&2
"$bin/bench-link" --self-test --rtt-ms "$rtt_ms" --down-mbit "$down_mbit" --up-mbit "$up_mbit" \
  >"$work/self-test" || fail "bench-link --self-test failed"

declare -A wall cpu rss conn heads
runner_peak_kib=0
probes=()
vs_same_output=()

for rows in "${sizes[@]}"; do
  for format in "${formats[@]}"; do
    case $format in
      gdata) name=gdata ;;
      sheets-v4) name=v4 ;;
    esac
    dir=$work/$format-$rows
    mkdir -p "$dir"
    echo "bench: $rows rows, $format" >&2
    start_server "$rows" "$format" "$dir"
    mapfile -t all_urls <"$dir/urls"
    [ ${#all_urls[@]} -eq 8 ] || fail "bench-server wrote ${#all_urls[@]} addresses, not 8"
    if [ ${#probes[@]} -eq 0 ]; then
      for profile in "${profiles[@]}"; do
        if [ "$profile" = wan ]; then p=$wan_port; else p=$port; fi
        probes+=("$profile $(probe_tls "$profile" "$p" "$dir")")
      done
    fi

    # The expected output, from one untimed run over loopback; every other run must print
    # exactly this (the other revision's program, its own output).
    expected=$dir/expected.txt
    (cd "$work" && "$bin/registry-list-bench-$name" >"$expected") ||
      fail "$format: the program exited non-zero"
    [ "$(tail -n 1 "$expected")" = "[ OK ]" ] ||
      fail "$format, $rows rows: the program printed $(tail -n 1 "$expected")"
    printed=$(($(wc -l <"$expected") - 1))
    [ "$printed" -eq "$rows" ] || fail "$format: $printed rows printed, $rows served"

    commands=()
    expects=(--expect "print=$expected")
    for profile in "${profiles[@]}"; do
      if [ "$profile" = wan ]; then
        urls=("${all_urls[@]:4:4}") suffix=-wan
      else
        urls=("${all_urls[@]:0:4}") suffix=
      fi
      program=$bin/registry-list-bench-$name$suffix

      # Untimed: the program, then curl, each between two marks of the server log.
      m0=$(mark "$dir")
      (cd "$work" && "$program" >"$dir/out-$profile.txt") ||
        fail "$format, $profile: the program exited non-zero"
      m1=$(mark "$dir")

      # One curl, four transfers joined by --next, so that it keeps one connection per host, each
      # with the program's headers: it asks for the encodings the program asked for (those its
      # libcurl decodes), sends no User-Agent, and the POST carries a form and no
      # "Expect: 100-continue".
      # The same without compression (plain), over loopback only, for comparison: what the
      # transfer costs when the answers come as they are (more bytes, no inflate).
      encodings=$(between "$dir" "$m0" "$m1" | request_lines "$profile" | head -n 1 |
        sed -n 's/.*accept-encoding=\([^;]*\).*/\1/p' | sed 's/,/, /g')
      [ -n "$encodings" ] || fail "$format, $profile: the program asked for no encoding"
      compression=(--compressed -H "Accept-Encoding: $encodings")
      for kind in compressed plain; do
        common=(--fail --cacert "$pki/ca.pem" -H 'User-Agent:')
        [ "$kind" = plain ] || common+=("${compression[@]}")
        command=(curl --silent --show-error
          "${common[@]}" -H 'Content-Type: application/x-www-form-urlencoded' -H 'Expect:'
          --data-raw 'grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Ajwt-bearer&assertion=bench'
          "${urls[0]}")
        for url in "${urls[@]:1}"; do
          command+=(--next "${common[@]}" -H 'Authorization: Bearer bench-token' "$url")
        done
        if [ "$kind" = compressed ]; then transfer=("${command[@]}"); else transfer_plain=("${command[@]}"); fi
      done

      "${transfer[@]}" >/dev/null || fail "$format, $profile: the transfer floor failed"
      m2=$(mark "$dir")
      cmp -s "$expected" "$dir/out-$profile.txt" ||
        fail "$format, $profile: the program printed other output than over loopback"

      # Both must have made the same requests (method, target, host, headers) and been answered
      # 200; the warm-up HEADs of the program are counted, not compared.
      mapfile -t seen_program < <(between "$dir" "$m0" "$m1" | request_lines "$profile")
      mapfile -t seen_curl < <(between "$dir" "$m1" "$m2" | request_lines "$profile")
      if [ ${#seen_program[@]} -ne 4 ] || [ ${#seen_curl[@]} -ne 4 ]; then
        fail "$format, $profile: ${#seen_program[@]} + ${#seen_curl[@]} requests logged, expected 4 + 4"
      fi
      for i in 0 1 2 3; do
        read -r p_method p_target p_status p_host _ p_headers <<<"${seen_program[$i]}"
        read -r c_method c_target c_status c_host _ c_headers <<<"${seen_curl[$i]}"
        want_origin=${urls[$i]#https://}
        want_origin=${want_origin%%/*}
        want=/${urls[$i]#https://*/}
        if [ "$p_target" != "$want" ] || [ "$p_host" != "${want_origin%:*}" ]; then
          fail "$format, $profile: the program asked $p_host for $p_target, not $want_origin for $want"
        fi
        [ "$p_method $p_target $p_status $p_host $p_headers" = \
          "$c_method $c_target $c_status $c_host $c_headers" ] ||
          fail "$format, $profile: program and curl differ: '${seen_program[$i]}' / '${seen_curl[$i]}'"
        [ "$p_status" = 200 ] || fail "$format, $profile: $p_target answered $p_status"
      done
      k=$rows,$format,$profile
      conn[$k,program]=$(between "$dir" "$m0" "$m1" | connections_of "$profile")
      conn[$k,transfer]=$(between "$dir" "$m1" "$m2" | connections_of "$profile")
      heads[$k,program]=$(between "$dir" "$m0" "$m1" | head_count "$profile")

      if [ -n "$vs_bin" ]; then
        vs_expected=$dir/expected-vs-$profile.txt
        m3=$(mark "$dir")
        (cd "$work" && "$vs_bin/registry-list-bench-$name$suffix" >"$vs_expected") ||
          fail "$format, $profile: the program of $vs_label exited non-zero"
        m4=$(mark "$dir")
        [ "$(tail -n 1 "$vs_expected")" = "[ OK ]" ] ||
          fail "$format, $profile: the program of $vs_label printed $(tail -n 1 "$vs_expected")"
        conn[$k,vs]=$(between "$dir" "$m3" "$m4" | connections_of "$profile")
        heads[$k,vs]=$(between "$dir" "$m3" "$m4" | head_count "$profile")
        if cmp -s "$expected" "$vs_expected"; then
          vs_same_output+=("$rows $format $profile: same")
        else
          vs_same_output+=("$rows $format $profile: differs")
        fi
      fi

      commands+=(:: "program$suffix" "$program" :: "transfer$suffix" "${transfer[@]}")
      expects+=(--expect "program$suffix=$expected")
      if [ -n "$vs_bin" ]; then
        commands+=(:: "vs$suffix" "$vs_bin/registry-list-bench-$name$suffix")
        expects+=(--expect "vs$suffix=$vs_expected")
      fi
      [ "$profile" = wan ] || loopback_plain=("${transfer_plain[@]}")
    done

    # print-cat is the print floor read by cat, as a shell pipeline reads it: the runner's own
    # reading must cost no more than that.
    # shellcheck disable=SC2016 # the inner shell expands $0 and $1
    (cd "$work" && "$bin/bench-runner" --repeat "$repeat" "${expects[@]}" \
      -- "${commands[@]:1}" :: print "$bin/print-floor" "$expected" \
      :: transfer-plain "${loopback_plain[@]}" \
      :: print-cat sh -c '"$0" "$1" | cat >/dev/null' "$bin/print-floor" "$expected") \
      >"$dir/times" 2>"$dir/runner.err" || {
      cat "$dir/runner.err" >&2
      fail "$format, $rows rows: a timed run failed"
    }
    runner_kib=$(sed -n 's/^bench-runner: own peak RSS \([0-9]*\) KiB$/\1/p' "$dir/runner.err")
    [ "${runner_kib:-0}" -le "$runner_peak_kib" ] || runner_peak_kib=$runner_kib
    while read -r cmd w c r _; do
      wall[$rows,$format,$cmd]=$w
      cpu[$rows,$format,$cmd]=$c
      rss[$rows,$format,$cmd]=$r
    done <"$dir/times"
    stop_server
  done
done

calc() { awk "BEGIN { printf \"$1\", $2 }"; }
ms() { calc '%.1f' "$1 * 1000"; }
mib() { calc '%.1f' "$1 / 1024"; }
grouped() { printf '%s' "$1" | sed -e ':a' -e 's/\([0-9]\)\([0-9]\{3\}\)\($\| \)/\1 \2\3/' -e 'ta'; }
# The runner's name of a command over a profile.
over() { if [ "$2" = wan ]; then echo "$1-wan"; else echo "$1"; fi; }

report=$work/report.md
{
  echo "## registry-list against its floors"
  echo
  echo "Median of $repeat runs each, every command of a size and format run alternately in one"
  echo "runner. Wall and CPU in ms, peak RSS in MiB; transfer = curl making the same requests over"
  echo "the same link, print = print-floor writing the same output. loopback: the bench server"
  echo "at 127.0.0.1, 127.0.0.2 and 127.0.0.3 (token, Drive, Sheets). wan: the same behind"
  echo "bench-link, $rtt_ms ms round trip, $down_mbit Mbit/s towards the client and $up_mbit Mbit/s"
  echo "towards the server, per connection."
  echo
  echo "| rows | format | loopback: program | transfer | program / transfer | program / (transfer + print) | wan: program | transfer | program / transfer | program / (transfer + print) | print |"
  echo "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  for rows in "${sizes[@]}"; do
    for format in "${formats[@]}"; do
      k=$rows,$format
      line="| $(grouped "$rows") | $format |"
      wr=${wall[$k,print]}
      for profile in "${profiles[@]}"; do
        wp=${wall[$k,$(over program "$profile")]} wt=${wall[$k,$(over transfer "$profile")]}
        line+=" $(ms "$wp") | $(ms "$wt") | $(calc '%.2f' "$wp / $wt") |"
        line+=" $(calc '%.2f' "$wp / ($wt + $wr)") |"
      done
      echo "$line $(ms "$wr") |"
    done
  done
  echo
  echo "CPU time (user + system) and peak RSS:"
  echo
  echo "| rows | format | CPU program, loopback | CPU program, wan | CPU transfer, loopback | CPU transfer, wan | CPU print | CPU µs / row (loopback) | RSS program, loopback | RSS program, wan | RSS transfer | RSS print |"
  echo "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  for rows in "${sizes[@]}"; do
    for format in "${formats[@]}"; do
      k=$rows,$format
      echo "| $(grouped "$rows") | $format | $(ms "${cpu[$k,program]}") | $(ms "${cpu[$k,program-wan]}") |" \
        "$(ms "${cpu[$k,transfer]}") | $(ms "${cpu[$k,transfer-wan]}") | $(ms "${cpu[$k,print]}") |" \
        "$(calc '%.2f' "${cpu[$k,program]} * 1e6 / $rows") |" \
        "$(mib "${rss[$k,program]}") | $(mib "${rss[$k,program-wan]}") |" \
        "$(mib "${rss[$k,transfer]}") | $(mib "${rss[$k,print]}") |"
    done
  done
  echo
  echo "Peak RSS counts from the spawning runner's own $(mib "$runner_peak_kib") MiB (the kernel carries"
  echo "it into the child), as time(1) does from its own."
  echo
  echo "Connections the four requests used, as the server accepted them, per host"
  echo "(token/Drive/Sheets), from an untimed run of each; warm-ups: the program's \`HEAD /\` requests."
  echo
  echo "| rows | format | link | program | warm-ups | curl |"
  echo "|---:|---|---|---|---:|---|"
  for rows in "${sizes[@]}"; do
    for format in "${formats[@]}"; do
      for profile in "${profiles[@]}"; do
        k=$rows,$format,$profile
        echo "| $(grouped "$rows") | $format | $profile | ${conn[$k,program]} | ${heads[$k,program]} |" \
          "${conn[$k,transfer]} |"
      done
    done
  done
  echo
  echo "### The link, checked"
  echo
  echo "bench-link's own check, in one process: a relay of the wan profile in front of a plain"
  echo "TCP sink, a new connection's first exchange, a 1-byte round trip on an open connection and"
  echo "a transfer of a known size each way, against what the profile says:"
  echo
  echo '```'
  cat "$work/self-test"
  echo '```'
  echo
  echo "curl making a \`HEAD /\` over a new connection, nine times, one host after another (medians,"
  echo "ms from the start). Over wan, connect() returns at once, as the relay accepts it, and the"
  echo "relay holds the first flight for the handshake's round trip instead; TLS 1.3 then takes one"
  echo "more and the request one more: over loopback's times, the profile adds 2 round trips to"
  echo "TLS ready and 3 to the answer. What curl does between connect() and its first write (its"
  echo "TLS set-up) overlaps the held round trip, where on a real link it would follow it: that is"
  echo "what the added time falls short of the profile by."
  echo
  echo "| link | TCP connect | TLS ready | answer |"
  echo "|---|---:|---:|---:|"
  declare -A probe_ms
  for probe in "${probes[@]}"; do
    read -r profile c t a <<<"$probe"
    probe_ms[$profile,tls]=$t probe_ms[$profile,answer]=$a
    echo "| $profile | $c | $t | $a |"
  done
  echo "| wan − loopback | | $(calc '%.1f' "${probe_ms[wan,tls]} - ${probe_ms[loopback,tls]}") |" \
    "$(calc '%.1f' "${probe_ms[wan,answer]} - ${probe_ms[loopback,answer]}") |"
  echo "| profile: added | | $(calc '%.1f' "2 * $rtt_ms") | $(calc '%.1f' "3 * $rtt_ms") |"
  echo
  echo "### The floors, checked"
  echo
  echo "The transfer floor asks for the encodings the program asks for ($encodings);"
  echo "without them (plain, over loopback) the same answers come uncompressed. print | cat is"
  echo "print-floor piped into \`cat >/dev/null\` by sh; at 100 000 rows the runner's print floor"
  echo "must be within 10 % of it. At the smaller sizes print | cat is mostly the start of sh and"
  echo "cat, which the print floor does not pay."
  echo
  echo "| rows | format | wall transfer (compressed) | wall transfer (plain) | wall print | wall print \\| cat | print / print \\| cat |"
  echo "|---:|---|---:|---:|---:|---:|---:|"
  for rows in "${sizes[@]}"; do
    for format in "${formats[@]}"; do
      k=$rows,$format
      echo "| $(grouped "$rows") | $format | $(ms "${wall[$k,transfer]}") |" \
        "$(ms "${wall[$k,transfer-plain]}") | $(ms "${wall[$k,print]}") |" \
        "$(ms "${wall[$k,print-cat]}") | $(calc '%.2f' "${wall[$k,print]} / ${wall[$k,print-cat]}") |"
    done
  done
  if [ -n "$vs_bin" ]; then
    echo
    echo "## Against $vs_label"
    echo
    echo "The program of $vs_label ($(git -C "$root" log -1 --format=%s "$vs_commit")), built by"
    echo "its own setup for the same origins, timed in the same runners (wall and CPU in ms, RSS in"
    echo "MiB). Its output against this tree's: $(printf '%s; ' "${vs_same_output[@]}" | sed 's/; $//')."
    echo
    echo "| rows | format | link | wall, this tree | wall, $vs_label | this / $vs_label | CPU, this tree | CPU, $vs_label | RSS, this tree | RSS, $vs_label | connections, this tree | connections, $vs_label |"
    echo "|---:|---|---|---:|---:|---:|---:|---:|---:|---:|---|---|"
    for rows in "${sizes[@]}"; do
      for format in "${formats[@]}"; do
        for profile in "${profiles[@]}"; do
          k=$rows,$format
          p=$(over program "$profile") v=$(over vs "$profile")
          echo "| $(grouped "$rows") | $format | $profile | $(ms "${wall[$k,$p]}") | $(ms "${wall[$k,$v]}") |" \
            "$(calc '%.2f' "${wall[$k,$p]} / ${wall[$k,$v]}") | $(ms "${cpu[$k,$p]}") | $(ms "${cpu[$k,$v]}") |" \
            "$(mib "${rss[$k,$p]}") | $(mib "${rss[$k,$v]}") |" \
            "${conn[$k,$profile,program]} | ${conn[$k,$profile,vs]} |"
        done
      done
    done
  fi
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
  # KEY PROFILE: rows,format and link.
  have() { [ -n "${wall[$1,$(over program "$2")]:-}" ]; }
  overhead() {
    have "$1" "$2" && calc '%.2f' "${wall[$1,$(over program "$2")]} / (${wall[$1,$(over transfer "$2")]} + ${wall[$1,print]})"
  }
  over_transfer() {
    have "$1" "$2" && calc '%.2f' "${wall[$1,$(over program "$2")]} / ${wall[$1,$(over transfer "$2")]}"
  }
  # The larger of the two links' medians.
  peak() {
    have "$1" loopback && have "$1" wan &&
      mib "$(calc '%d' "(${rss[$1,program]} > ${rss[$1,program-wan]}) ? ${rss[$1,program]} : ${rss[$1,program-wan]}")"
  }
  goal "wan, 1 000 rows: wall / transfer" "$(over_transfer 1000,sheets-v4 wan || true)" 0.8 ×
  goal "wan, 100 000 rows: wall / (transfer + print)" "$(overhead 100000,sheets-v4 wan || true)" 1.05 ×
  goal "loopback, 1 000 rows: wall / transfer" "$(over_transfer 1000,sheets-v4 loopback || true)" 1.3 ×
  goal "loopback, 100 000 rows: wall / (transfer + print)" "$(overhead 100000,sheets-v4 loopback || true)" 1.5 ×
  goal "loopback, 100 000 rows, gdata: wall / (transfer + print)" "$(overhead 100000,gdata loopback || true)" 2.5 ×
  goal "peak RSS, 100 000 rows (the larger of the two links)" "$(peak 100000,sheets-v4 || true)" 48 " MiB"
  echo
  echo "sheets-v4 unless said."
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
  commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
  [ -z "$(git -C "$root" status --porcelain 2>/dev/null)" ] || commit="$commit (with local changes)"
  cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
  echo "Measured $(date -u +%Y-%m-%d) at $commit on $(nproc) × ${cpu_model:-unknown CPU}, Release build."
} >>"$report"

cat "$report"
if $write; then
  cp "$report" "$root/bench/results.md"
  echo "bench: wrote bench/results.md" >&2
fi
