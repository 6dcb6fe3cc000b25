#!/usr/bin/env bash
# Builds the release configuration and makes the release packages in
# build/package: Tavrello_Kelvane-<version>-win64.zip (the window, kelvane-units,
# the service simulator and README.txt), the installers of the window and
# kelvane-units, per user (Tavrello_Kelvane-<version>-x64.msi) and per machine
# (Tavrello_Kelvane-<version>-x64-machine.msi), and SHA256SUMS. With
# KELVANE_SIGN_PFX and KELVANE_SIGN_PASSWORD (and optionally
# KELVANE_SIGN_TIMESTAMP_URL) the exes and the MSIs are signed. The packages are
# checked before they are handed out (scripts/pack.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/install-deps.sh
build=${KELVANE_RELEASE_BUILD_DIR:-$root/build/release}
out=${KELVANE_PACKAGE_DIR:-$root/build/package}
cmake --preset mingw -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target Tavrello_Kelvane kelvane-units service-simulator

scripts/pack.sh "$build" "$out"
(cd "$out" && sha256sum -c SHA256SUMS)
echo "Packages in $out:"
cat "$out/SHA256SUMS"
