#!/usr/bin/env bash
# What `make run` runs once the build is done: the service of BUILD_DIR in the foreground, its
# simulated reader attached with the control channel on CONTROL_PORT (build/reader-sim's
# default), or the vendor's libzkfp.so where the loader knows one.
#
# The service itself ends silently with status 0 when another copy of the same user holds the
# single-instance lock, and with status 1 when another program holds port 22001. Here either
# is said out loud: which process it is and how to stop it, and the exit status is 1.
#
# Usage: tools/run-service.sh [BUILD_DIR [CONTROL_PORT]]
set -uo pipefail

build=${1:-build}
control_port=${2:-22002}
service=$build/tobran-quorvel
readonly SERVICE_PORT=22001

# "process PID (its command line)".
describe() {
  local command
  command=$(tr '\0' ' ' < "/proc/$1/cmdline" 2>/dev/null)
  echo "process $1 (${command% })"
}

how_to_stop() {
  if grep -qs 'tobran-quorvel\.service' "/proc/$1/cgroup"; then
    echo "systemctl --user stop tobran-quorvel"
  else
    echo "kill $1"
  fi
}

# The process with a listening socket on SERVICE_PORT in this network namespace, if one of
# those this user may look at.
port_holder() {
  local port inode fd
  port=$(printf '%04X' "$SERVICE_PORT")
  # /proc/net/tcp: local address as HEXIP:HEXPORT, state 0A is LISTEN, field 10 the inode.
  inode=$(awk -v port=":$port" 'substr($2, length($2) - 4) == port && $4 == "0A" { print $10; exit }' \
    /proc/net/tcp 2>/dev/null)
  [[ -n $inode ]] || return 0
  fd=$(find /proc/[0-9]*/fd -maxdepth 1 -lname "socket:?$inode?" 2>/dev/null | head -n 1)
  fd=${fd#/proc/}
  [[ -z $fd ]] || echo "${fd%%/*}"
}

# The copy of the service that holds this user's single-instance lock: the tobran-quorvel
# process with an flock on one of the lock files the service uses.
lock_holder() {
  local uid home file id pid
  uid=$(id -u)
  # The service's lock folders: the runtime folder, else one in the home of the password database.
  home=$(getent passwd "$uid" | cut -d: -f6)
  for file in "/run/user/$uid"/*.lock "$home/.cache/tobran-quorvel"/*.lock; do
    [[ -e $file ]] || continue
    # /proc/locks: "N: FLOCK ADVISORY WRITE PID MAJOR:MINOR:INODE START END", in hex but the inode.
    id=$(stat -c '%Hd %Ld %i' "$file" | { read -r major minor inode; printf '%02x:%02x:%s' "$major" "$minor" "$inode"; })
    for pid in $(awk -v id="$id" '$2 == "FLOCK" && $6 == id { print $5 }' /proc/locks); do
      if [[ $(cat "/proc/$pid/comm" 2>/dev/null) == tobran-quorv* ]]; then
        echo "$pid"
        return 0
      fi
    done
  done
}

# Says what stands in the way: the process HOLDER (if one was found) after WHAT, with how to
# stop it, or else the text UNKNOWN.
report_holder() {
  local holder=$1 what=$2 unknown=$3
  if [[ -n $holder ]]; then
    echo "make run: $what $(describe "$holder")." >&2
    echo "Stop it with \`$(how_to_stop "$holder")\`, then run make run again." >&2
  else
    echo "make run: $unknown" >&2
  fi
}

vendor=$(/sbin/ldconfig -p 2>/dev/null | awk '/libzkfp\.so /{print $NF; exit}')
if [[ -n $vendor ]]; then
  # LD_LIBRARY_PATH comes before the binary's own search path.
  export LD_LIBRARY_PATH=$(dirname "$vendor")${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
fi

READER_SIM_CONTROL=$control_port "$service" &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; exit 130' INT TERM HUP

# A copy that cannot run ends within moments; one that runs soon holds the port.
for ((i = 0; i < 50; i++)); do
  kill -0 "$pid" 2>/dev/null || break
  [[ $(port_holder) == "$pid" ]] && break
  sleep 0.1
done

if ! kill -0 "$pid" 2>/dev/null; then
  wait "$pid"
  status=$?
  trap - INT TERM HUP
  if [[ $status -eq 0 ]]; then
    report_holder "$(lock_holder)" "the service already runs for this user:" \
      "another copy of the service already runs for this user (it holds the single-instance lock); stop it, then run make run again."
  elif [[ $status -eq 1 ]]; then
    report_holder "$(port_holder)" "port $SERVICE_PORT is taken by" \
      "port $SERVICE_PORT is taken by a program of another user; it has to end before the service can run here."
  else
    echo "make run: the service ended with status $status" >&2
  fi
  exit 1
fi

if [[ -n $vendor ]]; then
  echo "Using the installed reader library $vendor"
else
  echo "Using the simulated reader; drive it with $build/reader-sim (try: $build/reader-sim help)"
fi
wait "$pid"
