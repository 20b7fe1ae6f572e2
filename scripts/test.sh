#!/usr/bin/env bash
# Every test: installs what is needed, builds all configurations, runs the fuzz smoke runs,
# the sanitizer tests and the native tests (which include the Wine end-to-end tests).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh windows native asan fuzz
bash scripts/fuzz-smoke.sh
echo "== tests: address and undefined-behaviour sanitizers"
# The Wine tests run the Windows build; under the sanitizers they would only repeat themselves.
ctest --preset asan -LE 'wine|e2e'
echo "== tests: native"
ctest --preset native
