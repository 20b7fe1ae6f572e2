#!/usr/bin/env bash
# Takes the collision-detecting SHA-1 (sha1dc/, MIT licence, by Marc Stevens and Dan Shumow) and
# the collision file t/t0013/shattered-1.pdf out of Debian's own source package of the installed
# git, and caches them; CMake compiles the C files into every build (native, sanitizers, fuzzers,
# MinGW i686 and x86_64) with the build's own compiler, and the tests read the PDF from there.
#
#   scripts/sha1dc-source.sh CACHE_DIR
#
# The result is CACHE_DIR/git-sha1dc-<version>/{sha1dc/{sha1,ubc_check}.{c,h},sha1dc/LICENSE.txt,
# t0013/shattered-1.pdf,BUILDINFO}; its path is printed on standard output, everything else goes
# to standard error. The first time it downloads the source package (about 8 MB, seconds).
set -euo pipefail
exec 3>&1 1>&2 </dev/null

die() { echo "sha1dc-source: error: $*" >&2; exit 1; }
log() { echo "sha1dc-source: $*" >&2; }
. "$(dirname "$0")/debian-source.sh"

[ $# -eq 1 ] && [ -n "$1" ] || die "usage: $0 CACHE_DIR"
cache_dir=$1
case $cache_dir in /*) ;; *) cache_dir=$PWD/$cache_dir ;; esac

files=(sha1dc/sha1.c sha1dc/sha1.h sha1dc/ubc_check.c sha1dc/ubc_check.h sha1dc/LICENSE.txt)
command -v dpkg-query >/dev/null || die "dpkg-query not found: this script needs a Debian system"
src_name=$(dpkg-query -W -f='${source:Package}\n' git 2>/dev/null | head -n1 || true)
src_version=$(dpkg-query -W -f='${source:Version}\n' git 2>/dev/null | head -n1 || true)
[ -n "$src_name" ] && [ -n "$src_version" ] || die "git is not installed (run scripts/setup.sh)"
prefix="$cache_dir/git-sha1dc-${src_version//:/_}"
have_cache() {
  local f
  for f in "${files[@]}" t0013/shattered-1.pdf; do [ -f "$prefix/$f" ] || return 1; done
}
if have_cache; then
  echo "$prefix" >&3
  exit 0
fi

for tool in apt-get dpkg-source flock; do
  command -v "$tool" >/dev/null || die "'$tool' not found (scripts/setup.sh installs it)"
done
locked_fetch "$src_name" "$src_version" ".git-sha1dc"
[ -n "$src_dir" ] && [ -f "$src_dir/sha1dc/sha1.c" ] || die "unpacked source not found in $work"

mkdir -p "$work/out/sha1dc" "$work/out/t0013"
for f in "${files[@]}"; do cp "$src_dir/$f" "$work/out/$f" || die "$f missing in the source package"; done
cp "$src_dir/t/t0013/shattered-1.pdf" "$work/out/t0013/" || die "t/t0013/shattered-1.pdf missing"
echo "source: $src_name $src_version (sha1dc/, MIT licence; t/t0013/shattered-1.pdf)" \
  >"$work/out/BUILDINFO"
mv -T "$work/out" "$prefix"
log "installed $prefix"
echo "$prefix" >&3
