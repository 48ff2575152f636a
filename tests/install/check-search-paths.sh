#!/bin/sh
# Checks that no program or library given finds a library through the current folder: every
# entry of its RPATH and RUNPATH must be an absolute folder or one relative to $ORIGIN. The
# loader reads an empty entry (a leading, trailing or doubled ':') or a relative one as a folder
# relative to wherever the program is started, so a libzkfp.so left there would be loaded.
#
# Usage: tests/install/check-search-paths.sh FILE...
set -eu

status=0
for file in "$@"; do
  if ! dynamic=$(readelf -d -W "$file" 2>&1); then
    echo "FAIL $file: $dynamic" >&2
    status=1
    continue
  fi
  # Lines such as: 0x...1d (RUNPATH)  Library runpath: [$ORIGIN:/usr/lib]
  paths=$(printf '%s\n' "$dynamic" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*: \[\(.*\)\]$/\1 \2/p')
  if [ -z "$paths" ]; then
    echo "ok   $file: no RPATH or RUNPATH"
    continue
  fi
  echo "$paths" | while read -r kind list; do
    # Each entry on a line of its own; an empty entry gives an empty line.
    bad=$(printf '%s\n' "$list" | tr ':' '\n' | grep -v -e '^/' -e '^\$ORIGIN\(/\|$\)' -e '^\${ORIGIN}\(/\|$\)' | sed 's/^$/(empty)/' | sort -u | tr '\n' ' ')
    if [ -n "$bad" ]; then
      echo "FAIL $file: $kind [$list] has entries relative to the current folder: $bad" >&2
      exit 1
    fi
    echo "ok   $file: $kind [$list]"
  done || status=1
done
exit $status
