#!/usr/bin/env bash
# The main job: installs what is needed, builds ztpack and the installer front end, then builds
# a demo installer with `ztpack make` and runs it under Wine (the 32-bit build where the machine
# starts 32-bit programs, else the 64-bit one).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh windows windows64 native
bash scripts/demo.sh
