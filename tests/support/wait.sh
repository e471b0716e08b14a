# The shell tests' share of the test support; sourced, not run.

# wait_until CONDITION TENTHS: evaluates the shell condition every tenth of a second until it
# holds (status 0) or TENTHS tenths of a second have passed (status 1).
wait_until() {
  local i
  for ((i = 0; i < $2; i++)); do
    eval "$1" && return 0
    sleep 0.1
  done
  eval "$1"
}

# find_window PID: sets $win to the shown window titled "NAT - SIP ALG tester" of the program
# PID, waiting up to 10 s; status 1 when it did not show, or the program ended first.
find_window() {
  win=""
  wait_until 'win=$(xdotool search --onlyvisible --name "^NAT - SIP ALG tester$" 2>/dev/null | head -n1)
              [ -n "$win" ] || ! kill -0 '"$1"' 2>/dev/null' 100
  [ -n "$win" ]
}
