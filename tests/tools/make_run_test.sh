#!/usr/bin/env bash
# `make run` when the service cannot run: with a copy of this user already running, and with
# port 22001 held by another program, it names the process and how to stop it and exits
# non-zero; with the way clear it starts the service. The build is not redone (make -o build).
# Every process started here is ended here, by its id.
#
# Usage: tests/tools/make_run_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail

source_dir=$1
build=$2
service=$build/tobran-quorvel
work=$(mktemp -d /tmp/make-run-test.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
check() { # DESCRIPTION CONDITION...
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what" >&2; failures=$((failures + 1)); fi
}
listening() { (exec 3<>/dev/tcp/127.0.0.1/22001) 2>/dev/null; }
wait_listening() {
  local i
  for ((i = 0; i < 100; i++)); do listening && return 0; sleep 0.05; done
  return 1
}
make_run() { # runs `make run` without rebuilding; its output in $work/out, its status returned
  timeout 30 make --no-print-directory -C "$source_dir" -o build run BUILD_DIR="$build" \
    SIM_CONTROL_PORT=22013 > "$work/out" 2>&1
}

if listening; then
  echo "port 22001 is in use by another program: stop it first" >&2
  exit 1
fi

# A copy of the service already running for this user.
"$service" > /dev/null &
first=$!
pids+=("$first")
wait_listening || { echo "the first copy did not start" >&2; exit 1; }
make_run
status=$?
cat "$work/out"
check "with a copy running, make run fails" test "$status" -ne 0
check "it names that copy's process" grep -q "already runs for this user: process $first " "$work/out"
check "and says how to stop it" grep -qF "kill $first" "$work/out"
check "without the simulator banner" bash -c "! grep -q 'Using the simulated reader' '$work/out'"
kill "$first"
wait "$first" 2>/dev/null

# Another program on port 22001.
perl -MIO::Socket::INET -e '
  my $s = IO::Socket::INET->new(LocalAddr => "0.0.0.0", LocalPort => 22001, Listen => 1,
                                ReuseAddr => 1) or die "listen: $!";
  sleep 60;' &
holder=$!
pids+=("$holder")
wait_listening || { echo "the port holder did not start" >&2; exit 1; }
make_run
status=$?
cat "$work/out"
check "with the port held, make run fails" test "$status" -ne 0
check "it names the program holding the port" grep -q "port 22001 is taken by process $holder (perl" "$work/out"
check "and says how to stop it" grep -qF "kill $holder" "$work/out"
kill "$holder"
wait "$holder" 2>/dev/null

# The way clear: the service runs, with the banner, until it is ended.
# In a process group of its own, so that make, the script and the service end together.
setsid make --no-print-directory -C "$source_dir" -o build run BUILD_DIR="$build" \
  SIM_CONTROL_PORT=22013 > "$work/out" 2>&1 &
runner=$!
pids+=("$runner")
wait_listening
for ((i = 0; i < 50; i++)); do grep -q 'Using the simulated reader' "$work/out" && break; sleep 0.05; done
check "with the way clear, the service starts and the banner follows" \
  grep -q 'Using the simulated reader' "$work/out"
served=$(cd "$build" && ./reader-sim --port 22013 pending)
check "its simulated reader is attached to the channel make run names" test "$served" = 0
kill -TERM -- "-$runner"
wait "$runner" 2>/dev/null
for ((i = 0; i < 50; i++)); do listening || break; sleep 0.05; done
check "ending make run ends the service" bash -c '! (exec 3<>/dev/tcp/127.0.0.1/22001) 2>/dev/null'

if [[ $failures -ne 0 ]]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "make run: all checks passed"
