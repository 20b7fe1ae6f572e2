#!/usr/bin/env bash
# Installs everything the project needs on a Debian 12 machine. Quick when done already.
set -euo pipefail

need_pkgs=(
  build-essential cmake ninja-build pkg-config git
  libcrypto++-dev zlib1g-dev libgtest-dev libgmock-dev
  libcli11-dev nlohmann-json3-dev libtomlplusplus-dev
  clang libclang-rt-14-dev llvm
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev libz-mingw-w64-dev
  gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine wine32:i386 wine64 xvfb x11-utils x11-apps imagemagick xdotool
  osslsigncode python3-pefile openssl nsis dpkg-dev
)

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  FORCE_UPDATE=1
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
  $SUDO apt-get update -q
  if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
fi
