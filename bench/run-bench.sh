#!/usr/bin/env bash
# The service's cost on this machine, next to a floor measured in the same run: a server that
# answers every request head with one fixed reply and parses nothing (bench/floor_server.c,
# built here with gcc -O2). bench/README.md explains the figures.
#
#   bench/run-bench.sh BUILD_DIR [SECONDS]
#
# Both servers run pinned to the first core, every client on the second (taskset), so the two
# never compete for one core with each other; what else runs on the machine still adds noise,
# which the ratios, taken within one run, mostly cancel. Measured of both servers:
#  - wrk polling getImage over 64, 256 and 1000 keep-alive connections, SECONDS (default 5) per
#    run, three runs each, alternating: requests per second, latency percentiles (the median
#    of the three runs), and CPU time per request (utime + stime of /proc/<pid>/stat);
#  - system calls per keep-alive reply (at each of those connection counts) and per new
#    connection (one request each), counted by perf's syscall tracepoints;
#  - resident memory idle, with 1000 and 10000 idle keep-alive connections, and once they have
#    closed; and the voluntary context switches of every thread over 10 s idle (wake-ups).
# Results go to BUILD_DIR/bench/results.txt, ending with the README's table; the summary is
# printed. Uses ports 22001 and 22009 of 127.0.0.1: run it in a network namespace of its own
# where other programs might take them. Takes about SECONDS * 18 + 80 seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: run-bench.sh BUILD_DIR [SECONDS]}" && pwd)
seconds=${2:-5}
out=$build/bench
mkdir -p "$out"
results=$out/results.txt
SERVICE_PORT=22001
FLOOR_PORT=22009
PATH_POLLED=/varuvezivuv/fingerprint/getImage
CONNECTION_COUNTS=(64 256 1000)
NEW_CONNECTIONS=2000
HELD_COUNTS=(1000 10000)
SERVER_CPU=0
CLIENT_CPU=$(( $(nproc) > 1 ? 1 : 0 ))

gcc -O2 -o "$out/floor_server" "$root/bench/floor_server.c"
gcc -O2 -o "$out/bench_client" "$root/bench/bench_client.c"
command -v wrk >/dev/null || { echo "wrk is needed: apt-get install wrk" >&2; exit 1; }
perf_works=false
if command -v perf >/dev/null && perf stat -e raw_syscalls:sys_enter -o /dev/null true 2>/dev/null; then
  perf_works=true
fi
# 10000 held connections, their listener and the odd descriptor more, on each side.
ulimit -n "$(ulimit -Hn)"
[ "$(ulimit -n)" = unlimited ] || [ "$(ulimit -n)" -ge 10100 ] ||
  { echo "the descriptor limit ($(ulimit -Hn)) is below the 10100 the held connections need" >&2; exit 1; }

pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT

wait_for_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "nothing listens on port $1" >&2
  return 1
}
cpu_ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
user_ticks() { awk '{ sub(/.*\) /, ""); print $12 }' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
# "name:switches" for every thread of a process.
thread_switches() {
  local task
  for task in /proc/"$1"/task/*; do
    printf '%s:%s\n' "$(tr ' ' _ < "$task/comm")/${task##*/}" \
      "$(awk '/^voluntary_ctxt_switches:/ { print $2 }' "$task/status")"
  done
}
hz=$(getconf CLK_TCK)
on_client() { taskset -c "$CLIENT_CPU" "$@"; }

# The service, alone on its port, with the simulated reader beside it and nothing pressed.
env -u READER_SIM_CONTROL taskset -c "$SERVER_CPU" "$build/tobran-quorvel" > "$out/service.out" 2>&1 &
service=$!; pids+=("$service")
taskset -c "$SERVER_CPU" "$out/floor_server" "$FLOOR_PORT" > "$out/floor.out" 2>&1 &
floor=$!; pids+=("$floor")
wait_for_port "$SERVICE_PORT"
wait_for_port "$FLOOR_PORT"
declare -A port_of=([service]=$SERVICE_PORT [floor]=$FLOOR_PORT) pid_of=([service]=$service [floor]=$floor)

