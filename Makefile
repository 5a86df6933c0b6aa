# Shell entry points over build.m and the Octave test runner. Every target
# first installs the tools it needs that are missing from the PATH
# (scripts/install-deps.sh: nothing when all are there), then builds.
OCTAVE ?= octave-cli
RUN = $(OCTAVE) --no-history --norc --quiet --eval

# Calls per module in the fuzz campaign; CI runs it under the sanitizers
# at the smaller size.
FUZZ_CALLS ?= 5000
FUZZ_CALLS_ASAN ?= 3000
ASAN_ENV = LD_PRELOAD=$$(g++ -print-file-name=libasan.so) \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:malloc_context_size=0:quarantine_size_mb=32:allocator_may_return_null=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: all deps deps-clang deps-windows deps-draw figures test test-core test-portable test-clang windows test-asan test-matlab-semantics fuzz demo bench package test-package clean

all: deps
	$(RUN) "build"

deps:
	@bash scripts/install-deps.sh build

deps-clang:
	@bash scripts/install-deps.sh clang

deps-windows:
	@bash scripts/install-deps.sh windows

deps-draw:
	@bash scripts/install-deps.sh draw

test: deps test-core
	$(RUN) "build tests; addpath tests; exit(run_tests() > 0)"

# The plain C++ tests of core/ alone (core/tests; make test runs them first).
test-core: deps
	bash scripts/core-tests.sh build

# The whole suite against the standard-only build (the path an MSVC build
# takes) and against a Clang build.
test-portable: deps
	$(RUN) "build portable tests; addpath tests; exit(run_tests('-build', 'build-portable') > 0)"

test-clang: deps deps-clang
	$(RUN) "build clang tests; addpath tests; exit(run_tests('-build', 'build-clang') > 0)"

# Every module cross-built for 64-bit Windows with MinGW-w64: a link check,
# nothing is run.
windows: deps-windows
	bash scripts/windows-build.sh

# The tests of core/, the whole suite and the fuzz campaign with
# AddressSanitizer and UBSan: any report ends the process, which fails the
# run. The sanitizer's allocator serves the whole host, so allocation stacks
# are not recorded (malloc_context_size=0): that keeps the host fast enough
# to run the campaign; a report still shows where the bad access happened.
test-asan: deps
	bash scripts/core-tests.sh build-asan asan
	$(RUN) "build asan tests"
	$(ASAN_ENV) $(RUN) "addpath tests; exit(run_tests('-build', 'build-asan') > 0)"
	bash scripts/fuzz.sh build-asan $(FUZZ_CALLS_ASAN)

# Every module's source compiled against a stand-in host that behaves as
# MATLAB documents where Octave differs (tests/matlab), run through its table
# of calls with AddressSanitizer and UBSan.
test-matlab-semantics: deps deps-clang
	bash tests/matlab/run.sh

fuzz: all
	bash scripts/fuzz.sh build $(FUZZ_CALLS)

demo: all
	$(RUN) "addpath build examples; toolbox_demo"

# The README's picture, drawn without a display (gnuplot; deps-draw).
figures: all deps-draw
	$(RUN) "addpath build examples scripts; readme_figure('doc/forest_effects.png')"

# Each benchmark in a fresh host process: after a large one the host's heap
# is slower to allocate from, which would bill the next for it.
BENCHES = $(filter-out bench_time bench_report,$(basename $(notdir $(wildcard bench/bench_*.m))))
bench: all
	$(RUN) "build tests"
	@for name in $(BENCHES); do \
	  $(RUN) "addpath build build/testhelpers bench; run_bench $$name" || exit 1; \
	done

# The Octave package build/pairwood-VERSION.tar.gz (version: pairwood_version.m).
package: deps
	bash scripts/package.sh

# The package installed into a scratch HOME, the suite run against it.
test-package: deps
	OCTAVE=$(OCTAVE) bash scripts/test-package.sh

clean:
	rm -rf build build-asan build-portable build-clang build-win64 build-matlab
