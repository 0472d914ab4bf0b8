#!/usr/bin/env bash
# The installation package under Wine's msiexec: install with properties and
# print through the added printer, a refused property, install twice, repair,
# upgrade in place, and removal with a printer it did not add.
# Usage: msi_test.sh BUILD_DIR (the build's WINEPREFIX must be set)
set -u
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$1"
BIN="$BUILD/win/bin"
export WINEDEBUG=-all
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }
# Waits up to 30 s for a condition (a shell expression) to hold.
eventually() { for _ in $(seq 300); do eval "$1" && return 0; sleep 0.1; done; return 1; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }
msi() { local action="$1" package="$2"; shift 2; wine msiexec "$action" "$package" /qn "$@"; }  # /qn before /l
PF="$WINEPREFIX/drive_c/Program Files/Halvane/RPQ"
WORK=$(mktemp -d)
trap 'kill $SERVER 2>/dev/null; [ $fail -eq 0 ] && rm -rf "$WORK"' EXIT
OLD="$WORK/old.msi" NEW="$WORK/new.msi"
RPQ_BUILD="$BUILD" bash "$ROOT/scripts/package.sh" --version 1.0.0 >/dev/null 2>&1 && cp "$BUILD/package/RPQ-1.0.0-x64.msi" "$OLD"
RPQ_BUILD="$BUILD" bash "$ROOT/scripts/package.sh" --version 1.0.1 >/dev/null 2>&1 && cp "$BUILD/package/RPQ-1.0.1-x64.msi" "$NEW"
check "two packages built" '[ -f "$OLD" ] && [ -f "$NEW" ]'
RPQ_BUILD="$BUILD" bash "$ROOT/scripts/package.sh" --version 1.0.0 >/dev/null 2>&1
check "the same inputs give the same package" 'cmp -s "$OLD" "$BUILD/package/RPQ-1.0.0-x64.msi"'
"$BUILD/server/rpqserver" --quiet --port 0 --port-file "$WORK/port" --storage "$WORK/storage" --journal "$WORK/journal" &
SERVER=$!
for _ in $(seq 100); do [ -s "$WORK/port" ] && break; sleep 0.1; done
PORT=$(cat "$WORK/port")
PRINTER="MSI test $$"
FOREIGN="MSI foreign $$"
key() { wine reg query "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\$PRINTER\\FDXS" /v "$1" 2>/dev/null | tr -d '\r'; }
printerThere() { wine reg query "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\$1" /v Name >/dev/null 2>&1; }

tables() { msiinfo export "$OLD" CustomAction; msiinfo export "$OLD" InstallExecuteSequence; }
actionType() { msiinfo export "$OLD" CustomAction | tr -d '\r' | awk -F'\t' -v a="$1" '$1 == a { print $2 }'; }
sequenceOf() { msiinfo export "$OLD" InstallExecuteSequence | tr -d '\r' | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }
# Rollback (0x100) in script (0x400) without impersonation (0x800); changes deferred.
check "rollback actions are rollback actions in the built tables" '[ "$(actionType ClearUpgradeMark)" = 3393 ] && [ "$(actionType RollbackRegister)" = 3393 ]'
check "registration is deferred, as the system, after its rollback" '[ "$(actionType Register)" = 3073 ] && [ "$(sequenceOf RollbackRegister)" -lt "$(sequenceOf Register)" ]'
check "removal is deferred, as the system" '[ "$(actionType Unregister)" = 3137 ]'
# Immediate actions (in script bit 0x400 clear) only read, before InstallInitialize.
immediateLate() { msiinfo export "$OLD" CustomAction | tr -d '\r' | awk -F'\t' 'NR > 3 && !(int($2 / 1024) % 2) { print $1 }' |
  while read -r a; do [ "$(sequenceOf "$a")" -lt 1500 ] || echo "$a"; done; }
