#!/usr/bin/env bash
# Runs one fuzz target, on one core, with the limits every run shares (ctest and
# scripts/fuzz.sh both come through here):
#   run.sh replay TARGET SEEDS                          runs every input of the seed corpus once
#   run.sh run TARGET SEEDS WORKDIR SECONDS [flags...]  fuzzes for SECONDS; new inputs go to
#                                                       WORKDIR/corpus, findings to WORKDIR/artifacts
set -euo pipefail
mode=$1 target=$2 seeds=$3
# A single allocation above 64 MB is a finding: no input of a few KB needs that much.
limits=(-rss_limit_mb=1024 -malloc_limit_mb=64 -timeout=10)
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
case $mode in
  replay)
    exec "$target" "${limits[@]}" -runs=0 "$seeds"
    ;;
  run)
    work=$4 seconds=$5
    shift 5
    mkdir -p "$work/corpus" "$work/artifacts"
    exec "$target" "${limits[@]}" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/" "$@" "$work/corpus" "$seeds"
    ;;
  *)
    echo "usage: $0 replay TARGET SEEDS | run TARGET SEEDS WORKDIR SECONDS [flags...]" >&2
    exit 2
    ;;
esac
