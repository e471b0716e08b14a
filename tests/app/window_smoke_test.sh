#!/usr/bin/env bash
# The real window on a virtual X display: it appears with its caption and its client area of
# 780 x 650 (the panes' 534 and the result card above them), centred, painted; a screenshot is
# kept for a person to look at.
# Usage: window_smoke_test.sh <nat-sip-alg-tester> <screenshot.png>
set -u
app="$1"
shot="$2"
for tool in Xvfb xdotool import convert; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed"
    exit 77
  fi
done
mkdir -p "$(dirname "$shot")"
rm -f "$shot"

setpriv --pdeathsig KILL "$(dirname "$0")/../../scripts/with-xvfb.sh" bash -c '
  app="$1"; shot="$2"; . "$3"
  setpriv --pdeathsig KILL "$app" >"$shot.log" 2>&1 & pid=$!
  trap "kill $pid 2>/dev/null; wait $pid 2>/dev/null" EXIT
  if ! find_window $pid; then
    kill -0 $pid 2>/dev/null || { echo "FAIL: the program ended without a window"; exit 1; }
    echo "FAIL: no window named \"NAT - SIP ALG tester\" within 10 s"; exit 1
  fi
  eval "$(xdotool getwindowgeometry --shell "$win")"
  echo "window $WIDTH x $HEIGHT at $X,$Y"
  [ "$WIDTH" = 780 ] && [ "$HEIGHT" = 650 ] || { echo "FAIL: client area is $WIDTH x $HEIGHT"; exit 1; }
  # Centred on the 1024 x 768 screen (no window manager: no frame).
  [ $(( X - (1024 - 780) / 2 )) -ge -2 ] && [ $(( X - (1024 - 780) / 2 )) -le 2 ] &&
  [ $(( Y - (768 - 650) / 2 )) -ge -2 ] && [ $(( Y - (768 - 650) / 2 )) -le 2 ] ||
    { echo "FAIL: not centred"; exit 1; }
  # Once painted, a picture of the whole screen is kept. The window face is light grey, the
  # empty screen black: the middle of the window must be light.
  painted() {
    import -window root "$shot" 2>/dev/null &&
      mean=$(convert "$shot" -crop 600x60+212+300 -colorspace Gray -format "%[fx:mean]" info: 2>/dev/null) &&
      awk -v m="${mean:-0}" "BEGIN { exit !(m > 0.5) }"
  }
  wait_until painted 20 && exit 0
  echo "FAIL: the window was not painted (mean grey ${mean:-none})"
  exit 1
' bash "$app" "$shot" "$(dirname "$0")/../support/wait.sh"
rc=$?
[ $rc -eq 0 ] && echo "ok: screenshot in $shot"
exit $rc
