#!/usr/bin/env bash
# Builds Crypto++ as a static library for Windows (MinGW-w64 i686 or x86_64, POSIX threads) from
# Debian's own source package of the same version as the installed libcrypto++-dev, so that the
# native and the Windows builds use the same Crypto++.
#
#   scripts/build-cryptopp-mingw.sh CACHE_DIR [i686|x86_64]     (default i686)
#
# The result is cached in CACHE_DIR/cryptopp-<version>-mingw-<arch>-<flavour>/{include/cryptopp,lib/libcryptopp.a},
# where the flavour names the compiler flags and the trimming below: a change of either gets a new
# flavour, so that a library built otherwise is never picked up from an older cache.
# Standard output carries only that prefix (CMake reads it); every log line goes to standard
# error. When the cache exists the script only looks it up. The build happens in a temporary
# directory beside the cache and is renamed into place when complete, and a lock file keeps two
# configure runs (or two checkouts sharing a cache) from building at the same time.
set -euo pipefail

exec 3>&1 1>&2 </dev/null

die() { echo "build-cryptopp-mingw: error: $*" >&2; exit 1; }
log() { echo "build-cryptopp-mingw: $*" >&2; }
. "$(dirname "$0")/debian-source.sh"

mingw_build_args "$@"

CXX_MINGW=${CXX_MINGW:-$arch-w64-mingw32-g++-posix}
AR_MINGW=${AR_MINGW:-$arch-w64-mingw32-ar}
RANLIB_MINGW=${RANLIB_MINGW:-$arch-w64-mingw32-ranlib}
STRIP_MINGW=${STRIP_MINGW:-$arch-w64-mingw32-strip}

# Built for a small front end: -Os (as fast as -O2 for the hashes here, about 30% smaller), and
# every function and datum in its own section for the linker's --gc-sections. The source is
# trimmed first (trim_source below).
cxxflags="-DNDEBUG -Os -g0 -pipe -ffunction-sections -fdata-sections"
cppflags="-D_WIN32_WINNT=0x0601"
flavour=small1

have_cache() { [ -f "$prefix/lib/libcryptopp.a" ] && [ -f "$prefix/include/cryptopp/cryptlib.h" ]; }

# The quick path, builtins only: the prefix found last time stays right while dpkg's database is
# unchanged (dpkg rewrites its status file whenever a package is installed or removed).
memo="$cache_dir/.cryptopp-mingw-$arch-$flavour-prefix"
dpkg_status=/var/lib/dpkg/status
if [ "$memo" -nt "$dpkg_status" ] && IFS= read -r prefix <"$memo" && have_cache; then
  echo "$prefix" >&3
  exit 0
fi
remember() { printf '%s\n' "$prefix" >"$memo.$$" && mv -f "$memo.$$" "$memo" || true; }

command -v dpkg-query >/dev/null || die "dpkg-query not found: this script needs a Debian system"
version=$(dpkg-query -W -f='${Version}\n' libcrypto++-dev 2>/dev/null | head -n1 || true)
[ -n "$version" ] || die "libcrypto++-dev is not installed (run scripts/setup.sh)"
# An epoch's colon is not wanted in a directory name.
prefix="$cache_dir/cryptopp-${version//:/_}-mingw-$arch-$flavour"

if have_cache; then
  mkdir -p "$cache_dir" && remember
  echo "$prefix" >&3
  exit 0
fi

for tool in "$CXX_MINGW" "$AR_MINGW" "$RANLIB_MINGW" "$STRIP_MINGW" make apt-get dpkg-source flock; do
  command -v "$tool" >/dev/null ||
    die "'$tool' not found (scripts/setup.sh installs the MinGW-w64 compilers, make and dpkg-dev)"
done
src_name=$(dpkg-query -W -f='${source:Package}\n' libcrypto++-dev | head -n1)
src_version=$(dpkg-query -W -f='${source:Version}\n' libcrypto++-dev | head -n1)

mkdir -p "$cache_dir" || die "cannot create the cache directory $cache_dir"

exec 9>"$cache_dir/.cryptopp-mingw-$arch-$flavour.lock"
if ! flock -n 9; then
  log "another build of Crypto++ is running; waiting for it"
  flock 9
fi
if have_cache; then
  remember
  echo "$prefix" >&3
  exit 0
fi
# Only a complete build is ever renamed into place, so a partial prefix is something else
# (a hand-made directory, an older script): start over rather than trust it.
[ -e "$prefix" ] && { log "removing incomplete $prefix"; rm -rf "$prefix"; }

