#!/usr/bin/env bash
# Builds libdeflate's zlib-format compressor and decompressor for Windows with the MinGW-w64
# compiler, from Debian's own source package of the same version as the installed
# libdeflate-dev, so that the native and Windows builds deflate and inflate with the same code.
#
#   scripts/build-libdeflate-mingw.sh CACHE_DIR [i686|x86_64]     (default i686)
#
# The result is cached in CACHE_DIR/libdeflate-<version>-mingw-<arch>-3/{include,lib}; the prefix
# is printed on standard output, everything else goes to standard error. It takes seconds.
set -euo pipefail
exec 3>&1 1>&2 </dev/null

die() { echo "build-libdeflate-mingw: error: $*" >&2; exit 1; }
log() { echo "build-libdeflate-mingw: $*" >&2; }
. "$(dirname "$0")/debian-source.sh"

mingw_build_args "$@"
CC_MINGW=${CC_MINGW:-$arch-w64-mingw32-gcc-posix}
AR_MINGW=${AR_MINGW:-$arch-w64-mingw32-ar}
# C that nothing unwinds through: no unwind tables, which keeps the 32-bit front end small.
cflags="-DNDEBUG -O2 -g0 -pipe -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables"
# What zlib streams need (ztpack.exe deflates, the front end inflates); one object per part, so
# that the front end links no compressor. The gzip parts are not built.
sources=(adler32 deflate_compress deflate_decompress zlib_compress zlib_decompress utils
         x86/cpu_features)

command -v dpkg-query >/dev/null || die "dpkg-query not found: this script needs a Debian system"
version=$(dpkg-query -W -f='${Version}\n' libdeflate-dev 2>/dev/null | head -n1 || true)
[ -n "$version" ] || die "libdeflate-dev is not installed (run scripts/setup.sh)"
# "-3": the third set of objects (with the compressor, without unwind tables); a cache of an
# earlier set is not reused.
prefix="$cache_dir/libdeflate-${version//:/_}-mingw-$arch-3"
have_cache() { [ -f "$prefix/lib/libdeflate.a" ] && [ -f "$prefix/include/libdeflate.h" ]; }
if have_cache; then
  echo "$prefix" >&3
  exit 0
fi

for tool in "$CC_MINGW" "$AR_MINGW" apt-get dpkg-source flock; do
  command -v "$tool" >/dev/null || die "'$tool' not found (scripts/setup.sh installs it)"
done
src_name=$(dpkg-query -W -f='${source:Package}\n' libdeflate-dev | head -n1)
src_version=$(dpkg-query -W -f='${source:Version}\n' libdeflate-dev | head -n1)
locked_fetch "$src_name" "$src_version" ".libdeflate-mingw-$arch"
[ -n "$src_dir" ] && [ -f "$src_dir/libdeflate.h" ] || die "unpacked source not found in $work"

mkdir -p "$work/obj" "$work/prefix/include" "$work/prefix/lib"
for source in "${sources[@]}"; do
  # shellcheck disable=SC2086
  "$CC_MINGW" $cflags -I"$src_dir" -c "$src_dir/lib/$source.c" -o "$work/obj/${source//\//_}.o" ||
    die "compiling lib/$source.c failed"
done
"$AR_MINGW" rcs "$work/prefix/lib/libdeflate.a" "$work"/obj/*.o
cp "$src_dir/libdeflate.h" "$work/prefix/include/"
echo "source: $src_name $src_version; compiler: $CC_MINGW $("$CC_MINGW" -dumpversion); flags: $cflags" \
  >"$work/prefix/BUILDINFO"
mv -T "$work/prefix" "$prefix"
log "installed $prefix"
echo "$prefix" >&3
