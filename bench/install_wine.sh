#!/usr/bin/env bash
# A silent install under Wine beside NSIS installers of the same files (solid zlib and solid
# LZMA), installed silently under Wine in the same rounds, and beside `tar -xzf` natively.
#
#   bench/install_wine.sh [small|large] [ROUNDS] [MB]
#       small: files of at most $ZT_BENCH_MAX_KB KiB (default 256) from headers, documentation,
#              Python and Perl libraries and shared libraries, MB (default 400) in all;
#       large: files of 1 to 16 MiB from /usr, MB (default 900) in all.
#       ROUNDS defaults to 3; the order of the contenders turns each round.
#
# Names that collide only in letter case, or that Windows cannot hold, are left out. Every
# contender unpacks into a fresh folder. Our setup program records when it starts: "to setup"
# is from our start to then, "whole" adds the deletion of the workspace, as an install does.
# NSIS's files stay where it put them (its figure has no deletion). Needs the native and
# Windows builds, wine and makensis. The Windows build is the one this machine runs
# (scripts/wine-arch.sh): the 32-bit one, or where only 64-bit programs start, the 64-bit one
# against NSIS's amd64 stubs; the output says which.
#
# ZT_BENCH_TRACE=1 also counts, for one more run of ours, the requests that reach the Wine
# server, by kind, per file installed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
kind=${1:-small}
rounds=${2:-3}
case $kind in
  small) mb=${3:-400} ;;
  large) mb=${3:-900} ;;
  *) echo "usage: bench/install_wine.sh [small|large] [ROUNDS] [MB]" >&2; exit 2 ;;
esac
eval "$(bash scripts/wine-arch.sh)"
echo "== bench: $ZT_WINE_ARCH: $ZT_WINE_REASON"
ztpack=$root/build/native/tools/ztpack/ztpack
# $ZT_BENCH_STUB: another build of the stub, to compare builds on the same payload.
stub=${ZT_BENCH_STUB:-$root/build/$ZT_WINDOWS_BUILD_SUBDIR/InstallerLogic.exe}
for f in "$ztpack" "$stub"; do
  [ -e "$f" ] || { echo "bench: $f is missing; run scripts/build.sh $ZT_WINDOWS_BUILD_SUBDIR native" >&2; exit 1; }
done
command -v makensis >/dev/null || { echo "bench: makensis missing (apt-get install nsis)" >&2; exit 1; }
wine() { "$ZT_WINE_LOADER" "$@"; }
if [ "$ZT_WINE_ARCH" = win64 ]; then mingw=x86_64-w64-mingw32-gcc nsis_target=amd64-unicode
else mingw=i686-w64-mingw32-gcc nsis_target=x86-unicode; fi

# $ZT_BENCH_WORK keeps the payload and the NSIS installers for the next run (makensis with
# LZMA takes minutes); our installer is made anew each time.
if [ -n "${ZT_BENCH_WORK:-}" ]; then
  work=$ZT_BENCH_WORK/$kind-$mb
  mkdir -p "$work"
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/zt-bench-XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
payload=$work/folder/files
if [ ! -e "$work/folder/install_script" ]; then
rm -rf "$payload" "$work"/nsis-*.exe
mkdir -p "$payload"
echo "== bench: collecting $mb MB of the machine's own files ($kind)"
/usr/bin/python3 - "$payload" "$mb" "$kind" "${ZT_BENCH_MAX_KB:-256}" <<'EOF'
import os, random, shutil, sys
dest, limit, kind, max_kb = sys.argv[1], int(sys.argv[2]) * 1000000, sys.argv[3], int(sys.argv[4])
if kind == "small":
    tops = ["/usr/include", "/usr/share/doc", "/usr/share/perl", "/usr/share/perl5",
            "/usr/lib/x86_64-linux-gnu"] + sorted(
            os.path.join("/usr/lib", d) for d in os.listdir("/usr/lib") if d.startswith("python3"))
    fits = lambda size: size <= max_kb * 1024
else:
    tops = ["/usr"]
    fits = lambda size: 1 << 20 <= size <= 16 << 20
bad = set(':*?"<>|\\,')
found = []
for top in tops:
    for dirpath, dirs, files in os.walk(top):
        dirs.sort()
        for name in sorted(files):
            src = os.path.join(dirpath, name)
            if os.path.islink(src) or not os.path.isfile(src): continue
            rel = os.path.relpath(src, "/usr")
            if any(c in bad for c in rel) or any(p.endswith((".", " ")) for p in rel.split("/")): continue
            if "cryptography_vectors" in rel: continue  # test keys: ztpack refuses private keys
            size = os.path.getsize(src)
            if fits(size): found.append((rel, size))
