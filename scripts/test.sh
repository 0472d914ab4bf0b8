#!/usr/bin/env bash
# Sets up the machine if needed, builds, and runs every test.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${RPQ_BUILD:-$ROOT/build}"
bash "$ROOT/scripts/bootstrap.sh"
export WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The notifier's tests open real windows: without a display, a virtual one.
source "$ROOT/scripts/display.sh"
ensure_display 90 99
trap '[ -n "$XVFB" ] && kill "$XVFB" 2>/dev/null || true' EXIT
rc=0
fileports() { find "$ROOT" -name 'FILE:' -not -path "$ROOT/node_modules/*" -not -path "$BUILD/demo/*" 2>/dev/null; }
fileports | while IFS= read -r f; do rm -f "$f"; done  # left by an older build
if [ -d "$BUILD/server" ]; then
  (cd "$BUILD/server" && ctest --output-on-failure "$@") || rc=1
fi
(cd "$BUILD/win" && ctest --output-on-failure "$@") || rc=1
(cd "$BUILD/gateway" && ctest --output-on-failure "$@") || rc=1
# Every reader of untrusted bytes, under the sanitizers: its corpus replayed,
# then 10 s of new inputs each.
bash "$ROOT/scripts/fuzz.sh" 10 || rc=1
# Tests write nothing into the work tree: Wine's port FILE: would leave files named "FILE:".
left=$(fileports)
if [ -n "$left" ]; then echo "FAILED: the tests left files behind: $left"; rc=1; fi
exit $rc
