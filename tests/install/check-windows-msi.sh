#!/usr/bin/env bash
# Checks the per-machine MSI of `make windows-msi`: its tables (msiinfo), then, under Wine in a
# throw-away prefix, as an administrator's deployment tool would use it:
#   - per machine: ALLUSERS=1, 64-bit, Program Files, every registry value under HKLM, an
#     Upgrade row for newer and one for older versions of its upgrade code;
#   - an older version (built here with a lower version number) installed silently with
#     ALLOWED_ORIGINS puts the files and the HKLM Run value in place and writes the browsers'
#     policies beside an administrator's own entry; at a logon (wineboot) the service answers;
#   - the MSI under test installed over it without ALLOWED_ORIGINS leaves one product, keeps the
#     sites, ends the running copy and replaces the simulated reader it had put there;
#   - the same MSI again is a repair, still one product, and keeps a vendor's libzkfp.dll;
#   - a silent removal leaves no file, value or key of ours, no service running, and the vendor's
#     library and the administrator's policy entry in place;
#   - ALLOWED_ORIGINS naming an http origin fails the installation, which leaves nothing.
# Starts the service on port 22001: not while the CTest tests run.
#
# Usage: tests/install/check-windows-msi.sh MSI [WINDOWS_BUILD_DIR]
set -euo pipefail
unset READER_SIM_CONTROL

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
msi=$(realpath "${1:?usage: check-windows-msi.sh MSI [WINDOWS_BUILD_DIR]}")
windows_build=$(realpath "${2:-$root/build-windows}")
cache=$windows_build/CMakeCache.txt
cached() { sed -n "s/^$1:[A-Z]*=//p" "$cache"; }
version=$(cached CMAKE_PROJECT_VERSION)
upgrade_code=$(cached TOBRAN_MSI_UPGRADE_CODE)
product_code=$(cached TOBRAN_MSI_PRODUCT_CODE)
[[ -f $msi && -n $version && -n $upgrade_code ]] || { echo "run make windows-msi first" >&2; exit 2; }

checks_name="Windows MSI"
source "$here/wine-installer-checks.sh"

# --- the tables ------------------------------------------------------------------------------
started=$SECONDS
table() { msiinfo export "$msi" "$1" | tail -n +4 | tr -d '\r'; }
property() { table Property | sed -n "s/^$1\t//p"; }
[[ $(property ALLUSERS) == 1 ]] && pass "ALLUSERS=1: installed for every user" || fail "ALLUSERS is '$(property ALLUSERS)'"
[[ $(property ProductVersion) == "$version" && $(property ProductCode) == "{$product_code}" ]] &&
  pass "version $version, product code {$product_code}" || fail "ProductVersion/ProductCode: $(property ProductVersion) $(property ProductCode)"
msiinfo suminfo "$msi" | grep -q '^Template: x64;' && pass "a 64-bit package" || fail "not an x64 package"
table Directory | grep -q '^ProgramFiles64Folder' && pass "installs under Program Files (64-bit)" ||
  fail "no ProgramFiles64Folder in the Directory table"
upgrade_rows=$(table Upgrade | grep -ci "^{$upgrade_code}" || true)
[[ $upgrade_rows == 2 ]] && pass "Upgrade table: older versions replaced, newer ones detected ($upgrade_rows rows)" ||
  fail "Upgrade table: $(table Upgrade)"
# Root 2 is HKEY_LOCAL_MACHINE; 1 (HKCU) or -1 (the user's when not per machine) would be per user.
per_user=$(table Registry | awk -F'\t' '$2 != 2' | wc -l)
[[ $per_user == 0 ]] && pass "every registry value of the Registry table is under HKLM" ||
  fail "registry values outside HKLM: $(table Registry | awk -F'\t' '$2 != 2')"
table Registry | grep -qP '^\S+\t2\tSoftware\\Microsoft\\Windows\\CurrentVersion\\Run\tTobran-Quorvel\t"\[INSTALLDIR\]Tobran-Quorvel.exe"' &&
  pass "the HKLM Run value starts the service at every logon" || fail "no HKLM Run value: $(table Registry)"

# An older version of the same product, to upgrade from: the same files under version 0.9.0.
older_version=0.9.0

source "$root/tests/windows/wine-prefix.sh"
wine_prefix_start
work=$wine_run_dir
# Its product code, made as packaging/CMakeLists.txt makes ours.
printf 'string(UUID u NAMESPACE %s NAME %s TYPE SHA1 UPPER)\nmessage("${u}")\n' \
  "$upgrade_code" "$older_version" > "$work/product-code.cmake"
