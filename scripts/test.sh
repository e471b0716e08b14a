#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through ctest, in four folders:
#   build/           the suite
#   build-fuzz/      every fuzz target: its seed corpus replayed, then a few seconds of fuzzing
#   build-sanitize/  the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer
#                    (without the lab, the window on a virtual display and package checks)
#   build-tsan/      the echo server's and the socket layer's tests under ThreadSanitizer
#   build-release/   the programs alone, built as Release (as a packager builds them)
# Arguments go to each ctest (e.g. -R regex). NAT_SKIP_FUZZ=1 / NAT_SKIP_SANITIZE=1 /
# NAT_SKIP_TSAN=1 / NAT_SKIP_RELEASE=1 leave a part out.
set -euo pipefail
. "$(dirname "$0")/common.sh"
nat_install_deps
failed=()

nat_build
# In a private network namespace (scripts/isolated.sh): nothing leaves this machine, and fixed
# ports never clash with services running here. Lab tests build network namespaces of their
# own; they skip themselves where that is not possible.
(cd "$BUILD" && "$ROOT/scripts/isolated.sh" ctest --output-on-failure -j "$(nproc)" --timeout 600 "$@") ||
  failed+=(suite)

if [ "${NAT_SKIP_FUZZ:-}" != 1 ]; then
  nat_build_fuzz
  (cd "$FUZZ_BUILD" && ctest --output-on-failure -j "$(nproc)" --timeout 600 -L fuzz "$@") || failed+=(fuzz)
fi

if [ "${NAT_SKIP_SANITIZE:-}" != 1 ]; then
  nat_build_sanitize
  (cd "$SANITIZE_BUILD" && ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$ROOT/scripts/isolated.sh" ctest --output-on-failure -j "$(nproc)" --timeout 900 -LE 'lab|xvfb|package' "$@") ||
    failed+=(sanitize)
fi

if [ "${NAT_SKIP_TSAN:-}" != 1 ]; then
  nat_build_tsan
  (cd "$TSAN_BUILD" && TSAN_OPTIONS="suppressions=$ROOT/tests/tsan.supp:history_size=4:second_deadlock_stack=1" \
    "$ROOT/scripts/isolated.sh" ctest --output-on-failure -j "$(nproc)" --timeout 900 -L '^(server|net)$' "$@") ||
    failed+=(tsan)
fi

if [ "${NAT_SKIP_RELEASE:-}" != 1 ]; then
  nat_build_release || failed+=(release)
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "Failed: ${failed[*]}" >&2
  exit 1
fi
