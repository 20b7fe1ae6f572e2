#!/usr/bin/env bash
# Every test: installs what is needed, checks the sources' formatting (scripts/format-check.sh),
# builds all configurations, runs the fuzz smoke runs, the sanitizer tests (address and undefined
# behaviour; threads for the bundle and setup checks) and the native tests (which include the
# Wine end-to-end tests).
#
# Which Windows build the Wine tests run is decided by scripts/wine-arch.sh (ZT_WINE_ARCH
# overrides it); the choice and its reason are printed first and again last. Where the machine
# runs both builds, the Wine tests run a second time with the 64-bit one.
set -euo pipefail
cd "$(dirname "$0")/.."
eval "$(bash scripts/wine-arch.sh)"
choice="Windows programs run as $ZT_WINE_ARCH, the build in build/$ZT_WINDOWS_BUILD_SUBDIR: $ZT_WINE_REASON"
echo "== $choice"
trap 'echo "== $choice"' EXIT
bash scripts/setup.sh
bash scripts/format-check.sh
bash scripts/build.sh windows windows64 native asan tsan fuzz
bash scripts/fuzz-smoke.sh
echo "== tests: address and undefined-behaviour sanitizers"
# The Wine tests run the Windows build; under the sanitizers they would only repeat themselves.
ctest --preset asan -LE 'wine|e2e'
echo "== tests: thread sanitizer (the components that run work on a second thread)"
ctest --preset tsan
if [ "$ZT_WINE_ARCH" = win32 ] && [ -x /usr/lib/wine/wine64 ]; then
  echo "== tests: the Wine tests with the 64-bit build (this machine runs both builds)"
  ZT_WINE_ARCH=win64 ctest --preset native -L 'wine|e2e'
fi
echo "== tests: native, the Wine tests with the $ZT_WINE_ARCH build"
ctest --preset native
