#!/usr/bin/env bash
# Checks that the packages `scripts/bootstrap.sh build` installs are all that
# the main job needs beyond the standard library: every module that
# `python3 -m velarix` (no arguments) loads from outside the standard library
# and the build tree must belong to one of them. A machine that already has a
# package (as CI's may) would otherwise hide that a fresh one lacks it.
# Run after the main job has built build/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

# The files of the modules the command loaded, outside the standard library
# and the build tree, one a line.
files=$(PYTHONPATH="$root/build/python" /usr/bin/python3 - "$root/build" <<'PY'
import sys

# What the interpreter loaded at its own start (site hooks of this machine's
# packages included) is not the command's doing.
startup = set(sys.modules)
import os, runpy, sysconfig

build = os.path.realpath(sys.argv[1])
try:
    sys.argv = ["velarix"]
    streams = sys.stdout, sys.stderr
    sys.stdout = sys.stderr = open(os.devnull, "w")
    runpy.run_module("velarix", run_name="__main__")
except SystemExit:
    pass
finally:
    sys.stdout, sys.stderr = streams
paths = sysconfig.get_paths()
stdlib = {os.path.realpath(paths[k]) for k in ("stdlib", "platstdlib")}
for name, module in list(sys.modules.items()):
    path = getattr(module, "__file__", None)
    if name in startup or not path or not os.path.isfile(path):
        continue
    path = os.path.realpath(path)
    inside = lambda top: path.startswith(top + os.sep)
    if inside(build) or any(inside(top) and "-packages" not in path for top in stdlib):
        continue
    print(path)
PY
)

allowed=$(bash "$root/scripts/bootstrap.sh" --list build)
status=0
declare -A seen=()
while IFS= read -r file; do
  [ -n "$file" ] || continue
  owner=$(dpkg -S "$file" 2>/dev/null | head -n 1 | cut -d: -f1) || true
  if [ -z "$owner" ]; then
    echo "check_packages: $file is loaded by the main job but belongs to no Debian package" >&2
    status=1
  elif ! grep -qx "$owner" <<<"$allowed"; then
    if [ -z "${seen[$owner]+set}" ]; then
      echo "check_packages: the main job loads $file from $owner, which 'bootstrap.sh build' does not install" >&2
      seen[$owner]=1
    fi
    status=1
  fi
done <<<"$files"
[ $status -ne 0 ] || echo "main job's packages: every module it loads comes from the standard library or from: $(printf '%s\n' "$files" | xargs -r dpkg -S 2>/dev/null | cut -d: -f1 | sort -u | tr '\n' ' ')"
exit $status
