#!/usr/bin/env bash
# Checks a release package: it holds exactly the expected files, every exe
# imports only Windows system DLLs from the list below, and every exe's version
# resource carries the project version.
# Usage: check-package.sh <build dir> [package.zip]
#   Without a package it makes one from the build with CPack, in a folder of its own.
set -euo pipefail
build=$1
source "$build/package-check.env"  # version, package, files, objdump, windres

# The DLLs a shipped exe may import: Windows' own, present on every Windows 10 and 11.
allowed_dlls="kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll ole32.dll version.dll
  setupapi.dll hid.dll winusb.dll gdiplus.dll msvcrt.dll"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
zip=${2:-}
if [ -z "$zip" ]; then
  cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
  zip="$work/out/$package.zip"
fi
[ -f "$zip" ] || { echo "no package at $zip"; exit 1; }
[ "$(basename "$zip")" = "$package.zip" ] || { echo "package named $(basename "$zip"), expected $package.zip"; exit 1; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

expected=$(for f in $files; do echo "$package/$f"; done | sort)
actual=$(cmake -E tar tf "$zip" | grep -v '/$' | sort)
if [ "$actual" != "$expected" ]; then
  fail "the package holds"; echo "$actual" | sed 's/^/  /'; echo "expected"; echo "$expected" | sed 's/^/  /'
fi

(cd "$work" && cmake -E tar xf "$zip")
for exe in "$work/$package"/*.exe; do
  name=$(basename "$exe")
  failures_before=$failures
  dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  [ -n "$dlls" ] || fail "$name: no imports found"
  for dll in $dlls; do
    case " $(echo $allowed_dlls) " in *" $dll "*) ;; *) fail "$name imports $dll" ;; esac
  done
  resource=$("$windres" -i "$exe" -O rc 2>/dev/null || true)
  comma_version=$(echo "$version" | sed 's/\./, /g')
  for line in "FILEVERSION $comma_version" "PRODUCTVERSION $comma_version" \
      "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\""; do
    grep -qF "$line" <<<"$resource" || fail "$name: version resource lacks '$line'"
  done
  [ "$failures" -eq "$failures_before" ] && echo "$name: imports $(echo $dlls); version $version"
done

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed for $(basename "$zip")"; exit 1; }
echo "$(basename "$zip"): $(echo "$actual" | wc -l) files, all checks passed"
