#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through ctest.
set -euo pipefail
. "$(dirname "$0")/common.sh"
nat_install_deps
nat_build
cd "$BUILD"
# In a private network namespace (scripts/isolated.sh): nothing leaves this machine, and fixed
# ports never clash with services running here. Lab tests build network namespaces of their
# own; they skip themselves where that is not possible.
"$ROOT/scripts/isolated.sh" ctest --output-on-failure -j "$(nproc)" --timeout 600 "$@"
