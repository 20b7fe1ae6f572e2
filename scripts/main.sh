#!/usr/bin/env bash
# The main job: installs what is needed, builds ztpack and the installer front end, then builds
# a demo installer with `ztpack make` and runs it under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh windows native
bash scripts/demo.sh
