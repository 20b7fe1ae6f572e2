#!/usr/bin/env bash
# `ztpack bundle` on every processor beside the same with one thread and beside `tar czf` of the
# same files, over several rounds in alternating order; sizes and peak memory too. Then
# `ztpack make` of the same files (a manifest with the payload folder, no Authenticode) beside
# the same `tar czf`, with the bytes make read (rchar of /proc/PID/io, page-cache reads included).
#
#   bench/pack.sh [MB] [ROUNDS]     (defaults: 300 MB of the machine's own files, 3 rounds)
#   With 0 rounds it only makes the payload and prints its folder.
#
# The payload (headers, documentation, Python and Perl libraries, shared libraries) is copied
# once into $ZT_BENCH_PACK_DIR (default /tmp/zt-bench-pack) and reused; $ZT_BENCH_MAX_KB (default
# 65536) leaves out larger files, for a payload of many small files, and $ZT_BENCH_MIN_KB smaller
# ones, for a payload of large files. Both ztpack runs
# store every copy of identical files, as tar does (--store-once is not given). Paths holding ",", ":" or a backslash
# are left out: an install-script directive could not name them. make's stub and setup program are
# $ZT_BENCH_STUB (default build/windows/InstallerLogic.exe, else the 64-bit build); it only
# carries the section. ZT_BENCH_ONLY=make runs the make rounds alone.
set -euo pipefail
cd "$(dirname "$0")/.."
mb=${1:-300}
rounds=${2:-3}
ztpack=${ZTPACK:-build/native/tools/ztpack/ztpack}
keys=${ZT_KEYS:-build/dev-keys}
base=${ZT_BENCH_PACK_DIR:-/tmp/zt-bench-pack}
[ -x "$ztpack" ] || { echo "no ztpack at $ztpack (bash scripts/build.sh native)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }
max_kb=${ZT_BENCH_MAX_KB:-65536}  # the largest file taken, KiB
min_kb=${ZT_BENCH_MIN_KB:-0}      # the smallest file taken, KiB
larger=(); suffix=
if ((min_kb > 0)); then larger=(-size "+$((min_kb - 1))k"); suffix=-min$min_kb; fi
payload=$base/payload2-$mb-$max_kb$suffix
out=$base/out
mkdir -p "$base" "$out"

if [ ! -f "$payload/install_script" ]; then
  rm -rf "$payload.tmp"
  mkdir -p "$payload.tmp"
  # Regular files only, a sample of every folder up to the size asked for, the same every time.
  { find /usr/include /usr/share/doc /usr/lib/python3* /usr/share/perl* /usr/lib/x86_64-linux-gnu \
      -type f -size -${max_kb}k "${larger[@]}" -printf '%s %p\n' 2>/dev/null || true; } | sort -k2 |
    grep -Ev '[,:\\]|cryptography_vectors' | shuf --random-source=<(yes) |
    awk -v limit=$((mb * 1000000)) '{ if (total + $1 <= limit) { total += $1; print substr($0, index($0, " ") + 1) } }' |
    sort >"$base/list"
  tar -cf - --files-from="$base/list" 2>/dev/null | tar -xf - -C "$payload.tmp"
  # ztpack refuses to pack private keys; test keys in documentation and libraries are left out.
  # (grep's status 1, no key found, is no failure.)
  { grep -rlZE -- '-----BEGIN ([A-Z]+ )*PRIVATE KEY-----' "$payload.tmp" || [ $? -eq 1 ]; } |
    xargs -0r rm -f
  (cd "$payload.tmp" && find . -type f | sed 's|^\./||' | sort |
     awk '{ t = $0; gsub("/", "\\", t); print "dep-silent," $0 "," t }') >"$base/script"
  mv "$base/script" "$payload.tmp/install_script"
  mv "$payload.tmp" "$payload"
fi
((rounds > 0)) || { echo "$payload"; exit 0; }
files=$(find "$payload" -type f | wc -l)
bytes=$(du -sb "$payload" | cut -f1)
"$ztpack" certify --root-key "$keys/root.key" --public "$keys/bundle.der" --goal IBND \
  --out "$out/cert" >/dev/null

# Seconds and peak resident KiB of a command, as "SECONDS KIB".
measure() {
  /usr/bin/time -f '%e %M' -o "$out/time" "$@" >/dev/null 2>"$out/stderr" ||
    { cat "$out/stderr" >&2; exit 1; }
  cat "$out/time"
}
one() { measure "$ztpack" bundle --script "$payload/install_script" --dir "$payload" \
          --key "$keys/bundle.key" --cert "$out/cert" --threads 1 --out "$out/one.bnd"; }
all() { measure "$ztpack" bundle --script "$payload/install_script" --dir "$payload" \
          --key "$keys/bundle.key" --cert "$out/cert" --out "$out/all.bnd"; }
targz() { measure tar czf "$out/payload.tar.gz" -C "$payload" .; }

cores=$(nproc)
only=${ZT_BENCH_ONLY:-}  # "make": the make rounds alone
echo "payload: $files files, $((bytes / 1000000)) MB, from $payload; $cores processors; $rounds rounds"
[ "$only" = make ] ||
echo "round  1-thread s  all-threads s  tar czf s   speed-up  all/tar   peak MiB (1 / all)"
for ((r = 1; r <= rounds; r++)); do
  [ "$only" = make ] && break
  if ((r % 2)); then
    read -r t1 m1 <<<"$(one)"; read -r ta ma <<<"$(all)"; read -r tt _ <<<"$(targz)"
  else
    read -r tt _ <<<"$(targz)"; read -r ta ma <<<"$(all)"; read -r t1 m1 <<<"$(one)"
  fi
  cmp -s "$out/one.bnd" "$out/all.bnd" || { echo "the bundles differ" >&2; exit 1; }
  awk -v r=$r -v t1=$t1 -v ta=$ta -v tt=$tt -v m1=$m1 -v ma=$ma 'BEGIN {
    printf "%5d  %10.2f  %13.2f  %9.2f   %7.2fx  %7.2fx   %5.0f / %.0f\n",
           r, t1, ta, tt, t1 / ta, ta / tt, m1 / 1024, ma / 1024 }'
