#!/usr/bin/env bash
# Builds everything and runs every test: the GoogleTest suite of the core and
# the pytest suite of the module. ctest counts each suite as one test, so
# pytest's own summary line (its counts of passed, skipped and failed tests)
# is printed after ctest's, from the log ctest keeps.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
cd build
status=0
ctest --output-on-failure "$@" || status=$?
log=Testing/Temporary/LastTest.log
if [ -f "$log" ]; then
  grep -E '^(=+ )?[0-9]+ (passed|failed|skipped|error|xfailed|xpassed|deselected).* in [0-9.]+s' "$log" |
    tail -n 1 | sed -E 's/^=+ //; s/ =+$//; s/^/pytest: /' || true
fi
exit "$status"
