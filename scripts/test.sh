#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through ctest.
set -euo pipefail
. "$(dirname "$0")/common.sh"
nat_install_deps
nat_build
cd "$BUILD"
# Lab tests build network namespaces; they skip themselves where that is not possible.
ctest --output-on-failure -j "$(nproc)" --timeout 600 "$@"
