#!/usr/bin/env bash
# The README's walk-through, pasted as it stands: each shell block of the section "Walk-through
# with the simulated reader" (but `make run`) runs as one script against a fresh service of
# BUILD_DIR, and what it prints must be exactly the reply lines the block shows ("#   ..."),
# in order. A reply shown with "…" matches any text in its place.
# Starts the service on port 22001 (control channel 22012) and ends it by its id.
#
# Usage: tests/readme/walkthrough_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail

readme=$1/README.md
build=$(realpath "$2")
work=$(mktemp -d /tmp/walkthrough-test.XXXXXX)
service_pid=
cleanup() {
  if [[ -n $service_pid ]]; then
    kill "$service_pid" 2>/dev/null
    wait "$service_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The blocks of the section, each into $work/block.N.
awk -v out="$work/block" '
  /^## / { inside = ($0 == "## Walk-through with the simulated reader") }
  /^### / && inside { inside = 0 }
  inside && /^```sh$/ { n++; copying = 1; next }
  copying && /^```$/ { copying = 0; next }
  copying { print > (out "." n) }' "$readme"
blocks=("$work"/block.*)
[[ -e ${blocks[0]} ]] || { echo "no walk-through blocks found in $readme" >&2; exit 1; }

# The commands run where the README's paths hold: build/ is this build.
mkdir "$work/checkout"
ln -s "$build" "$work/checkout/build"
export READER_SIM_CONTROL=22012

failures=0
ran=0
for block in "${blocks[@]}"; do
  grep -qvE '^(make run)?$' "$block" || continue # terminal 1
  ran=$((ran + 1))
  # What the block shows: each "#   reply", without a trailing "  # comment".
  sed -n 's/^#   //p' "$block" | sed 's/  *#.*$//' > "$work/expected"

  READER_SIM_CONTROL=22012 "$build/tobran-quorvel" > "$work/service.out" 2>&1 &
  service_pid=$!
  for ((i = 0; i < 100; i++)); do
    grep -q 'Starting' "$work/service.out" && break
    sleep 0.05
  done
  # curl prints a reply without a line end; on a terminal the prompt follows it. Here each
  # reply gets a line of its own.
  (cd "$work/checkout" && { echo 'curl() { command curl "$@"; echo; }'; cat "$block"; } |
    timeout 60 bash) > "$work/actual" 2> "$work/errors"
  kill "$service_pid"
  wait "$service_pid" 2>/dev/null
  service_pid=

  mismatch=
  mapfile -t expected < "$work/expected"
  mapfile -t actual < "$work/actual"
  if [[ ${#expected[@]} -ne ${#actual[@]} ]]; then
    mismatch="${#actual[@]} lines printed, ${#expected[@]} shown"
  fi
  for ((i = 0; i < ${#expected[@]} && i < ${#actual[@]}; i++)); do
    want=${expected[i]}
    got=${actual[i]}
    if [[ $want == *…* ]]; then
      [[ $got == "${want%%…*}"*"${want#*…}" ]] && continue
    else
      [[ $got == "$want" ]] && continue
    fi
    mismatch+=$'\n'"  line $((i + 1)): shown   $want"$'\n'"          printed $got"
    break
  done
  if [[ -n $mismatch || -s $work/errors ]]; then
    echo "FAIL README block $(basename "$block"): $mismatch" >&2
    sed 's/^/  stderr: /' "$work/errors" >&2
    failures=$((failures + 1))
  else
    echo "ok   README block $(basename "$block"): ${#expected[@]} replies as shown"
  fi
done

[[ $ran -ge 2 ]] || { echo "expected at least two walk-through blocks, ran $ran" >&2; exit 1; }
[[ $failures -eq 0 ]] || exit 1
