#!/usr/bin/env bash
# Runs the pytest suite under valgrind's memcheck on the plain build and
# fails if any block definitely lost was allocated through the module.
# CPython's own allocations that it never frees at exit are not ours and are
# not counted. Takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh leaks
bash scripts/build.sh
log=build/valgrind.log
# PYTHONMALLOC=malloc hands every object to the system allocator, so that
# valgrind sees each one instead of pymalloc's arenas. The test of 8 TB
# requests is left out: valgrind aborts where operator new would throw.
PYTHONMALLOC=malloc VELARIX_LEAK_CALLS=2000 PYTHONPATH=build/python \
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --num-callers=40 --log-file="$log" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider -k "not huge_counts" tests/python "$@"
# A loss record is ours when a frame of its stack lies in the module.
ours=$(awk '/definitely lost in loss record/ {record = $0; mine = 0; next}
            record != "" && /_velarix|velarix::/ {mine = 1}
            record != "" && /^==[0-9]+== $/ {if (mine) n++; record = ""}
            END {print n + 0}' "$log")
grep -E "definitely lost:|ERROR SUMMARY" "$log" | sed 's/^==[0-9]*== //'
echo "leaks: $ours definitely lost records allocated through the module"
[ "$ours" -eq 0 ]
