#!/usr/bin/env bash
# The package as a user gets it: build the tarball, install it with pkg into
# a scratch HOME over an older version of itself, load it, run the whole
# suite against it, then uninstall it and require that nothing is left
# behind. Nothing global is touched: every pkg command is -local (as root,
# pkg is global without it), and the global list is checked unchanged.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
OCTAVE=${OCTAVE:-octave-cli}

bash scripts/package.sh
version=$(sed -n "s/^ *v = '\([0-9][0-9.]*\)';.*/\1/p" pairwood_version.m)
tarball=$root/build/pairwood-$version.tar.gz

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME=$scratch/home XDG_DATA_HOME=$scratch/home/.local/share XDG_CONFIG_HOME=$scratch/home/.config
mkdir -p "$HOME"
# Octave runs in the scratch folder, where no file of this tree can shadow
# the package.
run() {
  (cd "$scratch" && "$OCTAVE" --no-history --norc --quiet --eval "$1")
}

# The global package list and folders, with times: a root pkg command
# without -local would rewrite the list even to remove a local package.
global_state() {
  local list packages
  list=$(run 'disp(pkg("global_list"))')
  packages=$(run 'disp(fullfile(OCTAVE_HOME, "share", "octave", "packages"))')
  [ -e "$list" ] && stat -c '%n %s %Y' "$list" && md5sum "$list"
  [ -e "$packages" ] && ls -laR --time-style=full-iso "$packages"
  return 0
}
before=$(global_state)

# An older version of the same package: this tarball relabelled 0.9.0.
old=$scratch/old
mkdir -p "$old"
tar -C "$old" -xzf "$tarball"
mv "$old/pairwood-$version" "$old/pairwood-0.9.0"
sed -i "s/^Version: .*/Version: 0.9.0/" "$old/pairwood-0.9.0/DESCRIPTION"
sed -i "s/v = '$version'/v = '0.9.0'/" "$old/pairwood-0.9.0/inst/pairwood_version.m"
tar -C "$old" -czf "$old/pairwood-0.9.0.tar.gz" pairwood-0.9.0

run "pkg install -local '$old/pairwood-0.9.0.tar.gz'"
run "pkg load pairwood; assert(strcmp(pairwood_version(), '0.9.0'))"
run "pkg install -local '$tarball'"
run "p = pkg('list', 'pairwood'); assert(numel(p) == 1 && strcmp(p{1}.version, '$version'));
     pkg load pairwood; assert(strcmp(pairwood_version(), '$version'));
     assert(~exist(strrep(p{1}.dir, '$version', '0.9.0'), 'dir'), 'the old version is still installed')"

run "pkg load pairwood; addpath('$root/tests'); exit(run_tests('-installed') > 0)"

# What a newcomer tries first on the installed package: the overview, a
# demo, and the tests the help files carry.
overview=$(run "pkg load pairwood; help pairwood")
grep -q '^ *forestfit  *- ' <<< "$overview" || { echo "$overview"; echo "help pairwood lists no modules"; exit 1; }
shown=$(run "pkg load pairwood; demo forestfit")
echo "$shown" | tail -n 6
grep -q 'forestfit example 1:' <<< "$shown" && ! grep -q 'example 1: failed' <<< "$shown" ||
  { echo "demo forestfit failed"; exit 1; }
tested=$(run "pkg test pairwood")
grep -A 3 '^Summary' <<< "$tested"
grep -Eq '^ *PASS +[1-9]' <<< "$tested" && grep -Eq '^ *FAIL +0$' <<< "$tested" ||
  { echo "$tested"; echo "pkg test pairwood failed"; exit 1; }

run "pkg uninstall -local pairwood"
run "assert(isempty(pkg('list', 'pairwood')), 'pairwood is still listed after pkg uninstall')"
left=$(find "$XDG_DATA_HOME/octave" -path '*/packages/*' -print)
[ -z "$left" ] || { echo "pkg uninstall left behind:"; echo "$left"; exit 1; }
[ "$before" = "$(global_state)" ] || { echo "the global package state changed"; exit 1; }
echo "test-package: installed over 0.9.0, suite passed, help pairwood, demo forestfit and pkg test pairwood work, uninstall left nothing behind"
