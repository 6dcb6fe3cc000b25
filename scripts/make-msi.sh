#!/usr/bin/env bash
# Builds one of the two MSI installers (cmake/installer.wxs) with wixl from a
# folder that holds the programs it installs, with the version given: scope
# "user" (the default) installs for the current user, "machine" for every user
# of the PC.
# Usage: make-msi.sh <folder of the programs> <version> <out.msi> [user|machine]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
files=$1 version=$2 out=$3 scope=${4:-user}
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac
case "$scope" in user | machine) ;; *) echo "make-msi.sh: scope is user or machine, not '$scope'" >&2; exit 2 ;; esac

# wixl finds each file by its name in the folder it runs in.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$files"/*.exe "$work/"
cp "$root/app/resources/app.ico" "$work/"
(cd "$work" && wixl --arch x64 --define "Version=$version" --define "Scope=$scope" --output "$out" \
  "$root/cmake/installer.wxs")

# Windows Installer compares only three parts of a version, and the upgrade
# row MajorUpgrade makes finds only older versions: a rebuild of the same
# version, or one whose version differs in the fourth part only, would install
# as a second product beside the first. wixl ignores AllowSameVersionUpgrades,
# so the row is marked VersionMaxInclusive (0x200) here, before any signing.
# (The downgrade row does not include its minimum: the same version is not a
# downgrade.)
msiinfo export "$out" Upgrade | tr -d '\r' >"$work/Upgrade.idt"
awk -F '\t' 'BEGIN { OFS = "\t" }
  NR > 3 && $7 == "WIX_UPGRADE_DETECTED" { marked = 1; if (int($5 / 512) % 2 == 0) $5 += 512 }
  { print }
  END { exit !marked }' "$work/Upgrade.idt" >"$work/Upgrade-marked.idt" \
  || { echo "make-msi.sh: no upgrade row in $out" >&2; exit 1; }
mv "$work/Upgrade-marked.idt" "$work/Upgrade.idt"
(cd "$work" && msibuild "$out" -i Upgrade.idt)
