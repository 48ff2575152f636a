#!/usr/bin/env bash
# Runs the Windows tests under Wine: first the platform seam's own Windows test program
# (build-windows/platform-tests), then every end-to-end and load case against the Windows
# binaries, but those named in excluded-under-wine.txt. The end-to-end and load test programs
# are the Linux ones (build/tests/e2e_tests, build/tests/load_tests); only the command that
# starts the service changes, so both platforms pass the same test code.
#
# Usage: tests/windows/run-under-wine.sh [LINUX_BUILD_DIR [WINDOWS_BUILD_DIR]]
#
# Each run gets a throw-away Wine prefix, made once and removed at the end together with every
# process Wine started in it, each ended by its process id (wine-prefix.sh).
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
linux_build=$(realpath "${1:-$root/build}")
windows_build=$(realpath "${2:-$root/build-windows}")
e2e_tests=$linux_build/tests/e2e_tests
load_tests=$linux_build/tests/load_tests
service_exe=$windows_build/Tobran-Quorvel.exe
short_timeouts_exe=$windows_build/tobran-quorvel-short-timeouts.exe
doctor_exe=$windows_build/tobran-quorvel-doctor.exe
platform_tests=$windows_build/platform-tests/platform_windows_tests.exe

for file in "$e2e_tests" "$load_tests" "$service_exe" "$short_timeouts_exe" "$doctor_exe" \
    "$windows_build/libzkfp.dll" "$platform_tests"; do
  if [[ ! -f $file ]]; then
    echo "missing $file: build it first (make build windows)" >&2
    exit 2
  fi
done
if [[ $windows_build == *" "* ]]; then
  echo "the launcher splits its command on spaces: build outside a path with spaces" >&2
  exit 2
fi

# The cases of `program` that `filter` selects, one whole name a line.
list_cases() {
  "$1" --gtest_list_tests --gtest_filter="$2" | awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }'
}

# The cases left out under Wine, each named whole in the list with its reason. A name that
# matches no case of either program is a mistake in the list (a case renamed or removed), not
# something to pass over quietly. TOBRAN_WINE_TEST_FILTER narrows the run further while working
# on it (a positive GoogleTest filter; by default every case).
exclusion_list=$root/tests/windows/excluded-under-wine.txt
mapfile -t excluded < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' -e '/^$/d' "$exclusion_list")
known_cases=$(list_cases "$e2e_tests" '*'; list_cases "$load_tests" '*')
for name in "${excluded[@]}"; do
  if [[ ! $name =~ ^[A-Za-z0-9_]+\.[A-Za-z0-9_]+$ ]] || ! grep -qxF "$name" <<< "$known_cases"; then
    echo "$exclusion_list: \"$name\" is not the whole name of a case" >&2
    exit 2
  fi
done
excluded_filter=$(IFS=:; echo "${excluded[*]}")
test_filter="${TOBRAN_WINE_TEST_FILTER:-*}${excluded_filter:+-$excluded_filter}"

# The throw-away prefix, its Wine server, and the end of every process Wine started in it.
source "$root/tests/windows/wine-prefix.sh"
started=$SECONDS
# A second prefix stands for another logon on the same machine: its Wine server keeps a
# namespace of named objects of its own, while the ports are the machine's. Made meanwhile.
other_logon_prefix=$wine_run_dir/other-logon
mkdir "$other_logon_prefix"
WINEPREFIX=$other_logon_prefix timeout 180 wineboot -i > "$wine_run_dir/other-logon.log" 2>&1 &
other_logon_boot=$!
wine_prefix_start

status=0
passed=0
failed=0
skipped=0
# Adds up one test program's XML report; a program that wrote none, or ran no test, fails.
count_results() {
  local report=$1 name=$2 total=0 failures=0 skips=0
  if [[ -f $report ]]; then
    read -r total failures < <(sed -n \
      's/.*<testsuites tests="\([0-9]*\)" failures="\([0-9]*\)".*/\1 \2/p' "$report" | head -n 1)
    skips=$(grep -c 'result="skipped"' "$report" || true)
    rm -f "$report"
  fi
  if [[ ${total:-0} -eq 0 ]]; then
    echo "$name ran no test" >&2
    status=1
  fi
  passed=$((passed + ${total:-0} - ${failures:-0} - skips))
  failed=$((failed + ${failures:-0}))
  skipped=$((skipped + skips))
}

platform_report=$wine_run_dir/platform.xml
wine "$platform_tests" --gtest_output="xml:$(winepath -w "$platform_report")" || status=$?
count_results "$platform_report" platform_windows_tests.exe

# Wine passes the environment through, READER_SIM_CONTROL included, so the simulated reader in
# libzkfp.dll opens its control channel on 127.0.0.1 for the test program outside Wine.
# Windows finds libzkfp.dll beside the exe.
export TOBRAN_SERVICE_COMMAND="wine $service_exe"
export TOBRAN_SHORT_TIMEOUTS_COMMAND="wine $short_timeouts_exe"
# The doctor's cases run the Windows doctor, which finds libzkfp.dll beside itself likewise.
export TOBRAN_DOCTOR_COMMAND="wine $doctor_exe"
# Wine makes every socket call a round trip to its server: the end-to-end waits get four times
# as long, the load cases' eight times, for one round of polls on 5000 connections takes 0.5 to
# 2 s under Wine, 0.07 s natively, and a fresh client may wait for a round.
scale=${TOBRAN_TIMEOUT_SCALE:-4}

# Runs the cases of `program` that `filter` selects, with waits scaled by `scale`, and adds up
# their XML report.
run_cases() {
  local program=$1 filter=$2 scale=$3 report
  report=$wine_run_dir/$(basename "$program").xml
  # The service's sockets are the Wine server's descriptors, not its own.
  TOBRAN_SOCKETS_PID=$wine_server_pid TOBRAN_TIMEOUT_SCALE=$scale \
    "$program" --gtest_filter="$filter" --gtest_output="xml:$report" || status=$?
  count_results "$report" "$(basename "$program") --gtest_filter=$filter"
}

# The end-to-end cases in one go, in the server the platform tests used.
if ! wait "$other_logon_boot"; then
  cat "$wine_run_dir/other-logon.log" >&2
  echo "wineboot of the other logon's prefix failed" >&2
  exit 1
fi
export TOBRAN_OTHER_LOGON_COMMAND="env WINEPREFIX=$other_logon_prefix wine $service_exe"
if [[ -z ${TOBRAN_WINE_TEST_FILTER:-} || -n $(list_cases "$e2e_tests" "$test_filter") ]]; then
  run_cases "$e2e_tests" "$test_filter" "$scale"
fi
# Each load case in a Wine server of its own. Wine 8's server can fail an assertion
# ("set_fd_events: Assertion `poll_users[user] == fd' failed") and die when a program is killed
# while closing thousands of sockets and another one starts; in one shared server the thousands
# of clients of one case would then fail the cases after it. tests/windows/wine-fd-assertion.sh
# shows it without the test programs.
for case in $(list_cases "$load_tests" "$test_filter"); do
  wine_server_restart
  run_cases "$load_tests" "$case" $((scale * 2))
done

echo "Wine run took $((SECONDS - started)) s"
# The closing count in the plain form, over the three programs.
echo "Windows under Wine: $passed passed, $failed failed, $skipped skipped;" \
  "${#excluded[@]} excluded by $(basename "$exclusion_list")"
exit "$status"
