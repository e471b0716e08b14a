#!/usr/bin/env bash
# Runs a command with DISPLAY set to a virtual X display of its own (1024 x 768, 24 bit, or the
# screen NAT_XVFB_SCREEN names, such as 2048x1152x24).
# Xvfb picks a free display number itself (-displayfd), so parallel runs never collide. Xvfb
# and the command end with this script, however it ends.
# Usage: scripts/with-xvfb.sh command [args...]
set -euo pipefail
command -v Xvfb >/dev/null || { echo "Xvfb is not installed" >&2; exit 77; }
dir=$(mktemp -d)
mkfifo "$dir/fd"
setpriv --pdeathsig KILL Xvfb -displayfd 3 -screen 0 "${NAT_XVFB_SCREEN:-1024x768x24}" -nolisten tcp 3>"$dir/fd" >"$dir/log" 2>&1 &
xpid=$!
cleanup() { kill "$xpid" 2>/dev/null; wait "$xpid" 2>/dev/null || true; rm -rf "$dir"; }
trap cleanup EXIT
display=""
if ! read -r -t 20 display <"$dir/fd" || [ -z "$display" ]; then
  echo "Xvfb did not start:" >&2
  cat "$dir/log" >&2
  exit 1
fi
export DISPLAY=":$display"
export XDG_RUNTIME_DIR="$dir"
setpriv --pdeathsig KILL "$@"
