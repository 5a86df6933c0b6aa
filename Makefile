# Shell entry points over build.m and the Octave test runner. Every target
# first installs what is missing (scripts/install-deps.sh), then builds.
OCTAVE ?= octave-cli
RUN = $(OCTAVE) --norc --quiet --eval

.PHONY: all deps test demo bench clean

all: deps
	$(RUN) "build"

deps:
	@bash scripts/install-deps.sh

test: deps
	$(RUN) "build tests; addpath tests; exit(run_tests() > 0)"

demo: all
	$(RUN) "addpath build examples; demo"

bench: all
	$(RUN) "addpath build bench; run_bench"

clean:
	rm -rf build build-asan