work=$(mktemp -d "$cache_dir/.cryptopp-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

fetch_debian_source "$src_name" "$src_version"
[ -n "$src_dir" ] && [ -f "$src_dir/GNUmakefile" ] || die "unpacked source not found in $work"

# What a statically linked program pulls in is decided per object file, and every object that
# has unwind data stays whole (GNU ld keeps all of .pdata/.eh_frame, so --gc-sections cannot drop
# a function of a pulled object). Two things in the library pull far more than they give:
# - integer.cpp (Integer's stream operators) and asn.cpp (OID::Print) are the only users of
#   iostreams among the objects RSA verification needs; <iostream> alone brings the C++
#   library's stream and locale machinery (about 0.7 MB). Those three functions are removed.
# - dll.cpp instantiates the templates of nearly every algorithm (elliptic curves, DSA, AES,
#   HMAC, ...) in one object, about 0.6 MB, which a program gets whole for the Integer ring
#   templates alone. zt-instances.o instantiates just those (the ones of modarith.h, algparam.h
#   and oaep.h) and goes into the archive in front of dll.o, so the linker finds them there;
#   dll.o stays in the library for programs that need more.
trim_source() {
  local dir=$1
  sed -i -e '/^#include <\(iostream\|iomanip\|sstream\)>\r\?$/d' \
    -e '/^std::ostream& OID::Print(std::ostream& out) const\r\?$/,/^inline BufferedTransformation & EncodedObjectFilter::CurrentTarget()\r\?$/{/^inline BufferedTransformation/!d}' \
    "$dir/asn.cpp"
  sed -i -e '/^#include <iostream>\r\?$/d' \
    -e '/^std::istream& operator>>(std::istream& in, Integer &a)\r\?$/,/^Integer& Integer::operator++()\r\?$/{/^Integer& Integer::operator++()/!d}' \
    "$dir/integer.cpp"
  # A source whose text has moved on is refused rather than built untrimmed.
  ! grep -q 'stream' "$dir/asn.cpp" "$dir/integer.cpp" ||
    die "trimming asn.cpp/integer.cpp left stream code: the Crypto++ source changed; update trim_source"
  grep -q '^Integer& Integer::operator++()' "$dir/integer.cpp" &&
    grep -q '^inline BufferedTransformation & EncodedObjectFilter::CurrentTarget()' "$dir/asn.cpp" ||
    die "trimming asn.cpp/integer.cpp removed too much: the Crypto++ source changed; update trim_source"
  cat >"$dir/zt-instances.cpp" <<'CPP'
// The template instances of modarith.h, algparam.h and oaep.h that dll.cpp also makes.
#define CRYPTOPP_MANUALLY_INSTANTIATE_TEMPLATES
#include "pch.h"
#include "modarith.h"
#include "algparam.h"
#include "oaep.h"
#include "sha.h"
CPP
}
trim_source "$src_dir"

log "compiling with $CXX_MINGW ($("$CXX_MINGW" -dumpversion)), $cxxflags, -j2; this takes a while"
start=$(date +%s)
# Flags go through the environment: Crypto++'s makefile appends its own to them, which a
# command-line assignment would override; without -g0 it adds -g2. _WIN32_WINNT matches the project's, so the headers
# choose the same OS random source (CryptoAPI) in the library and in its users.
if ! (cd "$src_dir" &&
      CXX="$CXX_MINGW" AR="$AR_MINGW" RANLIB="$RANLIB_MINGW" \
      CXXFLAGS="$cxxflags" CPPFLAGS="$cppflags" \
      make -j2 static zt-instances.o) >"$work/make.log" 2>&1; then
  tail -n 40 "$work/make.log" >&2
  die "compiling Crypto++ failed (full log above, last 40 lines)"
fi
log "compiled in $(( $(date +%s) - start )) s"

lib=$(find "$src_dir" -maxdepth 1 -name 'lib*.a' | head -n1)
[ -n "$lib" ] || die "the Crypto++ build left no static library"
mkdir -p "$work/prefix/include/cryptopp" "$work/prefix/lib"
cp "$src_dir"/*.h "$work/prefix/include/cryptopp/"
cp "$lib" "$work/prefix/lib/libcryptopp.a"
"$AR_MINGW" rb dll.o "$work/prefix/lib/libcryptopp.a" "$src_dir/zt-instances.o" ||
  die "adding zt-instances.o to the library failed"
# No debug information: the library is linked into programs that are shipped.
"$STRIP_MINGW" --strip-debug "$work/prefix/lib/libcryptopp.a"
"$RANLIB_MINGW" "$work/prefix/lib/libcryptopp.a"
{
  echo "source: $src_name $src_version"
  echo "compiler: $CXX_MINGW $("$CXX_MINGW" -dumpversion)"
  echo "flags: $cxxflags $cppflags"
  echo "trimmed: no iostreams in asn.cpp and integer.cpp; zt-instances.o in front of dll.o"
} >"$work/prefix/BUILDINFO"

mv -T "$work/prefix" "$prefix"
remember
log "installed $prefix"
echo "$prefix" >&3
