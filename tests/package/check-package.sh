#!/usr/bin/env bash
# Checks the release packages in a folder: the ZIP and the MSI hold exactly the
# expected files, every exe in either imports only Windows system DLLs (the
# loader resolves only KnownDLLs before the program runs, every other one is
# delay-loaded: cmake/SystemDlls.cmake) and carries the project version, the
# MSI installs that version per user without elevation, and SHA256SUMS lists
# both and matches them.
# Usage: check-package.sh <build dir> <folder of the packages>
set -euo pipefail
build=$1
dir=$2
source "$build/package-check.env"  # version, package, files, installer, installer_files, static_dlls, delay_dlls, objdump, ...

# The DLLs a shipped exe may import, all Windows' own and present on every
# Windows 10 and 11: KnownDLLs the loader resolves at start, the rest only
# delay-loaded.
static_allowed=$(for d in $static_dlls; do echo "$d.dll"; done)
delay_allowed=$(for d in $delay_dlls; do echo "$d.dll"; done)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
zip="$dir/$package.zip"
msi="$dir/$installer"
for f in "$zip" "$msi" "$dir/SHA256SUMS"; do [ -f "$f" ] || { echo "no $(basename "$f") in $dir"; exit 1; }; done

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

# The MSI: the window and kelvane-units under %LOCALAPPDATA%\Programs.
msi_files=$(msiextract --list "$msi" | sort)
folder="Programs/Tavrello Kelvane"
expect_files "$installer" "$msi_files" "$(for f in $installer_files; do echo "$folder/$f"; done | sort)"
msiextract -C "$work/msi" "$msi" >/dev/null
check_exes "$work/msi/$folder"
properties=$(msiinfo export "$msi" Property | tr -d '\r')
grep -qxF "ProductVersion	$version" <<<"$properties" || fail "$installer: ProductVersion is not $version"
grep -q "^ALLUSERS	" <<<"$properties" && fail "$installer: sets ALLUSERS (it installs per user)"
# An older package over a newer install stops with a message that says why.
msiinfo export "$msi" LaunchCondition | grep -q "^NOT WIX_DOWNGRADE_DETECTED	A newer version of Tavrello Kelvane is already installed" \
  || fail "$installer: no message refusing a downgrade"
# Word count bit 8 (0x8): no elevated privileges needed.
word_count=$(msiinfo suminfo "$msi" | sed -n 's/^Source: \([0-9]*\).*/\1/p')
[ -n "$word_count" ] && [ $((word_count & 8)) -ne 0 ] || fail "$installer: asks for elevation (word count '$word_count')"

# The checksums: both packages, matching.
sums=$(awk '{print $2}' "$dir/SHA256SUMS" | sed 's/^\*//' | sort)
expect_files SHA256SUMS "$sums" "$(printf '%s\n' "$package.zip" "$installer" | sort)"
(cd "$dir" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the packages"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed for the packages in $dir"; exit 1; }
echo "$package.zip: $(echo "$zip_files" | wc -l) files; $installer: $(echo "$msi_files" | wc -l) files; version $version; all checks passed"
