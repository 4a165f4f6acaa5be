#!/usr/bin/env bash
# The main job: builds what it needs, then runs the velarix command from the
# build tree with the given arguments (no arguments: resample the embedded
# Akima data set to standard output).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
(cd "$root" && bash scripts/build.sh)
PYTHONPATH="$root/build/python${PYTHONPATH:+:$PYTHONPATH}" exec /usr/bin/python3 -m velarix "$@"
