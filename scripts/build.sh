#!/usr/bin/env bash
# Configures and builds the core, the extension and the tests into build/.
# Warnings are errors when CI is set.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh test
werror=OFF
[ -n "${CI:-}" ] && werror=ON
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVELARIX_WERROR="$werror" -DVELARIX_TESTS=ON \
  -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
