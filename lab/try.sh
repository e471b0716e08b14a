#!/usr/bin/env bash
# Runs the whole tester behind a real Linux NAT on this machine: builds what is missing, makes
# a lab (lab/lab.sh), starts the echo server in its wan with a short NAT schedule, and runs the
# tester in its lan: the window when a display is at hand, else the console front.
#
#   lab/try.sh [--no-alg] [--console] [lab.sh options...]
#
# By default the router's SIP helper handles UDP 5060 and its UDP mappings time out after 12 s.
#   --no-alg     no SIP helper
#   --console    the console front even when a display is at hand
# Further options go to lab/lab.sh (e.g. --udp-timeout 20, --router-mac 00:00:0c:12:34:56,
# --forward-udp 5004, --nat random). Needs root.
set -euo pipefail
. "$(dirname "$0")/../scripts/common.sh"

alg=(--alg 5060)
console=0
lab_opts=()
while [ $# -gt 0 ]; do
  case "$1" in
    --no-alg) alg=(); shift ;;
    --console) console=1; shift ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) lab_opts+=("$1"); shift ;;
  esac
done

if [ "$(id -u)" != 0 ]; then
  echo "lab/try.sh needs root (network namespaces, nftables); try: sudo -E $0" >&2
  exit 1
fi
nat_install_deps "${NAT_RUN_PACKAGES[@]}" "${NAT_LAB_PACKAGES[@]}"
nat_build_programs
# The delay of --delay, where its library is installed.
cmake --build "$BUILD" --target natlab-delay-queue >&2 2>/dev/null || true
export LAB_DELAY_PROGRAM="$BUILD/bin/natlab-delay-queue"

# MAC.CSV is kept here between tries, as the tester keeps it in its working directory.
work="$BUILD/lab-try"
mkdir -p "$work"
log="$work/server.log"
: >"$log"

# Gaps that bracket the 12 s time-out on both ports within a minute or so.
# The second address lets STUN tell every NAT class apart.
server=("$BUILD/bin/sip-alg-echo-server" --address 172.31.77.2 --other-address 172.31.77.3
        --sip-port 5060=5000,10000,20000 --sip-port 5058=7500,15000,30000 --nat-timeout-idle 5,7,10,14,20,30 --nat-timeout-refresh 5)
server_cmd="exec $(printf '%q ' "${server[@]}") 2>>$(printf '%q' "$log")"

if [ $console = 0 ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  tester=("$BUILD/bin/nat-sip-alg-tester" sip-echo.lab)
  echo "The window opens inside the lab; press \"Start test\". The server's log: $log" >&2
else
  tester=("$BUILD/bin/nat-sip-alg-tester-cli" --local-ip 192.168.77.2 sip-echo.lab)
fi

# The server is sip-echo.lab in lan's hosts file; the tester, named a server, fetches the MAC
# list from it too (a build with its own list URL would name localhost, which the lab relays to
# the server).
exec "$ROOT/lab/lab.sh" run --udp-timeout 12 --relay-localhost --wan-address 172.31.77.3 "${alg[@]}" "${lab_opts[@]}" \
  --wan-cmd "$server_cmd" --wait-tcp 80 --wait-udp 5060 --wait-udp 5058 \
  -- bash -c 'cd "$1" && shift && exec "$@"' bash "$work" "${tester[@]}"