older_code=$(cmake -P "$work/product-code.cmake" 2>&1)
older_msi=$work/Tobran-Quorvel-$older_version.msi
(cd "$root/packaging/windows" && wixl -a x64 -D VERSION=$older_version -D PRODUCT_CODE="$older_code" \
  -D UPGRADE_CODE="$upgrade_code" -D BUILD_DIR="$(realpath --relative-to=. "$windows_build")" \
  -o "$older_msi" tobran-quorvel.wxs) || { fail "wixl could not build version $older_version"; finish; }

# --- install an older version with sites --------------------------------------------------------
RUN_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
PRODUCT_KEY='HKLM\SOFTWARE\Tobran-Quorvel'
UNINSTALL_KEYS='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
CHROME_LNA='HKLM\SOFTWARE\Policies\Google\Chrome\LocalNetworkAccessAllowedForUrls'
EDGE_LOOPBACK='HKLM\SOFTWARE\Policies\Microsoft\Edge\LoopbackNetworkAllowedForUrls'
FIREFOX_SKIP='HKLM\SOFTWARE\Policies\Mozilla\Firefox\LocalNetworkAccess\SkipDomains'
SITES="https://app.example.com https://hr.example.org:8443"
run_wine 30 "$work/pf.txt" cmd /c 'echo %ProgramW6432%'
dir_windows="$(tr -d '\r\n' < "$work/pf.txt")\\Tobran-Quorvel"
exe_windows="$dir_windows\\Tobran-Quorvel.exe"
dir=$(winepath -u "$dir_windows" 2>/dev/null)

# An administrator's own entry, which the installer must leave where it is.
run_wine 30 "$work/reg-add.txt" reg add "$CHROME_LNA" /v 1 /d https://intranet.example /f ||
  fail "reg add: $(cat "$work/reg-add.txt")"

# The values "1", "2", … of list key $1, joined by spaces.
list_values() {
  local i=1 value values=()
  while value=$(reg_value "$1" "$i") && [[ -n $value ]]; do
    values+=("$value")
    i=$((i + 1))
  done
  echo "${values[*]}"
}
check_sites() {
  local when=$1 expected_chrome=$2 expected_edge=$3 expected_firefox=$4
  local chrome edge firefox
  chrome=$(list_values "$CHROME_LNA"); edge=$(list_values "$EDGE_LOOPBACK"); firefox=$(list_values "$FIREFOX_SKIP")
  [[ $chrome == "$expected_chrome" && $edge == "$expected_edge" && $firefox == "$expected_firefox" ]] &&
    pass "$when: policies Chrome [$chrome], Edge loopback [$edge], Firefox SkipDomains [$firefox]" ||
    fail "$when: policies Chrome [$chrome], Edge loopback [$edge], Firefox SkipDomains [$firefox]"
}
installed_products() {
  run_wine 30 "$work/products.txt" reg query "$UNINSTALL_KEYS" || true
  tr -d '\r' < "$work/products.txt" | grep -oiE "\{($product_code|$older_code)\}" | sort | tr '\n' ' '
}
msiexec_ok() {
  local when=$1 log=$2
  shift 2
  local status=0
  run_wine 300 "$work/$log.txt" msiexec "$@" /qn /l*v "$(winepath -w "$work/$log.log" 2>/dev/null)" || status=$?
  if ((status == 0)); then
    pass "$when: msiexec $* /qn exits 0"
  else
    fail "$when: msiexec $* exited $status: $(grep -a -iE 'error|return value 3' "$work/$log.log" 2>/dev/null | tail -n 5)"
  fi
}

msiexec_ok "older version" install-old /i "$(winepath -w "$older_msi")" ALLOWED_ORIGINS="$SITES"
(cd "$dir" 2>/dev/null && find . -type f | sed 's|^\./||' | sort) > "$work/installed.txt" || true
expected_files="Tobran-Quorvel.exe copyright.txt libzkfp.dll reader-sim.exe simulated/libzkfp.dll"
expected_files+=" tobran-quorvel-doctor.exe tobran-quorvel-installer-actions.exe"
[[ $(tr '\n' ' ' < "$work/installed.txt") == "$(tr ' ' '\n' <<< "$expected_files" | sort | tr '\n' ' ')" ]] &&
  pass "installed in $dir_windows: $(tr '\n' ' ' < "$work/installed.txt")" ||
  fail "files in $dir_windows: $(tr '\n' ' ' < "$work/installed.txt")"
cmp -s "$windows_build/libzkfp.dll" "$dir/libzkfp.dll" && pass "the simulated reader is beside the service" ||
  fail "libzkfp.dll beside the service is not the simulated reader"
[[ $(reg_value "$RUN_KEY" Tobran-Quorvel || true) == "\"$exe_windows\"" ]] && pass "HKLM Run value: \"$exe_windows\"" ||
  fail "HKLM Run value: '$(reg_value "$RUN_KEY" Tobran-Quorvel || true)'"
