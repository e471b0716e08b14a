#!/usr/bin/env bash
# Installs what the programs need, builds them (and nothing else), and runs the tester.
#   scripts/run.sh                 the bundled echo server on 127.0.0.1 (a short NAT schedule)
#                                  and the tester against it; the server stops with the tester
#   scripts/run.sh host[:port]     the tester against that echo server; no server is started
# With a display the tester is the window; without one, the console front.
# What the installation and the build print, and the bundled server's log, go to files in the
# build folder; a failure shows their last lines.
set -euo pipefail
. "$(dirname "$0")/common.sh"
mkdir -p "$BUILD"
build_log="$BUILD/run-build.log"
echo "Installing what is missing and building the programs; the output goes to $build_log" >&2
if ! (nat_install_deps "${NAT_RUN_PACKAGES[@]}" && nat_build_programs) >"$build_log" 2>&1; then
  echo "The installation or the build failed; its last lines ($build_log):" >&2
  tail -n 25 "$build_log" >&2
  exit 1
fi

bin="$BUILD/bin"
args=("$@")
server_pid=""
own_server=""
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
}
trap stop_server EXIT

if [ ${#args[@]} -eq 0 ]; then
  # The bundled server needs TCP port 80 of 127.0.0.1. When another program (a web server) holds
  # it, the server and the tester run in a private network namespace of their own, which only
  # root can make; the other program is left alone.
  if (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null; then
    if [ "${NAT_ISOLATED:-}" != 1 ] && [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
      echo "Port 80 of 127.0.0.1 is taken by another program: the echo server and the tester run in a" \
           "private network namespace (with no router to find in it)" >&2
      exec "$ROOT/scripts/isolated.sh" "$0"
    fi
    echo "Port 80 of 127.0.0.1 is taken by another program, and the bundled echo server needs it." >&2
    if [ "$(id -u)" != 0 ]; then
      echo "Run this as root (the server and the tester then run in a network namespace of their own)," >&2
      echo "or name an echo server: scripts/run.sh host[:port]" >&2
    else
      echo "No network namespace can be made here; name an echo server: scripts/run.sh host[:port]" >&2
    fi
    exit 1
  fi
  # The server's sockets sit on 127.0.0.1; the RTP burst leaves from any free port, so the
  # tester's own RTP port stays free. Reports come back after 5, 10 and 20 s on 5060 and
  # after 7 and 15 s on 5058.
  server_log="$BUILD/echo-server.log"
  echo "Starting the echo server on 127.0.0.1 (control port 80, UDP 5060 and 5058); its log goes to $server_log" >&2
  # It ends with this script also when a signal ends the script before its trap can run (a
  # closed terminal's SIGHUP, a SIGTERM, a kill).
  setpriv --pdeathsig TERM "$bin/sip-alg-echo-server" --address 127.0.0.1 --rtp-port 0 \
    --sip-port 5060=5000,10000,20000 --sip-port 5058=7000,15000 --nat-timeout-idle 5,10,20 --nat-timeout-refresh 5 \
    >"$server_log" 2>&1 &
  server_pid=$!
  for _ in $(seq 1 50); do
    (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null && break
    if ! kill -0 "$server_pid" 2>/dev/null; then
      echo "The echo server did not start; the last lines of its log:" >&2
      tail -n 15 "$server_log" >&2
      exit 1
    fi
    sleep 0.1
  done
  args=(127.0.0.1)
  own_server=1
fi

# The tester keeps its vendor list, MAC.CSV, in its working directory.
cd "$BUILD"
status=0
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  "$bin/nat-sip-alg-tester" "${args[@]}" || status=$?
else
  echo "No display: running the console front (the window's panes, line by line, then a summary)" >&2
  "$bin/nat-sip-alg-tester-cli" "${args[@]}" || status=$?
fi
if [ -n "${own_server:-}" ]; then
  echo "This run used an echo server on this computer: it only shows how the tester works, and says nothing" \
       "about a router. To test a router, name an echo server on the internet: scripts/run.sh host[:port]"
fi
exit "$status"
