#!/usr/bin/env bash
# Checks the Debian package of `make package`:
#   - lintian finds no error or warning;
#   - installed with dpkg into a throw-away root, it holds exactly the files of
#     expected-linux-files.txt, and removing and purging it leaves none of them;
#   - no installed program or library searches the current folder for libraries;
#   - systemd-analyze accepts the user unit, whose program is the one installed;
#   - the autostart entry is valid and names the same program;
#   - the installed service loads the simulated reader from its private folder, but a vendor's
#     libzkfp.so in a standard library folder (or in LD_LIBRARY_PATH) first;
#   - started from the throw-away root with its own library, it answers beginCapture with -2 (no
#     reader) when no control channel is named, and with ret 0 and the simulated reader's serial
#     when one is: an installed copy never pretends a reader is there;
#   - with a vendor's library in place, it runs on that one;
#   - the installed tobran-quorvel-allow-site refuses an http origin and pre-approves and removes
#     an https one in the root's policy files.
# Starts the service on port 22001: not while the CTest tests run.
#
# Usage: tests/install/check-linux-package.sh [PACKAGE_BUILD_DIR]
set -euo pipefail
# The simulated reader's channel is named below where a check needs it, never inherited.
unset READER_SIM_CONTROL
readonly CONTROL_PORT=22012

