#!/usr/bin/env bash
# Peak memory of `ztpack inspect` on a 1 GiB PE file with a .ZTBNDL section (target < 32 MiB),
# next to the peak of `ztpack --version` (the program's own floor) measured the same way.
#
#   bench/report_memory.sh [ZTPACK] [MiB]     (defaults: build/native/ztpack, 1024)
set -euo pipefail
ztpack=${1:-build/native/ztpack}
mib=${2:-1024}
[ -x "$ztpack" ] || { echo "no ztpack at $ztpack" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }
dir=$(mktemp -d "${TMPDIR:-/tmp}/zt-inspect-memory-XXXXXX")
trap 'rm -rf "$dir"' EXIT

stub=$(ls /usr/lib/i386-linux-gnu/wine/i386-windows/version.dll 2>/dev/null || true)
if [ -z "$stub" ]; then
  printf '#include <stdio.h>\nint main(void){puts("x");return 0;}\n' >"$dir/s.c"
  i686-w64-mingw32-gcc -s -o "$dir/stub.exe" "$dir/s.c"
  stub=$dir/stub.exe
fi
printf gui >"$dir/type"
head -c $((mib * 1048576)) /dev/urandom >"$dir/load"
"$ztpack" section --type TYPE --data "$dir/type" --type LOAD --data "$dir/load" \
  --out "$dir/big.exe" "$stub"
rm -f "$dir/load"

peak() {  # prints the peak resident set in KiB of the command
  /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F: '/Maximum resident set size/ {gsub(/ /,"",$2); print $2}'
}
size=$(stat -c %s "$dir/big.exe")
floor=$(peak "$ztpack" --version)
inspect=$(peak "$ztpack" inspect "$dir/big.exe")
"$ztpack" inspect "$dir/big.exe" | grep -E 'chain at last-section|LOAD' | head -2
printf 'file                      %d bytes\n' "$size"
printf 'ztpack --version peak     %6.1f MiB\n' "$(echo "$floor / 1024" | bc -l)"
printf 'ztpack inspect peak       %6.1f MiB (target < 32 MiB)\n' "$(echo "$inspect / 1024" | bc -l)"
printf 'inspect / file size       %8.5f\n' "$(echo "$inspect * 1024 / $size" | bc -l)"