check "immediate actions all run before anything changes" '[ -z "$(immediateLate)" ]'
fileVersion() { msiinfo export "$OLD" File | tr -d '\r' | awk -F'\t' -v f="$1" '$1 == f { print $5 "/" $6 }'; }
allVersioned() { for f in RPQ.dll SevenZip.dll rpqadmin.exe rpqprint.exe rpqcheck.exe Trayherald.exe; do
  v=$(fileVersion "$f"); [ -n "${v%/*}" ] && [ "${v#*/}" = 1033 ] || return 1; done; }
check "every file has its version and language" allVersioned
check "the package's files have the binaries' version" '[ "$(fileVersion RPQ.dll)" = "$(python3 "$ROOT/scripts/peversion.py" "$BIN/RPQ.dll" | tr "\t" /)" ]'

# The spooler's registration as a machine without RPQ has it (the other
# tests' is put back at the end).
wine "$BIN/rpqadmin.exe" uninstall --force >/dev/null 2>&1
PROCESSOR_KEY='HKLM\System\CurrentControlSet\Control\Print\Environments\Windows x64\Print Processors\RPQ'
SPOOLER_DLL="$WINEPREFIX/drive_c/windows/system32/spool/prtprocs/x64/RPQ.dll"
registered() { wine reg query "$PROCESSOR_KEY" >/dev/null 2>&1 || [ -e "$SPOOLER_DLL" ]; }
msi /i "$(winpath "$OLD")" /l*v "$(winpath "$WORK/driver.log")" PRINTERNAME="$PRINTER" DRIVER="No such driver $$"
check "a driver that is not installed fails the install" '[ $? -ne 0 ]'
check "the log names it" 'iconv -f utf-16 -t utf-8 "$WORK/driver.log" 2>/dev/null | grep -q "RPQ: DRIVER names no installed printer driver" || grep -aq "RPQ: DRIVER names no installed printer driver" "$WORK/driver.log"'
check "nothing was installed or registered" '[ ! -e "$PF/rpqadmin.exe" ] && ! registered'
# A name longer than the spooler takes passes the package's checks and fails
# when the printer is added, after the registration.
UNADDABLE=$(printf 'L%.0s' $(seq 300))
msi /i "$(winpath "$OLD")" /l*v "$(winpath "$WORK/unaddable.log")" PRINTERNAME="$UNADDABLE"
check "a printer that cannot be added fails the install" '[ $? -ne 0 ]'
check "its rollback leaves nothing registered" '! registered && [ ! -e "$PF/rpqadmin.exe" ]'

msi /i "$(winpath "$OLD")" /l*v "$(winpath "$WORK/bad.log")" PRINTERNAME="$PRINTER" SERVERPORT=abc
check "a bad SERVERPORT fails the install" '[ $? -ne 0 ]'
check "the log says why" 'iconv -f utf-16 -t utf-8 "$WORK/bad.log" 2>/dev/null | grep -q "RPQ: SERVERPORT must be a number from 1 to 65535" || grep -aq "RPQ: SERVERPORT must be a number" "$WORK/bad.log"'
check "nothing was installed" '[ ! -e "$PF/rpqadmin.exe" ] && ! printerThere "$PRINTER"'

# (Wine's msiexec drops quotes from property values on its command line: a
# trailing backslash is what reaches the package there.)
msi /i "$(winpath "$OLD")" /l*v "$(winpath "$WORK/name.log")" PRINTERNAME="$PRINTER\\" SERVERNAME=127.0.0.1
check "a backslash in the printer name fails the install" '[ $? -ne 0 ]'
check "the log says why" 'iconv -f utf-16 -t utf-8 "$WORK/name.log" 2>/dev/null | grep -q "RPQ: PRINTERNAME must not hold backslashes" || grep -aq "RPQ: PRINTERNAME must not hold backslashes" "$WORK/name.log"'
check "nothing was installed" '[ ! -e "$PF/rpqadmin.exe" ] && ! printerThere "$PRINTER\\"'

