#!/usr/bin/env bash
# Fails when a source file includes a header from a higher layer or from a
# sibling of its own layer. Layers, bottom first:
#   protocol < base < diag < config < transfer < storage | interact | emfspool < printproc
# checks/ holds what RPQ.dll exports for its tools (rpqcheck, rpqadmin diagnose),
# above the job code it runs exactly as jobs do; nothing includes it.
# protocol/ is the portable protocol client (standard C++ only), built for
# Windows and for the gateway; gateway/ uses protocol/ only.
# emfspool/ is the Wine-only stand-in for the system's EMF spool-file functions.
# Inside printproc/ the two roads a job takes, playback/ and rawjob/, are
# siblings below the entry points: each may use printproc/'s own headers (the
# job context), neither the other.
# notifier/ and tools/ use base/ only; server/ uses nothing of ours; tests
# may include anything.
# Usage: check-layers.sh [ROOT]
set -uo pipefail
ROOT="${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"

rank() {
  case "$1" in
    protocol) echo -1 ;; base) echo 0 ;; diag) echo 1 ;; config) echo 2 ;; transfer) echo 3 ;;
    storage|interact|emfspool) echo 4 ;; printproc) echo 5 ;;
    checks) echo 6 ;;          # rpqcheck's and diagnose's exports: above the job's code they run
    tools|notifier) echo 1 ;;  # beside the DLL: base only
    gateway) echo 9 ;;         # the Linux gateway: protocol/ only
    *) echo "" ;;
  esac
}

bad=0
cd "$ROOT" || exit 2
while IFS= read -r file; do
  from="${file%%/*}"
  [ "$from" = tests ] && continue
  room=""
  [ "$from" = printproc ] && case "$file" in printproc/*/*) room="${file#printproc/}"; room="${room%%/*}" ;; esac
  mine=$(rank "$from")
  while IFS=: read -r line target; do
    to="${target%%/*}"
    if [ "$to" = printproc ] && [ "$from" = printproc ]; then
      case "$target" in printproc/*/*) theirRoom="${target#printproc/}"; theirRoom="${theirRoom%%/*}" ;; *) theirRoom="" ;; esac
      # A room uses its own files and printproc/'s headers; never a sibling room.
      if [ -n "$room" ] && [ -n "$theirRoom" ] && [ "$room" != "$theirRoom" ]; then
        echo "$file:$line: includes \"$target\" from a sibling room of printproc/$room/" >&2
        bad=1
      fi
      continue
    fi
    [ "$to" = "$from" ] && continue
    theirs=$(rank "$to")
    [ -z "$theirs" ] && continue  # not one of ours (e.g. the generated version header)
    allowed=1
    if [ "$from" = server ]; then allowed=0
    elif [ -z "$mine" ]; then allowed=0
    elif [ "$from" = tools ] || [ "$from" = notifier ]; then [ "$to" = base ] || [ "$to" = protocol ] || allowed=0
    elif [ "$from" = gateway ]; then [ "$to" = protocol ] || allowed=0
    elif [ "$theirs" -ge "$mine" ]; then allowed=0
    fi
    if [ $allowed -eq 0 ]; then
      echo "$file:$line: includes \"$target\" from a layer $from/ must not know" >&2
      bad=1
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+/[^"]+"' "$file" |
           sed -E 's/^([0-9]+):.*"([^"]+)".*/\1:\2/')
done < <(find . -path ./build -prune -o -path ./node_modules -prune -o \
           -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.rc' -o -name '*.c' \) -print | sed 's#^\./##')
if [ $bad -ne 0 ]; then echo "layer check FAILED" >&2; exit 1; fi
echo "layer check passed"
