#!/usr/bin/env bash
# The Windows link check: every module (each folder NAME holding NAME.cpp)
# cross-built with MinGW-w64 into build-win64/NAME.mexw64, compiled against
# the C MEX API header both hosts share (Octave's mex.h) and linked against
# import libraries of the host's DLLs made from scripts/windows/lib*.def.
# Nothing is run. The check fails when
#   - a compile prints anything (-Wall -Wextra, zero warnings),
#   - a module imports a function no .def lists (the link leaves it
#     unresolved; the missing names are printed),
#   - a DLL imports anything but the host's libraries and the system's
#     (the C++ runtime, libgcc and winpthreads are linked in statically),
#   - a DLL exports anything but mexFunction,
#   - a DLL holds an aligned AVX move (vmovaps, vmovapd, vmovdqa) to or from
#     the stack: Windows aligns the stack to 16 bytes only, and a GCC that
#     keeps 32-byte values there with aligned moves (GCC bug 54412; Debian's
#     cross-compiler is patched, other MinGW builds may not be) crashes at
#     random. The modules are assembled with -muse-unaligned-vector-move,
#     which makes every such move an unaligned one, and so keep their AVX2
#     kernels (TOOLBOX_UNALIGNED_VECTOR_MOVES; without it, GCC builds for
#     Windows leave them out).
#
#   scripts/windows-build.sh      (MINGW_CXX overrides the cross-compiler)
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
tools=x86_64-w64-mingw32
out=build-win64
defs=scripts/windows

# The default build's flags, kept in build.m only.
flags=$(octave-cli --no-history --norc --quiet --eval "build flags")
read -r -a incflags <<< "$(mkoctfile -p INCFLAGS)"
read -r -a cxxflags <<< "$flags"
# MATLAB's BLAS takes 64-bit integers; only lowsweep calls it.
cxxflags+=(-DBLAS_INT64 -Wa,-muse-unaligned-vector-move -DTOOLBOX_UNALIGNED_VECTOR_MOVES
          -Icore -Ihost "${incflags[@]}")

rm -rf "$out"
mkdir -p "$out/lib" "$out/obj"

# One import library per host DLL; the DLL names the modules may import.
host_dlls=()
for def in "$defs"/lib*.def; do
  lib=$(basename "$def" .def)
  "$tools-dlltool" -d "$def" -l "$out/lib/$lib.a"
  host_dlls+=("$(awk '$1 == "LIBRARY" { print $2 }' "$def")")
done
listed=$(awk 'FNR == 1 { on = 0 } /^EXPORTS/ { on = 1; next } on && $1 !~ /^;/ && NF { print $1 }' \
           "$defs"/lib*.def | sort -u)

source scripts/modules.sh

# The aligned AVX moves with a stack operand in a binary, one a line.
aligned_stack_moves() {
  "$tools-objdump" -d --no-show-raw-insn "$1" |
    grep -E '[[:space:]]v(movap[sd]|movdqa(32|64)?)[[:space:]].*\(%r[sb]p\)' || true
}

# The check itself: it sees such a move, and the assembler option removes it.
probe_move='vmovapd %ymm0, 0x20(%rsp)'
"$tools-as" -o "$out/obj/probe.o" <<< "$probe_move"
"$tools-as" -muse-unaligned-vector-move -o "$out/obj/probe-unaligned.o" <<< "$probe_move"
if [ -z "$(aligned_stack_moves "$out/obj/probe.o")" ] ||
   [ -n "$(aligned_stack_moves "$out/obj/probe-unaligned.o")" ]; then
  echo "windows: the aligned-move check or -muse-unaligned-vector-move does not work here"
  exit 1
fi

status=0
imported_all=""
for name in "${modules[@]}"; do
  obj="$out/obj/$name.o"
  dll="$out/$name.mexw64"
  log=$("$cxx" "${cxxflags[@]}" -c "$name/$name.cpp" -o "$obj" 2>&1) || true
  if [ -n "$log" ] || [ ! -f "$obj" ]; then
    printf '%s\n' "$log"
    echo "$name: FAILED to compile cleanly"
    status=1
    continue
  fi
  # -static: libstdc++, libgcc and winpthreads go inside the DLL; the
  # import libraries, given as files, still name the host's DLLs.
  if ! "$cxx" -shared -static -o "$dll" "$obj" "$defs/module.def" "$out"/lib/*.a \
         > "$out/obj/$name.link.log" 2>&1; then
    cat "$out/obj/$name.link.log"
    missing=$(comm -23 <("$tools-nm" -u "$obj" | awk '$2 ~ /^(mx|mex)[A-Z]/ { print $2 }' | sort -u) \
                       <(printf '%s\n' "$listed"))
    [ -n "$missing" ] && echo "$name: imports functions no .def in $defs lists:" $missing
    echo "$name: FAILED to link"
    status=1
    continue
  fi

  dump=$("$tools-objdump" -p "$dll")
  imports=$(awk '/DLL Name:/ { dll = $3; next }
                 dll && /^\t[0-9a-f]+\t/ { print dll, $NF }
                 /^$/ { dll = "" }' <<< "$dump")
  exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
                 on && /^\t\[ *[0-9]+\]/ { print $NF; next }
                 on { on = 0 }' <<< "$dump")
  dlls=$(awk '/DLL Name:/ { print $3 }' <<< "$dump")
  summary=""
  for d in $dlls; do
    count=$(awk -v d="$d" '$1 == d' <<< "$imports" | wc -l)
    summary+=" $d($count)"
    case " ${host_dlls[*]} " in *" $d "*) continue ;; esac
    case "${d,,}" in kernel32.dll | msvcrt.dll | api-ms-win-*.dll) continue ;; esac
    echo "$name: imports $d, which is neither the host's nor the system's"
    status=1
  done
  if [ "$exports" != mexFunction ]; then
    echo "$name: exports" $exports "(only mexFunction expected)"
    status=1
  fi
  moves=$(aligned_stack_moves "$dll")
  if [ -n "$moves" ]; then
    printf '%s\n' "$moves" | head -5
    echo "$name: aligned AVX moves with a stack operand (Windows aligns the stack to 16 bytes)"
    status=1
  fi
  imported_all+=$(awk '{ print $2 }' <<< "$imports")$'\n'
  echo "$dll: imports$summary; exports $exports"
done

# Entries no module imports any longer: noted, so the lists stay exact.
[ "$status" -eq 0 ] && unused=$(comm -23 <(printf '%s\n' "$listed") <(printf '%s' "$imported_all" | sort -u))
[ -n "${unused:-}" ] && echo "note: listed in $defs but imported by no module:" $unused

if [ "$status" -eq 0 ]; then
  echo "windows: ${#modules[@]} modules linked"
else
  echo "windows: FAILED"
fi
exit $status
