#!/usr/bin/env bash
# The plain C++ tests of core/ (core/tests/*.cpp: no host, no framework),
# each built into OUT/coretests/ with the C++ compiler mkoctfile uses and
# build.m's flags, then run. A test that fails, or does not build, fails
# the whole.
#
#   scripts/core-tests.sh OUT        (make test: OUT = build)
#   scripts/core-tests.sh OUT asan   with AddressSanitizer and UBSan on the
#                                    test programs themselves (make test-asan)
set -euo pipefail
cd "$(dirname "$0")/.."

out=$1/coretests
read -r -a cxx <<< "$(mkoctfile -p CXX)"
read -r -a flags <<< "$(${OCTAVE:-octave-cli} --no-history --norc --quiet --eval "build flags" |
                        tail -n 1)"
if [ "${2:-}" = asan ]; then
  flags+=(-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all)
fi
mkdir -p "$out"

failed=()
for src in core/tests/*.cpp; do
  name=$(basename "$src" .cpp)
  bin=$out/$name
  # Rebuilt when the test or any header of core/ is newer than its binary.
  if [ ! -x "$bin" ] || [ -n "$(find core "$0" -newer "$bin" \( -name '*.hpp' -o -name '*.cpp' \
                                   -o -name "$(basename "$0")" \) | head -n 1)" ]; then
    if ! "${cxx[@]}" "${flags[@]}" -Icore -pthread -o "$bin" "$src"; then
      echo "$src does not build"
      failed+=("$name")
      continue
    fi
  fi
  "$bin" || failed+=("$name")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "core tests failed: ${failed[*]}"
  exit 1
fi
