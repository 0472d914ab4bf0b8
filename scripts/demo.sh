#!/usr/bin/env bash
# The main job, end to end: a document printed through Wine's spooler to a
# printer bound to RPQ travels to the bundled workflow server, which stores
# and verifies it. Shows where it landed, that size and MD5 match, the job's
# log lines and the notifications the tray notifier would have shown.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${RPQ_BUILD:-$ROOT/build}"
bash "$ROOT/scripts/bootstrap.sh"

WINE="$BUILD/win/wine-run.sh"
BIN="$BUILD/win/bin"
DEMO="$BUILD/demo"
PRINTER="RPQ Demo"
NOTIFY_PORT="${RPQ_NOTIFY_PORT:-8090}"
# A Wine prefix of the demo's own: its printer and settings never meet the
# tests', and the tests' removals never meet the demo's printer.
export WINEPREFIX="$BUILD/demo-wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the demo's Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
fi
rm -rf "$DEMO" && mkdir -p "$DEMO"
cd "$DEMO"
say() { printf '\n== %s\n' "$*"; }

# Trayherald shows the notifications where a display can be had (Xvfb
# otherwise); rpqlisten prints them where none can.
source "$ROOT/scripts/display.sh"
ensure_display 80 89
NOTIFIER=0
[ -n "${DISPLAY:-}" ] && [ -f "$BIN/Trayherald.exe" ] && NOTIFIER=1

say "Starting the workflow server and a notification receiver"
"$BUILD/server/rpqserver" --port 0 --port-file "$DEMO/port" --storage "$DEMO/storage" \
  --journal "$DEMO/journal" > "$DEMO/server.log" 2>&1 &
SERVER=$!
LISTENER=""
TRAY=""
if [ "$NOTIFIER" = 1 ]; then
  # The pop-up stays up for a minute and keeps its messages, for the screenshot.
  "$WINE" reg add 'HKLM\SOFTWARE\Halvane\Ferrydoc\TaskbarNotify' /v UDPPort /t REG_SZ /d "$NOTIFY_PORT" /f >/dev/null 2>&1
  "$WINE" reg add 'HKLM\SOFTWARE\Halvane\Ferrydoc\TaskbarNotify' /v DisplayDuration /t REG_SZ /d 60000 /f >/dev/null 2>&1
  "$WINE" reg add 'HKLM\SOFTWARE\Halvane\Ferrydoc\TaskbarNotify' /v AutoDelete /t REG_BINARY /d 00 /f >/dev/null 2>&1
  "$WINE" "$BIN/Trayherald.exe" >/dev/null 2>&1 &
  TRAY=$!
  echo "Trayherald listens on UDP port $NOTIFY_PORT (display $DISPLAY)"
else
  "$BUILD/server/rpqlisten" --port "$NOTIFY_PORT" > "$DEMO/notifications.log" 2>&1 &
  LISTENER=$!
