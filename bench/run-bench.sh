#!/usr/bin/env bash
# The service's cost on this machine, next to a floor measured in the same run: a reference
# server that answers every request head with one fixed reply and parses nothing
# (floor_server.c of the shared folder, built here with gcc -O2).
#
#   bench/run-bench.sh BUILD_DIR [SECONDS]
#
# Measures, with wrk polling getImage over 64 keep-alive connections for SECONDS (default 10)
# per run, three runs each, alternating: requests per second, latency percentiles, and the
# server's CPU time per request (utime + stime of /proc/<pid>/stat); and of the service alone:
# resident memory idle and while wrk holds 1000 connections, and the wake-ups of its
# event-loop thread over 10 s idle (voluntary context switches). Results go to
# BUILD_DIR/bench/results.txt; the summary is printed. Uses ports 22001 and 22009 of 127.0.0.1.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: run-bench.sh BUILD_DIR [SECONDS]}" && pwd)
seconds=${2:-10}
out=$build/bench
mkdir -p "$out"
results=$out/results.txt
FLOOR_PORT=22009
PATH_POLLED=/varuvezivuv/fingerprint/getImage

floor_source=
for candidate in "$root/../shared/bench/floor_server.c" "${TOBRAN_FLOOR_SERVER:-}"; do
  if [ -n "$candidate" ] && [ -f "$candidate" ]; then floor_source=$candidate; break; fi
done
[ -n "$floor_source" ] || { echo "floor_server.c not found beside the repository (../shared/bench/)" >&2; exit 1; }
gcc -O2 -o "$out/floor_server" "$floor_source"
command -v wrk >/dev/null || { echo "wrk is needed: apt-get install wrk" >&2; exit 1; }
ulimit -n 8192

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
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
wakeups() { awk '/^voluntary_ctxt_switches:/ { print $2 }' "/proc/$1/task/$1/status"; }
hz=$(getconf CLK_TCK)

# The service, alone on its port, with the simulated reader beside it and nothing pressed.
env -u READER_SIM_CONTROL "$build/tobran-quorvel" > "$out/service.out" 2>&1 &
service=$!; pids+=("$service")
"$out/floor_server" "$FLOOR_PORT" > "$out/floor.out" 2>&1 &
floor=$!; pids+=("$floor")
wait_for_port 22001
wait_for_port "$FLOOR_PORT"

{
  echo "# Benchmark of $(git -C "$root" describe --always --dirty 2>/dev/null || echo '?'), $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "# Machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1), $(free -g | awk '/^Mem:/ {print $2}') GiB, Linux $(uname -r)"
  echo "# wrk: 1 thread, 64 keep-alive connections, GET $PATH_POLLED, $seconds s per run"
} > "$results"

# Idle: resident memory, and the event-loop thread's wake-ups over 10 s.
sleep 1
idle_rss=$(rss_kib "$service")
before=$(wakeups "$service")
sleep 10
idle_wakeups=$(( $(wakeups "$service") - before ))

# One wrk run against a port; prints "requests rps p50 p90 p99 ticks".
run() {
  local pid=$1 port=$2 log=$3
  local t0 t1
  t0=$(cpu_ticks "$pid")
  wrk -t1 -c64 -d"${seconds}s" --latency "http://127.0.0.1:$port$PATH_POLLED" > "$log"
  t1=$(cpu_ticks "$pid")
  if grep -q 'Non-2xx\|Socket errors' "$log"; then echo "wrk saw errors against port $port:" >&2; cat "$log" >&2; exit 1; fi
  awk -v ticks=$((t1 - t0)) '
    / requests in / { requests = $1 }
    /^Requests\/sec:/ { rps = $2 }
    /^ +50%/ { p50 = $2 } /^ +90%/ { p90 = $2 } /^ +99%/ { p99 = $2 }
    END { print requests, rps, p50, p90, p99, ticks }' "$log"
}

# Warm-up, then three runs each, alternating.
wrk -t1 -c64 -d2s "http://127.0.0.1:$FLOOR_PORT$PATH_POLLED" > /dev/null
wrk -t1 -c64 -d2s "http://127.0.0.1:22001$PATH_POLLED" > /dev/null
declare -a floor_runs service_runs
for i in 1 2 3; do
  floor_runs+=("$(run "$floor" "$FLOOR_PORT" "$out/wrk-floor-$i.txt")")
  service_runs+=("$(run "$service" 22001 "$out/wrk-service-$i.txt")")
done

# Resident memory while wrk holds 1000 connections to the service.
wrk -t2 -c1000 -d4s "http://127.0.0.1:22001$PATH_POLLED" > "$out/wrk-service-1000.txt" &
wrk_pid=$!
sleep 3
busy_rss=$(rss_kib "$service")
wait "$wrk_pid"

{
  echo
  printf '%-8s %-4s %10s %12s %9s %9s %9s %12s\n' server run requests "requests/s" p50 p90 p99 "CPU us/req"
  for who in floor service; do
    declare -n runs=${who}_runs
    i=0
    for line in "${runs[@]}"; do
      i=$((i + 1))
      read -r requests rps p50 p90 p99 ticks <<< "$line"
      printf '%-8s %-4s %10s %12s %9s %9s %9s %12.3f\n' "$who" "$i" "$requests" "$rps" "$p50" "$p90" "$p99" \
        "$(echo "$ticks $hz $requests" | awk '{ print $1 / $2 * 1e6 / $3 }')"
    done
  done
} >> "$results"

# The ratios from the totals of the three runs each.
summary=$(printf '%s\n' "${floor_runs[@]}" | awk '{ r += $1; t += $6; s += $2 } END { print r, t, s / NR }')
read -r floor_requests floor_ticks floor_rps <<< "$summary"
summary=$(printf '%s\n' "${service_runs[@]}" | awk '{ r += $1; t += $6; s += $2 } END { print r, t, s / NR }')
read -r service_requests service_ticks service_rps <<< "$summary"
awk -v fr="$floor_requests" -v ft="$floor_ticks" -v frps="$floor_rps" \
    -v sr="$service_requests" -v st="$service_ticks" -v srps="$service_rps" -v hz="$hz" \
    -v idle="$idle_rss" -v busy="$busy_rss" -v wake="$idle_wakeups" '
  function verdict(ok) { return ok ? "meets the aim" : "MISSES the aim" }
  BEGIN {
    fcpu = ft / hz * 1e6 / fr; scpu = st / hz * 1e6 / sr
    printf "\nthroughput          service %.0f req/s, floor %.0f req/s: ratio %.3f (aim >= 0.9: %s)\n", srps, frps, srps / frps, verdict(srps / frps >= 0.9)
    printf "CPU per request     service %.2f us, floor %.2f us: ratio %.3f (aim <= 1.3: %s)\n", scpu, fcpu, scpu / fcpu, verdict(scpu / fcpu <= 1.3)
    printf "resident idle       %d KiB (%.2f MiB; aim < 4 MiB: %s)\n", idle, idle / 1024, verdict(idle < 4096)
    printf "resident, 1000 conn %d KiB (%.2f MiB)\n", busy, busy / 1024
    printf "idle wake-ups       %d of the event-loop thread in 10 s (aim <= 10: %s)\n", wake, verdict(wake <= 10)
  }' >> "$results"
cat "$results"
