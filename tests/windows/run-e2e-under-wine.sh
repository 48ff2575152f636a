#!/usr/bin/env bash
# Runs the end-to-end tests that apply to Windows against the Windows binaries, under Wine.
# The test program is the Linux one (build/tests/e2e_tests); only the command that starts the
# service changes, so both platforms pass the same test code.
#
# Usage: tests/windows/run-e2e-under-wine.sh [LINUX_BUILD_DIR [WINDOWS_BUILD_DIR]]
#
# Each run gets a throw-away Wine prefix, made once and removed at the end together with every
# process Wine started in it, each ended by its process id.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
linux_build=$(realpath "${1:-$root/build}")
windows_build=$(realpath "${2:-$root/build-windows}")
e2e_tests=$linux_build/tests/e2e_tests
service_exe=$windows_build/Tobran-Quorvel.exe

for file in "$e2e_tests" "$service_exe" "$windows_build/libzkfp.dll"; do
  if [[ ! -f $file ]]; then
    echo "missing $file: build it first (make build windows)" >&2
    exit 2
  fi
done
if [[ $service_exe == *" "* ]]; then
  echo "the launcher splits its command on spaces: build outside a path with spaces" >&2
  exit 2
fi

# What the Windows binaries are checked for: start-up and exit statuses, byte-exact status
# replies, and captures with the simulated reader in both modes. Everything else is the same
# code on both platforms and stays with the Linux run.
: "${TOBRAN_WINE_TEST_FILTER:=ServiceStartup.*:ServiceStartupPortHeld.*:StatusReplies.*:CaptureEndToEnd.*-ServiceStartup.CopyOfAnotherUser*}"

export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/tobran-wine.XXXXXX)
export WINEARCH=win64
# No debug channels, no offer to install Mono or Gecko while the prefix is made, and no menu
# entries or file associations written into the user's home.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# No display: the service opens no window, and Wine needs none for it.
unset DISPLAY WAYLAND_DISPLAY

wineserver_pid=
# Every process that runs with this prefix in its environment belongs to this run: the Wine
# server, Wine's own helper programs and any copy of the service a test left behind.
prefix_pids() {
  local entry pid
  for entry in /proc/[0-9]*; do
    pid=${entry#/proc/}
    [[ $pid == "$$" || $pid == "$BASHPID" ]] && continue
    if { tr '\0' '\n' < "$entry/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      echo "$pid"
    fi
  done
}

cleanup() {
  local status=$? pids pid attempt
  pids=$(prefix_pids | grep -vxF "${wineserver_pid:-none}" || true)
  # The Windows processes first, then the server they talk to.
  for pid in $pids ${wineserver_pid}; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    pids=$(prefix_pids)
    [[ -z $pids ]] && break
    sleep 0.3
  done
  for pid in $pids; do
    kill -KILL "$pid" 2>/dev/null || true
  done
  if [[ -n $wineserver_pid ]]; then
    wait "$wineserver_pid" 2>/dev/null || true
  fi
  rm -rf "$WINEPREFIX"
  exit "$status"
}
trap cleanup EXIT

started=$SECONDS
# One server for the whole run, kept alive between the service's starts so that each start
# does not pay for a new server and Wine's helper programs.
wineserver -f -p &
wineserver_pid=$!
# Wine's programs find the server by a socket named after the prefix folder's device and inode;
# wait for it so that wineboot does not start a second, short-lived server of its own.
server_socket=$(printf '/tmp/.wine-%d/server-%x-%x/socket' "$(id -u)" \
  "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
for attempt in $(seq 50); do
  [[ -S $server_socket ]] && break
  kill -0 "$wineserver_pid" 2>/dev/null || { echo "wineserver did not start" >&2; exit 1; }
  sleep 0.1
done
wineboot -i > "$WINEPREFIX.boot.log" 2>&1 || {
  cat "$WINEPREFIX.boot.log" >&2
  rm -f "$WINEPREFIX.boot.log"
  echo "wineboot failed" >&2
  exit 1
}
rm -f "$WINEPREFIX.boot.log"
echo "Wine prefix ready in $((SECONDS - started)) s: $WINEPREFIX"

# Wine passes the environment through, READER_SIM_CONTROL included, so the simulated reader in
# libzkfp.dll opens its control channel on 127.0.0.1 for the test program outside Wine.
# Windows finds libzkfp.dll beside the exe.
results=$WINEPREFIX.results.xml
status=0
TOBRAN_SERVICE_COMMAND="wine $service_exe" \
TOBRAN_TIMEOUT_SCALE="${TOBRAN_TIMEOUT_SCALE:-4}" \
  "$e2e_tests" --gtest_filter="$TOBRAN_WINE_TEST_FILTER" --gtest_output="xml:$results" ||
  status=$?
echo "Wine run took $((SECONDS - started)) s"
# A closing count in the plain form, taken from the test program's own report; a run that
# selected no test fails.
if [[ -f $results ]]; then
  read -r total failed < <(sed -n 's/.*<testsuites tests="\([0-9]*\)" failures="\([0-9]*\)".*/\1 \2/p' \
    "$results" | head -n 1)
  rm -f "$results"
  echo "Windows under Wine: $((total - failed)) passed, $failed failed"
  if [[ ${total:-0} -eq 0 ]]; then
    echo "no end-to-end test matched $TOBRAN_WINE_TEST_FILTER" >&2
    status=1
  fi
else
  echo "the test program wrote no report" >&2
  [[ $status -ne 0 ]] || status=1
fi
exit "$status"
