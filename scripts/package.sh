#!/usr/bin/env bash
# Builds the release configuration and makes the release package with CPack:
# build/package/Tavrello_Kelvane-<version>-win64.zip (the window, kelvane-units,
# the service simulator and README.txt) and SHA256SUMS beside it. The package is
# checked before it is handed out (tests/package/check-package.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/install-deps.sh
build=${KELVANE_RELEASE_BUILD_DIR:-$root/build/release}
out=${KELVANE_PACKAGE_DIR:-$root/build/package}
cmake --preset mingw -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target Tavrello_Kelvane kelvane-units service-simulator

rm -rf "$out"
mkdir -p "$out"
cpack --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
rm -rf "$out/_CPack_Packages"
source "$build/package-check.env"
zip="$out/$package.zip"
(cd "$out" && sha256sum "$package.zip" >SHA256SUMS)
bash tests/package/check-package.sh "$build" "$zip"
echo "Package: $zip"
echo "Checksums: $out/SHA256SUMS"
cat "$out/SHA256SUMS"
