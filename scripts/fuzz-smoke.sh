#!/usr/bin/env bash
# Runs every fuzz target for a few seconds from its seed corpus (build/fuzz-corpus/<target>),
# so that the readers of untrusted bytes meet hostile input in every test run.
#
# The mutations follow a fixed random seed (ZT_FUZZ_SEED, default 1), so that a run on a clean
# checkout walks the same inputs wherever it runs and a finding can be reproduced; a longer run
# with the same seed covers what a shorter one does. Longer hunts choose their own seed and time.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${ZT_FUZZ_SECONDS:-15}
seed=${ZT_FUZZ_SEED:-1}
status=0
for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="build/fuzz-corpus/$name"
  mkdir -p "$corpus"
  seeds="fuzz/seeds/${name#fuzz_}"
  args=("$corpus")
  [ -d "$seeds" ] && args+=("$seeds")
  echo "== fuzz: $name (${seconds}s, seed $seed)"
  if ! "$target" -seed="$seed" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=0 \
        "${args[@]}" >"build/fuzz-corpus/$name.log" 2>&1; then
    echo "!! $name found a problem:"; tail -40 "build/fuzz-corpus/$name.log"; status=1
  else
    grep -E '^#[0-9]+[[:space:]]+DONE' "build/fuzz-corpus/$name.log" | tail -1 || true
  fi
done
exit $status