check_sites "ALLOWED_ORIGINS" "https://intranet.example $SITES" "$SITES" "app.example.com hr.example.org"
if timeout 120 wineboot > "$work/logon.txt" 2>&1; then
  check_service_answers "at a logon"
else
  fail "wineboot (a logon) failed"
fi

# --- upgrade to the MSI under test, without ALLOWED_ORIGINS -----------------------------------
# Our simulated reader as an older version would have left it: other bytes, same size and time.
size=$(stat -c %s "$dir/libzkfp.dll")
head -c "$size" /dev/zero > "$work/older-libzkfp.dll"
touch -r "$dir/libzkfp.dll" "$work/older-libzkfp.dll"
cp -p "$work/older-libzkfp.dll" "$dir/libzkfp.dll"
running=$service_pid
msiexec_ok "upgrade" upgrade /i "$(winepath -w "$msi")"
[[ $(installed_products) == "{$product_code} " ]] && pass "upgrade: one product left, {$product_code}" ||
  fail "upgrade: products installed: $(installed_products)"
[[ -n $running ]] && wait_until 15 process_ended "$running" && pass "upgrade: the running copy (pid $running) was ended" ||
  fail "upgrade: the copy that ran (pid '$running') is still there"
cmp -s "$windows_build/Tobran-Quorvel.exe" "$dir/Tobran-Quorvel.exe" && cmp -s "$windows_build/libzkfp.dll" "$dir/libzkfp.dll" &&
  pass "upgrade: the service and our simulated reader are replaced with the ones built" ||
  fail "upgrade: Tobran-Quorvel.exe or libzkfp.dll is not the one built"
check_sites "upgrade without ALLOWED_ORIGINS" "https://intranet.example $SITES" "$SITES" "app.example.com hr.example.org"

# --- the same version again, over a vendor's library ----------------------------------------------
cp "$windows_build/libzkfp.dll" "$work/vendor-libzkfp.dll"
printf 'a vendor library' >> "$work/vendor-libzkfp.dll"
touch -d '2 days ago' "$work/vendor-libzkfp.dll"
cp -p "$work/vendor-libzkfp.dll" "$dir/libzkfp.dll"
msiexec_ok "the same version again" repair /i "$(winepath -w "$msi")"
[[ $(installed_products) == "{$product_code} " ]] && pass "the same version again: still one product" ||
  fail "the same version again: products installed: $(installed_products)"
cmp -s "$work/vendor-libzkfp.dll" "$dir/libzkfp.dll" && pass "the same version again: the vendor's libzkfp.dll is kept" ||
  fail "the same version again: the vendor's libzkfp.dll was replaced"

# --- silent removal ---------------------------------------------------------------------------------
if timeout 120 wineboot > "$work/logon.txt" 2>&1; then check_service_answers "before the removal"; fi
msiexec_ok "removal" remove /x "$(winepath -w "$msi")"
wait_until 15 no_service_running && pass "removal: no copy of the service runs" ||
  fail "removal: the service still runs: $(all_service_pids | tr '\n' ' ')"
left=$(cd "$dir" 2>/dev/null && find . | sed 's|^\./||' | sort | tr '\n' ' ') || true
[[ $left == ". libzkfp.dll " ]] && cmp -s "$work/vendor-libzkfp.dll" "$dir/libzkfp.dll" &&
  pass "removal: every installed file is gone; the vendor's libzkfp.dll stays" || fail "removal: left in $dir_windows: '$left'"
[[ -z $(installed_products) ]] && pass "removal: no product left in Apps" || fail "removal: products: $(installed_products)"
reg_value "$RUN_KEY" Tobran-Quorvel > /dev/null && fail "removal: the Run value is still there" || pass "removal: the Run value is gone"
check_sites "removal" "https://intranet.example" "" ""
run_wine 30 "$work/reg.txt" reg query "$PRODUCT_KEY" && fail "removal: $PRODUCT_KEY is still there" ||
  pass "removal: $PRODUCT_KEY is gone"
run_wine 30 "$work/reg.txt" reg query "$FIREFOX_SKIP" && fail "removal: $FIREFOX_SKIP is still there" ||
  pass "removal: the Firefox policy key we made is gone"

# --- an origin that is not https ----------------------------------------------------------------
status=0
run_wine 300 "$work/refused.txt" msiexec /i "$(winepath -w "$msi")" /qn ALLOWED_ORIGINS="https://app.example.com http://plain.example" ||
  status=$?
left=$(cd "$dir" 2>/dev/null && find . -name '*.exe' | tr '\n' ' ') || true
((status != 0)) && [[ -z $(installed_products) && -z $left ]] &&
  pass "ALLOWED_ORIGINS with an http origin: the installation fails (status $status) and is rolled back" ||
  fail "ALLOWED_ORIGINS with an http origin: status $status, products '$(installed_products)', programs left '$left'"
check_sites "after the refused installation" "https://intranet.example" "" ""

finish
