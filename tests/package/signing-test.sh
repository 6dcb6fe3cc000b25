#!/usr/bin/env bash
# Signing the release packages with a throwaway self-signed code-signing
# certificate made here: every exe (in the ZIP and in both MSIs) and both MSIs
# verify with that certificate as the only CA, a signed exe with one byte
# changed does not, and a wrong password fails the packing script.
# Usage: signing-test.sh <build dir>
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
source "$build/package-check.env"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Tavrello Kelvane test signing" \
  -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>"$work/openssl.log" || { cat "$work/openssl.log"; exit 1; }
password="test-$RANDOM$RANDOM"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/sign.pfx" -passout "pass:$password"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
verifies() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.log" 2>&1; }

KELVANE_SIGN_PFX="$work/sign.pfx" KELVANE_SIGN_PASSWORD="$password" "$root/scripts/pack.sh" "$build" "$work/out"
(cd "$work/out" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the signed packages"

mkdir "$work/zip" "$work/msi" "$work/machine-msi"
(cd "$work/zip" && cmake -E tar xf "$work/out/$package.zip")
msiextract -C "$work/msi" "$work/out/$installer" >/dev/null
msiextract -C "$work/machine-msi" "$work/out/$machine_installer" >/dev/null
checked=0
while IFS= read -r -d '' file; do
  if verifies "$file"; then checked=$((checked + 1)); else fail "$file does not verify"; cat "$work/verify.log"; fi
done < <(find "$work/zip" "$work/msi" "$work/machine-msi" -name '*.exe' -print0
  printf '%s\0' "$work/out/$installer" "$work/out/$machine_installer")
expected=$(( $(grep -o '\.exe' <<<"$files $installer_files $installer_files" | wc -l) + 2 ))
[ "$checked" -eq "$expected" ] || fail "$checked signatures verified, expected $expected"

# One byte changed in a signed exe's code breaks its signature.
exe="$work/zip/$package/Tavrello_Kelvane.exe"
offset=4096  # inside the code
byte=$(od -An -tu1 -j "$offset" -N1 "$exe" | tr -d ' ')
printf "$(printf '\\%03o' $((byte ^ 255)))" | dd of="$exe" bs=1 seek="$offset" conv=notrunc status=none
verifies "$exe" || grep -q "MISMATCH" "$work/verify.log" || fail "a changed byte failed for another reason"
verifies "$exe" && fail "an exe with a changed byte still verifies"

# A signing that fails fails the packing script.
if KELVANE_SIGN_PFX="$work/sign.pfx" KELVANE_SIGN_PASSWORD="wrong" "$root/scripts/pack.sh" "$build" "$work/bad" \
    >"$work/bad.log" 2>&1; then
  fail "packing with a wrong certificate password succeeded"
fi

[ "$failures" -eq 0 ] || { echo "$failures signing check(s) failed"; exit 1; }
echo "signing: $checked signatures verified with the throwaway certificate; a changed byte fails"
