#!/usr/bin/env bash
# The real window behind the lab's NAT, with the SIP helper on UDP 5060 and the RTP port
# forwarded: it runs in lan on a virtual display, a
# key press on the focused "Start test" button starts a run as a user would, and when the
# server has seen the run end a screenshot of the window is saved.
#
#   lab_window_test.sh APP SERVER SCREENSHOT
#
# Exits 77 (skipped) where no lab can be built.
set -uo pipefail
[ $# = 3 ] || { echo "usage: $0 APP SERVER SCREENSHOT" >&2; exit 2; }
APP=$(realpath -m "$1")
SERVER=$(realpath -m "$2")
SHOT=$(realpath -m "$3")
LAB="$(cd "$(dirname "$0")/../../lab" && pwd)/lab.sh"
WITH_XVFB="$(cd "$(dirname "$0")/../../scripts" && pwd)/with-xvfb.sh"
. "$(dirname "$0")/lab_test_lib.sh"

for f in "$APP" "$SERVER"; do
  [ -x "$f" ] || { echo "FAIL: $f is not built" >&2; exit 1; }
done
for t in Xvfb xdotool import; do
  command -v $t >/dev/null || { echo "SKIP: $t is not installed" >&2; exit 77; }
done
lab_require

WORK=$(mktemp -d /tmp/natlab-window.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
SERVER_LOG=$WORK/server.log
mkdir -p "$(dirname "$SHOT")"
rm -f "$SHOT"

# Runs in lan: the window on a virtual display, driven like a user would.
cat >"$WORK/drive.sh" <<'EOF'
#!/usr/bin/env bash
# $1 app, $2 server log, $3 screenshot, $4 the test support's wait.sh
set -u
app=$1 log=$2 shot=$3
. "$4"
"$app" sip-echo.lab & pid=$!
if ! find_window $pid; then echo "window: not shown"; kill $pid; wait $pid; exit 1; fi
echo "window: shown"
# There is no window manager: give the window the keyboard focus; "Start test" holds the
# focus inside it, so a press of the space bar clicks it.
xdotool windowfocus --sync "$win"
sleep 0.5
xdotool key --clearmodifiers space
# The run ends when the tester closes its control connection; the server logs the session.
wait_until 'grep -q "session .* echoes" "$log" 2>/dev/null || ! kill -0 $pid 2>/dev/null' 900
grep -q 'session .* echoes' "$log" && echo "run: ended" || echo "run: did not end"
sleep 1   # the last lines painted
import -window "$win" "$shot" && echo "screenshot: saved"
# The call's chart, a window of its own beside the tester's.
chart=$(xdotool search --name "^Test call per second$" 2>/dev/null | head -1)
if [ -n "$chart" ]; then
  eval "$(xdotool getwindowgeometry --shell "$win" | sed 's/^/MAIN_/')"
  eval "$(xdotool getwindowgeometry --shell "$chart" | sed 's/^/CHART_/')"
  [ "$CHART_X" -ge $((MAIN_X + MAIN_WIDTH)) ] && echo "chart: beside the window"
  import -window "$chart" "${shot%.png}-chart.png" && echo "chart screenshot: saved"
fi
kill $pid 2>/dev/null
wait $pid 2>/dev/null
exit 0
EOF
chmod +x "$WORK/drive.sh"

# Short idle times for the NAT time-out test: the SIP helper keeps mappings to 5060 open for an
# hour, so the server's default ones (up to 190 s) would all hold and set the run's length.
server_cmd="exec $(printf '%q ' "$SERVER" --address 172.31.77.2 --other-address 172.31.77.3 --sip-port 5060=2000,4000,8000 --sip-port 5058=3000,6000 \
  --nat-timeout-idle 2,3 --nat-timeout-refresh 1 --call-max-seconds 2) 2>>$(printf '%q' "$SERVER_LOG")"
OUT=$("$LAB" run --name "$(lab_name)" --wan-address 172.31.77.3 --alg 5060 --forward-udp 5004 --udp-timeout 5 --relay-localhost --router-mac 00:00:0c:07:ac:01 \
        --wan-cmd "$server_cmd" --wait-tcp 80 --wait-udp 5060 --wait-udp 5058 --timeout 180 \
        -- bash -c 'cd "$1" && shift && exec "$@"' \
           bash "$WORK" env NAT_XVFB_SCREEN=2048x1152x24 "$WITH_XVFB" "$WORK/drive.sh" "$APP" "$SERVER_LOG" "$SHOT" \
           "$(cd "$(dirname "$0")/../support" && pwd)/wait.sh" 2>&1)
RC=$?
echo "$OUT"
echo "---- server log"
cat "$SERVER_LOG"
echo "----"

expect_true "[ $RC = 0 ]" "the lab run ends normally (status $RC)"
expect_line "$OUT" "^window: shown$" "the window is shown"
expect_line "$OUT" "^run: ended$" "the key press started a run that ended by itself"
# The helper rewrites the probes from 5060, so only 5058 runs the NAT session test.
expect_line "$(cat "$SERVER_LOG")" "session .* 16 echoes, NAT test 5058, [1-9][0-9]* RTP packets" "the server echoed the four probes, four large INVITEs, two requests for large answers and six NAT session test INVITEs, and sent RTP"
expect_line "$(cat "$SERVER_LOG")" "http .*GET /download/MAC.CSV 200" "the window fetched the vendor list from the server"
expect_line "$OUT" "^screenshot: saved$" "a screenshot is taken"
expect_line "$OUT" "^chart: beside the window$" "the call's chart opens beside the window, where the screen has room"
expect_true "[ -s '$SHOT' ]" "the screenshot is at $SHOT"
lab_finish
