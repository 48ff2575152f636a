#!/usr/bin/env bash
# The packages that differ between the Debian-based releases the build supports (Debian 12 and
# 13, Ubuntu 24.04), decided here once from what apt offers, so that the Makefile's package
# lists name them without a version:
#
#   cmake/release-packages.sh boost   the Boost development package: the one from 1.81 on that
#                                     is installed already, else the oldest from 1.81 on that apt
#                                     can install (1.81 on Debian 12, whose default Boost, 1.74,
#                                     is too old; 1.83, the default, on Debian 13 and Ubuntu 24.04)
#   cmake/release-packages.sh clang   the version of the release's own clang, the one its `clang`
#                                     package depends on (14 on Debian 12, 19 on Debian 13, 18 on
#                                     Ubuntu 24.04): the fuzzers' and the lock checks' compiler is
#                                     clang++-N, with libclang-rt-N-dev for libFuzzer
#
# Where apt knows no package at all (a container whose lists were removed), the lists are fetched
# first: the probe only runs for the goals that install packages. Prints nothing and fails when
# the release has neither.
set -euo pipefail
what=${1:?usage: release-packages.sh boost|clang}
export LC_ALL=C

if [ -z "$(apt-cache pkgnames 2>/dev/null | head -n 1)" ]; then
  sudo=$([ "$(id -u)" = 0 ] || echo sudo)
  $sudo apt-get update >&2
fi

# A package's installed version or its candidate ("(none)" or nothing when there is none).
policy() { apt-cache policy "$2" 2>/dev/null | awk -v field="$1:" '$1 == field { print $2 }'; }

case $what in
  boost)
    # libboost1.N-dev from 1.81 on, oldest first.
    names=$(apt-cache pkgnames libboost1. | sed -n 's/^libboost1\.\([0-9]*\)-dev$/\1/p' |
      awk '$1 >= 81' | sort -n | sed 's/.*/libboost1.&-dev/')
    for name in $names; do
      case $(policy Installed "$name") in ''|'(none)') ;; *) echo "$name"; exit 0 ;; esac
    done
    for name in $names; do
      case $(policy Candidate "$name") in ''|'(none)') ;; *) echo "$name"; exit 0 ;; esac
    done
    echo "release-packages.sh: apt offers no Boost 1.81 or later (libboost1.8x-dev)" >&2
    exit 1 ;;
  clang)
    version=$(apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n 1)
    [ -n "$version" ] || { echo "release-packages.sh: apt's clang package names no clang-N" >&2; exit 1; }
    echo "$version" ;;
  *)
    echo "usage: release-packages.sh boost|clang" >&2
    exit 2 ;;
esac
