#!/usr/bin/env bash
# The Debian package of ztpack: made with cpack from the native build, unpacked with dpkg-deb
# (nothing installed on this machine), and the unpacked ztpack run on a small manifest: keys,
# make with the package's own default stub (its key place empty: make writes the fresh keys),
# verify with the keys from the installer's stub and against those expected, extract; and no
# byte of the build's development keys anywhere in the package. Usage: deb_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
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

mkdir -p "$work/payload/docs"
printf 'dep-silent,readme.txt,readme.txt\ndep-x64-silent,docs/x64.txt,docs\\x64.txt\n' \
  >"$work/payload/install_script"
echo "read me" >"$work/payload/readme.txt"
echo "64-bit only" >"$work/payload/docs/x64.txt"
printf '#!/bin/sh\necho setup\n' >"$work/setup.sh"
stubs="$work/root/usr/share/ztpack/stubs"
if [ ! -f "$stubs/InstallerLogic-x86.exe" ]; then
  echo "the package carries no stub (the Windows builds were not there)"; exit 77
fi

# No byte of the development keys in the package: neither in the stubs nor in ztpack.
if [ -f "$build/../dev-keys/root.der" ]; then
  python3 - "$work/root" "$build/../dev-keys" <<'PY'
import os, sys
root, keys = sys.argv[1], sys.argv[2]
# The moduli: a 32-byte stretch of each is enough to find any copy of the key.
needles = {name: open(os.path.join(keys, name), "rb").read()[64:96] for name in ("root.der", "setup.der")}
found = []
for top, _, files in os.walk(root):
    for f in files:
        data = open(os.path.join(top, f), "rb").read()
        found += [f"{os.path.join(top, f)} holds {n}" for n, b in needles.items() if b in data]
if found:
    sys.exit("development key bytes in the package:\n" + "\n".join(found))
print("== no development key in the package")
PY
fi

# The setup program: the tree's report program where it was built (it runs under Wine), else a
# script (make, verify and extract only).
setup="$build/../windows/tests/report_setup.exe"
[ -f "$setup" ] || { setup="$work/setup.sh"; printf '#!/bin/sh\necho setup\n' >"$setup"; }
start=$(date +%s.%N)
"$z" keygen --out "$work/keys" >/dev/null
{
  echo "setup = \"$setup\""
  echo 'mode = "silent"'
  echo 'output = "out/installer.exe"'
  echo '[payload]'
  echo 'folder = "payload"'
  echo '[keys]'
  echo 'dir = "keys"'
  echo '[identity]'
  echo "icon = \"$source/demo/app.ico\""
  echo 'product_name = "Packaged App"'
  echo 'company_name = "Example Ltd"'
  echo 'file_version = "3.2.1.0"'
} >"$work/app.toml"
"$z" make -q "$work/app.toml"
"$z" verify -q "$work/out/installer.exe" | tee "$work/verify.txt"
grep -q "root key SHA256:" "$work/verify.txt"
"$z" verify -q --root-key "$work/keys/root.der" --setup-key "$work/keys/setup.der" \
  "$work/out/installer.exe" >/dev/null
echo "== keygen to verified installer: $(echo "$(date +%s.%N) - $start" | bc) s"
# Other keys than the installer's fail, naming both.
if "$z" verify -q --root-key "$build/../dev-keys/root.der" "$work/out/installer.exe" \
  >"$work/other.txt" 2>&1; then
  echo "verify accepted keys the installer does not trust"; exit 1
fi
grep -q "was expected" "$work/other.txt"
"$z" extract -q --install --platform x64 --windows-major 10 "$work/out/installer.exe" \
  --out "$work/installed"
test "$(cat "$work/installed/docs/x64.txt")" = "64-bit only"

# The installer under Wine (the package's 32-bit stub, where this machine runs 32-bit programs):
# its setup program runs, and Windows' own calls read its version strings back.
eval "$(bash "$source/scripts/wine-arch.sh")"
reader="$build/../windows/tests/read_identity.exe"
if [ "$ZT_WINE_ARCH" = win32 ] && [ -x "$ZT_WINE_LOADER" ] && [ -f "$reader" ] &&
   [ "$setup" != "$work/setup.sh" ]; then
  export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  "$ZT_WINE_LOADER" wineboot -i >/dev/null 2>&1; wineserver -w
  ZT_REPORT="Z:${work//\//\\}\\report.json" "$ZT_WINE_LOADER" "$work/out/installer.exe" first
  grep -q '"first"' "$work/report.json"
  "$ZT_WINE_LOADER" "$reader" "Z:$work/out/installer.exe" ProductName CompanyName FileVersion |
    tr -d '\r' | tee "$work/identity.txt"
  grep -q '^ProductName=Packaged App$' "$work/identity.txt"
  grep -q '^icons=1$' "$work/identity.txt"
  wineserver -k || true
  echo "== the installer ran under Wine"
fi
echo "== the unpacked package works"
