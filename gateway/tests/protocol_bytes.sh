#!/usr/bin/env bash
# The print processor (under Wine) and the gateway write the same bytes for
# the same jobs: messages and multipart bodies.
set -euo pipefail
WIN_EXE="$1"; LINUX_EXE="$2"
out=$(mktemp -d); trap 'rm -rf "$out"' EXIT
wine "$WIN_EXE" | tr -d '\r' > "$out/win.txt"
"$LINUX_EXE" > "$out/linux.txt"
lines=$(wc -l < "$out/linux.txt")
[ "$lines" -ge 18 ] || { echo "FAIL: only $lines vectors"; exit 1; }
if ! diff "$out/win.txt" "$out/linux.txt"; then echo "FAIL: the two builds' bytes differ"; exit 1; fi
echo "PASS: $lines vectors alike"
