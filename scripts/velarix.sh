#!/usr/bin/env bash
# The main job: builds what the velarix command runs (the core, the extension
# and the package, not the test suites) into build/, then runs the command
# from the build tree with the given arguments (no arguments: resample the
# embedded Akima data set to standard output, as --example akima does). Each step prints one line on
# standard error; the build's own output goes to build/velarix.sh.log and is
# shown only when a step fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
log="$build/velarix.sh.log"

step() { echo "velarix.sh: $*" >&2; }

# Runs a command with its output in the log; on failure shows the log's tail.
logged() {
  if ! "$@" >>"$log" 2>&1; then
    step "failed: $*; the end of $log:"
    tail -n 30 "$log" >&2
    exit 1
  fi
}

purposes=(build)
for arg in "$@"; do
  case "$arg" in --plot | --plot=*) purposes+=(plot) ;; esac
done

step "[1/4] checking the packages for ${purposes[*]}"
bash "$root/scripts/bootstrap.sh" "${purposes[@]}"

mkdir -p "$build"
: >"$log"
if [ -f "$build/CMakeCache.txt" ]; then
  step "[2/4] configuring build/: already configured"
else
  # A build tree of its own stays without the test suites; one configured by
  # scripts/build.sh keeps them and only the extension's target is built.
  step "[2/4] configuring build/ (extension and package only)"
  logged cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELARIX_TESTS=OFF \
    -DPython3_EXECUTABLE=/usr/bin/python3
fi

step "[3/4] compiling the extension (log: build/velarix.sh.log)"
logged cmake --build "$build" --target _velarix -j"$(nproc)"

[ "$#" -gt 0 ] || set -- --example akima
step "[4/4] running velarix $*"
PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}" exec /usr/bin/python3 -m velarix "$@"
