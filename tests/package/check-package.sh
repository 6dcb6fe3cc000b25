#!/usr/bin/env bash
# Checks the release packages in a folder: the ZIP and the two MSIs hold
# exactly the expected files, every exe in any of them imports only Windows
# system DLLs (the loader resolves only KnownDLLs before the program runs,
# every other one is delay-loaded: cmake/SystemDlls.cmake) and carries the
# project version, each MSI installs that version in its context (per user
# without elevation, per machine elevated), refuses the other context and a
# downgrade and replaces the same version, and SHA256SUMS lists all three and
# matches them.
# Usage: check-package.sh <build dir> <folder of the packages>
set -euo pipefail
build=$1
dir=$2
source "$build/package-check.env"  # version, package, files, installer, machine_installer, installer_files, static_dlls, ...

# The DLLs a shipped exe may import, all Windows' own and present on every
# Windows 10 and 11: KnownDLLs the loader resolves at start, the rest only
# delay-loaded.
static_allowed=$(for d in $static_dlls; do echo "$d.dll"; done)
delay_allowed=$(for d in $delay_dlls; do echo "$d.dll"; done)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
zip="$dir/$package.zip"
msi="$dir/$installer"
machine_msi="$dir/$machine_installer"
for f in "$zip" "$msi" "$machine_msi" "$dir/SHA256SUMS"; do [ -f "$f" ] || { echo "no $(basename "$f") in $dir"; exit 1; }; done

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# Compares a listing with the expected one.
expect_files() {
  local what=$1 actual=$2 expected=$3
  if [ "$actual" != "$expected" ]; then
    fail "$what holds"; echo "$actual" | sed 's/^/  /'; echo "expected"; echo "$expected" | sed 's/^/  /'
  fi
}
# Checks the imports and the version resource of each exe in a folder.
check_exes() {
  local where=$1 exe name failures_before dlls delayed dll resource comma_version line
  for exe in "$where"/*.exe; do
    name="$(basename "$(dirname "$exe")")/$(basename "$exe")"
    failures_before=$failures
    dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
    [ -n "$dlls" ] || fail "$name: no imports found"
    for dll in $dlls; do
      grep -qxF "$dll" <<<"$static_allowed" || fail "$name imports $dll before it runs (delay-load it: cmake/SystemDlls.cmake)"
    done
    # The import section names every DLL, the delay-loaded ones too.
    "$objcopy" -O binary --only-section=.idata "$exe" "$work/idata"
    delayed=$(tr '\0' '\n' <"$work/idata" | grep -aiE '^[[:alnum:]_.-]+\.(dll|drv)$' | tr 'A-Z' 'a-z' | sort -u \
      | grep -vxF "$dlls" || true)
    for dll in $delayed; do
      grep -qxF "$dll" <<<"$delay_allowed" || fail "$name delay-loads $dll, which is not a Windows DLL of the list"
    done
    resource=$("$windres" -i "$exe" -O rc 2>/dev/null || true)
    comma_version=$(echo "$version" | sed 's/\./, /g')
    for line in "FILEVERSION $comma_version" "PRODUCTVERSION $comma_version" \
        "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\""; do
      grep -qF "$line" <<<"$resource" || fail "$name: version resource lacks '$line'"
    done
    [ "$failures" -eq "$failures_before" ] && echo "$name: imports $(echo $dlls); delay-loads $(echo $delayed); version $version"
  done
}

# The ZIP: the programs and the README in one folder.
zip_files=$(cmake -E tar tf "$zip" | grep -v '/$' | sort)
expect_files "$(basename "$zip")" "$zip_files" "$(for f in $files; do echo "$package/$f"; done | sort)"
(cd "$work" && cmake -E tar xf "$zip")
check_exes "$work/$package"

# An MSI: the window and kelvane-units in the folder of its context, and the
# properties that make the context, the upgrades and the refusals.
# check_msi <file> <folder in the MSI> <user|machine>
check_msi() {
  local msi=$1 folder=$2 scope=$3 name msi_files properties conditions upgrades word_count
  name=$(basename "$msi")
  msi_files=$(msiextract --list "$msi" | sort)
  expect_files "$name" "$msi_files" "$(for f in $installer_files; do echo "$folder/$f"; done | sort)"
  msiextract -C "$work/$scope-msi" "$msi" >/dev/null
  check_exes "$work/$scope-msi/$folder"
  properties=$(msiinfo export "$msi" Property | tr -d '\r')
  grep -qxF "ProductVersion	$version" <<<"$properties" || fail "$name: ProductVersion is not $version"
  conditions=$(msiinfo export "$msi" LaunchCondition | tr -d '\r')
  # Word count bit 8 (0x8): no elevated privileges needed.
  word_count=$(msiinfo suminfo "$msi" | sed -n 's/^Source: \([0-9]*\).*/\1/p')
  if [ "$scope" = user ]; then
    grep -q "^ALLUSERS	" <<<"$properties" && fail "$name: sets ALLUSERS (it installs per user)"
    [ -n "$word_count" ] && [ $((word_count & 8)) -ne 0 ] || fail "$name: asks for elevation (word count '$word_count')"
    grep -qF 'NOT ALLUSERS AND UserSID <> "S-1-5-18" AND LogonUser ~<> "SYSTEM"	This package installs Tavrello Kelvane for the current user only.' \
      <<<"$conditions" || fail "$name: does not refuse a machine context"
  else
    grep -qxF "ALLUSERS	1" <<<"$properties" || fail "$name: does not set ALLUSERS=1"
    [ -n "$word_count" ] && [ $((word_count & 8)) -eq 0 ] || fail "$name: asks for no elevation (word count '$word_count')"
    grep -qF 'ALLUSERS = 1 AND Privileged	This package installs Tavrello Kelvane for every user of this PC' \
      <<<"$conditions" || fail "$name: does not refuse a per-user context or a user without rights"
  fi
  # An older package over a newer install stops with a message that says why.
  grep -q "^NOT WIX_DOWNGRADE_DETECTED	A newer version of Tavrello Kelvane is already installed" <<<"$conditions" \
    || fail "$name: no message refusing a downgrade"
  # Upgrade rows (Attributes 0x100 VersionMinInclusive, 0x200 VersionMaxInclusive):
  # older versions and the same one are replaced; only newer ones refuse it.
  # Each row as: action, minimum, maximum (- for none), attributes.
  upgrades=$(msiinfo export "$msi" Upgrade | tr -d '\r' \
    | awk -F '\t' 'NR > 3 { print $7, ($2 == "" ? "-" : $2), ($3 == "" ? "-" : $3), $5 }')
  awk -v v="$version" '$1 == "WIX_UPGRADE_DETECTED" && $3 == v && int($4 / 512) % 2 == 1 { ok = 1 } END { exit !ok }' \
    <<<"$upgrades" || fail "$name: the upgrade row does not include the same version (VersionMaxInclusive): $upgrades"
  awk -v v="$version" '$1 == "WIX_DOWNGRADE_DETECTED" && $2 == v && int($4 / 256) % 2 == 0 { ok = 1 } END { exit !ok }' \
    <<<"$upgrades" || fail "$name: the downgrade row counts the same version as newer: $upgrades"
  echo "$name: $(echo "$msi_files" | wc -l) files; $scope context; upgrades $(echo $upgrades)"
}
check_msi "$msi" "Programs/Tavrello Kelvane" user
check_msi "$machine_msi" "Tavrello Kelvane" machine

# The checksums: every package, matching.
sums=$(awk '{print $2}' "$dir/SHA256SUMS" | sed 's/^\*//' | sort)
expect_files SHA256SUMS "$sums" "$(printf '%s\n' "$package.zip" "$installer" "$machine_installer" | sort)"
(cd "$dir" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the packages"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed for the packages in $dir"; exit 1; }
echo "$package.zip: $(echo "$zip_files" | wc -l) files; version $version; all checks passed"
