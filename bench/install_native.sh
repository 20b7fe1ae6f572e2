#!/usr/bin/env bash
# The native front end installing the machine's own files beside `tar -xzf` of the same files,
# into the same kind of place, over several rounds in alternating order.
#
#   bench/install_native.sh [MB] [ROUNDS] [PLACE]
#       (defaults: 300 MB as bench/pack.sh builds it, $ZT_BENCH_MAX_KB as there, 4 rounds, /dev/shm; give a folder on
#        disk, such as /var/tmp, for the disk figures, or "fresh-ext4")
#
# PLACE "fresh-ext4" gives each contender a new ext4 file system, a loop-mounted image in
# $ZT_BENCH_IMAGE_DIR (default /var/tmp) made before its clock starts: a disk as an installer
# finds it. On a disk used over and over, ext4 passes over the inodes of recently deleted files
# when it makes new ones, so a contender that ran after a deletion of many files paid for it
# (rounds of the same contender differed six-fold). Needs root.
#
# Each contender unpacks into a fresh folder of PLACE. The installer's setup program only writes
# the time it starts; "to setup" is from the front end's start to then, "whole" includes the
# deletion of the workspace, against `tar -xzf` followed by `rm -rf` of what it unpacked.
# FRONT_END_REF names another build of the front end (one without a change, say) that runs the
# same installer in the same rounds: its time to setup and ours against it.
set -euo pipefail
cd "$(dirname "$0")/.."
mb=${1:-300}
rounds=${2:-4}
place=${3:-/dev/shm}
fresh=
if [ "$place" = fresh-ext4 ]; then
  fresh=${ZT_BENCH_IMAGE_DIR:-/var/tmp}/zt-bench-fs-$$
  mkdir -p "$fresh.mnt"
  place=$fresh.mnt
fi
ztpack=${ZTPACK:-build/native/tools/ztpack/ztpack}
front=${FRONT_END:-build/native/InstallerLogic/InstallerLogic}
base=${ZT_BENCH_PACK_DIR:-/tmp/zt-bench-pack}
for tool in "$ztpack" "$front"; do
  [ -x "$tool" ] || { echo "no $tool (bash scripts/build.sh native)" >&2; exit 1; }
done
payload=$(bash bench/pack.sh "$mb" 0)
work=$(mktemp -d "$base/install-XXXXXX")
trap 'rm -rf "$work"; [ -z "$fresh" ] || { umount "$fresh.mnt" 2>/dev/null; rm -rf "$fresh.img" "$fresh.mnt"; }' EXIT
[ -z "${KEEP_INSTALLER:-}" ] || trap - EXIT

# The installer: any PE serves as the stub natively; the setup program records when it starts.
stub=$(ls /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/version.dll 2>/dev/null ||
       ls /usr/lib/i386-linux-gnu/wine/i386-windows/version.dll 2>/dev/null || true)
[ -n "$stub" ] || { echo "needs a PE file for the stub (Wine's version.dll)" >&2; exit 1; }
printf '#!/bin/sh\ndate +%%s.%%N >"$ZT_SETUP_STARTED"\nexit 0\n' >"$work/setup.sh"
chmod +x "$work/setup.sh"
cat >"$work/m.toml" <<EOF
stub = "$stub"
setup = "$work/setup.sh"
mode = "silent"
output = "$work/installer.exe"
[payload]
folder = "$payload"
[keys]
dir = "$PWD/build/dev-keys"
EOF
"$ztpack" make "$work/m.toml" >/dev/null
tar czf "$work/payload.tar.gz" -C "$payload" .
files=$(find "$payload" -type f | wc -l)
echo "payload: $files files, $(( $(du -sb "$payload" | cut -f1) / 1000000 )) MB; installer" \
     "$(( $(stat -c %s "$work/installer.exe") / 1000000 )) MB, tar.gz" \
     "$(( $(stat -c %s "$work/payload.tar.gz") / 1000000 )) MB; into" \
     "$(if [ -n "$fresh" ]; then echo "a new ext4 file system for each contender";
        else echo "$place ($(df -T "$place" | awk 'NR == 2 {print $2}'))"; fi)"

now() { date +%s.%N; }
# A new file system at $place for the next contender (fresh-ext4), or nothing.
fresh_fs() {
  [ -n "$fresh" ] || return 0
  umount "$place" 2>/dev/null || true
  rm -f "$fresh.img"
  truncate -s $(( $(du -sb "$payload" | cut -f1) * 2 + (1 << 30) )) "$fresh.img"
  mkfs.ext4 -q -F "$fresh.img" && mount -o loop "$fresh.img" "$place" ||
    { echo "cannot make and mount an ext4 image (needs root and loop devices)" >&2; exit 1; }
}
ours() {  # [FRONT_END] prints "TO_SETUP WHOLE PEAK_KIB"
  local dir=$place/zt-ours-$$ start
  mkdir -p "$dir"
  start=$(now)
  TMPDIR=$dir ZT_SETUP_STARTED=$work/started ZT_INSTALLER_IMAGE=$work/installer.exe \
    /usr/bin/time -f %M -o "$work/peak" "${1:-$front}" 2>/dev/null
  local end; end=$(now)
  echo "$(awk -v a="$start" -v b="$(cat "$work/started")" 'BEGIN {print b - a}')" \
       "$(awk -v a="$start" -v b="$end" 'BEGIN {print b - a}')" "$(cat "$work/peak")"
  rm -rf "$dir"
}
theirs() {  # prints "UNPACK WHOLE"
  local dir=$place/zt-tar-$$ start mid end
  mkdir -p "$dir"
  start=$(now)
  tar -xzf "$work/payload.tar.gz" -C "$dir"
  mid=$(now)
  rm -rf "$dir"
  end=$(now)
  echo "$(awk -v a="$start" -v b="$mid" 'BEGIN {print b - a}')" \
       "$(awk -v a="$start" -v b="$end" 'BEGIN {print b - a}')"
}

echo "round  ours: to setup  whole   tar -xzf  +rm -rf   to setup/tar  whole/(tar+rm)  ours' peak MiB"
for ((r = 1; r <= rounds; r++)); do
  if ((r % 2)); then
    fresh_fs; read -r os ow op <<<"$(ours)"; fresh_fs; read -r ts tw <<<"$(theirs)"
  else
    fresh_fs; read -r ts tw <<<"$(theirs)"; fresh_fs; read -r os ow op <<<"$(ours)"
  fi
  awk -v r=$r -v os=$os -v ow=$ow -v ts=$ts -v tw=$tw -v op=$op 'BEGIN {
    printf "%5d  %13.2f  %6.2f  %8.2f  %8.2f  %12.2fx  %13.2fx  %16.1f\n", r, os, ow, ts, tw, os / ts, ow / tw, op / 1024 }'
  if [ -n "${FRONT_END_REF:-}" ]; then
    fresh_fs; read -r rs rw rp <<<"$(ours "$FRONT_END_REF")"
    awk -v r=$r -v os=$os -v rs=$rs 'BEGIN {
      printf "%5d  FRONT_END_REF: to setup %.2f, ours %.2fx of it\n", r, rs, os / rs }'
  fi
done
echo "front end memory limit: twice the largest chunk (1 MiB, the default) + 32 MiB = 34 MiB"
