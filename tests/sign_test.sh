#!/usr/bin/env bash
# A signed package: every binary RPQ ships and the package itself carry an
# Authenticode signature that verifies against the (throw-away) certificate.
# Usage: sign_test.sh BUILD_DIR
set -u
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$1"
WORK=$(mktemp -d); trap 'rm -rf "$WORK"' EXIT
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=RPQ test signer" -days 2 \
  -keyout "$WORK/key.pem" -out "$WORK/cert.pem" >/dev/null 2>&1
echo "throw-away secret" > "$WORK/password"
openssl pkcs12 -export -inkey "$WORK/key.pem" -in "$WORK/cert.pem" -out "$WORK/cert.pfx" \
  -passout file:"$WORK/password" >/dev/null 2>&1
check "a throw-away certificate" '[ -s "$WORK/cert.pfx" ]'
MSI=$(RPQ_BUILD="$BUILD" bash "$ROOT/scripts/package.sh" --version 1.0.9 --sign "$WORK/cert.pfx" \
      --password-file "$WORK/password" 2>"$WORK/package.log" | tail -n 1)
check "the signed package is built" '[ -f "$MSI" ]' || cat "$WORK/package.log"
verify() { osslsigncode verify -CAfile "$WORK/cert.pem" -in "$1" >"$WORK/verify.log" 2>&1; }
for f in RPQ.dll Trayherald.exe rpqadmin.exe rpqprint.exe rpqcheck.exe rpqmsica.dll; do
  check "$f is signed" 'verify "$BUILD/package/stage/$f"'
done
check "the package is signed" 'verify "$MSI"'
check "an unsigned build verifies as unsigned" '! verify "$BUILD/win/bin/RPQ.dll"'
rm -f "$MSI"
exit $fail
