#!/usr/bin/env bash
# Installs what building and testing the toolbox needs, if it is missing:
# GNU Octave with its headers (mkoctfile), OpenBLAS as Octave's BLAS, and a
# C++ compiler, plus Clang and the MinGW-w64 cross-compiler and tools for
# the build checks (make test-clang, make windows). Debian/Ubuntu only;
# runs apt-get as root or through sudo.
set -euo pipefail

packages=(octave liboctave-dev libopenblas0-pthread g++ make
          clang g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
