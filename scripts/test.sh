#!/usr/bin/env bash
# Builds everything and runs every test: the GoogleTest suite of the core and
# the pytest suite of the module.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
cd build
ctest --output-on-failure "$@"
