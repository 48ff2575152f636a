#!/usr/bin/env bash
# Checks the Windows installer of `make windows-installer` under Wine, in a throw-away prefix:
#   - it asks for no elevation (its manifest runs it as the user who starts it);
#   - a silent install (/S) puts exactly the files of expected-windows-files.txt in the user's
#     programs folder, the service and libzkfp.dll as built, a Run entry naming the installed
#     exe and the user's uninstall entry;
#   - the installer starts the service, which answers on 127.0.0.1:22001 byte for byte, and,
#     with no vendor library and no simulator channel named, reports no reader (-2);
#   - a reinstall while the service runs ends that copy and leaves one new copy running; it
#     replaces the simulated reader's libzkfp.dll of an earlier install with the one built, and
#     keeps a vendor's libzkfp.dll copied over it;
#   - at a logon (wineboot runs the Run entries as Windows does) the Run entry starts it;
#   - a silent uninstall, waited for to its end, stops the service and leaves no installed file,
#     Run entry or uninstall entry, while another program's Run entry and the vendor's
#     libzkfp.dll stay.
# Starts the service on port 22001: not while the CTest tests run. Stops by itself: every Wine
# program runs under a time limit, and at the end every process of the prefix is ended by its id.
#
# Usage: tests/install/check-windows-installer.sh SETUP_EXE [WINDOWS_BUILD_DIR]
set -euo pipefail
# The installed copy must be seen as a user has it: no simulator channel named.
unset READER_SIM_CONTROL

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
setup=$(realpath "${1:?usage: check-windows-installer.sh SETUP_EXE [WINDOWS_BUILD_DIR]}")
windows_build=$(realpath "${2:-$root/build-windows}")
for file in "$setup" "$windows_build/Tobran-Quorvel.exe" "$windows_build/libzkfp.dll"; do
  [[ -f $file ]] || { echo "missing $file: run make windows-installer" >&2; exit 2; }
done
# The installer carries the version of the CMake project it was built with.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$windows_build/CMakeCache.txt" 2>/dev/null) || true
[[ -n $version ]] || { echo "no project version in $windows_build/CMakeCache.txt: run make windows" >&2; exit 2; }

RUN_KEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
UNINSTALL_KEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tobran-Quorvel'

source "$here/wine-installer-checks.sh"
source "$root/tests/windows/wine-prefix.sh"
started=$SECONDS
wine_prefix_start
work=$wine_run_dir

# --- the installer itself --------------------------------------------------------------------
if grep -aq 'level="asInvoker"' "$setup"; then
  pass "the installer's manifest runs it as the user who starts it (no elevation)"
else
  fail "the installer's manifest does not say level=\"asInvoker\""
fi

# --- silent install ----------------------------------------------------------------------------
run_wine 30 "$work/appdata.txt" cmd /c 'echo %LOCALAPPDATA%'
local_appdata=$(tr -d '\r\n' < "$work/appdata.txt")
dir_windows="$local_appdata\\Programs\\Tobran-Quorvel"
exe_windows="$dir_windows\\Tobran-Quorvel.exe"
dir=$(winepath -u "$dir_windows" 2> /dev/null)
[[ -n $local_appdata && -n $dir ]] || { fail "no %LOCALAPPDATA% in the prefix"; finish; }

if run_wine 120 "$work/install.txt" "$setup" /S; then
  pass "silent install: $(basename "$setup") /S exits 0"
else
  fail "silent install exited $?: $(cat "$work/install.txt")"
  finish
fi

(cd "$dir" 2>/dev/null && ls -A | sort) > "$work/installed.txt" || true
sed '/^#/d; /^$/d' "$here/expected-windows-files.txt" | sort > "$work/expected-files.txt"
if diff -u "$work/expected-files.txt" "$work/installed.txt" > "$work/files.diff"; then
  pass "installed in $dir_windows: $(wc -l < "$work/installed.txt") files, as expected"
