#!/usr/bin/env bash
# The layer check passes a tree that includes downwards and fails one that
# includes upwards, sideways or from a tool into the DLL's layers.
set -u
check="$(cd "$(dirname "$0")/.." && pwd)/scripts/check-layers.sh"
tree=$(mktemp -d); trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree"/{base,diag,storage,interact,printproc/playback,printproc/rawjob,tools}
echo '#include "base/a.h"' > "$tree/diag/log.h"
echo '#include "diag/log.h"' > "$tree/printproc/job.cpp"
echo '#include "printproc/job.h"' > "$tree/printproc/rawjob/routine.cpp"
bash "$check" "$tree" >/dev/null 2>&1 || { echo "a sound tree was refused"; exit 1; }
fail=0
for bad in 'base/a.h:#include "diag/log.h"' 'storage/s.h:#include "interact/n.h"' \
           'tools/t.cpp:#include "diag/log.h"' 'printproc/playback/p.cpp:#include "printproc/rawjob/r.h"'; do
  file="${bad%%:*}"; echo "${bad#*:}" > "$tree/$file"
  if bash "$check" "$tree" >/dev/null 2>&1; then echo "not refused: $bad"; fail=1; fi
  rm "$tree/$file"
done
exit $fail
