#!/usr/bin/env bash
# The modules under the stand-in host (tests/matlab/standin.cpp), which
# behaves as MATLAB documents where Octave differs: each module's source,
# unchanged, compiled against its mex.h with AddressSanitizer and UBSan and
# run through its table, tests/matlab/tables/NAME.cpp. Prints each case and
# the total "N passed, N failed"; a sanitizer report fails the module.
#
#   tests/matlab/run.sh [NAME...]     (default: every module)
set -uo pipefail
cd "$(dirname "$0")/../.."

out=build-matlab
mkdir -p "$out"
# The flags of a GCC build in MATLAB.
flags=$(octave-cli --no-history --norc --quiet --eval "build flags matlab" \
          2> >(grep -v 'ignoring const execution_exception' >&2))
read -r -a cxxflags <<< "$flags"
sanitize=(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

if [ $# -gt 0 ]; then
  modules=("$@")
else
  source scripts/modules.sh
fi

passed=0
failed=0

# MATLAB's mex.h defines printf as mexPrintf, and a C++ library that does
# not undefine it (libc++) leaves it so: the toolbox's format attribute must
# still compile cleanly.
echo "host headers"
for cxx in g++ clang++; do
  if printf '%s\n' '#include "compiler.hpp"' '#define printf mexPrintf' \
       'int mexPrintf(const char *, ...);' \
       'TOOLBOX_PRINTF_FORMAT(1, 2) void say(const char *, ...);' \
       'void call() { say("%d", 1); }' |
     "$cxx" -std=c++17 -x c++ -Wall -Wextra -Werror -fsyntax-only -Icore -Ihost -; then
    echo "  ok    $cxx: format checking survives printf defined as mexPrintf"
    passed=$((passed + 1))
  else
    echo "  FAIL  $cxx: format checking breaks with printf defined as mexPrintf"
    failed=$((failed + 1))
  fi
done

# The stand-in itself, once.
g++ "${cxxflags[@]}" -g -Werror "${sanitize[@]}" -Itests/matlab -c tests/matlab/standin.cpp \
  -o "$out/standin.o" || { echo "the stand-in host does not compile"; exit 1; }

for name in "${modules[@]}"; do
  table=tests/matlab/tables/$name.cpp
  if [ ! -f "$table" ]; then
    echo "$name: no table in tests/matlab/tables (not run)"
    continue
  fi
  defs=()
  libs=()
  if [ "$name" = lowsweep ]; then
    defs=(-DBLAS_TRAILING_UNDERSCORE)
    read -r -a libs <<< "$(mkoctfile -p BLAS_LIBS)"
  fi
  echo "$name"
  # The stand-in's mex.h comes first on the include path; a warning fails
  # the build, as MATLAB's header (printf defined as mexPrintf) may make one.
  if ! g++ "${cxxflags[@]}" -g -Werror "${sanitize[@]}" -Itests/matlab -Icore -Ihost "${defs[@]}" \
         -c "$name/$name.cpp" -o "$out/$name.o" ||
     ! g++ "${cxxflags[@]}" -g -Werror "${sanitize[@]}" -pthread -Itests/matlab \
         "$out/$name.o" "$table" "$out/standin.o" "${libs[@]}" -o "$out/$name"; then
    echo "  FAIL  $name does not compile against the stand-in host"
    failed=$((failed + 1))
    continue
  fi
  # Releases before R2018a ship a libstdc++ without sized operator delete.
  if nm -u "$out/$name.o" | grep -q '_ZdlPvm\|_ZdaPvm'; then
    echo "  FAIL  $name imports sized operator delete, which older MATLAB lacks"
    failed=$((failed + 1))
  fi
  log=$("$out/$name" 2>&1)
  status=$?
  printf '%s\n' "$log" | grep -v '^[0-9]* passed, [0-9]* failed$'
  counts=$(printf '%s\n' "$log" | sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' | tail -1)
  if [ -n "$counts" ]; then
    read -r p f <<< "$counts"
    passed=$((passed + p))
    failed=$((failed + f))
  fi
  if [ -z "$counts" ] || { [ "$status" -ne 0 ] && [ "${f:-0}" -eq 0 ]; }; then
    echo "  FAIL  $name ended by a sanitizer report or a crash (status $status)"
    failed=$((failed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
