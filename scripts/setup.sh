#!/usr/bin/env bash
# Installs everything the project needs on a Debian 12 machine. Quick when done already.
set -euo pipefail

need_pkgs=(
  build-essential cmake ninja-build pkg-config git
  libcrypto++-dev zlib1g-dev libdeflate-dev libgtest-dev libgmock-dev
  libcli11-dev nlohmann-json3-dev libtomlplusplus-dev
  clang clang-format libclang-rt-14-dev llvm
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev libz-mingw-w64-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine wine64 xvfb x11-utils x11-apps imagemagick xdotool
  osslsigncode python3-pefile icoutils openssl nsis dpkg-dev
  python3-cryptography-vectors python3-jsonschema
  libp11-kit-dev p11-kit softhsm2 libengine-pkcs11-openssl opensc
)

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi

# 32-bit Wine (wine32:i386) only where it can run: its loader is a 32-bit Linux program, which
# a kernel without IA-32 emulation cannot start. There the 64-bit build runs under wine64
# (scripts/wine-arch.sh decides, for the tests and the demo alike).
eval "$(bash "$(dirname "$0")/wine-arch.sh")"
echo "setup: Windows programs run as $ZT_WINE_ARCH: $ZT_WINE_REASON"
if [ "$ZT_WINE_ARCH" = win32 ]; then
  need_pkgs+=(wine32:i386)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    FORCE_UPDATE=1
  fi
fi

# Source entries, so that the Windows build can compile Debian's own Crypto++ source.
if ! grep -rqs 'deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      | $SUDO tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
  else
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
      | $SUDO tee /etc/apt/sources.list.d/debian-src.list >/dev/null
  fi
  FORCE_UPDATE=1
fi

missing=()
for p in "${need_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ] || [ "${FORCE_UPDATE:-0}" = 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  # A mirror part-way through a sync fails one index now and then; the others are still
  # usable, so a failed update is retried once and then only reported. The install below
  # says clearly if a package really cannot be had.
  if ! $SUDO apt-get update -q; then
    echo "setup: apt-get update failed; retrying in 5 s" >&2
    sleep 5
    $SUDO apt-get update -q || echo "setup: warning: apt-get update reported errors; installing from the lists it has" >&2
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
fi
