#!/usr/bin/env bash
# Wall time of a silent install of >= 300 MB of real files under Wine, beside `tar -xzf` of the
# same files natively and an NSIS installer of the same files installed silently under Wine,
# all in one run. Prints the figures and the ratios.
#
# Payload: regular files from /usr/lib/gcc and /usr/lib/x86_64-linux-gnu (shared libraries,
# real and mostly incompressible-ish binaries) until ZT_BENCH_MB (default 320) megabytes, with
# names that collide only in letter case, or that Windows cannot hold, left out.
# Like with like: every contender unpacks into a fresh directory. Our installer also deletes
# its workspace at the end (that is part of an install), so its time includes the deletion; the
# figure "ours without the deletion" subtracts a separately timed `rm -rf` of the same tree.
# Needs the native and Windows builds, wine, makensis. The Windows build is the one this
# machine runs (scripts/wine-arch.sh): the 32-bit one, or where only 64-bit programs start, the
# 64-bit one against NSIS's amd64 stubs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
eval "$(bash scripts/wine-arch.sh)"
echo "== bench: $ZT_WINE_ARCH: $ZT_WINE_REASON"
ztpack=$root/build/native/tools/ztpack/ztpack
stub=$root/build/$ZT_WINDOWS_BUILD_SUBDIR/InstallerLogic.exe
for f in "$ztpack" "$stub"; do
  [ -e "$f" ] || { echo "bench: $f is missing; run scripts/build.sh $ZT_WINDOWS_BUILD_SUBDIR native" >&2; exit 1; }
done
wine() { "$ZT_WINE_LOADER" "$@"; }
if [ "$ZT_WINE_ARCH" = win64 ]; then mingw=x86_64-w64-mingw32-gcc nsis_target=amd64-unicode
else mingw=i686-w64-mingw32-gcc nsis_target=x86-unicode; fi
command -v makensis >/dev/null || { echo "bench: makensis missing (apt-get install nsis)" >&2; exit 1; }

mb=${ZT_BENCH_MB:-320}
work=$(mktemp -d "${TMPDIR:-/tmp}/zt-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
payload=$work/payload
mkdir -p "$payload"

echo "== bench: collecting ${mb} MB of real files"
/usr/bin/python3 - "$payload" "$mb" <<'EOF'
import os, shutil, sys
dest, limit = sys.argv[1], int(sys.argv[2]) << 20
bad = set(':*?"<>|\\,')
seen, total, count = {}, 0, 0
for top in ("/usr/lib/gcc", "/usr/lib/x86_64-linux-gnu"):
    for dirpath, dirs, files in os.walk(top):
        dirs.sort(); files.sort()
        for name in files:
            src = os.path.join(dirpath, name)
            rel = os.path.relpath(src, "/usr/lib")
            if os.path.islink(src) or not os.path.isfile(src): continue
            if any(c in bad for c in rel) or any(p.endswith((".", " ")) for p in rel.split("/")): continue
            # no two names (files or directories) that differ only in letter case
            parts = rel.split("/")
            prefixes = ["/".join(parts[:i]) for i in range(1, len(parts) + 1)]
            if any(seen.get(q.lower(), q) != q for q in prefixes) or rel.lower() in seen: continue
            size = os.path.getsize(src)
            if total + size > limit + (8 << 20) and total >= limit: break
            for q in prefixes: seen[q.lower()] = q
            os.makedirs(os.path.join(dest, os.path.dirname(rel)), exist_ok=True)
            shutil.copyfile(src, os.path.join(dest, rel))
            total += size; count += 1
            if total >= limit: break
        if total >= limit: break
    if total >= limit: break
print(f"{count} files, {total / 1048576:.1f} MB")
EOF
bytes=$(du -sb "$payload" | cut -f1)
files=$(find "$payload" -type f | wc -l)

# The install script names every file; entry names use "/", targets "\".
( cd "$payload" && find . -type f | sed 's|^\./||' | sort | while read -r f; do
    printf 'dep-silent,%s,%s\n' "$f" "${f//\//\\}"
  done ) > "$work/install_script"
mkdir -p "$work/folder"
mv "$payload" "$work/folder/files"
payload=$work/folder/files
# In folder mode entry names are paths below the folder: prefix them with files/.
sed -i 's|^dep-silent,|dep-silent,files/|' "$work/install_script"
mv "$work/install_script" "$work/folder/install_script"

echo 'int main(void) { return 0; }' > "$work/setup.c"
"$mingw" -s -O2 -o "$work/setup.exe" "$work/setup.c"
cat > "$work/bench.toml" <<EOF
stub = "$stub"
setup = "$work/setup.exe"
mode = "silent"
output = "$work/ours.exe"
[payload]
folder = "$work/folder"
[keys]
dir = "$root/build/dev-keys"
[bundle]
chunk_size = 4194304
EOF

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }

