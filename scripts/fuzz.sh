#!/usr/bin/env bash
# Long fuzzing campaigns, one target after another on one core:
#   scripts/fuzz.sh [target] [seconds] [libFuzzer flags...]   (default: every target, 600 s each)
# e.g. scripts/fuzz.sh all 36000 -runs=10000000   (ten million inputs each, at most 10 h each)
# Targets are the names under tests/fuzz/ (http_response, server_sip, ...). Each keeps a working
# corpus in build-fuzz/fuzz/<target>/corpus that grows from run to run; findings land in
# build-fuzz/fuzz/<target>/artifacts, the log in build-fuzz/logs/<target>.log, whose last lines
# give the executions and the coverage reached (cov, ft). A finding that is fixed goes into
# tests/fuzz/corpus/<target>/ as a regression input.
set -euo pipefail
. "$(dirname "$0")/common.sh"
target=${1:-all}
seconds=${2:-600}
shift $(($# < 2 ? $# : 2))
nat_install_deps
nat_build_fuzz
mkdir -p "$FUZZ_BUILD/logs"
if [ "$target" = all ]; then
  targets=()
  for f in "$ROOT"/tests/fuzz/*.cpp; do targets+=("$(basename "$f" .cpp)"); done
else
  targets=("$target")
fi
status=0
for t in "${targets[@]}"; do
  if [ ! -x "$FUZZ_BUILD/bin/fuzz_$t" ]; then
    echo "no fuzz target $t" >&2
    exit 2
  fi
  log="$FUZZ_BUILD/logs/$t.log"
  echo "fuzzing $t for ${seconds}s (log: $log)" >&2
  if bash "$ROOT/tests/fuzz/run.sh" run "$FUZZ_BUILD/bin/fuzz_$t" "$ROOT/tests/fuzz/corpus/$t" \
    "$FUZZ_BUILD/fuzz/$t" "$seconds" "$@" >"$log" 2>&1; then
    grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | tail -1 >&2 || true
    grep -E 'stat::number_of_executed_units' "$log" >&2 || true
  else
    echo "FINDING in $t: see $log and $FUZZ_BUILD/fuzz/$t/artifacts/" >&2
    status=1
  fi
done
exit $status