# A trailing backslash stays in its own value and swallows nothing after it.
msi /i "$(winpath "$OLD")" PRINTERNAME="$PRINTER" SERVERNAME='127.0.0.1\' SERVERPORT="$PORT" LOGGER=DEBUG INTERACTION=0
check "a trailing backslash arrives as data" 'key ServerName | grep -q "127.0.0.1\\\\$" && key Logger | grep -q DEBUG && key Interaction | grep -q 0x0'
msi /i "$(winpath "$OLD")" PRINTERNAME="$PRINTER" SERVERNAME=127.0.0.1 SERVERPORT="$PORT" LOGGER=DEBUG INTERACTION=0
check "the install succeeds" '[ $? -eq 0 ]'
inProgramFiles() { for f in RPQ.dll 7z.dll rpqadmin.exe rpqprint.exe rpqcheck.exe Trayherald.exe; do [ -f "$PF/$f" ] || return 1; done; }
check "the files are in Program Files" inProgramFiles
check "the settings hold the given values" 'key ServerPort | grep -qi "0x$(printf %x "$PORT")" && key Logger | grep -q DEBUG'
AS='HKLM\SOFTWARE\Microsoft\Active Setup\Installed Components\{6E2B3F0A-4C1D-4E7B-9A52-8F3C1D2E7B41}'
check "no start at logon a user cannot turn off" '! wine reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run" /v FerrydocNotify >/dev/null 2>&1'
check "each user's logon gets Trayherald's start (Active Setup)" 'wine reg query "$AS" /v StubPath 2>/dev/null | grep -q "Trayherald.exe\" /autostart"'
wine reg delete 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v FerrydocNotify /f >/dev/null 2>&1
wine "$PF/Trayherald.exe" /autostart
check "the per-user step writes the user's own Run value" 'wine reg query "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run" /v FerrydocNotify 2>/dev/null | grep -q "Trayherald.exe\""'
wine reg delete 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v FerrydocNotify /f >/dev/null 2>&1
check "the notifier key exists" 'wine reg query "HKLM\\SOFTWARE\\Halvane\\Ferrydoc\\TaskbarNotify" >/dev/null 2>&1'
echo "printed through the package" > "$WORK/doc.txt"
(cd "$WORK" && wine "$PF/rpqprint.exe" "$PRINTER" "$(winpath "$WORK/doc.txt")" doc.txt >/dev/null 2>&1)
verified() { tail -n 1 "$WORK/journal/jobs.jsonl" 2>/dev/null | grep -q '"state":"verified"'; }
check "a RAW job arrives verified" 'eventually verified'

msi /i "$(winpath "$OLD")" PRINTERNAME="$PRINTER"
check "installing twice is harmless" 'printerThere "$PRINTER" && key ServerPort | grep -qi "0x$(printf %x "$PORT")"'

rm -f "$PF/RPQ.dll"
msi /i "$(winpath "$OLD")" REINSTALL=ALL REINSTALLMODE=amus
check "repair restores a removed file" '[ -f "$PF/RPQ.dll" ]'

# The spooler holds RPQ.dll loaded while the upgrade replaces it.
mkfifo "$WORK/release"
wine "$BIN/holddll.exe" "$(winpath "$SPOOLER_DLL")" "$(winpath "$WORK/held")" < "$WORK/release" &
HOLDER=$!
exec 3>"$WORK/release"  # holddll lets go when this end is closed
eventually '[ -e "$WORK/held" ]'
# An upgrade that fails after it began (the spooler holding RPQ.dll) rolls
# back: its upgrade mark goes, and the RPQ.dll it set aside comes back, its
# delete at the next restart cancelled.
asideCount() { ls "$SPOOLER_DLL".old-* "$SPOOLER_DLL".new-* 2>/dev/null | wc -l; }
pendingCount() { wine reg query 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations 2>/dev/null | tr -d '\r' | grep -o 'RPQ.dll.old-[0-9]*' | wc -l; }
ASIDE_BEFORE=$(asideCount) PENDING_BEFORE=$(pendingCount)
msi /i "$(winpath "$NEW")" /l*v "$(winpath "$WORK/failed.log")" PRINTERNAME="$UNADDABLE"
check "an upgrade that fails is refused" '[ $? -ne 0 ]'
check "it had set the held RPQ.dll aside" 'grep -aq "the older files are deleted at the next restart" "$WORK/failed.log"'
check "its rollback puts the set-aside RPQ.dll back" '[ "$(asideCount)" = "$ASIDE_BEFORE" ] && [ -f "$SPOOLER_DLL" ]'
check "and cancels its delete at the next restart" '[ "$(pendingCount)" = "$PENDING_BEFORE" ]'
check "its rollback clears the upgrade mark" '! wine reg query "HKLM\\SOFTWARE\\Halvane\\RPQ" /v UpgradeInProgress >/dev/null 2>&1'
# (Wine's rollback deletes the files the failed package wrote over the older
# version's instead of restoring them; the upgrade below writes them anew.)
check "the older version keeps its printer" 'printerThere "$PRINTER"'

