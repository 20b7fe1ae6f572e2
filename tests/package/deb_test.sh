#!/usr/bin/env bash
# The Debian package of ztpack: made with cpack from the native build, unpacked with dpkg-deb
# (nothing installed on this machine), and the unpacked ztpack run on a small manifest: keys,
# make (with the package's own default stub when it carries one), verify against those keys,
# extract. Usage: deb_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/pkg/*.deb)
echo "== $(basename "$deb")"
dpkg-deb -f "$deb" Package Version Architecture Depends
dpkg-deb -c "$deb" | awk '{print $NF}'
dpkg-deb -x "$deb" "$work/root"
z="$work/root/usr/bin/ztpack"
"$z" --version

"$z" keygen --out "$work/keys" >/dev/null
mkdir -p "$work/payload/docs"
printf 'dep-silent,readme.txt,readme.txt\ndep-x64-silent,docs/x64.txt,docs\\x64.txt\n' \
  >"$work/payload/install_script"
echo "read me" >"$work/payload/readme.txt"
echo "64-bit only" >"$work/payload/docs/x64.txt"
printf '#!/bin/sh\necho setup\n' >"$work/setup.sh"
{
  if ! ls "$work"/root/usr/share/ztpack/stubs/InstallerLogic-x86.exe >/dev/null 2>&1; then
    # No stub in the package (the Windows build was not there): any PE serves as one here.
    stub=""
    for candidate in "$build/../windows/InstallerLogic.exe" \
                     /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/hostname.exe; do
      if [ -f "$candidate" ]; then stub=$candidate; break; fi
    done
    [ -n "$stub" ] || { echo "no stub to build with"; exit 77; }
    echo "stub = \"$stub\""
  fi
  echo 'setup = "setup.sh"'
  echo 'mode = "silent"'
  echo 'output = "out/installer.exe"'
  echo '[payload]'
  echo 'folder = "payload"'
  echo '[keys]'
  echo 'dir = "keys"'
} >"$work/app.toml"
"$z" make -q "$work/app.toml"
"$z" verify -q --root-key "$work/keys/root.der" --setup-key "$work/keys/setup.der" \
  "$work/out/installer.exe"
"$z" extract -q --root-key "$work/keys/root.der" --install --platform x64 --windows-major 10 \
  "$work/out/installer.exe" \
  --out "$work/installed"
test "$(cat "$work/installed/docs/x64.txt")" = "64-bit only"
echo "== the unpacked package works"