done
chunk=1  # MiB, the default chunk size
[ "$only" = make ] ||
echo "bundle $(stat -c %s "$out/all.bnd") bytes, tar.gz $(stat -c %s "$out/payload.tar.gz") bytes;" \
     "memory limit for $cores processors: $(( (cores + 2) * chunk + 64 )) MiB"

# make writes the keys into the stub's key place, so the stub must be a front end of this tree
# (either build); a PE of any other program has no such place and make refuses it.
stub=${ZT_BENCH_STUB:-build/windows/InstallerLogic.exe}
[ -f "$stub" ] || stub=build/windows64/InstallerLogic.exe
if [ ! -f "$stub" ]; then
  echo "make: no stub: build/windows/InstallerLogic.exe, build/windows64/InstallerLogic.exe and" \
       "\$ZT_BENCH_STUB are all missing (bash scripts/build.sh windows)" >&2
  exit 1
else
  # A setup program of at most 15 sections (the header-tolerant signature): the stub, stripped.
  setup=$out/setup.exe
  x86_64-w64-mingw32-strip -o "$setup" "$stub" 2>/dev/null || strip -o "$setup" "$stub" 2>/dev/null ||
    cp "$stub" "$setup"
  cat >"$out/make.toml" <<TOML
stub = "$(realpath "$stub")"
setup = "$setup"
mode = "silent"
output = "$out/made.exe"
[payload]
folder = "$payload"
[keys]
dir = "$(realpath "$keys")"
TOML
  # Seconds, peak KiB and MB read of a command: waited for without reaping it first (WNOWAIT),
  # so that its /proc/PID/io can still be read.
  measure_io() {
    python3 - "$@" <<'PY'
import os, resource, sys, time
start = time.monotonic()
pid = os.fork()
log = sys.argv[1]
if pid == 0:
    fd = os.open(log, os.O_WRONLY | os.O_CREAT | os.O_TRUNC); os.dup2(fd, 1); os.dup2(fd, 2)
    os.execvp(sys.argv[2], sys.argv[2:])
os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
seconds = time.monotonic() - start
rchar = 0
with open(f"/proc/{pid}/io") as io:
    for line in io:
        if line.startswith("rchar:"): rchar = int(line.split()[1])
_, status, usage = os.wait4(pid, 0)
if status != 0:
    sys.stderr.write(open(log).read())
    sys.exit(f"failed: {sys.argv[2:]} (status {status})")
print(f"{seconds:.2f} {usage.ru_maxrss} {rchar / 1e6:.0f}")
PY
  }
  mk() { measure_io "$out/make.log" "$ztpack" make -q "$out/make.toml" || exit 1; }
  echo "round  make s  tar czf s  make/tar  peak MiB  read MB (payload $((bytes / 1000000)) MB)"
  for ((r = 1; r <= rounds; r++)); do
    if ((r % 2)); then
      made=$(mk) || exit 1; read -r tt _ <<<"$(targz)"
    else
      read -r tt _ <<<"$(targz)"; made=$(mk) || exit 1
    fi
    read -r tm mm rm <<<"$made"
    awk -v r=$r -v tm=$tm -v tt=$tt -v mm=$mm -v rm=$rm 'BEGIN {
      printf "%5d  %6.2f  %9.2f  %7.2fx  %8.0f  %7d\n", r, tm, tt, tm / tt, mm / 1024, rm }'
  done
  echo "installer $(stat -c %s "$out/made.exe") bytes"
fi
rm -f "$out"/*.bnd "$out/payload.tar.gz" "$out/made.exe"