msi /i "$(winpath "$NEW")" /l*v "$(winpath "$WORK/upgrade.log")"
check "the upgrade succeeds while the spooler holds RPQ.dll" '[ $? -eq 0 ]'
check "the new RPQ.dll is in the spooler's folder" 'cmp -s "$SPOOLER_DLL" "$PF/RPQ.dll"'
check "the held one is set aside" 'ls "$SPOOLER_DLL".old-* >/dev/null 2>&1'
exec 3>&-; wait $HOLDER
check "the upgrade keeps the printer and its settings" 'printerThere "$PRINTER" && key ServerPort | grep -qi "0x$(printf %x "$PORT")"'

wine "$BIN/rpqadmin.exe" add-printer "$FOREIGN" >/dev/null 2>&1
msi /x "$(winpath "$NEW")" /l*v "$(winpath "$WORK/remove.log")"
check "the removal succeeds" '[ $? -eq 0 ]'
check "the removal takes the files and the added printer" '[ ! -e "$PF/rpqadmin.exe" ] && ! printerThere "$PRINTER"'
check "a printer it did not add is kept and reported" 'printerThere "$FOREIGN" && { iconv -f utf-16 -t utf-8 "$WORK/remove.log" 2>/dev/null; cat "$WORK/remove.log"; } | grep -aq "is still bound to the print processor RPQ"'
check "the logs and the notifier's settings stay" '[ -d "$WINEPREFIX/drive_c/ProgramData/Halvane/RPQ/Log/$PRINTER" ] && wine reg query "HKLM\\SOFTWARE\\Halvane\\Ferrydoc\\TaskbarNotify" >/dev/null 2>&1'
wine "$BIN/rpqadmin.exe" remove-printer "$FOREIGN" >/dev/null 2>&1
# Without printers of others the registration goes too.
if [ "$(grep -ac "is still bound to the print processor RPQ" "$WORK/remove.log")" = 1 ]; then
  msi /i "$(winpath "$NEW")"
  msi /x "$(winpath "$NEW")" /l*v "$(winpath "$WORK/remove2.log")"
  check "the last removal leaves no folder of the company's behind" '[ ! -e "$WINEPREFIX/drive_c/Program Files/Halvane" ]'
  check "every tool that failed in it said why" '! { iconv -f utf-16 -t utf-8 "$WORK/remove2.log" 2>/dev/null; cat "$WORK/remove2.log"; } | grep -aq "without saying why"'
  check "the removal takes the print processor's registration" '! wine reg query "HKLM\\System\\CurrentControlSet\\Control\\Print\\Environments\\Windows x64\\Print Processors\\RPQ" >/dev/null 2>&1'
  check "and the job folder with the documents of abandoned jobs" '[ ! -e "$WINEPREFIX/drive_c/ProgramData/Halvane/RPQ/Temp" ]'
fi
wine "$BIN/rpqadmin.exe" install >/dev/null 2>&1  # the other tests' print processor, as they left it
exit $fail