echo "== bench: building the contenders"
t0=$(now); "$ztpack" make "$work/bench.toml" >/dev/null; t1=$(now)
echo "ztpack make: $(elapsed "$t0" "$t1") s"
( cd "$payload" && tar -czf "$work/payload.tar.gz" . )
cat > "$work/bench.nsi" <<EOF
Unicode true
Target $nsis_target
SetCompressor /SOLID zlib
RequestExecutionLevel user
OutFile "$work/nsis.exe"
InstallDir "\$TEMP\\nsisbench"
SilentInstall silent
Section
  SetOutPath "\$INSTDIR"
  File /r "$payload/*"
SectionEnd
EOF
makensis -V1 "$work/bench.nsi"

export WINEPREFIX="${ZT_WINEPREFIX:-$root/build/bench-wineprefix-$ZT_WINE_ARCH}"
export WINELOADER=$ZT_WINE_LOADER
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ ! -e "$WINEPREFIX/.zt-ready" ]; then
  wine wineboot -i >/dev/null 2>&1; wineserver -w; touch "$WINEPREFIX/.zt-ready"
fi
temp=$(ls -d "$WINEPREFIX"/drive_c/users/*/Temp | head -1)
rm -rf "$temp"/ITMPD_* "$temp/nsisbench"
# A warm start, so that Wine's own first start is not charged to the first contender.
wine "$work/setup.exe" </dev/null

echo "== bench: runs (each into a fresh directory, caches warm)"
mkdir -p "$work/tar-out"; sync
t0=$(now); tar -xzf "$work/payload.tar.gz" -C "$work/tar-out"; t1=$(now)
tar_s=$(elapsed "$t0" "$t1")
t0=$(now); rm -rf "$work/tar-out"; t1=$(now)
rm_s=$(elapsed "$t0" "$t1")

t0=$(now); wine "$work/setup.exe"; t1=$(now)
wine_s=$(elapsed "$t0" "$t1")

sync
t0=$(now); wine "$work/ours.exe"; t1=$(now)
ours_s=$(elapsed "$t0" "$t1")
left=$(find "$temp" -maxdepth 1 -name 'ITMPD_*' | wc -l)

sync
t0=$(now); wine "$work/nsis.exe" /S; t1=$(now)
nsis_s=$(elapsed "$t0" "$t1")
nsis_files=$(find "$temp/nsisbench" -type f | wc -l)
rm -rf "$temp/nsisbench"

printf '\npayload: %d files, %.1f MB (installer %.1f MB, NSIS %.1f MB, tar.gz %.1f MB)\n' \
  "$files" "$(echo "$bytes / 1048576" | bc -l)" \
  "$(echo "$(stat -c %s "$work/ours.exe") / 1048576" | bc -l)" \
  "$(echo "$(stat -c %s "$work/nsis.exe") / 1048576" | bc -l)" \
  "$(echo "$(stat -c %s "$work/payload.tar.gz") / 1048576" | bc -l)"
printf '%-44s %8.2f s\n' "tar -xzf, native (reference)" "$tar_s"
printf '%-44s %8.2f s\n' "rm -rf of the same tree, native" "$rm_s"
printf '%-44s %8.2f s\n' "wine start-up (empty program)" "$wine_s"
printf '%-44s %8.2f s   %5.2fx tar\n' "ours, silent under Wine (incl. deletion)" "$ours_s" \
  "$(echo "$ours_s / $tar_s" | bc -l)"
printf '%-44s %8.2f s   %5.2fx tar\n' "NSIS /S under Wine (files stay)" "$nsis_s" \
  "$(echo "$nsis_s / $tar_s" | bc -l)"
printf '%-44s %8.2f\n' "ours / NSIS" "$(echo "$ours_s / $nsis_s" | bc -l)"
echo "workspaces left behind: $left; NSIS installed $nsis_files of $files files"
