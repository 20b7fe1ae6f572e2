#!/usr/bin/env bash
# Every test: installs what is needed, builds all configurations, runs the fuzz smoke runs,
# the sanitizer tests (address and undefined behaviour; threads for the bundle and setup checks)
# and the native tests (which include the Wine end-to-end tests).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh windows native asan tsan fuzz
bash scripts/fuzz-smoke.sh
echo "== tests: address and undefined-behaviour sanitizers"
# The Wine tests run the Windows build; under the sanitizers they would only repeat themselves.
ctest --preset asan -LE 'wine|e2e'
echo "== tests: thread sanitizer (the components that run work on a second thread)"
ctest --preset tsan
echo "== tests: native"
ctest --preset native
