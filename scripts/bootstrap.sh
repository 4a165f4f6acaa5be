#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test velarix:
# the compiler and CMake, the Python headers, GoogleTest, and the test-only
# Python packages for Debian's own interpreter (/usr/bin/python3): dask for
# the scaling-out test, mypy for the type stubs, matplotlib for
# `velarix --plot` and the README's figure, mpmath for the high-precision
# references of the integral tests.
set -euo pipefail

packages=(cmake g++ make python3-dev python3-setuptools python3-pip python3-wheel
          libgtest-dev python3-pytest python3-numpy python3-scipy python3-hypothesis
          python3-dask python3-mypy python3-matplotlib python3-mpmath
          clang-14 libclang-rt-14-dev valgrind)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "bootstrap: installing ${missing[*]}" >&2
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}" >/dev/null ||
  { "${sudo_cmd[@]}" apt-get update -q >/dev/null && "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}" >/dev/null; }