{
  echo "# Benchmark of $(git -C "$root" describe --always --dirty 2>/dev/null || echo '?'), $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "# Machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1), $(free -g | awk '/^Mem:/ {print $2}') GiB, Linux $(uname -r)"
  echo "# Servers on core $SERVER_CPU, clients on core $CLIENT_CPU; wrk: 1 thread, GET $PATH_POLLED, $seconds s per run, 3 runs alternating"
} > "$results"

# Idle: resident memory, and every thread's wake-ups over 10 s.
sleep 1
declare -A idle_rss wake_before wake_after
for who in service floor; do
  idle_rss[$who]=$(rss_kib "${pid_of[$who]}")
  wake_before[$who]=$(thread_switches "${pid_of[$who]}")
done
sleep 10
for who in service floor; do wake_after[$who]=$(thread_switches "${pid_of[$who]}"); done
# "name/tid wake-ups" per thread, from the two snapshots.
wakeups() {
  join <(sort <<< "${wake_before[$1]}" | tr ':' ' ') <(sort <<< "${wake_after[$1]}" | tr ':' ' ') |
    awk '{ printf "%s%s %d", sep, $1, $3 - $2; sep = ", " }'
}

# One wrk run; prints "requests rps p50 p90 p99 ticks errors user-ticks", latencies in
# microseconds, ticks of CPU time (user and system, then user alone).
run() {
  local who=$1 connections=$2 log=$3
  local pid=${pid_of[$1]} t0 t1 u0 u1
  t0=$(cpu_ticks "$pid") u0=$(user_ticks "$pid")
  on_client wrk -t1 -c"$connections" -d"${seconds}s" --latency \
    "http://127.0.0.1:${port_of[$who]}$PATH_POLLED" > "$log"
  t1=$(cpu_ticks "$pid") u1=$(user_ticks "$pid")
  if grep -q 'Non-2xx' "$log"; then echo "wrk saw other replies than 200 from the $who:" >&2; cat "$log" >&2; exit 1; fi
  awk -v ticks=$((t1 - t0)) -v user=$((u1 - u0)) '
    function us(text) {
      if (text ~ /us$/) return text + 0
      if (text ~ /ms$/) return text * 1000
      return text * 1e6
    }
    / requests in / { requests = $1 }
    /^Requests\/sec:/ { rps = $2 }
    /^ +50%/ { p50 = us($2) } /^ +90%/ { p90 = us($2) } /^ +99%/ { p99 = us($2) }
    /^ +Socket errors:/ { errors = $0; gsub(/ +/, "_", errors) }
    END { print requests, rps, p50, p90, p99, ticks, (errors == "" ? "-" : errors), user }' "$log"
}

# Warm-up, then three runs each per connection count, alternating.
for who in floor service; do
  on_client wrk -t1 -c64 -d2s "http://127.0.0.1:${port_of[$who]}$PATH_POLLED" > /dev/null
done
declare -A runs
for connections in "${CONNECTION_COUNTS[@]}"; do
  for i in 1 2 3; do
    for who in floor service; do
      runs[$who,$connections]+="$(run "$who" "$connections" "$out/wrk-$who-$connections-$i.txt")"$'\n'
    done
  done
done

# System calls while `$@` runs on the client core, of one server: prints the total and the
# commonest calls ("total name=count ...").
declare -A syscalls_reply syscalls_connection
count_syscalls() {
  local who=$1; shift
  if ! $perf_works; then on_client "$@" > /dev/null; echo "n/a"; return; fi
  perf stat -x, -o "$out/perf-$who.txt" -e raw_syscalls:sys_enter -e 'syscalls:sys_enter_*' \
    -p "${pid_of[$who]}" 2>/dev/null &
  local perf=$!
  sleep 0.5
  on_client "$@" > "$out/load-$who.txt"
  sleep 0.3
  kill -INT "$perf"; wait "$perf" || true
  awk -F, '$1 ~ /^[0-9]+$/ {
      if ($3 == "raw_syscalls:sys_enter") total = $1
      else if ($1 > 0) { name = $3; sub(/.*sys_enter_/, "", name); print $1, name }
    } END { print total, "TOTAL" }' "$out/perf-$who.txt" | sort -rn |
    awk '$2 == "TOTAL" { total = $1; next } { top = top sprintf(" %s=%s", $2, $1) } END { print total top }'
}
requests_of() { awk '/ requests in / { print $1 }' "$out/load-$1.txt"; }
for who in floor service; do
  for connections in "${CONNECTION_COUNTS[@]}"; do
    counts=$(count_syscalls "$who" wrk -t1 -c"$connections" -d3s "http://127.0.0.1:${port_of[$who]}$PATH_POLLED")
    syscalls_reply[$who,$connections]="$counts requests=$(requests_of "$who")"
  done
  counts=$(count_syscalls "$who" "$out/bench_client" connect "${port_of[$who]}" "$NEW_CONNECTIONS")
  syscalls_connection[$who]="$counts connections=$NEW_CONNECTIONS"
