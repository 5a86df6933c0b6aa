#!/usr/bin/env bash
# Writes build/pairwood-VERSION.tar.gz, an Octave package of this tree:
#   DESCRIPTION, COPYING, INDEX
#   inst/   pairwood.m (the overview, help pairwood), pairwood_version.m,
#           the example functions (examples/*.m) and their private helpers
#           (examples/private/*.m, into inst/private/)
#   src/    every module folder (NAME/NAME.cpp and its help NAME.m), core/, host/,
#           and a Makefile that builds them all (scripts/package/Makefile)
# The version is read from pairwood_version.m, the modules from the tree
# (every top-level folder NAME holding NAME.cpp, as build.m finds them), the
# compiler flags from build.m.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

version=$(sed -n "s/^ *v = '\([0-9][0-9.]*\)';.*/\1/p" pairwood_version.m)
[ -n "$version" ] || { echo "package: no version in pairwood_version.m" >&2; exit 1; }
flags=$(${OCTAVE:-octave-cli} --no-history --norc --quiet --eval "build flags" 2>/dev/null | tail -n 1)
[ -n "$flags" ] || { echo "package: no compiler flags in build.m" >&2; exit 1; }
date=$(git log -1 --format=%cd --date=short 2>/dev/null || date -u +%F)

source scripts/modules.sh
[ ${#modules[@]} -gt 0 ] || { echo "package: no modules found" >&2; exit 1; }

name=pairwood-$version
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
pkg=$stage/$name
mkdir -p "$pkg/inst" "$pkg/src/core" "$pkg/src/host"

cp COPYING "$pkg/"
cp pairwood.m pairwood_version.m examples/*.m "$pkg/inst/"
mkdir "$pkg/inst/private"
cp examples/private/*.m "$pkg/inst/private/"
cp core/*.hpp "$pkg/src/core/"
cp host/*.hpp "$pkg/src/host/"
for m in "${modules[@]}"; do
  [ -f "$m/$m.m" ] || { echo "package: $m has no help file $m/$m.m" >&2; exit 1; }
  mkdir "$pkg/src/$m"
  cp "$m"/*.cpp "$m/$m.m" "$pkg/src/$m/"
  for h in "$m"/*.hpp; do [ -e "$h" ] && cp "$h" "$pkg/src/$m/"; done
done
sed "s|@STRICT_FLAGS@|$flags|" scripts/package/Makefile > "$pkg/src/Makefile"

cat > "$pkg/DESCRIPTION" <<DESC
Name: pairwood
Version: $version
Date: $date
Author: the pairwood authors
Maintainer: the pairwood authors
Title: Predict how each configuration of an algorithm performs across problem instances
Description: Compiled functions for tuning configurable algorithms: fit a
 random forest of regression trees to measured runs, each run a pair of a
 parameter configuration (a row of Theta) and a problem instance (a row of
 X); predict single runs; and rank every configuration by its predicted
 mean and variance over all instances, computed without forming the pairs.
 Also the numeric kernels such models lean on: squared Euclidean and
 weighted Hamming distance matrices, correlation, a triangular solve.
 Start with "help pairwood" and "demo forestfit".
Categories: Regression trees, Random forests, Performance modelling
Depends: octave (>= 6.1.0)
BuildRequires: a C++17 compiler and mkoctfile with Octave's headers (Debian/Ubuntu: liboctave-dev), a BLAS
License: BSD-3-Clause
DESC

# INDEX: the modules grouped by purpose. A module missing from this mapping
# still appears, under the last category, so none is ever left out.
trees="Fit a random forest to runs and predict each configuration's performance"
distances="Distance matrices: squared Euclidean, weighted Hamming"
utilities="Correlation, triangular solve and a timing workload"
others="Other compiled functions"
category_of() {
  case $1 in
    treecast|nodeharvest|poolmargins|forestfit) echo "$trees" ;;
    quadgap|mismatchsum) echo "$distances" ;;
    pairtrend|lowsweep|loopbench) echo "$utilities" ;;
    *) echo "$others" ;;
  esac
}
examples=()
for f in examples/*.m; do examples+=("$(basename "$f" .m)"); done
{
  echo "pairwood >> Performance of algorithm configurations across problem instances"
  echo "Overview"
  echo " pairwood pairwood_version"
  for c in "$trees" "$distances" "$utilities" "$others"; do
    members=()
    for m in "${modules[@]}"; do
      [ "$(category_of "$m")" = "$c" ] && members+=("$m")
    done
    [ ${#members[@]} -gt 0 ] && { echo "$c"; echo " ${members[*]}"; }
  done
  echo "Forest prediction helpers, choosing the next configuration, an example tree learner in M code, and demos"
  echo " ${examples[*]}"
} > "$pkg/INDEX"

mkdir -p build
tar -C "$stage" -czf "build/$name.tar.gz" "$name"
echo "wrote build/$name.tar.gz (${#modules[@]} modules: ${modules[*]})"
