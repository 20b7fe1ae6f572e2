#!/usr/bin/env bash
# Builds the demo installer from demo/ with `ztpack make` and runs it under Wine in silent mode;
# the setup program (tests/windows/report_setup.exe) reports what it received, printed here.
# Needs the native and Windows builds (scripts/build.sh windows native).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
ztpack=build/native/tools/ztpack/ztpack
for f in "$ztpack" build/windows/InstallerLogic.exe build/windows/tests/report_setup.exe; do
  [ -e "$f" ] || { echo "demo: $f is missing; run scripts/build.sh windows native" >&2; exit 1; }
done
mkdir -p build/demo
"$ztpack" make demo/demo.toml
installer=build/demo/demo-installer.exe

export WINEPREFIX="${ZT_WINEPREFIX:-$root/build/demo/wineprefix}"
export WINEDEBUG=fixme-all,err-all,warn-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ ! -e "$WINEPREFIX/.zt-ready" ]; then
  echo "== demo: making the Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.zt-ready"
fi
report="$root/build/demo/report.json"
rm -f "$report"
echo "== demo: running $installer under Wine (silent mode)"
set +e
ZT_REPORT="Z:${report//\//\\}" wine "$installer" "first argument" --flag "C:\\Program Files\\Demo"
code=$?
set -e
echo "== demo: the installer exited with $code; the setup program received:"
if [ -s "$report" ]; then
  cat "$report"
else
  echo "demo: no report was written: the setup program did not run" >&2
  exit 1
fi
