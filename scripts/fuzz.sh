#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang and runs each for a
# bounded time, starting from the seed corpus in fuzz/corpus/<target>/.
#   scripts/fuzz.sh [seconds per target, default 45] [target ...]
# A crash, sanitizer report or broken invariant fails the script and leaves
# the input in build-fuzz/crash-<target>-*. New inputs are kept in
# build-fuzz/corpus/, never written into the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh fuzz
seconds="${1:-45}"
shift || true
targets=("$@")
# By default every target: one fuzz/<name>.cpp per method, and the formats.
[ ${#targets[@]} -gt 0 ] || mapfile -t targets < <(cd fuzz && ls -- *.cpp | sed 's/\.cpp$//')

cxx=clang++-14
flags=(-std=c++20 -O2 -g -ffp-contract=off -fno-fast-math -fno-omit-frame-pointer
       -fsanitize=address,undefined -fno-sanitize-recover=all -DVELARIX_PLAIN_ALLOCATION -Isrc
       -Ibuild-fuzz/generated)
out=build-fuzz
mkdir -p "$out/core" "$out/generated"

# The header of every method's classes, as CMake writes it from the method
# table (cmake/method_table.cmake), rewritten only when the table changes it.
header="$out/generated/every_method_header.hpp"
{
  echo "// Written by scripts/fuzz.sh from src/methods.hpp: do not edit."
  echo "#pragma once"
  for name in $(sed -n 's/^  METHOD(\([a-z_0-9]*\),.*/\1/p' src/methods.hpp); do
    echo "#include \"$name/$name.hpp\""
    echo "#include \"$name/state.hpp\""
  done
} >"$header.new"
if cmp -s "$header.new" "$header"; then rm "$header.new"; else mv "$header.new" "$header"; fi

# The core once, instrumented for coverage; each target links against it.
objects=()
for source in $(find src -name '*.cpp' | sort); do
  object="$out/core/$(echo "${source#src/}" | tr / _).o"
  if [ ! -f "$object" ] || [ "$source" -nt "$object" ] || [ -n "$(find src "$out/generated" -name '*.hpp' -newer "$object")" ]; then
    "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$source" -o "$object"
  fi
  objects+=("$object")
done

for target in "${targets[@]}"; do
  "$cxx" "${flags[@]}" -fsanitize=fuzzer -Ifuzz "fuzz/$target.cpp" "${objects[@]}" -o "$out/$target"
done

status=0
for target in "${targets[@]}"; do
  mkdir -p "$out/corpus/$target"
  log="$out/$target.log"
  if ! ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
      "$out/$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=1024 \
      -print_final_stats=1 -artifact_prefix="$out/crash-$target-" \
      "$out/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
    echo "fuzz: $target FAILED, see $log" >&2
    tail -n 40 "$log" >&2
    status=1
    continue
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  echo "fuzz: $target: $runs executions in ${seconds} s ($rate per second)"
  grep -E "^$target: " "$log" | tail -n 1 || true
done
exit "$status"
