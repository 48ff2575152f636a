#!/usr/bin/env bash
# Runs every fuzzer of a fuzz build for SECONDS each (default 60), over its seed corpus in
# tests/fuzz/corpus/ plus what earlier runs found (kept in <build>/fuzz/corpus/). A crash, a
# leak, a sanitizer report, an input slower than 10 s or a broken invariant stops that fuzzer
# with a non-zero status, and the script fails; the input is kept in <build>/fuzz/artifacts/.
#   tests/fuzz/run-fuzzers.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=${1:?usage: run-fuzzers.sh BUILD_DIR [SECONDS]}
seconds=${2:-60}
seeds=$(cd "$(dirname "$0")" && pwd)/corpus
failed=0
for name in http_session begin_capture_flags; do
  fuzzer=$build/fuzz/${name}_fuzzer
  corpus=$build/fuzz/corpus/$name
  artifacts=$build/fuzz/artifacts/$name/
  mkdir -p "$corpus" "$artifacts"
  echo "== $name: $seconds s"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
      -print_final_stats=1 -artifact_prefix="$artifacts" "$corpus" "$seeds/$name" \
      > "$build/fuzz/$name.log" 2>&1; then
    echo "$name FAILED; the end of its log ($build/fuzz/$name.log):"
    tail -n 60 "$build/fuzz/$name.log"
    failed=1
  else
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$build/fuzz/$name.log" || true
    tail -n 1 "$build/fuzz/$name.log" | grep -q . && grep -E '^Done [0-9]+ runs' "$build/fuzz/$name.log" || true
  fi
done
exit $failed