random.Random(1).shuffle(found)
seen, total, count = {}, 0, 0
for rel, size in found:
    if total + size > limit: continue
    parts = rel.split("/")
    prefixes = ["/".join(parts[:i]) for i in range(1, len(parts) + 1)]
    if any(seen.get(q.lower(), q) != q for q in prefixes): continue
    for q in prefixes: seen[q.lower()] = q
    os.makedirs(os.path.join(dest, os.path.dirname(rel)), exist_ok=True)
    shutil.copyfile(os.path.join("/usr", rel), os.path.join(dest, rel))
    total += size; count += 1
print(f"{count} files, {total / 1e6:.1f} MB")
EOF

# Private keys elsewhere (test keys in documentation) are left out as well.
{ grep -rlZE -- '-----BEGIN ([A-Z]+ )*PRIVATE KEY-----' "$payload" || [ $? -eq 1 ]; } | xargs -0r rm -f
# The install script names every file; entry names use "/", targets "\". In folder mode entry
# names are paths below the folder, so they start with files/.
( cd "$payload" && find . -type f | sed 's|^\./||' | sort |
    awk '{ t = $0; gsub("/", "\\", t); print "dep-silent,files/" $0 "," t }' ) >"$work/folder/script.tmp"
mv "$work/folder/script.tmp" "$work/folder/install_script"
fi
bytes=$(du -sb "$payload" | cut -f1)
files=$(find "$payload" -type f | wc -l)
folders=$(find "$payload" -mindepth 1 -type d | wc -l)

# The setup program writes when it starts, as Unix seconds, to the file $ZT_SETUP_STARTED names.
cat >"$work/setup.c" <<'EOF'
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
int main(void) {
  FILETIME ft; ULARGE_INTEGER t; const char* path = getenv("ZT_SETUP_STARTED");
  GetSystemTimePreciseAsFileTime(&ft);
  t.LowPart = ft.dwLowDateTime; t.HighPart = ft.dwHighDateTime;
  if (path) { FILE* f = fopen(path, "wb"); if (f) { fprintf(f, "%.6f\n", (t.QuadPart - 116444736000000000ULL) / 1e7); fclose(f); } }
  return 0;
}
EOF
"$mingw" -s -O2 -o "$work/setup.exe" "$work/setup.c"
# The machine's libraries carry test vectors with real (public) test keys; every installer here
# ships the same files, so ours names them, as an author ships such files on purpose.
allowed=$(cd "$work/folder" && { grep -rlZ -- 'PRIVATE KEY-----' files || true; } |
  /usr/bin/python3 -c '
import re, sys
block = re.compile(rb"-----BEGIN ([A-Z0-9 ]*PRIVATE KEY)-----[ \t\r]*\n"
                   rb"(?:[ \t]*[A-Za-z0-9+/=]+[ \t\r]*\n|[A-Za-z-]+:[^\n]*\n|[ \t\r]*\n)+"
                   rb"[ \t]*-----END \1-----")
names = [n for n in sys.stdin.buffer.read().split(b"\0") if n]
print(", ".join("\"%s\"" % n.decode() for n in names if block.search(open(n, "rb").read())))')
[ -z "$allowed" ] || echo "bench: our installer ships $(echo "$allowed" | tr ',' '\n' | wc -l) file(s) holding test keys (allow_private_keys)"
cat >"$work/bench.toml" <<EOF
stub = "$stub"
setup = "$work/setup.exe"
mode = "silent"
output = "$work/ours.exe"
[payload]
folder = "$work/folder"
allow_private_keys = [$allowed]
[keys]
dir = "$root/build/dev-keys"
EOF

now() { date +%s.%N; }
echo "== bench: building the contenders"
# A make that fails says why, and so does the benchmark.
t0=$(now)
if ! "$ztpack" make --quiet "$work/bench.toml" >"$work/make.log" 2>&1; then
  echo "bench: ztpack make $work/bench.toml failed:" >&2
  tail -n 20 "$work/make.log" >&2
  exit 1
fi
t1=$(now)
echo "ztpack make: $(echo "$t1 - $t0" | bc) s"
[ -e "$work/payload.tar.gz" ] || ( cd "$payload" && tar -czf "$work/tar.tmp" . && mv "$work/tar.tmp" "$work/payload.tar.gz" )
for compressor in zlib lzma; do
  [ ! -e "$work/nsis-$compressor.exe" ] || continue
  cat >"$work/nsis-$compressor.nsi" <<EOF
Unicode true
Target $nsis_target
SetCompressor /SOLID $compressor
RequestExecutionLevel user
OutFile "$work/nsis-$compressor.exe"
InstallDir "\$TEMP\\nsisbench"
SilentInstall silent
Section
  SetOutPath "\$INSTDIR"
  File /r "$payload/*"
SectionEnd
EOF
  t0=$(now); makensis -V1 "$work/nsis-$compressor.nsi"; t1=$(now)
  echo "makensis ($compressor): $(echo "$t1 - $t0" | bc) s"
done

export WINEPREFIX="${ZT_WINEPREFIX:-$root/build/bench-wineprefix-$ZT_WINE_ARCH}"
export WINELOADER=$ZT_WINE_LOADER
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ ! -e "$WINEPREFIX/.zt-ready" ]; then
  wine wineboot -i >/dev/null 2>&1; wineserver -w; touch "$WINEPREFIX/.zt-ready"
