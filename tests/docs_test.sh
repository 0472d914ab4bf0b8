#!/usr/bin/env bash
# The documents stay true: every rpqadmin command they name is one rpqadmin
# has, every rpqserver option they use is one it takes, and the session in
# docs/wine.md ("Trying RPQ under Wine by hand") is run as written (on a free
# port, with its own printer name and storage) and delivers its document.
# Usage: docs_test.sh BUILD_DIR (WINEPREFIX set)
set -u
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$1"
export WINEDEBUG=-all
fail=0 passed=0
check() { if eval "$2"; then passed=$((passed + 1)); else echo "FAILED: $1"; fail=$((fail + 1)); fi; }
DOCS=("$ROOT/README.md" "$ROOT"/docs/*.md)

usage=$(wine "$BUILD/win/bin/rpqadmin.exe" help 2>/dev/null | tr -d '\r'; exit "${PIPESTATUS[0]}")
check "rpqadmin help lists the commands on standard output and succeeds" '[ $? -eq 0 ] && grep -q "rpqadmin install" <<<"$usage"'
wine "$BUILD/win/bin/rpqadmin.exe" no-such-command >/dev/null 2>&1
check "an unknown rpqadmin command fails with 2" '[ $? -eq 2 ]'
listen_help=$(timeout 10 "$BUILD/server/rpqlisten" --help 2>&1)
check "rpqlisten --help prints its usage and ends without listening" '[ $? -eq 0 ] && grep -q "usage: rpqlisten" <<<"$listen_help"'
for cmd in $(grep -ohE 'rpqadmin(\.exe)? [a-z][a-z-]+' "${DOCS[@]}" | awk '{print $2}' | sort -u); do
  check "rpqadmin has the command \"$cmd\" the documents name" 'grep -q "rpqadmin $cmd" <<<"$usage"'
done
server_help=$("$BUILD/server/rpqserver" --help 2>&1)
for option in $(grep -ohE 'rpqserver[^`]*' "${DOCS[@]}" | grep -oE -- '--[a-z-]+' | grep -v -- '--help' | sort -u); do
  check "rpqserver takes the option $option the documents use" 'grep -q -- "$option" <<<"$server_help"'
done

# The package's properties the documents name are ones the package reads.
for property in $(grep -ohE 'msiexec [^`]*' "${DOCS[@]}" | grep -oE '[A-Z]{4,}=' | tr -d = | grep -vxE 'REINSTALL|REINSTALLMODE|REMOVE' | sort -u); do
  check "the package reads the property $property the documents name" 'grep -q "L\"$property\"" "$ROOT/tools/rpqmsica.cpp" || grep -q "$property" "$ROOT/package/rpq.wxs"'
done

# The session of docs/wine.md, as a reader would type it.
WORK=$(mktemp -d)
PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
PRINTER="Docs session $$"
awk '/^## Trying RPQ under Wine by hand/ { on = 1 } on && /^```$/ { if (block) exit; block = 1; next } block { print }' \
  "$ROOT/docs/wine.md" > "$WORK/session.sh"
check "docs/wine.md shows a session" '[ -s "$WORK/session.sh" ]'
sed -i -e "s/8080/$PORT/g" -e "s/\"Office\"/\"$PRINTER\"/g" -e "s#/tmp/rpq-storage#$WORK/storage#g" \
  -e "s#build/wineprefix#${BUILD#$ROOT/}/wineprefix#g; s#build/win/#${BUILD#$ROOT/}/win/#g; s#build/server/#${BUILD#$ROOT/}/server/#g" \
  "$WORK/session.sh"
(cd "$ROOT" && WINEPREFIX="$WINEPREFIX" bash -e "$WORK/session.sh" >"$WORK/session.log" 2>&1)
check "the session runs" '[ $? -eq 0 ] || { cat "$WORK/session.log"; false; }'
delivered() {
  local f
  for f in $(find "$WORK/storage" -path '*/document/*' -type f 2>/dev/null); do cmp -s "$f" "$ROOT/README.md" && return 0; done
  return 1
}
for _ in $(seq 300); do delivered && break; sleep 0.1; done
check "its document reaches the server" 'delivered || { cat "$WORK/session.log"; ls -R "$WORK/storage"; false; }'
pkill -f "rpqserver --port $PORT" 2>/dev/null

# docs/protocol.md's rpqcheck against the reference server, as written but for the port.
"$BUILD/server/rpqserver" --quiet --port 0 --port-file "$WORK/port" --storage "$WORK/check" --max-seconds 120 &
CHECKED=$!
for _ in $(seq 100); do [ -s "$WORK/port" ] && break; sleep 0.1; done
line=$(grep -m1 -E '^wine build/win/bin/rpqcheck.exe http://' "$ROOT/docs/protocol.md" | sed -e "s/8080/$(cat "$WORK/port")/" \
  -e "s#build/win/#${BUILD#$ROOT/}/win/#")
(cd "$ROOT" && WINEPREFIX="$WINEPREFIX" eval "$line" >"$WORK/check.log" 2>&1)
check "docs/protocol.md's rpqcheck passes the reference server" '[ $? -eq 0 ] || { cat "$WORK/check.log"; false; }'
kill $CHECKED 2>/dev/null
pkill -f 'Trayherald.exe' 2>/dev/null
wine "$BUILD/win/bin/rpqadmin.exe" remove-printer "$PRINTER" >/dev/null 2>&1
rm -rf "$WORK"
echo "docs: $passed passed, $fail failed"
[ $fail -eq 0 ]
