#!/usr/bin/env bash
# Installs the Debian packages that a fresh machine lacks for one or more
# purposes, and nothing else:
#   scripts/bootstrap.sh build     compiler, CMake, Python headers and NumPy (the main job:
#                                  everything `python3 -m velarix` imports)
#   scripts/bootstrap.sh plot      matplotlib, for `velarix --plot`
#   scripts/bootstrap.sh test      build + GoogleTest and the pytest suite's packages
#                                  for Debian's /usr/bin/python3 (dask for the
#                                  scaling-out tests, distributed and pandas for the cluster
#                                  test and the guide's cluster example,
#                                  mypy for the type stubs,
#                                  matplotlib for the figure and the plot,
#                                  mpmath for the integral tests' references)
#   scripts/bootstrap.sh fuzz      build + clang and its fuzzing runtime
#   scripts/bootstrap.sh leaks     test + valgrind
#   scripts/bootstrap.sh docs      build + Sphinx and its extensions for the documentation
#                                  site, matplotlib and scipy for the gallery, and
#                                  Chromium for the check of the built pages
# With no argument it installs what `test` needs. `--list PURPOSE...` prints
# the packages of the purposes, one a line, and installs nothing.
set -euo pipefail

declare -A needs=(
  [build]="cmake g++ make python3-dev python3-numpy"
  [plot]="python3-matplotlib"
  [test]="libgtest-dev python3-pytest python3-numpy python3-scipy python3-hypothesis
          python3-dask python3-distributed python3-pandas python3-mypy python3-matplotlib python3-mpmath python3-setuptools
          python3-pip python3-wheel"
  [fuzz]="clang-14 libclang-rt-14-dev"
  [leaks]="valgrind"
  [docs]="python3-sphinx python3-numpydoc python3-pydata-sphinx-theme python3-sphinx-gallery
          python3-sphinx-argparse python3-myst-parser python3-matplotlib python3-scipy chromium"
)
declare -A implies=([test]=build [fuzz]=build [leaks]=test [docs]=build)

list_only=false
if [ "${1:-}" = "--list" ]; then
  list_only=true
  shift
fi
purposes=("$@")
[ ${#purposes[@]} -gt 0 ] || purposes=(test)
packages=()
while [ ${#purposes[@]} -gt 0 ]; do
  purpose="${purposes[0]}"
  purposes=("${purposes[@]:1}")
  [ -n "${needs[$purpose]+set}" ] || { echo "bootstrap: unknown purpose '$purpose'" >&2; exit 2; }
  read -r -a listed <<<"$(echo ${needs[$purpose]})"
  packages+=("${listed[@]}")
  [ -z "${implies[$purpose]:-}" ] || purposes+=("${implies[$purpose]}")
done

if $list_only; then
  printf '%s\n' "${packages[@]}" | sort -u
  exit 0
fi

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "bootstrap: installing ${missing[*]}" >&2
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}" >/dev/null ||
  { "${sudo_cmd[@]}" apt-get update -q >/dev/null && "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}" >/dev/null; }
