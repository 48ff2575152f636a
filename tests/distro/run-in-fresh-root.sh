#!/usr/bin/env bash
# `make test` (or other goals) from a fresh clone in a bare Debian root, as a new user of that
# release would run it: the root made with debootstrap (minbase with git, make and sudo), the
# release's own apt sources (main, updates, security), then the goal's packages installed with
# network, then the build and the tests in a network namespace of their own (loopback only), so
# that their port 22001 meets nobody's and nothing they do reaches the network.
#
#   tests/distro/run-in-fresh-root.sh SUITE [GOAL...]      as root; SUITE bookworm or trixie
#
# GOAL defaults to `test`; with other goals (e.g. `check-thread-safety fuzz`) `make deps-all`
# installs first instead of `make deps-test`. The clone is of this repository's HEAD: commit
# first, uncommitted changes are not in it. Environment:
#   TOBRAN_FRESH_ROOT    the folder for the root (default: a new one under /var/tmp), removed at
#                        the end unless TOBRAN_KEEP_ROOT=1
#   TOBRAN_BASE_ROOT     a root of SUITE made by the same debootstrap command earlier, copied
#                        instead of running it again
#   TOBRAN_DEBIAN_MIRROR default http://deb.debian.org/debian
# The host needs debootstrap, git and unshare (util-linux). The host's /etc/resolv.conf and the
# certificate authorities in /usr/local/share/ca-certificates/ are copied in, so that apt and npm
# work behind the same proxy as the host; Node.js is pointed at the system's bundle.
set -euo pipefail
suite=${1:?usage: run-in-fresh-root.sh SUITE [GOAL...]}
shift
goals=("${@:-test}")
repo=$(cd "$(dirname "$0")/../.." && pwd)
mirror=${TOBRAN_DEBIAN_MIRROR:-http://deb.debian.org/debian}
[ "$(id -u)" = 0 ] || { echo "run-in-fresh-root.sh: run it as root (debootstrap, chroot, mounts)" >&2; exit 2; }
command -v debootstrap >/dev/null || { echo "run-in-fresh-root.sh: debootstrap is needed (apt-get install debootstrap)" >&2; exit 2; }

root=${TOBRAN_FRESH_ROOT:-$(mktemp -d "/var/tmp/tobran-$suite.XXXXXX")}
mkdir -p "$root"
root=$(cd "$root" && pwd)
# A system's / is open to every user (mktemp makes the folder 0700): the tests start copies of
# the service as another user, who must reach the files under it.
chmod 0755 "$root"
mounted=()
cleanup() {
  local status=$? i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
  done
  if [ "${TOBRAN_KEEP_ROOT:-0}" = 1 ]; then
    echo "== the root stays in $root"
  else
    rm -rf --one-file-system "$root"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

started=$SECONDS
step() { echo "== $(date -u +%H:%M:%S) [$((SECONDS - started)) s] $*"; }

if [ -n "${TOBRAN_BASE_ROOT:-}" ]; then
  step "copying $TOBRAN_BASE_ROOT to $root"
  cp -a "$TOBRAN_BASE_ROOT"/. "$root"/
else
  step "debootstrap $suite into $root"
  debootstrap --variant=minbase --include=ca-certificates,git,make,sudo "$suite" "$root" "$mirror" \
    > "$root.debootstrap.log" 2>&1 || { tail -n 30 "$root.debootstrap.log" >&2; exit 1; }
  rm -f "$root.debootstrap.log"
fi

# The sources an installed system of the release has.
security=${mirror%/debian}/debian-security
[[ $mirror == */debian ]] || security=http://deb.debian.org/debian-security
cat > "$root/etc/apt/sources.list" <<EOF
deb $mirror $suite main
deb $mirror $suite-updates main
deb $security $suite-security main
EOF
cp /etc/resolv.conf "$root/etc/resolv.conf"
if compgen -G '/usr/local/share/ca-certificates/*' > /dev/null; then
  cp -r /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
fi

# The root a mount of its own, as / is on a machine: a private mount namespace made inside it
# (the lock folder's test, Chromium under a managed policy) needs / to be a mount point.
mount --bind "$root" "$root"; mounted+=("$root")
mount --make-private "$root"
mount -t proc proc "$root/proc"; mounted+=("$root/proc")
mount --bind /dev "$root/dev"; mounted+=("$root/dev")
mount --bind /dev/pts "$root/dev/pts"; mounted+=("$root/dev/pts")
# Chromium's shared memory; on most hosts a mount of its own, which binding /dev leaves out.
if mountpoint -q /dev/shm; then mount --bind /dev/shm "$root/dev/shm"; mounted+=("$root/dev/shm"); fi

# A command in the root, with the environment of a login there rather than the caller's.
in_root() {
  chroot "$root" env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 TERM=dumb CI=true DEBIAN_FRONTEND=noninteractive \
    NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt bash -euo pipefail -c "$1"
}
in_root 'update-ca-certificates > /dev/null'

step "cloning $(git -C "$repo" rev-parse --short HEAD) of $repo"
git clone -q --no-hardlinks "$repo" "$root/src"
git -C "$root/src" checkout -q --detach "$(git -C "$repo" rev-parse HEAD)"

# With network: the goals' packages, and the browser test's npm packages (their test would
# otherwise fetch them, and the tests have no network).
deps=deps-test
[ "${goals[*]}" = test ] || deps=deps-all
step "make $deps (network)"
in_root "cd /src && make $deps"
in_root 'cd /src && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --prefix tests/browser --no-audit --no-fund --loglevel=error'
in_root 'echo "$(. /etc/os-release && echo "$PRETTY_NAME"); $(g++ --version | head -n 1); node $(node --version)"'

# Without network from here on: each goal in turn, in a namespace whose only interface is lo.
status=0
for goal in "${goals[@]}"; do
  step "make $goal (no network)"
  if ! unshare -n bash -c 'ip link set lo up && exec "$@"' sh \
      chroot "$root" env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      LANG=C.UTF-8 TERM=dumb CI=true bash -c "cd /src && make $goal"; then
    step "make $goal FAILED in $suite"
    status=1
  fi
done
step "done: $suite $([ $status = 0 ] && echo passed || echo FAILED)"
exit $status
