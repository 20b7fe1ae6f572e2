#!/usr/bin/env bash
# Decides how Windows programs are run on this machine, for the tests, the demo and the
# benchmarks alike (tests/testutil/wine.h reads this script's output too):
#
#   win32  the 32-bit build (build/windows) under `wine`, where the kernel can start 32-bit
#          programs (Debian's 32-bit Wine loader is itself a 32-bit Linux program);
#   win64  the 64-bit build (build/windows64) under Debian's 64-bit loader with a 64-bit prefix,
#          where it cannot.
#
# ZT_WINE_ARCH=win32|win64 overrides the choice. Prints shell assignments:
#
#   ZT_WINE_ARCH=win64
#   ZT_WINE_REASON='...'
#   ZT_WINE_LOADER=/usr/lib/wine/wine64   (/usr/lib/wine/wine for win32)
#   ZT_WINDOWS_BUILD_SUBDIR=windows64
#
# `--can-run-32` only answers (exit 0 or 1) whether the kernel starts 32-bit programs.
set -euo pipefail

# Starts a 96-byte static i386 ELF program that exits with 42 through int 0x80. It needs no
# 32-bit library, so the answer is the kernel's alone, also before any i386 package exists.
can_run_32() {
  local dir prog rc err entry
  # A binfmt_misc handler (qemu user mode) would start the test program by emulation: slow, and
  # too unreliable to carry Wine. That is not a machine that runs 32-bit programs.
  for entry in /proc/sys/fs/binfmt_misc/qemu-i386 /proc/sys/fs/binfmt_misc/qemu-i486; do
    [ -r "$entry" ] && head -n1 "$entry" | grep -qx enabled && return 1
  done
  for dir in "${TMPDIR:-/tmp}" /dev/shm "$PWD"; do
    prog=$(mktemp "$dir/zt-elf32.XXXXXX" 2>/dev/null) || continue
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'`
          `'\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'`
          `'\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'`
          `'\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'`
          `'\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'`
          `'\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$prog"
    # An interrupted check leaves no test program behind.
    test_prog=$prog
    trap 'rm -f "${test_prog:-}"' EXIT
    trap 'exit 1' INT TERM
    chmod 700 "$prog"
    rc=0
    err=$("$prog" 2>&1) || rc=$?
    rm -f "$prog"
    [ "$rc" = 42 ] && return 0
    # A file system mounted noexec says so; try the next place. Anything else, "Exec format
    # error" above all, is the kernel's no.
    case $err in *"Permission denied"*) continue ;; esac
    return 1
  done
  return 1
}

if [ "${1:-}" = --can-run-32 ]; then
  can_run_32
  exit
fi

arch=${ZT_WINE_ARCH:-}
case $arch in
  win32) reason="ZT_WINE_ARCH=win32 forces the 32-bit build" ;;
  win64) reason="ZT_WINE_ARCH=win64 forces the 64-bit build" ;;
  "")
    if can_run_32; then
      arch=win32
      reason="this machine starts 32-bit programs: the 32-bit build under wine"
    else
      arch=win64
      reason="the kernel of this machine cannot start 32-bit programs (no IA-32 emulation), so 32-bit Wine cannot run: the 64-bit build under the 64-bit Wine loader"
    fi
    ;;
  *)
    echo "wine-arch: ZT_WINE_ARCH must be win32 or win64, not '$arch'" >&2
    exit 2
    ;;
esac

if [ "$arch" = win32 ]; then
  loader=/usr/lib/wine/wine
  subdir=windows
else
  # Debian 12 puts no wine64 on the PATH; its loader lives here.
  loader=/usr/lib/wine/wine64
  subdir=windows64
fi
printf 'ZT_WINE_ARCH=%s\n' "$arch"
printf "ZT_WINE_REASON='%s'\n" "$reason"
printf 'ZT_WINE_LOADER=%s\n' "$loader"
printf 'ZT_WINDOWS_BUILD_SUBDIR=%s\n' "$subdir"
