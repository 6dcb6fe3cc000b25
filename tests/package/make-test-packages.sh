#!/usr/bin/env bash
# Makes this build's release packages (unsigned) with the release packing
# script, which checks them, then what the installer tests need beside them:
# the ZIP's programs unpacked, and per-user installers whose programs are
# marked copies of this build's, so that an upgrade can be told from its
# files: an older version, a rebuild of this version (a new product code) and
# one whose version differs from this one in the fourth part only.
# Usage: make-test-packages.sh <build dir> <out dir>
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1 out=$2
source "$build/package-check.env"

env -u KELVANE_SIGN_PFX "$root/scripts/pack.sh" "$build" "$out"
(cd "$out" && sha256sum --quiet -c SHA256SUMS)

mkdir -p "$out/unpacked"
(cd "$out/unpacked" && cmake -E tar xf "../$package.zip")
# marked_installer <name> <version>: $out/<name>/installer.msi.
marked_installer() {
  local name=$1 version=$2 f
  mkdir -p "$out/$name"
  for f in $installer_files; do
    cp "$out/unpacked/$package/$f" "$out/$name/"
    printf '%s package %s' "$name" "$version" >>"$out/$name/$f"
  done
  "$root/scripts/make-msi.sh" "$out/$name" "$version" "$out/$name/installer.msi" user
  echo "$name installer: version $version"
}
IFS=. read -r major minor patch tweak <<<"$version"
if [ "$major" -gt 0 ]; then older="$((major - 1)).0.0"
elif [ "$minor" -gt 0 ]; then older="0.$((minor - 1)).0"
else echo "no earlier version than $version to test an upgrade from"; exit 1; fi
marked_installer older "$older"
marked_installer rebuild "$version"
marked_installer fourth "$major.$minor.${patch:-0}.$((${tweak:-0} + 1))"
