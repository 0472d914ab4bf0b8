#!/usr/bin/env bash
# cmake --install places the program and a systemd unit that starts it from
# where it landed.
set -euo pipefail
BUILD="$1"
root=$(mktemp -d); trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
DESTDIR="$root" cmake --install "$BUILD" --prefix /opt/rpq >/dev/null
exe="$root/opt/rpq/bin/rpqgate"
unit="$root/opt/rpq/lib/systemd/system/rpqgate.service"
[ -x "$exe" ] || fail "no program at bin/rpqgate"
[ -f "$unit" ] || fail "no unit at lib/systemd/system/rpqgate.service"
"$exe" --help | grep -q -- "--printer NAME=URL" || fail "the installed program does not run"
grep -qx "ExecStart=/opt/rpq/bin/rpqgate serve --state /var/lib/rpqgate --port 8631" "$unit" ||
  fail "the unit does not start the installed program: $(grep ExecStart "$unit")"
if command -v systemd-analyze >/dev/null; then
  # verify checks the unit and that its program exists: the staged one here.
  sed "s|^ExecStart=/opt/rpq/bin/rpqgate|ExecStart=$exe|" "$unit" > "$root/rpqgate.service"
  systemd-analyze verify "$root/rpqgate.service" || fail "systemd-analyze verify"
fi
echo "PASS: program and unit installed"
