#!/usr/bin/env bash
# Builds the demo installer from demo/ with `ztpack make` and runs it under Wine in silent mode;
# the setup program (tests/windows/report_setup.exe) reports what it received, printed here.
# Needs the native and Windows builds (scripts/build.sh windows native).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
ztpack=build/native/tools/ztpack/ztpack
# The build this machine can run: the 32-bit one where the kernel starts 32-bit programs, else
# the 64-bit one (scripts/wine-arch.sh; ZT_WINE_ARCH overrides).
eval "$(bash scripts/wine-arch.sh)"
windows=build/$ZT_WINDOWS_BUILD_SUBDIR
echo "== demo: the $ZT_WINE_ARCH build ($windows): $ZT_WINE_REASON"
for f in "$ztpack" "$windows/InstallerLogic.exe" "$windows/tests/report_setup.exe"; do
  [ -e "$f" ] || { echo "demo: $f is missing; run scripts/build.sh $ZT_WINDOWS_BUILD_SUBDIR native" >&2; exit 1; }
done
[ -x "$ZT_WINE_LOADER" ] || { echo "demo: $ZT_WINE_LOADER is missing; run scripts/setup.sh" >&2; exit 1; }
mkdir -p build/demo
if [ "$ZT_WINE_ARCH" = win64 ]; then
  "$ztpack" make demo/demo-win64.toml
  installer=build/demo/demo-installer-win64.exe
else
  "$ztpack" make demo/demo.toml
  installer=build/demo/demo-installer.exe
fi
# What Windows shows of it: the icon, the version resource and the manifest's settings.
echo "== demo: the installer's identity (ztpack inspect)"
"$ztpack" inspect "$installer" | sed -n '/^identity:/,/^[a-z]*:$/p' | sed '1d;$d'

export WINEPREFIX="${ZT_WINEPREFIX:-$root/build/demo/wineprefix-$ZT_WINE_ARCH}"
export WINELOADER=$ZT_WINE_LOADER
export WINEDEBUG=fixme-all,err-all,warn-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ ! -e "$WINEPREFIX/.zt-ready" ]; then
  echo "== demo: making the Wine prefix $WINEPREFIX"
  "$ZT_WINE_LOADER" wineboot -i >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.zt-ready"
fi
report="$root/build/demo/report.json"
rm -f "$report"
echo "== demo: running $installer (the $ZT_WINE_ARCH stub) under Wine (silent mode)"
set +e
ZT_REPORT="Z:${report//\//\\}" "$ZT_WINE_LOADER" "$installer" "first argument" --flag "C:\\Program Files\\Demo"
code=$?
set -e
echo "== demo: the installer exited with $code; the setup program received:"
if [ -s "$report" ]; then
  cat "$report"
else
  echo "demo: no report was written: the setup program did not run" >&2
  exit 1
fi
