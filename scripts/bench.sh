#!/usr/bin/env bash
# Builds and runs the benchmarks. Figures go into docs/DEVELOPERS.md by hand.
set -euo pipefail
. "$(dirname "$0")/common.sh"
nat_install_deps
nat_build
for b in "$BUILD"/bin/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" "$@"
done