here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-$here/../../build-package}")
shopt -s nullglob
debs=("$build"/tobran-quorvel_*_amd64.deb)
shopt -u nullglob
if [[ ${#debs[@]} -ne 1 ]]; then
  echo "expected one tobran-quorvel_*.deb in $build: run make package" >&2
  exit 2
fi
deb=${debs[0]}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
private_lib=/usr/lib/$multiarch/tobran-quorvel/libzkfp.so
loader=$(readelf -l "$build/tobran-quorvel" | sed -n 's/.*Requesting program interpreter: \(.*\)]/\1/p')

work=$(mktemp -d /tmp/tobran-install.XXXXXX)
service_pid=
cleanup() {
  local status=$?
  if [[ -n $service_pid ]]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT

failures=0
pass() { echo "ok   $*"; }
fail() { echo "FAIL $*" >&2; failures=$((failures + 1)); }

# --- lintian ---------------------------------------------------------------------------------
if lintian --fail-on error,warning "$deb" \
  > "$work/lintian.txt" 2>&1; then
  pass "lintian: no error or warning"
else
  cat "$work/lintian.txt" >&2
  fail "lintian"
fi

# --- dpkg into a throw-away root --------------------------------------------------------------
root=$work/root
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
: > "$admin/status"
: > "$admin/available"
# The package has no maintainer scripts, so dpkg never needs to chroot into the root. Its
# dependencies (libc6, libstdc++6) are the host's, not in this root's database.
dpkg_root() {
  dpkg --root="$root" --admindir="$admin" --force-not-root --force-depends \
    --force-script-chrootless --log=/dev/null "$@"
}
dpkg_root --install "$deb" > "$work/dpkg.txt" 2>&1 || { cat "$work/dpkg.txt" >&2; fail "dpkg --install"; exit 1; }
pass "dpkg --install into $root"

if [[ -n $(ls "$admin/info"/tobran-quorvel.{preinst,postinst,prerm,postrm} 2>/dev/null) ]]; then
  fail "the package has maintainer scripts: $(ls "$admin/info"/tobran-quorvel.*inst "$admin/info"/tobran-quorvel.*rm 2>/dev/null)"
else
  pass "no maintainer scripts"
fi

# Files and links (not folders) the package put in place, against the expected list.
(cd "$root" && find . -path ./var/lib/dpkg -prune -o \( -type f -o -type l \) -print | sed 's|^\.||' | sort) \
  > "$work/installed.txt"
sed "s|@MULTIARCH@|$multiarch|g; /^#/d; /^$/d" "$here/expected-linux-files.txt" | sort > "$work/expected.txt"
if diff -u "$work/expected.txt" "$work/installed.txt" > "$work/files.diff"; then
  pass "installed files: $(wc -l < "$work/installed.txt"), as expected"
else
  cat "$work/files.diff" >&2
  fail "installed files differ from expected-linux-files.txt (- expected, + installed)"
fi
dpkg_root --listfiles tobran-quorvel > /dev/null || fail "dpkg does not know the package"

# --- no library from the current folder -------------------------------------------------------
if "$here/check-search-paths.sh" "$root/usr/bin/tobran-quorvel" "$root/usr/bin/reader-sim" \
  "$root$private_lib" > "$work/search-paths.txt" 2>&1; then
  pass "no RPATH or RUNPATH entry relative to the current folder"
else
  cat "$work/search-paths.txt" >&2
  fail "an installed file searches the current folder for libraries"
fi

# --- the systemd user unit --------------------------------------------------------------------
unit=$root/usr/lib/systemd/user/tobran-quorvel.service
program=$(sed -n 's/^ExecStart=//p' "$unit")
if [[ $program == /usr/bin/tobran-quorvel && -x $root$program ]]; then
  pass "unit starts $program, which the package installs"
else
  fail "unit ExecStart '$program' is not the installed service"
fi
[[ $(readlink -f "$root/usr/lib/systemd/user/default.target.wants/tobran-quorvel.service") == "$unit" ]] &&
  pass "unit enabled for every user by default.target.wants" ||
  fail "default.target.wants/tobran-quorvel.service does not lead to the unit"
grep -qx 'Restart=on-failure' "$unit" && grep -qx 'RestartSec=30s' "$unit" &&
  pass "unit restarts on failure after 30 s" || fail "unit lacks Restart=on-failure / RestartSec=30s"
# systemd-analyze checks the unit against the host's systemd; the program is looked for on the
# host, so it is given the copy in the throw-away root.
mkdir -p "$work/units" "$work/runtime"
sed "s|^ExecStart=.*|ExecStart=$root$program|" "$unit" > "$work/units/tobran-quorvel.service"
if XDG_RUNTIME_DIR=$work/runtime MANPATH=$root/usr/share/man \
  systemd-analyze --user verify "$work/units/tobran-quorvel.service" > "$work/verify.txt" 2>&1 &&
  ! grep -q . "$work/verify.txt"; then
  pass "systemd-analyze --user verify"
else
  cat "$work/verify.txt" >&2
  fail "systemd-analyze --user verify"
fi

# --- the XDG autostart entry ------------------------------------------------------------------
desktop=$root/etc/xdg/autostart/tobran-quorvel.desktop
if desktop-file-validate "$desktop" > "$work/desktop.txt" 2>&1 && ! grep -q . "$work/desktop.txt"; then
  pass "desktop-file-validate"
else
  cat "$work/desktop.txt" >&2
  fail "desktop-file-validate"
fi
[[ $(sed -n 's/^Exec=//p' "$desktop") == "$program" ]] &&
  pass "autostart entry starts $program" || fail "autostart Exec= is not $program"

# --- which libzkfp.so the installed service loads ---------------------------------------------
service=$root/usr/bin/tobran-quorvel
loaded_reader() {
  realpath -m "$("$loader" --list "$service" | sed -n 's/^[[:space:]]*libzkfp\.so => \([^ ]*\) .*/\1/p')"
}
[[ $(loaded_reader) == "$root$private_lib" ]] &&
  pass "without a vendor library: the simulated reader of the private folder" ||
  fail "without a vendor library the service loads '$(loaded_reader)', not $root$private_lib"
# The installed doctor loads libzkfp.so by the service's search path: the same library.
doctor=$root/usr/bin/tobran-quorvel-doctor
doctor_reader() {
  realpath -m "$({ "$doctor" --json || true; } | grep -o '"path":"[^"]*"' | cut -d'"' -f4)"
}
[[ $(doctor_reader) == "$root$private_lib" ]] &&
  pass "the doctor finds the library the service loads" ||
  fail "the doctor finds '$(doctor_reader)', not $root$private_lib"

# A stand-in for the vendor's library: a copy of ours.
mkdir -p "$work/vendor"
cp "$root$private_lib" "$work/vendor/libzkfp.so"
[[ $(LD_LIBRARY_PATH=$work/vendor loaded_reader) == "$work/vendor/libzkfp.so" ]] &&
  pass "LD_LIBRARY_PATH comes first" || fail "LD_LIBRARY_PATH is not searched first"

# Asks the service on 127.0.0.1:22001 for beginCapture; prints the JSON of the reply.
begin_capture() {
  local attempt reply
  for attempt in $(seq 50); do
    reply=$(timeout 5 bash -c 'exec 3<>/dev/tcp/127.0.0.1/22001 &&
        printf "GET /varuvezivuv/fingerprint/beginCapture?type=2 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" >&3 &&
        cat <&3' 2>/dev/null) || true
    if [[ $reply == *'"ret"'* ]]; then
      grep -o '{.*}' <<< "$reply" | head -n 1
      return 0
    fi
    sleep 0.1
  done
  return 1
}
# Starts the installed service, asks for beginCapture, prints the reply and the libzkfp.so the
# running process has mapped, and ends the service by its id. With CHANNEL set, the simulated
# reader's control channel is named as that port.
run_service() {
  if timeout 2 bash -c 'exec 3<>/dev/tcp/127.0.0.1/22001' 2>/dev/null; then
    echo "port 22001 is already in use by another program"
    return 0
  fi
  env ${CHANNEL:+READER_SIM_CONTROL=$CHANNEL} "$service" > "$work/service.out" 2>&1 &
  service_pid=$!
  begin_capture || echo "no reply"
  grep -o '/[^ ]*libzkfp\.so$' "/proc/$service_pid/maps" | head -n 1 | xargs -r realpath -m
  kill "$service_pid"
  wait "$service_pid" 2>/dev/null || true
  service_pid=
}
reply=$(CHANNEL= run_service)
[[ $reply == '{"ret":-2, "data":{"sn":""}}'$'\n'"$root$private_lib" ]] &&
  pass "no vendor library, no control channel: no reader, ${reply//$'\n'/ from }" ||
  fail "with no vendor library and no control channel it answered: $reply"
reply=$(CHANNEL=$CONTROL_PORT run_service)
[[ $reply == '{"ret":0, "data":{"sn":"SIM-0000-0001"}}'$'\n'"$root$private_lib" ]] &&
  pass "no vendor library, control channel named: the simulated reader, ${reply//$'\n'/ from }" ||
  fail "with no vendor library and a control channel named it answered: $reply"

# A vendor library in /usr/local/lib and in /usr/lib/<multiarch>, each in a private mount
# namespace over the real folder, so that nothing of the host changes.
if unshare --mount --propagation private true 2>/dev/null; then
  for folder in /usr/local/lib "/usr/lib/$multiarch"; do
    export -f loaded_reader doctor_reader begin_capture run_service
    # The stand-in is our simulated reader: with its channel named it answers with a serial.
    result=$(FOLDER=$folder WORK=$work SERVICE=$service LOADER=$loader CHANNEL=$CONTROL_PORT \
      DOCTOR=$doctor unshare --mount --propagation private bash -euo pipefail -c '
        loader=$LOADER service=$SERVICE work=$WORK doctor=$DOCTOR service_pid=
        if [[ $FOLDER == /usr/local/lib ]]; then
          mount -t tmpfs tobran-test "$FOLDER"
        else
          # The real system libraries must stay visible: an overlay adds the one file.
          mkdir -p "$work/upper" "$work/overlay-work"
          mount -t overlay tobran-test -o "lowerdir=$FOLDER,upperdir=$work/upper,workdir=$work/overlay-work" "$FOLDER"
        fi
        cp "$work/vendor/libzkfp.so" "$FOLDER/libzkfp.so"
        echo "loads $(loaded_reader)"
        echo "doctor $(doctor_reader)"
        echo "runs $(run_service | tr "\n" " ")"' 2>&1) || true
    if grep -qx "loads $folder/libzkfp.so" <<< "$result" &&
       grep -qx "doctor $folder/libzkfp.so" <<< "$result" &&
       grep -qxF "runs {\"ret\":0, \"data\":{\"sn\":\"SIM-0000-0001\"}} $folder/libzkfp.so " <<< "$result"; then
      pass "a vendor libzkfp.so in $folder comes before the simulated reader, the service runs on it and the doctor finds it"
    else
      fail "with a vendor libzkfp.so in $folder: $result"
    fi
    rm -rf "$work/upper" "$work/overlay-work"
  done
elif [[ -n ${CI:-} ]]; then
  fail "no private mount namespace (unshare --mount): the vendor library check needs one"
else
  echo "skip the vendor library in a standard folder: unshare --mount needs root"
fi

# --- the installed tobran-quorvel-allow-site, on the unpacked root ------------------------------
allow_site=$root/usr/sbin/tobran-quorvel-allow-site
if "$allow_site" --root "$root" http://plain.example > "$work/allow.txt" 2>&1; then
  fail "tobran-quorvel-allow-site accepted an http origin"
else
  grep -q "is not https" "$work/allow.txt" && pass "tobran-quorvel-allow-site refuses an http origin, saying why" ||
    fail "tobran-quorvel-allow-site on an http origin: $(cat "$work/allow.txt")"
fi
"$allow_site" --root "$root" https://app.example.com > "$work/allow.txt" 2>&1 &&
  [[ $("$allow_site" --root "$root" --list | cut -f1 | sort -u | tr '\n' ',') == "Chromium,Firefox,Google Chrome,Microsoft Edge," ]] &&
  pass "tobran-quorvel-allow-site pre-approves an https origin for the four browsers" ||
  fail "tobran-quorvel-allow-site: $(cat "$work/allow.txt"); --list: $("$allow_site" --root "$root" --list 2>&1)"
"$allow_site" --root "$root" --remove https://app.example.com > /dev/null 2>&1 &&
  [[ -z $("$allow_site" --root "$root" --list) ]] && pass "tobran-quorvel-allow-site --remove takes it away" ||
  fail "tobran-quorvel-allow-site --remove left: $("$allow_site" --root "$root" --list 2>&1)"
rm -rf "$root/etc/chromium" "$root/etc/opt" "$root/etc/firefox"

# --- removal ----------------------------------------------------------------------------------
dpkg_root --remove tobran-quorvel > "$work/dpkg.txt" 2>&1 || { cat "$work/dpkg.txt" >&2; fail "dpkg --remove"; }
left=$(cd "$root" && find . -path ./var/lib/dpkg -prune -o \( -type f -o -type l \) -print)
[[ $left == ./etc/xdg/autostart/tobran-quorvel.desktop ]] &&
  pass "dpkg --remove leaves only the autostart entry, a conffile" || fail "after dpkg --remove: $left"
dpkg_root --purge tobran-quorvel > "$work/dpkg.txt" 2>&1 || { cat "$work/dpkg.txt" >&2; fail "dpkg --purge"; }
left=$(cd "$root" && find . -path ./var/lib/dpkg -prune -o \( -type f -o -type l \) -print)
[[ -z $left ]] && pass "dpkg --purge leaves no file" || fail "after dpkg --purge: $left"

if [[ $failures -ne 0 ]]; then
  echo "Linux package: $failures check(s) failed" >&2
  exit 1
fi
echo "Linux package: all checks passed ($deb)"