fi
temp=$(ls -d "$WINEPREFIX"/drive_c/users/*/Temp | head -1)
rm -rf "$temp/nsisbench"
# One Wine server, started here and kept until the end: otherwise it exits a few seconds after
# each contender and the next one pays for starting it and Wine's services again (about a
# second), which is Wine's cost and the same for every installer. A warm start follows.
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k 2>/dev/null || true; [ -n "${ZT_BENCH_WORK:-}" ] || rm -rf "$work"' EXIT
wine "$work/setup.exe" </dev/null
export ZT_SETUP_STARTED="Z:${work//\//\\}\\started"

# Each prints seconds: ours "TO_SETUP WHOLE", the others "WHOLE".
ours() {
  local start end
  rm -f "$work/started"; sync
  start=$(now); wine "$work/ours.exe"; end=$(now)
  [ -s "$work/started" ] || { echo "bench: our setup program did not run" >&2; exit 1; }
  [ -z "$(find "$WINEPREFIX/drive_c" -maxdepth 3 -name 'ITMPD_*' -print -quit)" ] ||
    { echo "bench: a workspace was left behind" >&2; exit 1; }
  echo "$(echo "$(cat "$work/started") - $start" | bc) $(echo "$end - $start" | bc)"
}
nsis() {
  local start end got
  rm -rf "$temp/nsisbench"; sync
  start=$(now); wine "$work/nsis-$1.exe" /S; end=$(now)
  got=$(find "$temp/nsisbench" -type f | wc -l)
  [ "$got" = "$files" ] || { echo "bench: NSIS ($1) installed $got of $files files" >&2; exit 1; }
  rm -rf "$temp/nsisbench"
  echo "$end - $start" | bc
}
untar() {
  local start end
  rm -rf "$work/tar-out"; mkdir "$work/tar-out"; sync
  start=$(now); tar -xzf "$work/payload.tar.gz" -C "$work/tar-out"; end=$(now)
  rm -rf "$work/tar-out"
  echo "$end - $start" | bc
}

mb_of() { awk -v b="$(stat -c %s "$1")" 'BEGIN { printf "%.1f", b / 1e6 }'; }
echo
echo "payload ($kind): $files files in $folders folders, $(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1e6 }') MB;" \
     "installers: ours $(mb_of "$work/ours.exe") MB, NSIS zlib $(mb_of "$work/nsis-zlib.exe") MB," \
     "NSIS LZMA $(mb_of "$work/nsis-lzma.exe") MB; tar.gz $(mb_of "$work/payload.tar.gz") MB"
awk -v a="$(stat -c %s "$work/ours.exe")" -v b="$(stat -c %s "$work/nsis-zlib.exe")" \
  'BEGIN { printf "size, ours / NSIS zlib: %.2f\n", a / b }'
echo "Wine prefix: $WINEPREFIX ($(df -T "$WINEPREFIX" | awk 'NR == 2 {print $2}')); one Wine server throughout"
echo "round   ours: to setup   whole   NSIS zlib   NSIS LZMA   tar -xzf   zlib/ours  LZMA/ours (to setup; whole)"
for ((r = 1; r <= rounds; r++)); do
  case $((r % 3)) in
    1) read -r os ow <<<"$(ours)"; z=$(nsis zlib); l=$(nsis lzma); t=$(untar) ;;
    2) z=$(nsis zlib); l=$(nsis lzma); t=$(untar); read -r os ow <<<"$(ours)" ;;
    0) l=$(nsis lzma); t=$(untar); read -r os ow <<<"$(ours)"; z=$(nsis zlib) ;;
  esac
  awk -v r=$r -v os=$os -v ow=$ow -v z=$z -v l=$l -v t=$t 'BEGIN {
    printf "%5d  %14.2f  %6.2f  %10.2f  %10.2f  %9.2f   %4.2fx; %4.2fx  %4.2fx; %4.2fx\n",
           r, os, ow, z, l, t, z / os, z / ow, l / os, l / ow }'
done

if [ -n "${ZT_BENCH_TRACE:-}" ]; then
  wineserver -k || true
  sleep 1
  WINEDEBUG=+server wine "$work/ours.exe" 2>"$work/server.log" || true
  wineserver -k || true
  echo "requests to the Wine server during one run of ours, per file installed:"
  # Requests only ("name( args )"), not the replies ("name() = ...").
  grep -o '^[0-9a-f]*: [a-z_]*( ' "$work/server.log" | awk '{print $2}' | sort | uniq -c | sort -rn |
    awk -v n="$files" 'NR <= 15 { printf "  %-28s %8d  %6.2f\n", $2, $1, $1 / n }'
fi
