#!/usr/bin/env bash
# Makes sure the tools a make target needs are on the PATH, and installs
# only those that are missing:
#
#   scripts/install-deps.sh GROUP...
#     build    GNU Octave with mkoctfile, the C++ compiler mkoctfile uses,
#              make and a BLAS to link against (build, test, demo, package)
#     clang    clang++ (make test-clang)
#     windows  GNU Octave with mkoctfile (its mex.h and the build flags) and
#              the MinGW-w64 cross-compiler and tools (make windows)
#     draw     what Octave draws and prints pictures with, without a display:
#              gnuplot and Octave's default font (forest_effects, make
#              figures; the suite skips its picture without them)
#
# Tools are found by running them, whatever installed them (a distribution,
# a source build, a container image): when all are there, nothing is
# installed and no package manager is asked. Missing tools are installed
# with apt-get (Debian/Ubuntu, as root or through sudo); without a usable
# apt-get the script names them and what provides them, and fails.
set -euo pipefail

# For each missing tool: its name, the Debian/Ubuntu packages that provide
# it, and what to install elsewhere.
tools=()
debs=()
hints=()
need() {
  case " ${tools[*]} " in *" $1 "*) return 0 ;; esac
  tools+=("$1")
  debs+=("$2")
  hints+=("$3")
}

have() { command -v "$1" > /dev/null 2>&1; }

# The compiler mkoctfile calls; g++ when mkoctfile itself is missing.
compiler() {
  local cxx=g++
  have mkoctfile && cxx=$(mkoctfile -p CXX 2> /dev/null | awk '{ print $1 }')
  echo "${cxx:-g++}"
}

# True when a program calling the BLAS's dtrsm links with mkoctfile's
# BLAS_LIBS (lowsweep is built that way).
blas_links() {
  local libs out status
  libs=$(mkoctfile -p BLAS_LIBS 2> /dev/null) || return 1
  out=$(mktemp)
  # shellcheck disable=SC2086 # BLAS_LIBS is a list of linker flags
  printf 'extern "C" void dtrsm_();\nint main() { dtrsm_(); }\n' |
    "$(compiler)" -x c++ - -o "$out" $libs > /dev/null 2>&1 && status=0 || status=1
  rm -f "$out"
  return $status
}

check_octave() {
  # Octave's own BLAS, OpenBLAS, comes with it, as it always has here.
  have octave-cli || need octave-cli "octave libopenblas0-pthread" \
    "GNU Octave 6.1 or later, https://octave.org"
  have mkoctfile || need mkoctfile liboctave-dev \
    "Octave's development files (Fedora: octave-devel)"
}

check_build() {
  check_octave
  local cxx
  cxx=$(compiler)
  have "$cxx" || need "$cxx" g++ "a C++17 compiler, the one mkoctfile names (mkoctfile -p CXX)"
  have make || need make make "GNU make"
  if have mkoctfile && have "$cxx" && ! blas_links; then
    need "a BLAS (-lblas)" libopenblas-dev \
      "a BLAS library with its development link, e.g. OpenBLAS or the reference BLAS"
  fi
}

check_clang() {
  have clang++ || need clang++ clang "Clang's C++ compiler"
}

check_windows() {
  check_octave
  local tool
  have "${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}" ||
    need "${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}" g++-mingw-w64-x86-64-posix \
      "the MinGW-w64 cross-compiler for 64-bit Windows, POSIX threads (or set MINGW_CXX)"
  for tool in dlltool nm objdump; do
    have "x86_64-w64-mingw32-$tool" ||
      need "x86_64-w64-mingw32-$tool" binutils-mingw-w64-x86-64 "the MinGW-w64 binutils"
  done
}

# Octave makes no axes without its default font file (FreeSans), which its
# Debian package only recommends; gnuplot is its one toolkit without a
# display, and prints PNG (-dpngcairo) without Ghostscript.
check_draw() {
  check_octave
  have gnuplot || need gnuplot gnuplot-nox "gnuplot, Octave's graphics toolkit without a display"
  if ! have octave-cli ||
     ! octave-cli --no-history --norc --quiet \
         --eval "figure('visible', 'off'); axes(); close all" > /dev/null 2>&1; then
    need "Octave's default font" fonts-freefont-otf "the GNU FreeFont OpenType fonts (FreeSans.otf)"
  fi
}

[ $# -gt 0 ] || set -- build
for group in "$@"; do
  case $group in
    build | clang | windows | draw) "check_$group" ;;
    *) echo "install-deps: unknown group '$group' (build, clang, windows, draw)" >&2; exit 2 ;;
  esac
done
[ ${#tools[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ] && have sudo; then
  sudo=sudo
fi
if ! have apt-get || { [ "$(id -u)" -ne 0 ] && [ -z "$sudo" ]; }; then
  if have apt-get; then
    echo "install-deps: these tools are missing, and apt-get needs root or sudo:" >&2
  else
    echo "install-deps: these tools are missing, and there is no apt-get to install them:" >&2
  fi
  for i in "${!tools[@]}"; do
    printf '  %-30s %s [Debian/Ubuntu: %s]\n' "${tools[$i]}" "${hints[$i]}" "${debs[$i]}" >&2
  done
  echo "Install them with your system's package manager, put them on the PATH, and run make again." >&2
  exit 1
fi

read -r -a packages <<< "$(printf '%s\n' "${debs[@]}" | tr ' ' '\n' | sort -u | tr '\n' ' ')"
echo "installing, for ${tools[*]}: ${packages[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${packages[@]}"
