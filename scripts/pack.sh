#!/usr/bin/env bash
# Makes the release packages from a build: <package>.zip (the programs and
# README.txt), the installers of the window and kelvane-units, per user
# (<installer>) and per machine (<machine_installer>), and SHA256SUMS, in
# <out dir>; then checks them (tests/package/check-package.sh).
#
# With KELVANE_SIGN_PFX (a PFX file) and KELVANE_SIGN_PASSWORD (its password)
# set, every exe is signed (Authenticode, SHA-256) before it is packed, then
# the MSIs; KELVANE_SIGN_TIMESTAMP_URL adds an RFC 3161 timestamp. Each
# signature is verified before the script ends; a failed signing or
# verification fails it. Without a certificate the packages are made unsigned.
# Usage: pack.sh <build dir> <out dir>
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
out=$2
source "$build/package-check.env"  # version, package, files, installer, machine_installer, installer_files, ...

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage="$work/$package"
cmake --install "$build" --prefix "$stage" --strip >"$work/install.log" || { cat "$work/install.log"; exit 1; }

signing=0
if [ -n "${KELVANE_SIGN_PFX:-}" ]; then
  [ -f "$KELVANE_SIGN_PFX" ] || { echo "KELVANE_SIGN_PFX: no file at $KELVANE_SIGN_PFX" >&2; exit 1; }
  [ -n "${KELVANE_SIGN_PASSWORD+set}" ] || { echo "KELVANE_SIGN_PFX is set but KELVANE_SIGN_PASSWORD is not" >&2; exit 1; }
  signing=1
  # The password reaches the tools through a file only this user can read,
  # never on a command line that other processes can list.
  (umask 077 && printf '%s' "$KELVANE_SIGN_PASSWORD" >"$work/password")
  # A signature verifies against the system's roots and the PFX's own chain.
  cat /etc/ssl/certs/ca-certificates.crt >"$work/roots.pem" 2>/dev/null || true
  openssl pkcs12 -in "$KELVANE_SIGN_PFX" -passin "file:$work/password" -nokeys >>"$work/roots.pem" 2>"$work/openssl.log" \
    || { echo "cannot read the certificates of $KELVANE_SIGN_PFX:" >&2; cat "$work/openssl.log" >&2; exit 1; }
else
  echo "No KELVANE_SIGN_PFX: the packages are not signed."
fi

# Signs a file in place and verifies the signature.
sign() {
  local file=$1 timestamp=()
  [ -n "${KELVANE_SIGN_TIMESTAMP_URL:-}" ] && timestamp=(-ts "$KELVANE_SIGN_TIMESTAMP_URL")
  rm -f "$file.signed"
  if ! osslsigncode sign -pkcs12 "$KELVANE_SIGN_PFX" -readpass "$work/password" -h sha256 \
      -n "Tavrello Kelvane" "${timestamp[@]}" -in "$file" -out "$file.signed" >"$work/sign.log" 2>&1; then
    echo "signing $(basename "$file") failed:" >&2; cat "$work/sign.log" >&2; exit 1
  fi
  mv "$file.signed" "$file"
  verify "$file"
}
verify() {
  local file=$1
  if ! osslsigncode verify -CAfile "$work/roots.pem" -TSA-CAfile "$work/roots.pem" -in "$file" \
      >"$work/verify.log" 2>&1; then
    echo "the signature of $(basename "$file") does not verify:" >&2; cat "$work/verify.log" >&2; exit 1
  fi
  echo "$(basename "$file"): signed, signature verified"
}

if [ "$signing" = 1 ]; then
  for exe in "$stage"/*.exe; do sign "$exe"; done
fi

rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
(cd "$work" && cmake -E tar cf "$out/$package.zip" --format=zip "$package")
mkdir "$work/installer"
for f in $installer_files; do cp "$stage/$f" "$work/installer/"; done
"$root/scripts/make-msi.sh" "$work/installer" "$version" "$out/$installer" user
"$root/scripts/make-msi.sh" "$work/installer" "$version" "$out/$machine_installer" machine
if [ "$signing" = 1 ]; then
  sign "$out/$installer"
  sign "$out/$machine_installer"
fi
(cd "$out" && sha256sum "$package.zip" "$installer" "$machine_installer" >SHA256SUMS)

bash "$root/tests/package/check-package.sh" "$build" "$out"
