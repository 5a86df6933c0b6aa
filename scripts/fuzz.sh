#!/usr/bin/env bash
# The fuzz campaign: every module called with thousands of seeded wrong and
# borderline arguments, each module in its own Octave process. A call must
# return or raise an error; a crash, a sanitizer report or a hang fails the
# campaign and names the call's seed.
#
#   scripts/fuzz.sh [BUILD_DIR] [CALLS]    (defaults: build 3000)
# With BUILD_DIR = build-asan the sanitizer runtime is preloaded.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
calls=${2:-3000}
seed_file=$(mktemp)
trap 'rm -f "$seed_file"' EXIT

env=()
if [ "$build" = build-asan ]; then
  env=(LD_PRELOAD="$(g++ -print-file-name=libasan.so)"
       ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:malloc_context_size=0:quarantine_size_mb=32
       UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1)
fi

status=0
passed=0
failed=0
source scripts/modules.sh
for module in "${modules[@]}"; do
  [ -e "$build/$module.mex" ] || { echo "$module: not built, skipped"; continue; }
  n=$calls
  # loopbench ignores its arguments and writes 40 MB ten times per call.
  [ "$module" = loopbench ] && n=$(( calls / 100 > 5 ? calls / 100 : 5 ))
  : > "$seed_file"
  env "${env[@]}" timeout 1200 octave-cli --no-history --norc --quiet --eval \
    "addpath tests tests/fuzz $build; fuzz_run('$module', 1, $n, '$seed_file')" \
    2>&1 | grep -v -e '^Allocating int array' -e '^Starting loop' -e '^Done\.'
  rc=${PIPESTATUS[0]}
  if [ "$rc" -ne 0 ]; then
    echo "FUZZ FAILURE in $module (exit $rc): last call was '$(cat "$seed_file")'"
    echo "  replay: octave-cli --no-history --eval \"addpath tests tests/fuzz $build; [a, n] = fuzz_case('$module', SEED)\""
    status=1
    failed=$((failed + 1))
  else
    passed=$((passed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
exit $status
