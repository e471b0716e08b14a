#!/usr/bin/env bash
# Installs what is missing, builds, and runs the tester.
#   scripts/run.sh                 the bundled echo server on 127.0.0.1 (a short NAT schedule)
#                                  and the tester against it; the server stops with the tester
#   scripts/run.sh host[:port]     the tester against that echo server; no server is started
# With a display the tester is the window; without one, the console front.
set -euo pipefail
. "$(dirname "$0")/common.sh"
nat_install_deps
nat_build

bin="$BUILD/bin"
args=("$@")
server_pid=""
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
}
trap stop_server EXIT

if [ ${#args[@]} -eq 0 ]; then
  # The server's sockets sit on 127.0.0.1; the RTP burst leaves from any free port, so the
  # tester's own RTP port stays free. Reports come back after 5, 10 and 20 s on 5060 and
  # after 7 and 15 s on 5058.
  echo "Starting the echo server on 127.0.0.1 (control port 80, UDP 5060 and 5058)" >&2
  # It ends with this script also when a signal ends the script before its trap can run (a
  # closed terminal's SIGHUP, a SIGTERM, a kill).
  setpriv --pdeathsig TERM "$bin/sip-alg-echo-server" --address 127.0.0.1 --rtp-port 0 \
    --sip-port 5060=5000,10000,20000 --sip-port 5058=7000,15000 &
  server_pid=$!
  for _ in $(seq 1 50); do
    (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null && break
    kill -0 "$server_pid" 2>/dev/null || { echo "The echo server did not start (is port 80 in use?)" >&2; exit 1; }
    sleep 0.1
  done
  args=(127.0.0.1)
fi

# The tester keeps its vendor list, MAC.CSV, in its working directory.
cd "$BUILD"
if [ -n "${DISPLAY:-}" ]; then
  "$bin/nat-sip-alg-tester" "${args[@]}"
else
  echo "No display: running the console front (the window's panes, line by line)" >&2
  "$bin/nat-sip-alg-tester-cli" "${args[@]}"
fi
