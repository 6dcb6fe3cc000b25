#!/usr/bin/env bash
# Makes this build's release packages (unsigned) with the release packing
# script, which checks them, then what the installer tests need beside them:
# the ZIP's programs unpacked, and an older installer (an earlier version)
# whose programs are marked copies of this build's, so that an upgrade can be
# told from its files.
# Usage: make-test-packages.sh <build dir> <out dir>
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1 out=$2
source "$build/package-check.env"

env -u KELVANE_SIGN_PFX "$root/scripts/pack.sh" "$build" "$out"
(cd "$out" && sha256sum --quiet -c SHA256SUMS)

mkdir -p "$out/unpacked" "$out/older"
(cd "$out/unpacked" && cmake -E tar xf "../$package.zip")
IFS=. read -r major minor _ <<<"$version"
if [ "$major" -gt 0 ]; then older="$((major - 1)).0.0"
elif [ "$minor" -gt 0 ]; then older="0.$((minor - 1)).0"
else echo "no earlier version than $version to test an upgrade from"; exit 1; fi
for f in $installer_files; do
  cp "$out/unpacked/$package/$f" "$out/older/"
  printf 'older package %s' "$older" >>"$out/older/$f"
done
"$root/scripts/make-msi.sh" "$out/older" "$older" "$out/older/installer.msi"
echo "older installer: version $older"
