#!/usr/bin/env bash
# Runs the Windows tests under Wine: first the platform seam's own Windows test program
# (build-windows/platform-tests), then the end-to-end tests that apply to Windows against the
# Windows binaries. The end-to-end test program is the Linux one (build/tests/e2e_tests); only
# the command that starts the service changes, so both platforms pass the same test code.
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
service_exe=$windows_build/Tobran-Quorvel.exe
platform_tests=$windows_build/platform-tests/platform_windows_tests.exe

for file in "$e2e_tests" "$service_exe" "$windows_build/libzkfp.dll" "$platform_tests"; do
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

# The throw-away prefix, its Wine server, and the end of every process Wine started in it.
source "$root/tests/windows/wine-prefix.sh"
started=$SECONDS
wine_prefix_start

status=0
passed=0
failed=0
# Adds up one test program's XML report; a program that wrote none, or ran no test, fails.
count_results() {
  local report=$1 name=$2 total=0 failures=0
  if [[ -f $report ]]; then
    read -r total failures < <(sed -n \
      's/.*<testsuites tests="\([0-9]*\)" failures="\([0-9]*\)".*/\1 \2/p' "$report" | head -n 1)
    rm -f "$report"
  fi
  if [[ ${total:-0} -eq 0 ]]; then
    echo "$name ran no test" >&2
    status=1
  fi
  passed=$((passed + ${total:-0} - ${failures:-0}))
  failed=$((failed + ${failures:-0}))
}

platform_report=$wine_run_dir/platform.xml
wine "$platform_tests" --gtest_output="xml:$(winepath -w "$platform_report")" || status=$?
count_results "$platform_report" platform_windows_tests.exe

# Wine passes the environment through, READER_SIM_CONTROL included, so the simulated reader in
# libzkfp.dll opens its control channel on 127.0.0.1 for the test program outside Wine.
# Windows finds libzkfp.dll beside the exe.
e2e_report=$wine_run_dir/e2e.xml
TOBRAN_SERVICE_COMMAND="wine $service_exe" \
TOBRAN_TIMEOUT_SCALE="${TOBRAN_TIMEOUT_SCALE:-4}" \
  "$e2e_tests" --gtest_filter="$TOBRAN_WINE_TEST_FILTER" --gtest_output="xml:$e2e_report" ||
  status=$?
count_results "$e2e_report" "e2e_tests --gtest_filter=$TOBRAN_WINE_TEST_FILTER"

echo "Wine run took $((SECONDS - started)) s"
# The closing count in the plain form, over both programs.
echo "Windows under Wine: $passed passed, $failed failed"
exit "$status"
