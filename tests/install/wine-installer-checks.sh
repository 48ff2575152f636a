# Checks shared by the scripts that test a Windows installer under Wine
# (check-windows-installer.sh, check-windows-msi.sh). Sourced, before tests/windows/wine-prefix.sh;
# the functions that run Windows programs need `work`, the run's folder, set once the prefix is
# made, and check_service_answers needs `exe_windows`, the installed service's Windows path.
# Refuses to start when port 22001 is taken: whatever answered there would be taken for the
# installed service.

PORT=22001
# A fresh service's reply to GET /varuvezivuv/info (no reader open), byte for byte, as the
# end-to-end tests expect it.
INFO_REPLY=$'HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nTransfer-Encoding: chunked\r\n\r\nA\r\n{"ret":-1}\r\n0\r\n\r\n'
port_in_use() { timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$PORT" 2>/dev/null; }
if port_in_use; then
  echo "port $PORT is in use by another program: stop it first" >&2
  exit 2
fi

passed=0
failed=0
pass() { echo "ok   $*"; passed=$((passed + 1)); }
fail() { echo "FAIL $*" >&2; failed=$((failed + 1)); }
finish() {
  echo "${checks_name:-Windows installer} under Wine: $passed passed, $failed failed in $((SECONDS - started)) s"
  ((failed == 0)) || exit 1
  exit 0
}

# Runs a Windows program of the prefix for at most LIMIT seconds, its output in LOG. A file,
# not a pipe: a program it starts, the service, may inherit it and would hold a pipe open.
run_wine() {
  local limit=$1 log=$2
  shift 2
  timeout "$limit" wine "$@" > "$log" 2>&1
}

# The data of value NAME of registry key KEY as `reg query` shows it; fails when there is none.
reg_value() {
  run_wine 30 "$work/reg.txt" reg query "$1" /v "$2" || return 1
  tr -d '\r' < "$work/reg.txt" | sed -n "s/^ \{4\}$2 \{4\}REG_[A-Z_]* \{4\}//p"
}

# The process ids of the prefix's processes whose command line, its words joined by spaces,
# matches one of glob patterns $@. Wine shows a Windows program's command line in place of its
# own.
pids_whose_command_matches() {
  local pid args pattern
  for pid in $(wine_prefix_pids); do
    mapfile -d '' args 2>/dev/null < "/proc/$pid/cmdline" || continue
    for pattern; do
      # shellcheck disable=SC2053 # a pattern, not a word
      if [[ ${args[*]} == $pattern ]]; then
        echo "$pid"
        break
      fi
    done
  done
  return 0
}
# A glob pattern matching text $1 alone.
literally() { printf '%q' "$1"; }
# The copies of the service started as Windows path $1, with or without arguments.
pids_running() { pids_whose_command_matches "$(literally "$1")" "$(literally "$1") *"; }
# Any copy of the service, from any folder.
all_service_pids() { pids_whose_command_matches '*\Tobran-Quorvel.exe*'; }
# Waits at most $1 seconds until command $2... succeeds.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}
no_service_running() { [[ -z $(all_service_pids) ]]; }
# Process $1 has ended: gone, or a zombie that nobody reaps (the installer that started the
# service has ended, and the init of a container may never reap it).
process_ended() {
  local state
  state=$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$1/status" 2>/dev/null) || true
  [[ -z $state || $state == Z ]]
}
port_free() { ! port_in_use; }

# Asks the service for /varuvezivuv/info, again and again for at most $1 seconds (Wine is slow
# to start a program), until a reply as long as the expected one comes, or the time is up.
# The reply is left in $work/reply.
ask_info() {
  local deadline=$((SECONDS + $1))
  while :; do
    timeout 3 bash -c "exec 3<>/dev/tcp/127.0.0.1/$PORT &&
      printf 'GET /varuvezivuv/info HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' >&3 &&
      head -c ${#INFO_REPLY} <&3" > "$work/reply" 2>/dev/null || true
    [[ $(stat -c %s "$work/reply") -eq ${#INFO_REPLY} ]] && return 0
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}
# Checks that the service answers info byte for byte and runs from the installed exe, once.
check_service_answers() {
  local when=$1 pids
  printf '%s' "$INFO_REPLY" > "$work/expected-reply"
  if ask_info 60 && cmp -s "$work/expected-reply" "$work/reply"; then
    pass "$when: the service answers GET /varuvezivuv/info byte for byte"
  else
    fail "$when: GET /varuvezivuv/info answered (od -c):"$'\n'"$(od -c "$work/reply" | head -n 20)"
  fi
  pids=$(pids_running "$exe_windows")
  if [[ $(wc -w <<< "$pids") -eq 1 && $(all_service_pids) == "$pids" ]]; then
    pass "$when: one copy runs, the installed $exe_windows (pid $pids)"
  else
    fail "$when: copies of the installed exe: '${pids//$'\n'/ }', of any: '$(all_service_pids | tr '\n' ' ')'"
  fi
  service_pid=$pids
}

