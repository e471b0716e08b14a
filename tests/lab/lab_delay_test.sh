#!/usr/bin/env bash
# The lab's delay and jitter (--delay) on a real stream: 500 datagrams every 20 ms from lan to a
# reflector on the server's RTP port in wan and back, the one-way delays timed on the machine's
# one steady clock (tests/lab/udp_stream.py).
#
#   lab_delay_test.sh DELAY_PROGRAM
#
# Up: 30 ms, no jitter. Down: 20 ms plus 0..40 ms, wider than the spacing, so that the order
# rule shows: at 500 packets the schedule's simulation (tests/lab/delay_schedule_test.cpp) gives
# a median delay of 40.0 ms (1 in 10,000 seeds outside 37.6..43.5) and an RFC 3550 jitter of
# 12.05 ms (standard deviation 1.42; 1 in 20,000 seeds outside 7..18). The bounds below leave
# about 3 ms above those for the machine's own timing (a busy machine wakes the programs late);
# a delay is never shorter than its fixed part. Exits 77 (skipped) where no lab can be built.
set -uo pipefail
[ $# = 1 ] || { echo "usage: $0 DELAY_PROGRAM" >&2; exit 2; }
export LAB_DELAY_PROGRAM
LAB_DELAY_PROGRAM=$(realpath -m "$1")
LAB="$(cd "$(dirname "$0")/../../lab" && pwd)/lab.sh"
STREAM="$(cd "$(dirname "$0")" && pwd)/udp_stream.py"
. "$(dirname "$0")/lab_test_lib.sh"

[ -x "$LAB_DELAY_PROGRAM" ] || { echo "FAIL: $LAB_DELAY_PROGRAM is not built" >&2; exit 1; }
lab_require

name=$(lab_name)
# shellcheck disable=SC2016
# The stream's ends run with real-time priority where they may, as the delay does: the figures are
# then the delay's, not a busy machine's.
rt=()
chrt -f 10 true 2>/dev/null && rt=(chrt -f 10)
out=$("$LAB" run --name "$name" --delay 30:0:up --delay 20:40:down --timeout 60 -- bash -c '
  stream=$1; shift
  ip netns exec "$LAB_WAN_NS" "$@" python3 "$stream" reflect 5004 &
  for i in $(seq 50); do ip netns exec "$LAB_WAN_NS" ss -lunH "sport = :5004" | grep -q . && break; sleep 0.1; done
  "$@" python3 "$stream" send "$LAB_SERVER_IP" 5004 500
  wait' bash "$STREAM" "${rt[@]}" 2>&1)
echo "$out"

# field DIR NAME: the figure NAME of direction DIR.
field() { grep -E "^$1 count" <<<"$out" | sed -E "s/.* $2 ([-0-9.]+).*/\1/"; }
# within VALUE LO HI: LO <= VALUE <= HI.
within() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN {exit !(v != "" && v + 0 >= lo && v + 0 <= hi)}'; }

expect_line "$out" "^up count 500 " "every datagram went up"
expect_line "$out" "^down count 500 " "every datagram came back down"
expect_true "within '$(field up min)' 30 1000" "up: never before the fixed 30 ms (min $(field up min) ms)"
expect_true "within '$(field up median)' 30 33" "up: median 30 ms (was $(field up median))"
expect_true "within '$(field up jitter)' 0 2" "up: no jitter (was $(field up jitter) ms)"
expect_true "within '$(field down min)' 20 1000" "down: never before the fixed 20 ms (min $(field down min) ms)"
expect_true "within '$(field down median)' 37.5 46.5" "down: median about 40 ms (was $(field down median))"
expect_true "within '$(field down jitter)' 7 18" "down: RFC 3550 jitter about 12 ms (was $(field down jitter))"
expect_line "$out" "^down count .* reordered 0$" "down: a jitter wider than the spacing keeps the order"
expect_line "$out" "natlab-delay-queue: queue 2: passed 500, dropped 0" "the delay ended on the lab's SIGTERM, having passed all"
expect_true "! lab_exists '$name'" "nothing of the lab is left, its queue rules included"
lab_finish
