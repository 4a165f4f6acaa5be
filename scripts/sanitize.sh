#!/usr/bin/env bash
# Builds the core, the extension and the tests with AddressSanitizer and
# UndefinedBehaviorSanitizer into build-asan/, then runs the GoogleTest suite
# and the pytest suite under them. Any sanitizer report ends its process with
# an error, so any report fails this script.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh test
root="$(pwd)"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Release -DVELARIX_WERROR=ON -DVELARIX_SANITIZE=ON \
  -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build build-asan -j"$(nproc)" >/dev/null

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

# The core suite is ours from end to end: leaks count as findings too.
ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1" \
  build-asan/tests/core/velarix_core_tests --gtest_brief=1

# The interpreter is not instrumented, so the runtime has to be loaded
# before it. CPython keeps most of its own allocations until exit without
# freeing them, so leak detection is off here; scripts/leaks.sh checks the
# module's leaks with valgrind instead. The test that asks for terabytes on
# purpose is left out: the sanitizer's operator new stops the process where
# the plain one throws bad_alloc (raised as MemoryError).
# The interpreter's own allocations may ask for absurd sizes (a pickle
# whose length field is corrupted, as the bit-flip tests load): malloc then
# returns NULL and the interpreter raises MemoryError, as with the plain
# allocator, instead of the runtime stopping the process.
# libstdc++ is preloaded too: the interpreter does not link it, and the
# runtime's interceptor of C++ throws must find it at start-up, or the first
# exception the module throws (and catches) stops the process.
asan_runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
LD_PRELOAD="$asan_runtime" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:allocator_may_return_null=1" \
PYTHONPATH="$root/build-asan/python" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider -k "not huge_counts" "$root/tests/python" "$@"
