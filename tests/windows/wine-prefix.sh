# A throw-away Wine prefix for one run of a test script, and the end of everything Wine started
# in it. Sourced, not run, by the scripts that run Windows programs under Wine:
#
#   source tests/windows/wine-prefix.sh   # the run's folder and WINEPREFIX, the exit trap
#   wine_prefix_start                     # one Wine server for the run, the prefix made in it
#   wine_server_restart                   # a fresh server, the last one's processes ended
#
# wine_run_dir is the run's own folder, for the script's files; the prefix is in it, and any
# other prefix the script makes goes there too. At exit every process that runs with one of
# them in its environment is ended by its process id, the Wine servers last, and the folder is
# removed.

wine_run_dir=$(mktemp -d /tmp/tobran-wine.XXXXXX)
export WINEPREFIX=$wine_run_dir/prefix
mkdir "$WINEPREFIX"
export WINEARCH=win64
# No debug channels, no offer to install Mono or Gecko while the prefix is made, and no menu
# entries or file associations written into the user's home.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# No display: the programs tested open no window, and Wine needs none for them.
unset DISPLAY WAYLAND_DISPLAY

wine_server_pid=
wine_server_folder=

# Every process that runs with this prefix, or another prefix in the run's folder, in its
# environment belongs to this run: the Wine servers, Wine's own helper programs and any Windows
# program a test left behind. Read with
# shell built-ins alone, so that the scan starts no process that it would then list.
wine_prefix_pids() {
  local entry pid variable
  for entry in /proc/[0-9]*; do
    pid=${entry#/proc/}
    [[ $pid == "$$" || $pid == "$BASHPID" ]] && continue
    while IFS= read -r -d '' variable; do
      if [[ $variable == "WINEPREFIX=$wine_run_dir/"* ]]; then
        echo "$pid"
        break
      fi
    done 2>/dev/null < "$entry/environ"
  done 2>/dev/null
  return 0
}

# Ends every process of the prefix by its process id: the Windows processes first, then the
# server they talk to. Scanned again until none is left, for a program may still be starting
# (or, when a server has died, start a server of its own) while the first ones end.
wine_server_stop() {
  local pids pid attempt
  for attempt in $(seq 20); do
    pids=$(wine_prefix_pids)
    [[ -z $pids ]] && break
    for pid in $pids; do
      if ((attempt > 10)); then
        kill -KILL "$pid" 2>/dev/null || true
      elif [[ $pid != "$wine_server_pid" ]] || ((attempt > 1)); then
        kill -TERM "$pid" 2>/dev/null || true
      fi
    done
    sleep 0.3
  done
  if [[ -n $wine_server_pid ]]; then
    wait "$wine_server_pid" 2>/dev/null || true
  fi
  wine_server_pid=
}

wine_prefix_cleanup() {
  local status=$?
  wine_server_stop
  rm -rf "$wine_run_dir"
  # The server's temporary folder, which it leaves behind; only one of this run's user.
  if [[ $wine_server_folder == */wine-* && -O $wine_server_folder ]]; then
    rm -rf "$wine_server_folder"
  fi
  exit "$status"
}
trap wine_prefix_cleanup EXIT

# Starts the Wine server of the prefix, kept alive between programs so that each start does not
# pay for a new server and Wine's helper programs.
wine_server_start() {
  local attempt
  # The server holds every socket of the run's Windows programs, so it needs as many
  # descriptors as they have connections (thousands in the load tests), not the default 1024
  # of a login shell: Windows sets no such limit.
  (
    ulimit -Sn "$(ulimit -Hn)" 2>/dev/null || true
    exec wineserver -f -p
  ) &
  wine_server_pid=$!
  # The server works in its own folder, where it makes the socket Wine's programs connect to;
  # wait for that socket so that no program starts a second, short-lived server of its own.
  for attempt in $(seq 100); do
    [[ -S /proc/$wine_server_pid/cwd/socket ]] && break
    kill -0 "$wine_server_pid" 2>/dev/null || { echo "wineserver did not start" >&2; return 1; }
    sleep 0.05
  done
  # That folder sits in a temporary one made for this server.
  wine_server_folder=$(dirname "$(readlink "/proc/$wine_server_pid/cwd")")
}

# A fresh server for the prefix, with nothing of the last one's left: its processes ended.
wine_server_restart() {
  wine_server_stop
  wine_server_start
}

# Starts one Wine server for the run and makes the prefix in it.
wine_prefix_start() {
  local started=$SECONDS
  wine_server_start || return 1
  if ! timeout 180 wineboot -i > "$wine_run_dir/boot.log" 2>&1; then
    cat "$wine_run_dir/boot.log" >&2
    echo "wineboot failed" >&2
    return 1
  fi
  echo "Wine prefix ready in $((SECONDS - started)) s: $WINEPREFIX"
}
