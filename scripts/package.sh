#!/usr/bin/env bash
# Builds build/package/RPQ-<version>-x64.msi from the build's binaries with
# wixl. The version is the project's (CMakeLists.txt), first three parts;
# --version X.Y.Z overrides it (the tests build an upgrade with it). The same
# inputs give the same package: its codes derive from the version.
# --sign CERT.pfx [--password-file FILE] [--timestamp URL] signs RPQ.dll,
# Trayherald.exe, the tools, the custom-action DLL and then the package with
# Authenticode (osslsigncode, SHA-256), time-stamped where a server is given.
# Unsigned is the default.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${RPQ_BUILD:-$ROOT/build}"
VERSION=$(sed -n 's/^project(RPQ VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' "$ROOT/CMakeLists.txt")
PFX="" PASSWORD_FILE="" TIMESTAMP=""
while [ $# -gt 0 ]; do
  case "$1" in
    --version) VERSION="$2"; shift 2 ;;
    --sign) PFX="$2"; shift 2 ;;
    --password-file) PASSWORD_FILE="$2"; shift 2 ;;
    --timestamp) TIMESTAMP="$2"; shift 2 ;;
    *) echo "usage: package.sh [--version X.Y.Z] [--sign CERT.pfx [--password-file FILE] [--timestamp URL]]" >&2; exit 2 ;;
  esac
done
if [ -n "$PFX" ]; then
  [ -f "$PFX" ] || { echo "package.sh: no certificate file $PFX" >&2; exit 2; }
  command -v osslsigncode >/dev/null || { echo "package.sh: osslsigncode is missing (scripts/bootstrap.sh installs it)" >&2; exit 2; }
  PFX="$(cd "$(dirname "$PFX")" && pwd)/$(basename "$PFX")"
  [ -z "$PASSWORD_FILE" ] || PASSWORD_FILE="$(cd "$(dirname "$PASSWORD_FILE")" && pwd)/$(basename "$PASSWORD_FILE")"
fi
# Signs one file in place.
sign() {
  local args=(sign -pkcs12 "$PFX" -h sha256 -n "RPQ" -in "$1" -out "$1.signed")
  [ -n "$PASSWORD_FILE" ] && args+=(-readpass "$PASSWORD_FILE")
  [ -n "$TIMESTAMP" ] && args+=(-ts "$TIMESTAMP")
  osslsigncode "${args[@]}" >/dev/null || { echo "package.sh: signing $1 failed" >&2; exit 1; }
  mv "$1.signed" "$1"
}
bash "$ROOT/scripts/bootstrap.sh" >/dev/null
BIN="$BUILD/win/bin"
OUT="$BUILD/package"
mkdir -p "$OUT"
code() { python3 -c "import uuid,sys; print(str(uuid.uuid5(uuid.UUID('6E2B3F0A-4C1D-4E7B-9A52-8F3C1D2E7B40'), sys.argv[1])).upper())" "$1"; }
MSI="$OUT/RPQ-$VERSION-x64.msi"
# The package's files, staged (and signed there when asked).
STAGE="$OUT/stage"
rm -rf "$STAGE"; mkdir -p "$STAGE"
for f in RPQ.dll 7z.dll rpqadmin.exe rpqprint.exe rpqcheck.exe Trayherald.exe rpqmsica.dll; do cp -p "$BIN/$f" "$STAGE/$f"; done  # -p: the cabinet keeps file times
if [ -n "$PFX" ]; then
  for f in RPQ.dll rpqadmin.exe rpqprint.exe rpqcheck.exe Trayherald.exe rpqmsica.dll; do sign "$STAGE/$f"; done
fi
# wixl takes file sources relative to the folder it runs in. The same inputs
# give the same bytes: wixl's clock is held at the last commit's time, its
# address layout fixed, and the package code it draws at random is replaced.
cd "$STAGE"
EPOCH="${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || echo 1767225600)}"
STAMP="@$(date -u -d "@$EPOCH" '+%Y-%m-%d %H:%M:%S')"
PACKAGE_CODE=$(code "package $VERSION")
steady() { faketime -f "$STAMP" setarch "$(uname -m)" -R "$@"; }
steady wixl -a x64 -D Version="$VERSION" -D Bin=. -D ProductCode="$(code "product $VERSION")" \
  -D PackageCode="$PACKAGE_CODE" -o "$MSI" "$ROOT/package/rpq.wxs" 2>/dev/null
steady msibuild "$MSI" -s "RPQ" "Halvane" "x64;1033" "{$PACKAGE_CODE}"
# wixl leaves the File table's Version and Language empty: Windows Installer
# would treat every file as unversioned on repair and upgrade.
for entry in RPQ.dll:RPQ.dll SevenZip.dll:7z.dll rpqadmin.exe:rpqadmin.exe rpqprint.exe:rpqprint.exe rpqcheck.exe:rpqcheck.exe \
             Trayherald.exe:Trayherald.exe; do
  id="${entry%%:*}" file="${entry#*:}"
  info=$(python3 "$ROOT/scripts/peversion.py" "$STAGE/$file")
  [ -n "$info" ] || { echo "package.sh: $file has no version resource" >&2; exit 1; }
  steady msibuild "$MSI" -q "UPDATE \`File\` SET \`Version\` = '${info%%$'\t'*}', \`Language\` = '${info#*$'\t'}' WHERE \`File\` = '$id'"
done
# wixl drops the rollback bits: DLL action (1) + return ignored (0x40) +
# rollback (0x100) + in script (0x400) + no impersonation (0x800).
for action in ClearUpgradeMark RollbackRegister; do
  steady msibuild "$MSI" -q "UPDATE \`CustomAction\` SET \`Type\` = 3393 WHERE \`Action\` = '$action'"
done
[ -z "$PFX" ] || sign "$MSI"
echo "$MSI"
