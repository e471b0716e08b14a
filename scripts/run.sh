#!/usr/bin/env bash
# Installs what is missing, builds, and runs the tester: scripts/run.sh [host[:port]]
set -euo pipefail
. "$(dirname "$0")/common.sh"
nat_install_deps
nat_build

if [ -n "${DISPLAY:-}" ]; then
  exec "$BUILD/bin/nat-sip-alg-tester" "$@"
fi

# No display: show the window on a virtual one and keep a picture of it.
shot="$BUILD/screenshot.png"
echo "No display: running the window under Xvfb; the screenshot goes to $shot" >&2
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  "$0" "$@" & app=$!
  for i in $(seq 1 50); do
    xdotool search --name "NAT - SIP ALG tester" >/dev/null 2>&1 && break
    sleep 0.2
  done
  sleep 1
  import -window root "'"$shot"'"
  kill $app 2>/dev/null; wait $app 2>/dev/null || true
' "$BUILD/bin/nat-sip-alg-tester" "$@"
echo "Screenshot: $shot" >&2
