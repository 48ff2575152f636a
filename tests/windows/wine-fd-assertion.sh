#!/usr/bin/env bash
# Shows a fault of Wine 8's server (Debian 12's wine 8.0), not of the service: when a Windows
# program is killed while it closes a thousand sockets or more, the server may fail the assertion
#   wineserver64: server/fd.c:1644: set_fd_events: Assertion `poll_users[user] == fd' failed.
# and die, so that every program of the prefix loses it ("wine client error:0: recvmsg:
# Connection reset by peer"), the next one started included. run-under-wine.sh therefore gives
# each load case a server of its own. With 5000 connections it shows within one to three
# rounds, with 1000 within a few.
#
# Usage (it uses port 22001: run it alone, e.g. under /work/isolated):
#   tests/windows/wine-fd-assertion.sh [EXE [CONNECTIONS [ROUNDS]]]
# Exits 1 as soon as the server has died, 0 if it lived through every round.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
exe=${1:-$root/build-windows/Tobran-Quorvel.exe}
connections=${2:-5000}
rounds=${3:-10}
source "$root/tests/windows/wine-prefix.sh"
wine_prefix_start > /dev/null

for round in $(seq "$rounds"); do
  wine "$exe" > "$wine_run_dir/out" 2>&1 &
  pid=$!
  until grep -q Starting "$wine_run_dir/out"; do
    if ! kill -0 "$pid" 2> /dev/null; then
      echo "round $round: the program did not start: $(cat "$wine_run_dir/out")"
      exit 1
    fi
    sleep 0.05
  done
  # Open the connections, each answered once, then close them all and kill the program at once.
  python3 - "$connections" "$pid" <<'PY'
import os, signal, socket, sys
count, pid = int(sys.argv[1]), int(sys.argv[2])
request = b"GET /varuvezivuv/info HTTP/1.1\r\n\r\n"
sockets = []
for first in range(0, count, 1000):
    group = [socket.create_connection(("127.0.0.1", 22001)) for _ in range(min(1000, count - first))]
    for s in group:
        s.sendall(request)
    for s in group:
        s.settimeout(20)
        reply = b""
        while not reply.endswith(b"\r\n0\r\n\r\n"):
            reply += s.recv(4096)
    sockets += group
for s in sockets:
    s.close()
os.kill(pid, signal.SIGTERM)
PY
  wait "$pid"
  sleep 1 # the server may need a moment to fail
  if ! kill -0 "$wine_server_pid" 2> /dev/null; then
    echo "round $round: the Wine server died"
    exit 1
  fi
  echo "round $round: the Wine server lives"
done
