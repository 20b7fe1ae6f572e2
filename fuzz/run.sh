#!/usr/bin/env bash
# Long fuzz runs, one target after another, SECONDS each (not part of CI: the test command keeps
# its short smoke runs, scripts/fuzz-smoke.sh). Each target starts from its kept corpus
# (fuzz/seeds/<name>, the seeds of the smoke runs) and from what earlier long runs grew
# (build/fuzz-long/<name>); afterwards the grown corpus is minimised back into fuzz/seeds/<name>,
# to be reviewed and committed. Prints, per target, the executions and the coverage before and
# after; a crash stops with the reproducer's path.
#
#   fuzz/run.sh SECONDS [TARGET...]      e.g. fuzz/run.sh 1200 bundle_reader json
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
  echo "usage: fuzz/run.sh SECONDS [TARGET...]" >&2
  exit 2
fi
seconds=$1
shift
# ZT_FUZZ_SKIP_BUILD=1: the fuzz build is made already (so that runs can go side by side).
[ "${ZT_FUZZ_SKIP_BUILD:-}" = 1 ] || bash scripts/build.sh fuzz >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for t in build/fuzz/fuzz/fuzz_*; do [ -x "$t" ] && targets+=("$(basename "$t" | sed 's/^fuzz_//')"); done
fi
status=0
for name in "${targets[@]}"; do
  target="build/fuzz/fuzz/fuzz_$name"
  [ -x "$target" ] || { echo "no fuzz target $name" >&2; exit 2; }
  grown="build/fuzz-long/$name"
  seeds="fuzz/seeds/$name"
  mkdir -p "$grown" "$seeds"
  log="build/fuzz-long/$name.log"
  echo "== $name: ${seconds}s"
  # -jobs would share the two processors with everyone else; one process, all the time given.
  # The processor time the run really had is printed too: on a busy machine it is less than the
  # wall time given.
  if ! /usr/bin/time -f '%U %S' -o "build/fuzz-long/$name.cpu" \
        "$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="build/fuzz-long/$name-" "$grown" "$seeds" >"$log" 2>&1; then
    echo "!! $name crashed; reproducer and log:"
    ls -1 build/fuzz-long/"$name"-* 2>/dev/null || true
    tail -40 "$log"
    status=1
    continue
  fi
  first=$(grep -E '^#[0-9]+[[:space:]]+INITED' "$log" | head -1 | grep -oE 'cov: [0-9]+' || echo "cov: ?")
  last=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 | grep -oE 'cov: [0-9]+' || echo "cov: ?")
  runs=$(grep -E '^stat::number_of_executed_units' "$log" | grep -oE '[0-9]+$' || echo "?")
  cpu=$(awk 'END { printf "%.0f", $1 + $2 }' "build/fuzz-long/$name.cpu" 2>/dev/null || echo "?")
  echo "   executions $runs, coverage ${first#cov: } -> ${last#cov: }, processor time ${cpu}s"
  # Minimise what was grown and kept into the seed directory (merge keeps only inputs that add
  # coverage); the old seeds are replaced only once the merge has succeeded.
  fresh=$(mktemp -d)
  if "$target" -merge=1 -timeout=20 -rss_limit_mb=2048 "$fresh" "$seeds" "$grown" \
       >"build/fuzz-long/$name.merge.log" 2>&1; then
    rm -rf "$seeds" && mv "$fresh" "$seeds"
    echo "   seeds: $(ls "$seeds" | wc -l) files in $seeds"
  else
    rm -rf "$fresh"
    echo "!! $name: minimising failed; see build/fuzz-long/$name.merge.log"
    status=1
  fi
done
exit $status