done

# Resident memory with idle keep-alive connections held open, then after they have closed.
declare -A held_rss closed_rss
for who in service floor; do
  for held in "${HELD_COUNTS[@]}"; do
    coproc HOLDER { on_client "$out/bench_client" hold "${port_of[$who]}" "$held"; }
    read -r -u "${HOLDER[0]}" line
    [ "$line" = "held $held" ] || { echo "holding $held connections to the $who failed" >&2; exit 1; }
    sleep 1
    held_rss[$who,$held]=$(rss_kib "${pid_of[$who]}")
    exec {HOLDER[1]}>&-
    read -r -u "${HOLDER[0]}" line
    wait "$HOLDER_PID"
  done
  sleep 2
  closed_rss[$who]=$(rss_kib "${pid_of[$who]}")
done

# The tables.
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
field() { awk -v f="$1" 'NF { print $f }'; }
per() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }'; }
declare -A rps cpu ucpu p50 p90 p99
{
  echo
  printf '%-8s %5s %4s %10s %12s %9s %9s %9s %11s %11s  %s\n' server conns run requests "requests/s" \
    "p50 us" "p90 us" "p99 us" "CPU us/req" "user us/req" "socket errors"
  for connections in "${CONNECTION_COUNTS[@]}"; do
    for who in floor service; do
      i=0
      while read -r requests r l50 l90 l99 ticks errors user; do
        i=$((i + 1))
        printf '%-8s %5s %4s %10s %12s %9s %9s %9s %11.3f %11.3f  %s\n' "$who" "$connections" "$i" \
          "$requests" "$r" "$l50" "$l90" "$l99" "$(per "$((ticks * 1000000))" "$((hz * requests))")" \
          "$(per "$((user * 1000000))" "$((hz * requests))")" "$errors"
      done <<< "${runs[$who,$connections]%$'\n'}"
      key=$who,$connections
      rps[$key]=$(field 2 <<< "${runs[$key]}" | awk '{ s += $1 } END { printf "%.0f", s / NR }')
      cpu[$key]=$(awk -v hz="$hz" 'NF { r += $1; t += $6 } END { printf "%.3f", t / hz * 1e6 / r }' <<< "${runs[$key]}")
      ucpu[$key]=$(awk -v hz="$hz" 'NF { r += $1; t += $8 } END { printf "%.3f", t / hz * 1e6 / r }' <<< "${runs[$key]}")
      p50[$key]=$(field 3 <<< "${runs[$key]}" | median)
      p90[$key]=$(field 4 <<< "${runs[$key]}" | median)
      p99[$key]=$(field 5 <<< "${runs[$key]}" | median)
    done
  done

  echo
  echo "Ratios service / floor (CPU from the totals of the three runs, latency from their medians):"
  printf '%5s %12s %12s %8s %11s %12s %8s %14s %22s\n' conns "svc req/s" "floor req/s" ratio \
    "svc us/req" "floor us/req" ratio "user svc/floor" "p99 us svc/floor"
  for connections in "${CONNECTION_COUNTS[@]}"; do
    s=service,$connections f=floor,$connections
    printf '%5s %12s %12s %8s %11s %12s %8s %14s %22s\n' "$connections" "${rps[$s]}" "${rps[$f]}" \
      "$(per "${rps[$s]}" "${rps[$f]}")" "${cpu[$s]}" "${cpu[$f]}" "$(per "${cpu[$s]}" "${cpu[$f]}")" \
      "${ucpu[$s]} / ${ucpu[$f]}" "${p99[$s]} / ${p99[$f]}"
  done

  echo
  for connections in "${CONNECTION_COUNTS[@]}"; do
    for who in service floor; do
      read -r total top <<< "${syscalls_reply[$who,$connections]}"
      requests=${top##*requests=}
      echo "syscalls per keep-alive reply, $connections connections, $who: $(per "${total:-0}" "${requests:-0}") (${syscalls_reply[$who,$connections]})"
    done
  done
  for who in service floor; do
    read -r total top <<< "${syscalls_connection[$who]}"
    echo "syscalls per new connection, $who: $(per "${total:-0}" "$NEW_CONNECTIONS") (${syscalls_connection[$who]})"
  done

  echo
  for who in service floor; do
    printf 'resident KiB, %-7s idle %6s, %s held %6s, %s held %6s, after they closed %6s\n' "$who" \
      "${idle_rss[$who]}" "${HELD_COUNTS[0]}" "${held_rss[$who,${HELD_COUNTS[0]}]}" \
      "${HELD_COUNTS[1]}" "${held_rss[$who,${HELD_COUNTS[1]}]}" "${closed_rss[$who]}"
  done
  for who in service floor; do
    echo "wake-ups in 10 s idle, $who: $(wakeups "$who")"
  done

  mib() { awk -v k="$1" 'BEGIN { printf "%.2f MiB", k / 1024 }'; }
  per_call() { read -r total top <<< "$1"; per "${total:-0}" "$2"; }
  echo
  echo "README table:"
  echo "| | Service | Floor | Ratio | Aim |"
  echo "| --- | --- | --- | --- | --- |"
  for connections in "${CONNECTION_COUNTS[@]}"; do
    s=service,$connections f=floor,$connections
    echo "| Throughput, $connections connections | ${rps[$s]} req/s | ${rps[$f]} req/s | $(per "${rps[$s]}" "${rps[$f]}") | |"
    echo "| CPU per request, $connections connections | ${cpu[$s]} µs | ${cpu[$f]} µs | $(per "${cpu[$s]}" "${cpu[$f]}") | ≤ 1.10 |"
    echo "| of which user space | ${ucpu[$s]} µs | ${ucpu[$f]} µs | | |"
    echo "| Latency p50 / p90 / p99, $connections connections | ${p50[$s]} / ${p90[$s]} / ${p99[$s]} µs | ${p50[$f]} / ${p90[$f]} / ${p99[$f]} µs | | $([ "$connections" = 1000 ] && echo 'p99 ≤ floor × 1.2') |"
  done
  for connections in "${CONNECTION_COUNTS[@]}"; do
    s=${syscalls_reply[service,$connections]} f=${syscalls_reply[floor,$connections]}
    echo "| System calls per keep-alive reply, $connections connections | $(per_call "$s" "${s##*requests=}") | $(per_call "$f" "${f##*requests=}") | | ≤ 3.2 |"
  done
  echo "| System calls per new connection | $(per_call "${syscalls_connection[service]}" "$NEW_CONNECTIONS") | $(per_call "${syscalls_connection[floor]}" "$NEW_CONNECTIONS") | | ≤ 9 |"
  echo "| Resident memory, idle | $(mib "${idle_rss[service]}") | $(mib "${idle_rss[floor]}") | | ≤ 2.5 MiB |"
  for held in "${HELD_COUNTS[@]}"; do
    echo "| Resident memory, $held idle connections | $(mib "${held_rss[service,$held]}") | $(mib "${held_rss[floor,$held]}") | | $([ "$held" = 10000 ] && echo '≤ 8 MiB') |"
  done
  echo "| Resident memory, after they closed | $(mib "${closed_rss[service]}") | $(mib "${closed_rss[floor]}") | | ≤ idle + 1 MiB |"
  echo "| Wake-ups in 10 s idle, per thread | $(wakeups service | sed 's#/[0-9]*##g') | $(wakeups floor | sed 's#/[0-9]*##g') | | event loop: 0 |"
} >> "$results"
cat "$results"