fi
cleanup() {
  kill $SERVER $LISTENER 2>/dev/null || true
  [ -n "$TRAY" ] && pkill -f 'bin/Trayherald.exe' 2>/dev/null || true
  [ -n "$XVFB" ] && kill "$XVFB" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do [ -s "$DEMO/port" ] && break; sleep 0.1; done
PORT=$(cat "$DEMO/port")
echo "workflow server: http://127.0.0.1:$PORT/FDXS_Transfer, storage $DEMO/storage"

say "Installing the print processor and the printer \"$PRINTER\""
"$WINE" "$BIN/rpqadmin.exe" install
"$WINE" "$BIN/rpqadmin.exe" remove-printer "$PRINTER" >/dev/null 2>&1 || true
"$WINE" reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\$PRINTER" /f >/dev/null 2>&1 || true
"$WINE" "$BIN/rpqadmin.exe" add-printer "$PRINTER"
# The interaction page needs a browser on a display; without one it is off.
if [ -n "${DISPLAY:-}" ] && [ -z "$XVFB" ] && command -v xdg-open >/dev/null 2>&1; then INTERACTION=1
else INTERACTION=0; fi
"$WINE" "$BIN/rpqadmin.exe" configure "$PRINTER" ServerName=127.0.0.1 "ServerPort=$PORT" \
  Logger=DEBUG "Interaction=$INTERACTION"
"$WINE" reg add 'HKCU\SOFTWARE\Halvane\Ferrydoc\TaskbarNotify' /v UDPPort /t REG_SZ /d "$NOTIFY_PORT" /f >/dev/null 2>&1
"$WINE" "$BIN/rpqadmin.exe" show "$PRINTER"
[ "$INTERACTION" = 1 ] && echo "interaction on: the browser opens the job's page" \
  || echo "interaction off: no browser on this machine"

say "Printing a sample document as a RAW job"
DOC="$DEMO/quarterly-report.txt"
{
  echo "Quarterly report"
  echo "================"
  for i in $(seq 1 2000); do echo "line $i: the quick brown fox jumps over the lazy dog $((i * 7919 % 1000))"; done
} > "$DOC"
"$WINE" "$BIN/rpqprint.exe" "$PRINTER" "Z:${DOC//\//\\}" 'C:\Users\demo\Documents\quarterly-report.txt'

say "What the workflow server received"
sleep 0.5
JOB=$(grep '"state":"verified"' "$DEMO/journal/jobs.jsonl" | tail -n 1 || true)
if [ -z "$JOB" ]; then
  echo "no verified job on the server:"; cat "$DEMO/server.log"; exit 1
fi
STORED=$(printf '%s' "$JOB" | sed 's/.*"document":"\([^"]*\)".*/\1/')
echo "stored at: $STORED"
printf '%-9s %10s  %s\n' "" "bytes" "MD5"
printf '%-9s %10s  %s\n' printed "$(stat -c %s "$DOC")" "$(md5sum < "$DOC" | cut -c1-32)"
printf '%-9s %10s  %s\n' received "$(stat -c %s "$STORED")" "$(md5sum < "$STORED" | cut -c1-32)"
if cmp -s "$DOC" "$STORED"; then echo "MATCH: the server holds the printed document byte for byte"
else echo "MISMATCH"; exit 1; fi
grep -E 'request [0-9]+:' "$DEMO/server.log" || true

say "Printing the start of it as a TEXT job and as an EMF job: played back locally"
SHORT="$DEMO/short-report.txt"
head -n 130 "$DOC" > "$SHORT"
JOBS_BEFORE=$(wc -l < "$DEMO/journal/jobs.jsonl")
for kind in text emf; do
  OUT="$DEMO/playback-$kind.ps"
  "$WINE" "$BIN/rpqprint.exe" --$kind --output "Z:${OUT//\//\\}" "$PRINTER" "Z:${SHORT//\//\\}" 'C:\Users\demo\Documents\short-report.txt'
  PAGES=$(gs -dNOPAUSE -dBATCH -sDEVICE=bbox "$OUT" 2>&1 | grep -c '^%%BoundingBox' || true)
  gs -q -dNOPAUSE -dBATCH -sDEVICE=pngmono -r40 -dFirstPage=1 -dLastPage=1 -sOutputFile="$DEMO/playback-$kind.png" "$OUT"
  echo "$kind: $PAGES PostScript pages from the printer's driver in $OUT (page 1: $DEMO/playback-$kind.png)"
done
if [ "$(wc -l < "$DEMO/journal/jobs.jsonl")" = "$JOBS_BEFORE" ]; then
  echo "the workflow server received nothing for them: only RAW jobs are transferred"
else
  echo "UNEXPECTED: a played-back job reached the workflow server"; exit 1
fi

say "The same server over IPP: a PDF printed with ipptool to rpqgate, the IPP Everywhere gateway"
REQUESTS_BEFORE=$(grep -cE 'request [0-9]+:' "$DEMO/server.log" || true)
GW_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
GW_STATE="$DEMO/gateway-state"
mkdir -m 700 "$GW_STATE"
"$BUILD/gateway/rpqgate" serve --port "$GW_PORT" --listen localhost --no-dnssd --state "$GW_STATE" \
  --printer "demo=http://127.0.0.1:$PORT/FDXS_Transfer" > "$DEMO/rpqgate.log" 2>&1 &
GATEWAY=$!
GW_URI="ipp://localhost:$GW_PORT/ipp/print/demo"
for _ in $(seq 100); do ipptool -q "$GW_URI" get-printer-attributes.test 2>/dev/null && break; sleep 0.1; done
PDF="$DEMO/report.pdf"
gs -q -sDEVICE=pdfwrite -o "$PDF" -c '/Helvetica findfont 20 scalefont setfont 72 700 moveto (Quarterly report, printed over IPP) show showpage'
echo "printer: $GW_URI"
ipptool -tv -f "$PDF" -d filetype=application/pdf "$GW_URI" print-job.test | grep -E 'job-id|\[(PASS|FAIL)\]' | sed 's/^ */  /'
GW_JOB=""
for _ in $(seq 100); do
  GW_JOB=$(grep '"state":"verified"' "$DEMO/journal/jobs.jsonl" | grep -F '.pdf"' | tail -n 1 || true)
  [ -n "$GW_JOB" ] && break; sleep 0.1
done
if [ -z "$GW_JOB" ]; then echo "no verified job from rpqgate:"; cat "$DEMO/rpqgate.log"; exit 1; fi
GW_STORED=$(printf '%s' "$GW_JOB" | sed 's/.*"document":"\([^"]*\)".*/\1/')
echo "stored at: $GW_STORED (as \"$(printf '%s' "$GW_JOB" | sed 's/.*"filename":"\([^"]*\)".*/\1/')\")"
if cmp -s "$PDF" "$GW_STORED"; then echo "MATCH: the server holds the PDF byte for byte, as it holds RPQ.dll's job"
else echo "MISMATCH"; exit 1; fi
echo "the same exchanges as RPQ.dll's job above (the probe's PING with a UID of its own first):"
grep -E 'request [0-9]+:' "$DEMO/server.log" | tail -n +"$((REQUESTS_BEFORE + 1))" || true
grep -E '\[Job [0-9]+\] (Job |Create|Completed)' "$DEMO/rpqgate.log" | sed 's/^/  /'
kill $GATEWAY 2>/dev/null || true
wait $GATEWAY 2>/dev/null || true

say "The job's log lines (printer \"$PRINTER\", level DEBUG)"
LOG=$(ls -t "$WINEPREFIX/drive_c/ProgramData/Halvane/RPQ/Log/$PRINTER/"RPQ-*.log | head -n 1)
echo "$LOG"
awk 'BEGIN{RS="\r\n\r\n"} END{printf "%s", $0}' "$LOG" | tr -d '\r' | sed 's/^/  /'

if [ "$NOTIFIER" = 1 ]; then
  say "Notifications, as Trayherald shows them"
  sleep 1.5
  if import -window root "$DEMO/trayherald.png" 2>/dev/null; then
    echo "screenshot of the pop-up (newest message first, \"n of m\" in its caption): $DEMO/trayherald.png"
  else
    echo "no screenshot: ImageMagick's import failed"
  fi
else
  say "Notifications (as the tray notifier would show them)"
  sleep 0.5
  cat "$DEMO/notifications.log"
fi

cleanup
wait $SERVER 2>/dev/null || true
trap - EXIT
say "Done: server stopped"