else
  fail "files in $dir_windows differ from expected-windows-files.txt (- expected, + installed):"$'\n'"$(cat "$work/files.diff")"
fi
for file in Tobran-Quorvel.exe libzkfp.dll; do
  cmp -s "$windows_build/$file" "$dir/$file" && pass "$file is the one built" ||
    fail "$file in $dir_windows is not $windows_build/$file"
done

run_entry=$(reg_value "$RUN_KEY" Tobran-Quorvel) || true
[[ $run_entry == "\"$exe_windows\"" ]] &&
  pass "the Run entry starts $run_entry at logon" || fail "Run entry Tobran-Quorvel: '$run_entry'"

check_entry() {
  local value
  value=$(reg_value "$UNINSTALL_KEY" "$1") || true
  [[ $value == "$2" ]] && pass "uninstall entry $1: $value" || fail "uninstall entry $1: '$value', not '$2'"
}
check_entry DisplayName Tobran-Quorvel
check_entry DisplayVersion "$version"
check_entry InstallLocation "$dir_windows"
check_entry UninstallString "\"$dir_windows\\uninstall.exe\""
check_entry QuietUninstallString "\"$dir_windows\\uninstall.exe\" /S"

service_pid=
check_service_answers "after the install"
first_pid=$service_pid
# The simulated reader installed as the reader library pretends nothing: no reader attached.
begin=$(timeout 10 bash -c "exec 3<>/dev/tcp/127.0.0.1/$PORT &&
  printf 'GET /varuvezivuv/fingerprint/beginCapture HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' >&3 &&
  cat <&3" 2>/dev/null | grep -ao '{.*}' | head -n 1) || true
[[ $begin == '{"ret":-2, "data":{"sn":""}}' ]] &&
  pass "with no vendor library, beginCapture reports no reader: $begin" ||
  fail "with no vendor library, beginCapture answered '$begin', not no reader (-2)"

# --- reinstall while the service runs ---------------------------------------------------------
# Puts file $1 in the place of the installed libzkfp.dll by renaming, so that the running copy
# keeps the one it loaded.
replace_reader_library() { mv "$1" "$dir/libzkfp.dll"; }
# Reinstalls while the service runs; the copy that ran is ended and a new one answers.
reinstall() {
  local when=$1 before=$service_pid
  if run_wine 120 "$work/reinstall.txt" "$setup" /S; then
    pass "$when: the reinstall exits 0"
  else
    fail "$when: the reinstall exited $?: $(cat "$work/reinstall.txt")"
  fi
  [[ -n $before ]] && wait_until 10 process_ended "$before" &&
    pass "$when: the reinstall ended the running copy (pid $before)" ||
    fail "$when: the copy that ran before the reinstall (pid '$before') is still there"
  check_service_answers "$when"
}

# The simulated reader as installed, its bytes changed but not its time, as an older version's
# library would be: an upgrade replaces it with the one built.
cp "$windows_build/libzkfp.dll" "$work/older-libzkfp.dll"
printf 'an older version' >> "$work/older-libzkfp.dll"
touch -r "$dir/libzkfp.dll" "$work/older-libzkfp.dll"
replace_reader_library "$work/older-libzkfp.dll"
reinstall "upgrade"
cmp -s "$windows_build/libzkfp.dll" "$dir/libzkfp.dll" &&
  pass "upgrade: the simulated reader's libzkfp.dll is replaced with the one built" ||
  fail "upgrade: libzkfp.dll is not the one built"

# A vendor's libzkfp.dll copied over ours, as the README says to: a stand-in, the built one
# with some bytes added, with the time of its copying. A reinstall keeps it.
cp "$windows_build/libzkfp.dll" "$work/vendor-libzkfp.dll"
printf 'a vendor library' >> "$work/vendor-libzkfp.dll"
cp "$work/vendor-libzkfp.dll" "$work/vendor-libzkfp.dll.expected"
touch -d '2 days ago' "$work/vendor-libzkfp.dll"
replace_reader_library "$work/vendor-libzkfp.dll"
reinstall "reinstall over a vendor's library"
cmp -s "$work/vendor-libzkfp.dll.expected" "$dir/libzkfp.dll" &&
  pass "reinstall over a vendor's library: the vendor's libzkfp.dll is kept" ||
  fail "reinstall over a vendor's library: libzkfp.dll was replaced"

# --- start at logon -----------------------------------------------------------------------------
# The copy the installer started is ended; a logon, which wineboot plays as Windows does at one,
# has to start it again from the Run entry.
if [[ -n $service_pid ]]; then
  kill -TERM $service_pid 2>/dev/null || true
fi
if wait_until 20 no_service_running && wait_until 20 port_free; then
  if timeout 120 wineboot > "$work/logon.txt" 2>&1; then
    check_service_answers "after a logon"
  else
    fail "wineboot (a logon) failed: $(cat "$work/logon.txt")"
  fi
else
  fail "the service (pid $service_pid) did not end, or port $PORT stayed taken"
fi

# --- silent uninstall --------------------------------------------------------------------------
# Another program's Run entry, which the uninstall has to leave alone.
run_wine 30 "$work/reg-add.txt" reg add "$RUN_KEY" /v Tobran-Test-Neighbour /d 'C:\neighbour.exe' /f ||
  fail "reg add: $(cat "$work/reg-add.txt")"

# The uninstaller copies itself to a temporary folder, starts the copy, which works on the
# folder given as _?=FOLDER, and returns at once; the copy is waited for until it has gone.
uninstaller_copies() { pids_whose_command_matches "*$(literally "_?=$dir_windows")*"; }
no_uninstaller_copy() { [[ -z $(uninstaller_copies) ]]; }
uninstall_started=$SECONDS
if run_wine 60 "$work/uninstall.txt" "$dir/uninstall.exe" /S; then
  pass "silent uninstall: uninstall.exe /S exits 0"
else
  fail "silent uninstall exited $?: $(cat "$work/uninstall.txt")"
fi
# Wine has started the copy before the uninstaller returned; it may have finished already.
copies=$(uninstaller_copies | tr '\n' ' ')
if wait_until 60 no_uninstaller_copy; then
  pass "the uninstaller's temporary copy (pid ${copies:-none seen}) finished, $((SECONDS - uninstall_started)) s after the start"
else
  fail "the uninstaller's temporary copy still runs after 60 s: pids $(uninstaller_copies | tr '\n' ' ')"
fi

if wait_until 10 no_service_running; then
  pass "no copy of the service runs"
else
  fail "the service still runs: pids $(all_service_pids | tr '\n' ' ')"
fi
# The port is given back by Wine's server a little after the process has gone.
wait_until 10 port_free && pass "port $PORT is free" || fail "port $PORT is still taken"
# What the installer put there has gone; the vendor's library stays, and the folder with it.
left=$(ls -A "$dir" 2>/dev/null | tr '\n' ' ') || true
[[ $left == 'libzkfp.dll ' ]] && cmp -s "$work/vendor-libzkfp.dll.expected" "$dir/libzkfp.dll" &&
  pass "every installed file is gone; the vendor's libzkfp.dll stays in $dir_windows" ||
  fail "left in $dir_windows: '$left', not the vendor's libzkfp.dll alone"
rm -f "$dir/libzkfp.dll"
if reg_value "$RUN_KEY" Tobran-Test-Neighbour > /dev/null; then
  pass "another program's Run entry stays"
  reg_value "$RUN_KEY" Tobran-Quorvel > /dev/null && fail "the Run entry Tobran-Quorvel is still there" ||
    pass "the Run entry is gone"
else
  fail "the uninstall removed another program's Run entry (or reg query fails)"
fi
run_wine 30 "$work/reg.txt" reg query "$UNINSTALL_KEY" && fail "the uninstall entry is still there" ||
  pass "the uninstall entry is gone"

finish
