#!/usr/bin/env bash
# One scenario of the whole tester behind a real NAT: the console front runs in the lab's lan,
# the echo server in its wan, and the router between them is set up for the scenario.
#
#   lab_scenario_test.sh SCENARIO CLI SERVER
#
# Scenarios: no_alg, rtp_forwarded, fragments_dropped, fragments_dropped_in, sip_helper, sip_helper_both, sip_helper_tcp, router_mac, udp_dropped,
# udp_back_dropped, tcp_dropped, short_mapping, two_addresses, round_robin, the checks over TCP on
# lossy, filtering and small-segment paths tcp_lossy_30, tcp_lossy_50, tcp_filtered,
# tcp_small_mss, and the NAT classes
# nat_masquerade, nat_random, nat_full_cone, nat_restricted_cone, and the NAT time-out test on
# the tester's own mappings: timeout_linux, timeout_alg, timeout_lossy, timeout_outbound_only,
# timeout_10s, timeout_long,
# and the test call: call_clean, call_loss_up, call_loss_down, call_delay_jitter, call_one_way.
# Exits 77 (skipped) where no lab can be built.
set -uo pipefail
[ $# = 3 ] || { echo "usage: $0 SCENARIO CLI SERVER" >&2; exit 2; }
SCENARIO=$1
CLI=$(realpath -m "$2")
SERVER=$(realpath -m "$3")
LAB="$(cd "$(dirname "$0")/../../lab" && pwd)/lab.sh"
. "$(dirname "$0")/lab_test_lib.sh"

for f in "$CLI" "$SERVER"; do
  [ -x "$f" ] || { echo "FAIL: $f is not built" >&2; exit 1; }
done
lab_require

WORK=$(mktemp -d /tmp/natlab-scenario.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
SERVER_LOG=$WORK/server.log
# The NAT time-out test on the tester's own mappings, kept short where a scenario is about
# something else: the server's default idle times (up to 190 s) would set the run's length.
TIMEOUT_PLAN=(--nat-timeout-idle 2,3 --nat-timeout-refresh 1)
# The test call likewise: 2 s where the scenario is not about it (the server's default takes 30).
CALL_PLAN=(--call-max-seconds 2)

# A command the server runs under (chrt for real-time priority).
SERVER_PREFIX=()

# run_tester LAB_OPTIONS... -- SERVER_OPTIONS... : builds a lab with the server in wan and runs
# the console front once in lan, in $WORK (where MAC.CSV is kept). Sets OUT (what it printed,
# stderr included) and RC (its exit status), and SECS (how long it ran). LAN_BEFORE, when set, is a
# command line run in lan (in $WORK) before the tester, through the same router.
run_tester_in_lab() {
  local lab_opts=() server_opts=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do lab_opts+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  server_opts=("${TIMEOUT_PLAN[@]}" "${CALL_PLAN[@]}" "$@")
  local server_cmd
  server_cmd="exec $(printf '%q ' "${SERVER_PREFIX[@]}" "$SERVER" --address 172.31.77.2 "${server_opts[@]}") 2>>$(printf '%q' "$SERVER_LOG")"
  local start=$SECONDS
  OUT=$("$LAB" run --name "$(lab_name)" --relay-localhost "${lab_opts[@]}" \
          --wan-cmd "$server_cmd" --wait-tcp 80 --wait-udp 5060 --wait-udp 5058 --timeout "${LAB_TIMEOUT:-240}" \
          -- bash -c 'cd "$1" && eval "$2"; shift 2 && exec "$@"' bash "$WORK" "${LAN_BEFORE:-:}" "${TESTER[@]}" 2>&1)
  RC=$?
  SECS=$((SECONDS - start))
  echo "---- tester output (status $RC, ${SECS}s)"
  echo "$OUT"
  echo "---- server log"
  cat "$SERVER_LOG" 2>/dev/null
  echo "----"
}

# The console front, with the server named as lan's hosts file knows it. The built-in MAC list
# URL names localhost, which the lab relays to the server.
TESTER=("$CLI" --local-ip 192.168.77.2 --max-seconds 150 sip-echo.lab)

# A run that ends soon after its checks: the NAT forgets idle mappings after 3 s, so the 5 s
# report the server announces never comes and the countdown ends the run.
QUICK_END=(--udp-timeout 3)
QUICK_SCHEDULE=(--sip-port 5060=1000,5000 --sip-port 5058=1000,5000)

# Lines of pane $1 ([SIP], [NAT], ...) that match $2, in order.
pane_lines() { grep -E "^\[$1\] " <<<"$OUT" | sed -E "s/^\[$1\] //" | grep -E -- "$2"; }

# The last "ok after" age printed for port $1.
last_ok_after() {
  pane_lines NAT "^NAT session on port $1 ok after [0-9]+s$" | tail -1 | sed -E 's/.* ok after ([0-9]+)s$/\1/'
}

# The class an RFC 5780 client that Debian packages reported in file $1 for $2 (Mapping or
# Filtering), in the tester's words; "none" when it reported none.
reference_kind() {
  local line
  line=$(grep -oE "(NAT with (Endpoint Independent|Address Dependent|Address and Port Dependent)|No NAT! \(Endpoint Independent) $2" "$1" | head -1)
  case "$line" in
    *"Endpoint Independent"*) echo "endpoint-independent" ;;
    *"Address and Port Dependent"*) echo "address and port dependent" ;;
    *"Address Dependent"*) echo "address-dependent" ;;
    *) echo none ;;
  esac
}

# The tester's class for $1 (mapping or filtering), from its NAT pane line.
tester_kind() { pane_lines NAT "^NAT $1: " | head -1 | sed -E "s/^NAT $1: //; s/ \(port (kept|changed)\)$//"; }

# A router of NAT kind $1 (lab.sh --nat, with further lab options after it), the server with its
# second address; the reference client runs through the router first, then the tester. Both
# must find mapping $2 and filtering $3, and agree on hairpinning ($4: yes or no). Further
# arguments go to lab.sh, those after -- to the server.
class_scenario() {
  local kind=$1 mapping=$2 filtering=$3 hairpin=$4 lab_extra=() server_extra=()
  shift 4
  while [ $# -gt 0 ] && [ "$1" != -- ]; do lab_extra+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  server_extra=("$@")
  LAN_BEFORE="turnutils_natdiscovery -m -f -H 172.31.77.2 >reference.txt 2>&1"
  run_tester_in_lab --nat "$kind" "${lab_extra[@]}" --wan-address 172.31.77.3 -- \
    --other-address 172.31.77.3 --sip-port 5060=1000,2000 --sip-port 5058=1000,2000 "${server_extra[@]}"
  LAN_BEFORE=""
  echo "---- reference client"
  cat "$WORK/reference.txt" 2>/dev/null
  echo "----"
  local ref_map ref_filter ref_hairpin=no
  ref_map=$(reference_kind "$WORK/reference.txt" Mapping)
  ref_filter=$(reference_kind "$WORK/reference.txt" Filtering)
  grep -q "Received a request (maybe a successful hairpinning)" "$WORK/reference.txt" && ref_hairpin=yes
  expect_true "[ \"$ref_map\" = \"$mapping\" ] && [ \"$ref_filter\" = \"$filtering\" ]" \
    "the reference client finds the router's class: $ref_map mapping, $ref_filter filtering"
  expect_true "[ \"\$(tester_kind mapping)\" = \"$ref_map\" ]" "the tester's mapping is the reference's: $(tester_kind mapping)"
  expect_true "[ \"\$(tester_kind filtering)\" = \"$ref_filter\" ]" "the tester's filtering is the reference's: $(tester_kind filtering)"
  expect_line "$OUT" "^\[NAT\] NAT hairpinning: $ref_hairpin$" "hairpinning as the reference found it ($ref_hairpin)"
  expect_true "[ $ref_hairpin = $hairpin ]" "hairpinning is what the router does ($hairpin)"
  expect_line "$OUT" "^\[NAT\] NAT public address: 172\.31\.77\.1:[0-9]+$" "the public address is the router's"
  # The class lines come before the time-out lines.
  expect_true "[ \"\$(pane_lines NAT '^NAT (mapping|session on port)' | head -1 | cut -c1-11)\" = 'NAT mapping' ]" \
    "the class comes before the time-out lines"
  expect_four_verdicts_without_alg
  expect_true "[ $RC = 0 ]" "the run completes, whatever the class (status 0, was $RC)"
}

expect_four_verdicts_without_alg() {
  expect_true "[ \"\$(pane_lines SIP '^No ALG detected on port 5060\. $' | wc -l)\" = 2 ]" \
    "REGISTER and INVITE from 5060: No ALG detected"
  expect_true "[ \"\$(pane_lines SIP '^No ALG detected on port 5058\. $' | wc -l)\" = 2 ]" \
    "REGISTER and INVITE from 5058: No ALG detected"
  expect_no_line "$OUT" "ALG active" "no ALG verdict"
}

# SIP over TCP, after the checks by UDP: nothing changed on either port.
expect_tcp_verdicts_without_alg() {
  expect_true "[ \"\$(pane_lines SIP '^No ALG detected on TCP port 5060\.$' | wc -l)\" = 2 ]" \
    "REGISTER and INVITE over TCP to 5060: No ALG detected"
  expect_true "[ \"\$(pane_lines SIP '^No ALG detected on TCP port 5058\.$' | wc -l)\" = 2 ]" \
    "REGISTER and INVITE over TCP to 5058: No ALG detected"
}

# Large SIP messages: for both ports and sizes of way $1 (up, down or tcp), the SIP pane says $2
# (arrived unchanged, did not arrive, ...); a line of port $3 alone when given.
expect_large() {
  local way=$1 said=$2 ports=${3:-5060 5058} sizes="2,000 4,000" port size prefix
  for port in $ports; do
    case "$way" in
      up) prefix="Large SIP over UDP to port $port" ;;
      down) prefix="Large SIP from the server to port $port" ;;
      tcp) prefix="Large SIP over TCP to port $port"; sizes="4,000" ;;
    esac
    for size in $sizes; do
      expect_line "$OUT" "^\[SIP\] $prefix: $size bytes( \([23] fragments\))? $said" "$prefix: $size bytes $said"
    done
  done
}

# The NAT time-out test: LAB_OPTIONS... -- SERVER_OPTIONS..., the console front with --json and
# short schedules for the per-port session test (TIMEOUT_SIP_PORTS, empty for the server's
# defaults), so that the time-out test decides when the run ends. Sets OUT as run_tester_in_lab
# does, NT (summary.nat_timeout, compact) and RUN_SECS (the server's length of the session, token
# to end).
TIMEOUT_SIP_PORTS=(--sip-port 5060=2000,3000 --sip-port 5058=2000,3000)
timeout_run() {
  local lab_opts=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do lab_opts+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  command -v jq >/dev/null || { echo "FAIL: jq is not installed (scripts/test.sh installs it)"; exit 1; }
  # shellcheck disable=SC2016
  TESTER=(bash -c '"$@" >run.json' bash "$CLI" --json --local-ip 192.168.77.2 --max-seconds 260 sip-echo.lab)
  TIMEOUT_PLAN=()
  LAB_TIMEOUT=290 run_tester_in_lab "${lab_opts[@]}" -- "${TIMEOUT_SIP_PORTS[@]}" "$@"
  timeout_load
}

# OUT, NT and RUN_SECS from the run's files in $WORK and $SERVER_LOG.
timeout_load() {
  echo "---- JSON"
  cat "$WORK/run.json" 2>/dev/null
  echo
  OUT=$(jq -r '(.panes.nat[] | "[NAT] " + .), (.summary.lines[] | "[RESULT] " + .), (.advice[] | "[ADVICE] " + .)' \
          "$WORK/run.json" 2>/dev/null)
  NT=$(jq -c '.summary.nat_timeout' "$WORK/run.json" 2>/dev/null)
  RUN_SECS=$(grep -oE 'session 172\.31\.77\.1:[0-9]+ token [0-9a-f]+ [0-9.]+s' "$SERVER_LOG" | head -1 | awk '{print $NF}')
  grep -E '^\[(NAT|RESULT)\] NAT (time-out|refresh by)' <<<"$OUT"
  echo "run length (the server's session, token to end): ${RUN_SECS:-unknown}; the lab ${SECS:-?}s"
}

# What every time-out run must show; $1: the exit status expected (a regular expression).
timeout_checks() {
  expect_true "[[ $RC =~ ^($1)\$ ]]" "the run completes (status $1, was $RC)"
  expect_true "[ -n '$NT' ] && [ '$NT' != null ]" "the JSON summary has nat_timeout"
  local maps
  maps=$(( $(jq '.idle_seconds_tested | length' <<<"$NT" 2>/dev/null || echo 0) * 2 + 1 ))
  expect_line "$(cat "$SERVER_LOG")" "NAT time-out test $maps mappings" "the server took all $maps mappings (two per idle time, one for refresh)"
  json_is .port 3480 "the test talked to the server's own port for it"
}

timeout_scenario() {
  timeout_run "$@"
  timeout_checks "${TIMEOUT_RC:-0}"
}

# nat_timeout_lines WHICH REGEX WHAT: the summary's line "NAT WHICH: ..." ("time-out of a new
# mapping", "time-out of a busy mapping", "refresh by incoming traffic") ends in REGEX (the NAT
# pane's line is the same text).
nat_timeout_lines() { expect_line "$OUT" "^\[RESULT\] NAT $1: $2\$" "$3"; }

# json_is FILTER REGEX WHAT: jq's compact result of FILTER on summary.nat_timeout matches REGEX
# (anchored).
json_is() {
  local got
  got=$(jq -c "$1" <<<"$NT" 2>/dev/null)
  expect_true "[[ '$got' =~ ^($2)\$ ]]" "JSON summary.nat_timeout$1 is $2: $3 (was $got)"
}
bracket='| [.held_seconds, .gone_by_seconds]'

# The test call: SECONDS LAB_OPTIONS... -- SERVER_OPTIONS..., the console front with --json, a
# call of SECONDS and short schedules for everything else, so that the call sets the run's length.
# Sets OUT as run_tester_in_lab does and CALL (the JSON's call object, compact). With REALTIME=1
# the tester and the server run with real-time priority where they may, so that a busy machine
# adds no jitter of its own to the lab's.
call_scenario() {
  local seconds=$1 lab_opts=() rt=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do lab_opts+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  command -v jq >/dev/null || { echo "FAIL: jq is not installed (scripts/test.sh installs it)"; exit 1; }
  [ "${REALTIME:-0}" = 1 ] && chrt -f 10 true 2>/dev/null && rt=(chrt -f 10)
  SERVER_PREFIX=("${rt[@]}")
  CALL_PLAN=()
  # shellcheck disable=SC2016
  TESTER=("${rt[@]}" bash -c '"$@" >run.json' bash "$CLI" --json --local-ip 192.168.77.2 --max-seconds 150
          --call-seconds "$seconds" sip-echo.lab)
  run_tester_in_lab "${lab_opts[@]}" -- "${QUICK_SCHEDULE[@]}" "$@"
  echo "---- JSON"
  cat "$WORK/run.json" 2>/dev/null
  echo
  CALL=$(jq -c '.call' "$WORK/run.json" 2>/dev/null)
  echo "call: $CALL (the lab ${SECS}s)"
  expect_true "[ -n '$CALL' ] && [ '$CALL' != null ]" "the JSON has the call"
  call_is '[.seconds, .packets_per_second]' "\\[$seconds,50\\]" "a call of ${seconds} s at 50 packets per second"
}

# call_is FILTER REGEX WHAT: jq's compact result of FILTER on the call object matches REGEX
# (anchored).
call_is() {
  local got
  got=$(jq -c "$1" <<<"$CALL" 2>/dev/null)
  expect_true "[[ '$got' =~ ^($2)\$ ]]" "call$1 is $2: $3 (was $got)"
}

# call_within FILTER LO HI WHAT: the number FILTER gives on the call object lies in [LO, HI].
call_within() {
  local got
  got=$(jq -r "$1" <<<"$CALL" 2>/dev/null)
  expect_true "awk -v v='$got' 'BEGIN {exit !(v ~ /^-?[0-9.]+(e[-+]?[0-9]+)?\$/ && v + 0 >= $2 && v + 0 <= $3)}'" \
    "call$1 within [$2, $3]: $4 (was $got)"
}


case "$SCENARIO" in

  no_alg | rtp_forwarded)
    # A mapping time-out of 10 s, and schedules whose gaps bracket it on both ports: the last
    # gap that gets through is 8 s on 5060 and 6 s on 5058.
    extra=()
    [ "$SCENARIO" = rtp_forwarded ] && extra=(--forward-udp 5004)
    run_tester_in_lab --udp-timeout 10 "${extra[@]}" -- \
      --sip-port 5060=4000,8000,16000 --sip-port 5058=6000,12000 --rtp-packets 30
    expect_true "[ $RC = 0 ]" "the run completes without an ALG (status 0, was $RC)"
    expect_four_verdicts_without_alg
    expect_tcp_verdicts_without_alg
    expect_line "$OUT" "^\[LOG\] Received [0-9]+ bytes on TCP port 5060 from 172\.31\.77\.1:[0-9]+$" "the server saw the messages over TCP from the router's public address"
    expect_line "$(cat "$SERVER_LOG")" "session 172\.31\.77\.1:[0-9]+ token .* 6 echoes over TCP" "the server echoed the four messages over TCP and the two large ones"
    expect_line "$OUT" "^\[LOG\] Received [0-9]+ bytes on UDP port 5060 from 172\.31\.77\.1:5060$" "the server saw the probes from the router's public address"
    expect_line "$OUT" "^\[LOG\] Checking NAT timeout on port 5060\. Up to 5 minutes needed\.\.\.$" "NAT session test on 5060"
    expect_line "$OUT" "^\[LOG\] Checking NAT timeout on port 5058\. Up to 5 minutes needed\.\.\.$" "NAT session test on 5058"
    expect_true "[ \"\$(last_ok_after 5060)\" = 8 ]" "5060: the last gap that held is 8 s, below the 10 s time-out"
    expect_true "[ \"\$(last_ok_after 5058)\" = 6 ]" "5058: the last gap that held is 6 s"
    expect_no_line "$OUT" "^\[NAT\] NAT session on port 5060 ok after (1[0-9]|[2-9][0-9])s$" "5060: no gap beyond the time-out is reported"
    expect_no_line "$OUT" "^\[NAT\] NAT session on port 5058 ok after (1[0-9]|[2-9][0-9])s$" "5058: no gap beyond the time-out is reported"
    expect_line "$OUT" "^\[NAT\] Checking port 5060 after 16s \.\.\.$" "the tester waited for the 16 s report that the NAT dropped"
    expect_true "[ $SECS -lt 120 ]" "the run ends by itself when the countdown runs out (${SECS}s)"
    # The plain lab's one router, told from the path: the server is the next hop.
    expect_line "$OUT" "^\[NAT\] NAT layers: 1 \(the echo server is the next hop after the router\)$" "one NAT layer"
    # A router that forwards fragments: large SIP passes both ways, after the checks over TCP.
    expect_large up "arrived unchanged"
    expect_large down "arrived$"
    expect_large tcp "arrived unchanged"
    expect_true "[ \"\$(pane_lines SIP '^(No ALG detected on TCP|Large SIP)' | head -5 | tail -1 | cut -c1-9)\" = 'Large SIP' ]" \
      "the large messages' lines follow the four verdicts over TCP"
    expect_line "$OUT" "^\[LOG\] Received 4000 bytes on UDP port 5060 from 172\.31\.77\.1:5060$" "the 4,000-byte INVITE reached the server whole"
    expect_no_line "$OUT" "^\[ADVICE\] Large SIP" "no advice about large messages"
    if [ "$SCENARIO" = no_alg ]; then
      # No mapping holds the RTP port: the server's RTP datagrams die at the router.
      expect_no_line "$OUT" "^\[RTP\] .*working" "no RTP verdict"
    else
      expect_line "$OUT" "^\[RTP\] RTP \(audio\) port 5004 working$" "RTP verdict for port 5004"
      # Both NAT session tests announce 5004: the server sends one burst there.
      counted=$(pane_lines RTP '^[0-9]+ pkts received$' | awk '{s += $1} END {print s + 0}')
      sent=$(grep -oE '[0-9]+ RTP packets' "$SERVER_LOG" | awk '{s += $1} END {print s + 0}')
      expect_true "[ '$sent' = 30 ] && [ '$counted' = '$sent' ]" "every datagram of the one burst to 5004 arrived (sent $sent, counted $counted)"
    fi
    ;;

  sip_helper)
    # The kernel's SIP helper on UDP 5060 rewrites the private address wherever it stands for
    # the sender: Via and Contact in both requests, and the SDP o= and c= lines of the INVITE.
    # It leaves the request line, From, To, Call-ID (even with the address in it) and the m=
    # line as they were.
    run_tester_in_lab --alg 5060 -- --sip-port 5060=2000,3000 --sip-port 5058=2000,3000
    expect_true "[ $RC = 1 ]" "the run reports an ALG (status 1, was $RC)"
    expect_line "$OUT" "^\[SIP\] ALG active on port 5060\. 2 header\(s\) changed$" "REGISTER from 5060: Via and Contact changed"
    expect_line "$OUT" "^\[SIP\] ALG active on port 5060\. 4 header\(s\) changed$" "INVITE from 5060: Via, Contact, SDP o= and c= changed"
    expect_true "[ \"\$(pane_lines SIP '^No ALG detected on port 5058\. $' | wc -l)\" = 2 ]" "both probes from 5058: No ALG detected"
    expect_no_line "$OUT" "ALG active on port 5058" "no ALG on 5058"
    log=$(pane_lines LOG '.')
    expect_true "[ \"\$(grep -c '^Via Sent:Via: SIP/2.0/UDP 192.168.77.2:5060;branch=z9hG4bK1694065387$' <<<\"\$log\")\" = 2 ]" "Via sent twice with the private address"
    expect_true "[ \"\$(grep -c '^Via Rcvd:Via: SIP/2.0/UDP 172.31.77.1:5060;branch=z9hG4bK1694065387$' <<<\"\$log\")\" = 2 ]" "Via received twice with the router's public address"
    expect_true "[ \"\$(grep -c '^Contact Sent:Contact: <sip:421421@192.168.77.2:5060>$' <<<\"\$log\")\" = 2 ]" "Contact sent with the private address"
    expect_true "[ \"\$(grep -c '^Contact Rcvd:Contact: <sip:421421@172.31.77.1:5060>$' <<<\"\$log\")\" = 2 ]" "Contact received with the public address"
    expect_line "$log" "^SDP IP1 Sent:o=- 1439573762 1439573762 IN IP4 192.168.77.2$" "SDP o= sent"
    expect_line "$log" "^SDP IP1 Rcvd:o=- 1439573762 1439573762 IN IP4 172.31.77.1$" "SDP o= rewritten"
    expect_line "$log" "^SDP IP2 Sent:c=IN IP4 192.168.77.2$" "SDP c= sent"
    expect_line "$log" "^SDP IP2 Rcvd:c=IN IP4 172.31.77.1$" "SDP c= rewritten"
    # Over TCP, where no helper is, nothing changes: eight probes in all.
    expect_tcp_verdicts_without_alg
    expect_true "[ \"\$(grep -c '^SDP Port check:    OK$' <<<\"\$log\")\" = 4 ]" "SDP m= untouched (all four INVITEs)"
    for row in "Request URI check: OK" "From check:        OK" "To check:          OK" "CallId check:      OK"; do
      expect_true "[ \"\$(grep -cF '$row' <<<\"\$log\")\" = 8 ]" "'$row' for all eight probes"
    done
    expect_no_line "$OUT" "Checking NAT timeout on port 5060" "no NAT session test on 5060"
    expect_line "$OUT" "^\[LOG\] Checking NAT timeout on port 5058\. Up to 5 minutes needed\.\.\.$" "NAT session test on 5058"
    expect_line "$OUT" "^\[NAT\] NAT session on port 5058 ok after 3s$" "5058 reports arrive"
    # A large INVITE to 5060 too: conntrack reassembles its fragments, the helper rewrites it as
    # the small one (Via, Contact, o=, c=) and corrects its Content-Length, 2 bytes shorter for
    # each address in the body, and the router sends it on in fragments again. The ICE candidates
    # that name the private address are left alone.
    expect_large up "arrived changed: 5 headers rewritten$" 5060
    expect_large up "arrived unchanged$" 5058
    expect_line "$OUT" "^\[LOG\] Received 3996 bytes on UDP port 5060 from 172\.31\.77\.1:5060$" "the 4,000-byte INVITE reached the server 4 bytes shorter"
    # (The body's length depends on the token's, which the INVITE's Call-ID carries.)
    sent_length=$(sed -nE 's/^\[LOG\] Large INVITE 4000 line 14 Sent:Content-Length: ([0-9]+)$/\1/p' <<<"$OUT" | head -1)
    expect_line "$OUT" "^\[LOG\] Large INVITE 4000 line 14 Rcvd:Content-Length: $((${sent_length:-0} - 2))$" \
      "its Content-Length corrected ($sent_length sent)"
    expect_line "$OUT" "^\[LOG\] Large INVITE 4000 line 19 Rcvd:c=IN IP4 172\.31\.77\.1$" "its c= line rewritten"
    expect_no_line "$OUT" "^\[LOG\] Large INVITE 4000 line [0-9]+ Rcvd:a=candidate" "its ICE candidates untouched"
    expect_large down "arrived$"
    expect_large tcp "arrived unchanged$"
    expect_line "$OUT" "^\[ADVICE\] The router changes large SIP messages it lets through" "the advice says large messages are changed"
    expect_no_line "$OUT" "^\[NAT\] NAT session on port 5060" "no reports on 5060"
    ;;

  sip_helper_tcp)
    # The kernel's SIP helper on TCP 5060 only: over TCP to 5060 it rewrites Via and Contact
    # (the connection's own address and port, with the transport TCP) and the SDP o= and c=
    # lines; TCP 5058 and UDP pass untouched. The INVITEs over TCP announce audio ports of their
    # own, so the helper lets them through.
    run_tester_in_lab --alg-tcp 5060 -- --sip-port 5060=2000,3000 --sip-port 5058=2000,3000
    expect_true "[ $RC = 1 ]" "the run reports an ALG (status 1, was $RC)"
    expect_true "[ \"\$(pane_lines SIP '^No ALG detected on port 5060\. $' | wc -l)\" = 2 ]" "by UDP to 5060: No ALG detected"
    expect_true "[ \"\$(pane_lines SIP '^No ALG detected on port 5058\. $' | wc -l)\" = 2 ]" "by UDP to 5058: No ALG detected"
    expect_line "$OUT" "^\[SIP\] ALG active on TCP port 5060\. 2 header\(s\) changed$" "REGISTER over TCP to 5060: Via and Contact changed"
    expect_line "$OUT" "^\[SIP\] ALG active on TCP port 5060\. 4 header\(s\) changed$" "INVITE over TCP to 5060: Via, Contact, SDP o= and c= changed"
    expect_true "[ \"\$(pane_lines SIP '^No ALG detected on TCP port 5058\.$' | wc -l)\" = 2 ]" "over TCP to 5058: No ALG detected"
    expect_no_line "$OUT" "swallowed|not reachable" "every message over TCP came back"
    log=$(pane_lines LOG '.')
    expect_line "$log" "^Via Sent:Via: SIP/2\.0/TCP 192\.168\.77\.2:[0-9]+;branch=z9hG4bK1694065387$" "Via sent with the private address"
    expect_line "$log" "^Via Rcvd:Via: SIP/2\.0/TCP 172\.31\.77\.1:[0-9]+;branch=z9hG4bK1694065387$" "Via received with the router's public address"
    expect_line "$log" "^SDP IP2 Rcvd:c=IN IP4 172\.31\.77\.1$" "SDP c= rewritten"
    expect_line "$OUT" "^\[LOG\] Checking NAT timeout on port 5060\. Up to 5 minutes needed\.\.\.$" "UDP 5060 untouched: its NAT session test runs"
    expect_line "$OUT" "^\[RESULT\] SIP ALG on TCP port 5060: active \(REGISTER over TCP: 2 header\(s\) changed, INVITE over TCP: 4 header\(s\) changed\)$" "the summary names the ALG over TCP"
    expect_line "$OUT" "^\[ADVICE\] The ALG rewrites SIP over TCP only: SIP over UDP passed untouched\.$" "the advice says which way round"
    ;;

  router_mac)
    # 70:B3:D5:F2:F1:23 lies in a 36-bit block of the IEEE list, inside the 24-bit block of the
    # registration authority itself: the longer prefix names the maker.
    opts=(--router-mac 70:b3:d5:f2:f1:23 -- --sip-port 5060=1000,2000 --sip-port 5058=1000,2000)
    # The built-in endpoints, which name localhost, and no local address: the first one.
    TESTER=("$CLI" --max-seconds 150)
    run_tester_in_lab "${opts[@]}"
    first=$OUT
    expect_true "[ $RC = 0 ]" "first run completes (status $RC)"
    expect_line "$OUT" "^\[SIP\] Router IP: 192\.168\.77\.1$" "the router's address"
    expect_line "$OUT" "^\[SIP\] Router mac address: 70B3D5F2F123$" "the router's MAC"
    expect_line "$OUT" "^\[SIP\] Downloading MAC list\.\.\. $" "the list is checked"
    expect_line "$OUT" "^\[SIP\] Downloading new mac file list$" "the first start downloads the list"
    expect_line "$OUT" "^\[SIP\] TELEPLATFORMS$" "the maker's name from the list"
    expect_no_line "$OUT" "IEEE Registration Authority" "the 36-bit block wins over the 24-bit one"
    expect_true "[ -s '$WORK/MAC.CSV' ]" "MAC.CSV is kept in the working directory"
    run_tester_in_lab "${opts[@]}"
    expect_true "[ $RC = 0 ]" "second run completes (status $RC)"
    expect_line "$OUT" "^\[SIP\] Downloading MAC list\.\.\. $" "the second start checks the list"
    expect_no_line "$OUT" "Downloading new mac file list" "the second start does not download it again"
    expect_line "$OUT" "^\[SIP\] TELEPLATFORMS$" "and still names the maker"
    expect_no_line "$first$OUT" "Exception in HTTP connection" "no HTTP failure"
    ;;

  udp_dropped)
    run_tester_in_lab --drop udp -- --sip-port 5060=1000 --sip-port 5058=1000
    expect_true "[ $RC = 2 ]" "the server counts as not reached (status 2, was $RC)"
    expect_line "$OUT" "^\[LOG\] Checking from local port 5060 to remote port 5060 \.\.\.$" "the TCP greeting succeeded and the first probe went out"
    expect_line "$OUT" "^\[SIP\] No UDP packet received by remote server\.$" "UDP failure line"
    expect_line "$OUT" "^\[SIP\] Please, check your firewall settings\.$" "firewall hint"
    expect_no_line "$OUT" "No TCP packet" "no TCP failure"
    expect_line "$(cat "$SERVER_LOG")" "^.* 1 session from 1 network ended without a probe in the last minute$" "the server held a session (the greeting got through) but no probe reached it"
    expect_no_line "$OUT" "ALG detected|ALG active" "no verdict"
    # The console front ends once "Start test" is enabled again, or at --max-seconds.
    expect_true "[ $SECS -lt 60 ]" "the run ends at once and Start test is usable again (${SECS}s)"
    ;;

  tcp_dropped)
    # The list download has no connect limit of its own: lan gives up on a SYN after about 3 s
    # instead of two minutes, so that the scenario stays short.
    run_tester_in_lab --drop tcp --lan-sysctl net.ipv4.tcp_syn_retries=1 -- --sip-port 5060=1000 --sip-port 5058=1000
    expect_true "[ $RC = 2 ]" "the server counts as not reached (status 2, was $RC)"
    expect_line "$OUT" "^\[SIP\] Exception in HTTP connection with sip-echo\.lab$" "the list server (the echo server named) is not reached"
    expect_line "$OUT" "^\[ERROR\] The server sip-echo\.lab was not reached on TCP port 80: the connection timed out\.$" "one line names the server and what failed"
    expect_no_line "$OUT" "Socket Error|Connect timed out" "no bare socket error"
    expect_no_line "$OUT" "Checking from local port" "no probe is sent"
    expect_no_line "$(cat "$SERVER_LOG")" "session|http " "nothing reached the server"
    # The console front ends once "Start test" is enabled again, or at --max-seconds.
    expect_true "[ $SECS -lt 60 ]" "Start test is usable again right after the error (${SECS}s)"
    ;;

  sip_helper_both)
    # The kernel's SIP helper on both ports: the REGISTERs and the INVITE from 5060 come back
    # rewritten, and the INVITE from 5058, which announces the audio port the helper already
    # expects for the first call, is swallowed. UDP from that socket got through a moment
    # earlier, so that is the helper's doing, not a firewall's, and the sequence goes on.
    run_tester_in_lab --alg 5060,5058 -- --sip-port 5060=2000,3000 --sip-port 5058=2000,3000
    expect_true "[ $RC = 1 ]" "the run reports an ALG (status 1, was $RC)"
    expect_line "$OUT" "^\[SIP\] ALG active on port 5060\. 2 header\(s\) changed$" "REGISTER from 5060 rewritten"
    expect_line "$OUT" "^\[SIP\] ALG active on port 5058\. 2 header\(s\) changed$" "REGISTER from 5058 rewritten"
    expect_line "$OUT" "^\[SIP\] ALG active on port 5060\. 4 header\(s\) changed$" "INVITE from 5060 rewritten"
    expect_line "$OUT" "^\[SIP\] ALG active on port 5058\. INVITE dropped$" "INVITE from 5058 swallowed by the helper"
    expect_line "$OUT" "^\[LOG\] No echo of the INVITE after 6 sends, while the REGISTER from local port 5058, sent again, came back: the router dropped it$" "the log says what happened: the link worked while the INVITE did not pass"
    expect_no_line "$OUT" "No UDP packet received|check your firewall" "no firewall advice"
    expect_no_line "$OUT" "Checking NAT timeout" "neither port qualifies for the NAT session test"
    expect_true "[ $SECS -lt 90 ]" "the run ends by itself after the checks (${SECS}s)"
    ;;

  fragments_dropped | fragments_dropped_in)
    # A router that drops every IP fragment it forwards, or only those coming in from the
    # internet side (nftables before conntrack's reassembly). The small checks pass untouched;
    # the large INVITEs over TCP go in segments and pass too, and pay for the server's answers.
    how=all
    [ "$SCENARIO" = fragments_dropped_in ] && how=in
    run_tester_in_lab --drop-fragments $how "${QUICK_END[@]}" -- "${QUICK_SCHEDULE[@]}"
    expect_true "[ $RC = 0 ]" "a lost large message is no ALG (status 0, was $RC)"
    expect_four_verdicts_without_alg
    expect_tcp_verdicts_without_alg
    if [ $how = all ]; then
      expect_large up "did not arrive: the router \(or a firewall\) drops fragmented datagrams on the way out$"
      expect_line "$OUT" "^\[ADVICE\] Large SIP messages \(4,000 bytes, .*\) lose their fragments both ways: " "the advice names both ways"
      expect_line "$OUT" "^\[RESULT\] Large SIP over UDP to port 5060: 4,000 bytes \(3 fragments\) did not arrive" "the summary says the large INVITE was lost"
    else
      expect_large up "arrived unchanged"
      expect_line "$OUT" "^\[ADVICE\] Large SIP messages \(4,000 bytes, .*\) lose their fragments on the way in: " "the advice names the way in"
    fi
    expect_large down "did not arrive: fragments are dropped on the way in$"
    expect_large tcp "arrived unchanged"
    expect_line "$OUT" "^\[ADVICE\] Set the phone and the provider to SIP over TCP \(or TLS\), which carried the large message untouched here" "the advice names SIP over TCP, which passed"
    expect_line "$OUT" "^\[ADVICE\] .*\"IP fragment filtering\"" "the advice names the router's setting"
    expect_line "$OUT" "^\[RESULT\] Large SIP from the server to port 5058: 4,000 bytes did not arrive: fragments are dropped on the way in$" "the summary says the answers were lost"
    ;;

  udp_back_dropped)
    # A firewall that lets the probes out but drops UDP from the server's SIP ports on the way
    # back: the echoes still come over TCP, but no NAT session report ever arrives, so the
    # console front ends the run 60 s after the NAT INVITEs.
    run_tester_in_lab --drop-back udp:5060,5058 -- --sip-port 5060=2000,3000 --sip-port 5058=2000,3000
    expect_true "[ $RC = 4 ]" "UDP from the server does not come back (status 4, was $RC)"
    expect_four_verdicts_without_alg
    expect_line "$OUT" "^\[LOG\] Checking NAT timeout on port 5060\. Up to 5 minutes needed\.\.\.$" "NAT session test on 5060"
    expect_line "$OUT" "^\[LOG\] Checking NAT timeout on port 5058\. Up to 5 minutes needed\.\.\.$" "NAT session test on 5058"
    expect_no_line "$OUT" "^\[NAT\] NAT session on port" "no NAT session report arrives"
    expect_line "$OUT" "^\[NAT\] No NAT session report within 60 s after the NAT session test INVITEs: UDP from the server does not come back through the router$" "the console front says why it ends the run"
    expect_true "[ \"\$(grep -E '^\[' <<<\"\$OUT\" | grep -vE '^\[(RESULT|ADVICE|RTP)\] ' | tail -1)\" = '[STATUS] Link status: Disconnected.' ]" "the run ends as Stop test ends it"
    expect_line "$OUT" "^\[RESULT\] NAT time-out on port 5058: not measured, no NAT report came back$" "the summary says no report came back"
    expect_line "$OUT" "^\[ADVICE\] Inbound UDP does not come back through the router: look at its firewall or \"UDP flood\" protection, or forward the ports" "the advice points at the router's firewall"
    expect_line "$OUT" "^\[RESULT\] Exit status 4: no NAT report came back: UDP from the server does not get through the router$" "the summary says what the status means"
    expect_true "[ $SECS -ge 60 ] && [ $SECS -lt 110 ]" "the run ends about 60 s after the NAT INVITEs (${SECS}s)"
    ;;

  short_mapping)
    # A router that forgets idle mappings after 6 s, and the server's default schedules and idle
    # times: each tested port still gets its first report 2 s after its test INVITEs, and the
    # countdown it announces ends the run by itself; the time-out test ends at 10 s idle.
    TIMEOUT_PLAN=()
    run_tester_in_lab --udp-timeout 6 --
    expect_true "[ $RC = 0 ]" "the run completes (status 0, was $RC)"
    expect_four_verdicts_without_alg
    for port in 5060 5058; do
      expect_true "[ \"\$(last_ok_after $port)\" = 2 ]" "$port: ok after 2s, the only gap the mapping survives"
    done
    expect_line "$OUT" "^\[NAT\] Checking port 5060 after 10s \.\.\.$" "5060 announces its first long gap"
    expect_line "$OUT" "^\[NAT\] Checking port 5058 after 15s \.\.\.$" "5058 announces its first long gap"
    # Whichever port's report set the countdown last, the run outlasts 5060's announced 10 s. The
    # mappings went before the server's 10 s refresh gap, so whether the 10 s count from the report
    # before or from the INVITEs is not told: the port's line says only that it held.
    expect_line "$OUT" "^\[RESULT\] NAT time-out on port 5060: held at least 2 s; when it went is not told \(whether incoming traffic keeps a mapping open was not told\)$" "the summary says what the reports show"
    for kind in new busy; do
      expect_line "$OUT" "^\[RESULT\] NAT time-out of a $kind mapping: gone by 10 s, the shortest idle time tested$" "the time-out test: a $kind mapping is gone by 10 s"
    done
    # The advice takes the new mapping's figure from the time-out test.
    expect_line "$OUT" "^\[ADVICE\] The NAT forgets a new UDP mapping within 10 s idle: .* well below 10 s, or incoming calls may not reach it\.$" "the advice asks for a keep-alive well below 10 s"
    expect_true "[ $SECS -lt 60 ]" "the run ends by itself within a minute (${SECS}s)"
    ;;

  two_addresses)
    # The server's host has a second address and listens on every address; the tester is given
    # the second. NAT reports and RTP must leave from it, or the router does not let them back.
    TESTER=("$CLI" --local-ip 192.168.77.2 --max-seconds 150 172.31.77.3)
    run_tester_in_lab --wan-address 172.31.77.3 --forward-udp 5004 -- \
      --address 0.0.0.0 --sip-port 5060=2000,3000 --sip-port 5058=2000,3000 --rtp-packets 30
    expect_true "[ $RC = 0 ]" "the run completes (status 0, was $RC)"
    expect_four_verdicts_without_alg
    for port in 5060 5058; do
      expect_true "[ \"\$(last_ok_after $port)\" = 3 ]" "$port: the reports came back through the router"
    done
    expect_line "$OUT" "^\[RTP\] RTP \(audio\) port 5004 working$" "RTP from the address the tester talked to is counted"
    expect_line "$OUT" "^\[RTP\] 30 pkts received$" "the whole burst arrived"
    ;;

  round_robin)
    # Two echo servers behind one name, as identical machines that share nothing, and a DNS
    # server that hands the name's addresses out in a new order on every query. A run looks the
    # name up once, for its control connection, and keeps every datagram on the server that
    # connection reached: each run holds, and no server sees a datagram of a session it does
    # not hold. A lookup between two of the runs moves the next runs' control connections to
    # the other server, so that both serve runs.
    LOG_A=$WORK/server-a.log
    LOG_B=$WORK/server-b.log
    sched=(--sip-port 5060=1000,2000 --sip-port 5058=1000 "${TIMEOUT_PLAN[@]}")
    server_cmd="$(printf '%q ' "$SERVER" --address 172.31.77.2 "${sched[@]}") 2>>$(printf '%q' "$LOG_A") &
      exec $(printf '%q ' "$SERVER" --address 172.31.77.3 "${sched[@]}") 2>>$(printf '%q' "$LOG_B")"
    runs=4
    # shellcheck disable=SC2016
    runner='cd "$1"; runs=$2; shift 2
      for i in $(seq 1 "$runs"); do
        echo "=== run $i"
        "$@"
        echo "=== status $?"
        if [ "$i" = 1 ]; then getent ahostsv4 sip-pool.lab >/dev/null; fi
      done'
    OUT=$("$LAB" run --name "$(lab_name)" --wan-address 172.31.77.3 --dns sip-pool.lab=172.31.77.2,172.31.77.3 \
            --wan-cmd "$server_cmd" --wait-tcp 80 --wait-udp 5060 --wait-udp 5058 --timeout 240 \
            -- bash -c "$runner" bash "$WORK" "$runs" \
               "$CLI" --local-ip 192.168.77.2 --max-seconds 60 sip-pool.lab 2>&1)
    RC=$?
    echo "---- tester output (status $RC)"; echo "$OUT"
    echo "---- server 172.31.77.2"; cat "$LOG_A" 2>/dev/null
    echo "---- server 172.31.77.3"; cat "$LOG_B" 2>/dev/null
    echo "----"
    expect_true "[ $RC = 0 ]" "the lab ran every run (status $RC)"
    for i in $(seq 1 $runs); do
      run=$(awk -v n="$i" '$0 == "=== run " n {on = 1; next} /^=== run / {on = 0} on' <<<"$OUT")
      expect_line "$run" "^=== status 0$" "run $i completes without an ALG"
      expect_true "[ \"\$(grep -cE '^\[SIP\] No ALG detected on port 50(60|58)\. $' <<<\"\$run\")\" = 4 ]" "run $i: four No ALG verdicts"
      expect_line "$run" "^\[NAT\] NAT session on port 5060 ok after 2s$" "run $i: the NAT reports of its server come back"
      expect_no_line "$run" "ALG active|No UDP packet|lost on the way|Late echo" "run $i: nothing false"
    done
    for log in "$LOG_A" "$LOG_B"; do
      # Four probes and six NAT session test INVITEs from each socket, all echoed.
      expect_line "$(cat "$log")" "session 172\.31\.77\.1:[0-9]+ token .*: 22 echoes, NAT test 5060,5058" "$(basename "$log"): held runs, each with all of its datagrams"
      expect_no_line "$(cat "$log")" "dropped: no session|echoes, NAT test none" "$(basename "$log"): no datagram of another server's session, no session left without its probes"
    done
    ;;

  tcp_lossy_30 | tcp_lossy_50)
    # Packets towards the server's SIP ports lost at random (at 50 % TCP only: by UDP about one run
    # in thirty would see an ALG drop an INVITE; and no SYN, since all nine SYNs of a check's three
    # tries are lost in one check of 512: the tries are the 30 % run's). No run says ALG,
    # swallowed or not reachable.
    pct=${SCENARIO#tcp_lossy_}
    losses=(--loss "$pct:tcp:5060,5058")
    [ "$pct" = 30 ] && losses+=(--loss "$pct:udp:5060,5058")
    [ "$pct" = 50 ] && losses+=(--loss-spare-syn)
    # shellcheck disable=SC2016
    TESTER=(bash -c '"$@"; rc=$?; ip netns exec "$LAB_ROUTER_NS" nft list chain ip natlab drops; exit $rc' bash "${TESTER[@]}")
    for i in 1 2 3; do
      run_tester_in_lab "${QUICK_END[@]}" "${losses[@]}" -- "${QUICK_SCHEDULE[@]}"
      expect_true "[ $RC = 0 ] || [ $RC = 5 ]" "run $i: no ALG, the server reached (status 0 or 5, was $RC)"
      expect_line "$OUT" "tcp dport \{ [0-9, ]+ \} (tcp flags ! syn )?numgen random mod 100 < $pct counter packets [1-9]" "run $i: the router lost TCP packets"
      expect_true "[ \"\$(pane_lines SIP '^(No ALG detected on TCP port 50(60|58)\.|No ALG verdict on TCP port 50(60|58)\. (REGISTER|INVITE) lost on the way \(a lossy link, not an ALG\))$' | wc -l)\" = 4 ]" \
        "run $i: every check over TCP judged, or lost on the way"
      expect_no_line "$OUT" "ALG active|swallowed|not reachable|closed at the other end" "run $i: nothing false"
    done
    ;;

  tcp_filtered)
    # The router answers TCP 5058 itself and throws the data away, as a firewall or ALG that
    # proxies SIP does, and drops TCP 5060 both ways.
    run_tester_in_lab "${QUICK_END[@]}" --swallow-tcp 5058 --drop tcp:5060 --drop-back tcp:5060 -- "${QUICK_SCHEDULE[@]}"
    expect_true "[ $RC = 1 ]" "a swallowed message counts as an ALG (status 1, was $RC)"
    expect_line "$OUT" "^\[SIP\] ALG active on TCP port 5058\. INVITE swallowed$" "the INVITE over TCP to 5058 swallowed"
    expect_line "$OUT" "^\[LOG\] No echo of the REGISTER sent over TCP, although the far end acknowledged all its bytes: an ALG swallowed it, or a firewall that filters SIP on this port$" "the log names both causes"
    expect_line "$OUT" "^\[ADVICE\] Over TCP to port 5058 a message was swallowed after the far end had acknowledged it: an ALG does so, or a firewall that filters SIP on that port .*$" "the advice names both causes"
    expect_line "$OUT" "^\[LOG\] No connection to TCP port 5060 after 3 tries, each a fresh connection: the connection timed out$" "5060: the log says how many tries"
    expect_line "$OUT" "^\[RESULT\] SIP over TCP to port 5060: not reachable \(the connection timed out\): a phone set to SIP over TCP cannot use this server port$" "5060: the summary line"
    expect_line "$OUT" "^\[ADVICE\] SIP over TCP to port 5060 did not get through: check the router's firewall and this computer's firewall .*$" "5060: the advice"
    expect_no_line "$OUT" "lost on the way|^\[RESULT\] SIP over TCP to port 5058" "no loss, 5058 reached"
    # The large INVITE over TCP meets the same fate: swallowed on 5058, not tried on 5060.
    expect_large tcp "did not arrive, although TCP carries it in segments" 5058
    expect_line "$OUT" "^\[SIP\] Large SIP over TCP to port 5060: 4,000 bytes not tested \(the port is not reachable over TCP\)$" "5060: the large INVITE over TCP not tried"
    ;;

  tcp_small_mss)
    # Segments of at most 200 bytes and the kernel's SIP helper on TCP 5060: every message over
    # TCP is split, and the helper, which reads one segment at a time, rewrites none.
    run_tester_in_lab "${QUICK_END[@]}" --mss 200 --alg-tcp 5060 -- "${QUICK_SCHEDULE[@]}"
    expect_true "[ $RC = 0 ]" "the run completes without an ALG (status 0, was $RC)"
    expect_tcp_verdicts_without_alg
    expect_true "[ \"\$(pane_lines LOG '^The (REGISTER|INVITE) \([0-9]+ bytes\) went in [2-9] segments of at most [0-9]+ bytes \(the connection.s maximum segment size\): an ALG that reads one segment at a time could not rewrite it$' | wc -l)\" = 4 ]" \
      "the log says that each message over TCP was split"
    ;;

  nat_masquerade)
    # Plain masquerade keeps the local port where it is free and lets in only replies.
    class_scenario masquerade "endpoint-independent" "address and port dependent" no
    expect_line "$OUT" "^\[NAT\] NAT mapping: endpoint-independent \(port kept\)$" "the local port kept"
    # (The call's advice may still name a relay, for a provider that does not send its audio
    # back to where the call's came from: that is not the NAT's class.)
    expect_no_line "$OUT" "^\[ADVICE\] The NAT gives each destination a new public port" "the NAT's class needs no relay"
    ;;

  nat_random)
    # A new random port for every flow: each destination sees another public port.
    class_scenario random "address and port dependent" "address and port dependent" no
    expect_line "$OUT" "^\[RESULT\] NAT behaviour: mapping address and port dependent, filtering address and port dependent, port changed, hairpinning no, public address 172\.31\.77\.1:[0-9]+$" "the summary says the class"
    expect_line "$OUT" "^\[ADVICE\] The NAT gives each destination a new public port .*media relay \(TURN, or the provider's media proxy\).*$" "the advice asks for a media relay"
    ;;

  nat_full_cone)
    # A mapping takes datagrams from anyone, and lan reaches its own mapping.
    class_scenario full-cone "endpoint-independent" "endpoint-independent" yes --hairpin
    ;;

  nat_restricted_cone)
    # From any port of an address the mapping sent to.
    # The server bound to every address: its answers from the other address leave by choice of
    # source address.
    class_scenario restricted-cone "endpoint-independent" "address-dependent" no -- --address 0.0.0.0
    ;;

  timeout_linux)
    # The kernel's own UDP time-outs, set as they are by default: a flow that saw one quick
    # exchange lasts 30 s idle, one that carried traffic both ways for more than 2 s lasts 120 s;
    # every datagram, either way, keeps a flow open. The default idle times 10 ... 190 s.
    timeout_scenario --udp-timeout 30 --udp-timeout-stream 120 --
    nat_timeout_lines "time-out of a new mapping" "held 25 s idle, gone by 35 s" "a new mapping lasts 30 s"
    nat_timeout_lines "time-out of a busy mapping" "held 100 s idle, gone by 140 s" "a busy mapping lasts 120 s"
    nat_timeout_lines "refresh by incoming traffic" "yes" "the server's datagrams keep a mapping open"
    json_is ".new $bracket" '\[25,35\]' "the new bracket holds 30 s"
    json_is ".busy $bracket" '\[100,140\]' "the busy bracket holds 120 s"
    json_is ".inbound_refresh" true "refresh by incoming traffic"
    json_is ".idle_seconds_tested" '\[10,15,20,25,35,50,70,100,140,190\]' "the server's default idle times"
    expect_line "$OUT" "^\[ADVICE\] The NAT forgets a new UDP mapping after 25 to 35 s idle: .* below 25 s, for example 15 s;" \
      "the keep-alive advice is below the new mapping's time-out"
    expect_no_line "$OUT" "^\[ADVICE\] Only what this computer sends" "no advice about refresh"
    ;;

  timeout_alg)
    # The kernel's SIP helper on UDP 5060 with the kernel's own timers: it keeps every mapping to
    # 5060 open for an hour, so the time-out test talks to a port of the server's own, where
    # the router's plain timers show: 30 s new, 120 s busy. The checks see the ALG on 5060.
    TIMEOUT_RC=1 timeout_scenario --alg 5060 --udp-timeout 30 --udp-timeout-stream 120 --
    expect_line "$OUT" "^\[ADVICE\] Switch the router's SIP ALG off" "the ALG is seen and advised against"
    nat_timeout_lines "time-out of a new mapping" "held 25 s idle, gone by 35 s" "a new mapping lasts 30 s, the ALG notwithstanding"
    nat_timeout_lines "time-out of a busy mapping" "held 100 s idle, gone by 140 s" "a busy mapping lasts 120 s"
    nat_timeout_lines "refresh by incoming traffic" "yes" "the server's datagrams keep a mapping open"
    json_is ".new $bracket" '\[25,35\]' "the new bracket holds 30 s"
    json_is ".busy $bracket" '\[100,140\]' "the busy bracket holds 120 s"
    # 5060 showed the ALG and had no session test; 5058's mapping held no longer than the busy ones.
    json_is ".sip_port_longer" 'false' "no SIP port outlived the busy mappings"
    expect_line "$OUT" "^\[ADVICE\] The NAT forgets a new UDP mapping after 25 to 35 s idle: .* below 25 s" \
      "the keep-alive advice is below 30 s"
    expect_line "$OUT" "^\[RESULT\] NAT time-out of a new mapping: held 25 s idle, gone by 35 s$" "the summary says it"
    ;;

  timeout_lossy)
    # Timers of 60 s (new) and 180 s (busy) behind a link that loses 5 % of UDP each way, before
    # the NAT sees it. Several runs side by side, each in a lab of its own: rules that trusted one
    # datagram went wrong in about half of such runs.
    runs=${LAB_LOSSY_RUNS:-6}
    base=$WORK
    for i in $(seq 1 "$runs"); do
      (
        WORK=$base/run$i
        SERVER_LOG=$WORK/server.log
        mkdir -p "$WORK"
        timeout_run --udp-timeout 60 --udp-timeout-stream 180 --udp-loss 5 -- >"$WORK/console.txt" 2>&1
        echo "$RC" >"$WORK/rc"
        echo "$SECS" >"$WORK/secs"
      ) &
    done
    wait
    for i in $(seq 1 "$runs"); do
      echo "======== run $i of $runs"
      WORK=$base/run$i
      SERVER_LOG=$WORK/server.log
      cat "$WORK/console.txt"
      RC=$(cat "$WORK/rc" 2>/dev/null || echo none)
      SECS=$(cat "$WORK/secs" 2>/dev/null || echo 0)
      timeout_load >/dev/null
      # Loss may cost a check by UDP its verdict (status 5); the time-out test must not suffer.
      timeout_checks '0|5'
      for kind in new busy; do
        truth=60
        [ $kind = busy ] && truth=180
        got=$(jq -c ".$kind | [.held_seconds, .gone_by_seconds, .unsteady]" <<<"$NT" 2>/dev/null)
        expect_true "jq -e '.$kind | .unsteady == false and .held_seconds != null and .gone_by_seconds != null and .held_seconds <= $truth and .gone_by_seconds > $truth and .held_seconds >= $truth / 2' <<<'$NT' >/dev/null" \
          "run $i: the $kind bracket holds $truth s: $got"
      done
      json_is ".inbound_refresh" true "run $i: refresh by incoming traffic"
      held=$(jq '.new.held_seconds' <<<"$NT" 2>/dev/null)
      expect_line "$OUT" "^\[ADVICE\] The NAT forgets a new UDP mapping after $held to [0-9]+ s idle: .* below $held s" \
        "run $i: the advice follows the new bracket"
      expect_no_line "$OUT" "unsteady|mapping went sooner" "run $i: nothing unsteady, one figure"
      # A lost NAT session report reads as lost, not as a mapping gone sooner than the truth.
      expect_no_line "$OUT" "NAT time-out on port 50(60|58): held [0-9]+ s idle, gone by ([0-9]|[1-5][0-9]) s" \
        "run $i: no port's mapping gone before 60 s"
    done
    ;;

  timeout_outbound_only)
    # Mappings that only datagrams from lan keep open, for 45 s from the last one; conntrack's own
    # time-outs are longer. The server's datagrams neither refresh a mapping nor pass once it is
    # gone, so both kinds last 45 s and the refresh mapping dies at that age too. The session
    # test on the SIP ports runs with the server's default schedules: its reports count from the
    # last INVITE, not from the report before, and the lines say so.
    TIMEOUT_SIP_PORTS=()
    timeout_scenario --udp-timeout 300 --outbound-refresh 45 --
    nat_timeout_lines "time-out of a new mapping" "held 35 s idle, gone by 50 s" "a new mapping lasts 45 s"
    nat_timeout_lines "time-out of a busy mapping" "held 35 s idle, gone by 50 s" "a busy mapping lasts 45 s too"
    nat_timeout_lines "refresh by incoming traffic" "no: only what this computer sends keeps a mapping open" \
      "the server's datagrams do not keep a mapping open"
    for port in 5060 5058; do
      line=$(grep -E "^\[RESULT\] NAT time-out on port $port: " <<<"$OUT")
      held=$(sed -nE 's/.* held ([0-9]+) s idle, gone by ([0-9]+) s, counted from .*/\1/p' <<<"$line")
      gone=$(sed -nE 's/.* held ([0-9]+) s idle, gone by ([0-9]+) s, counted from .*/\2/p' <<<"$line")
      expect_true "[ -n '$held' ] && [ '$held' -le 45 ] && [ '$gone' -gt 45 ]" \
        "port $port's bracket from the last datagram out holds 45 s: $line"
    done
    expect_line "$OUT" "^\[ADVICE\] The NAT forgets a new UDP mapping after 35 to 50 s idle: .* below 35 s" \
      "the keep-alive advice is below 45 s"
    expect_line "$OUT" "^\[ADVICE\] Only what this computer sends keeps a mapping open: .*the phone must send its own\.$" \
      "the advice says the phone must send its own keep-alives"
    keepalive=$(grep '^\[ADVICE\]' <<<"$OUT" | grep -c 'keep-alive')
    expect_true "[ $keepalive = 2 ]" "no other keep-alive figure in the advice ($keepalive lines name one)"
    ;;

  timeout_10s)
    # Mappings of 10 s, the shortest idle time tested: a datagram due at 10 s idle may come just
    # before or just after the mapping goes. The run ends once 15 and 20 s have failed.
    timeout_scenario --udp-timeout 10 --
    nat_timeout_lines "time-out of a new mapping" "(held 10 s idle, gone by 15 s|gone by 10 s, the shortest idle time tested)" \
      "a new mapping lasts about 10 s"
    nat_timeout_lines "time-out of a busy mapping" "(held 10 s idle, gone by 15 s|gone by 10 s, the shortest idle time tested)" \
      "a busy mapping lasts about 10 s"
    # Refresh: each of the server's datagrams races a mapping of 10 s too; the other scenarios
    # tell it.
    ;;

  timeout_long)
    # Mappings of 12 s and idle times of 2, 3 and 5 s: nothing expires, and the run ends once the
    # longest has come.
    timeout_scenario --udp-timeout 12 -- --nat-timeout-idle 2,3,5 --nat-timeout-refresh 1
    nat_timeout_lines "time-out of a new mapping" "held at least 5 s" "every new mapping held"
    nat_timeout_lines "time-out of a busy mapping" "held at least 5 s" "every busy mapping held"
    nat_timeout_lines "refresh by incoming traffic" "not told \(no mapping expired within 5 s\)" \
      "refresh cannot be told where nothing expired"
    json_is ".idle_seconds_tested" '\[2,3,5\]' "the idle times the server announced"
    ;;

  call_clean)
    # A clean path: every packet both ways, a round trip of the machine's own (well below 10 ms),
    # and the best quality G.711 gives (R about 92, MOS 4.4).
    call_scenario 15 --
    expect_true "[ $RC = 0 ]" "the run completes (status 0, was $RC)"
    call_is .audio '\"both_ways\"' "audio came back"
    call_is '[.up.sent, .up.received, .up.loss_percent, .down.loss_percent, .up.longest_loss_run]' \
      '\[750,750,0(\.0)?,0(\.0)?,0\]' "750 packets up, none lost either way"
    call_is '.down.received == .down.sent' true "the server's stream came back whole"
    call_within .rtt_ms.median 0 10 "the round trip of a lab without delay"
    call_within .up.mos 4.0 4.5 "MOS up"
    call_within .down.mos 4.0 4.5 "MOS down"
    ;;

  call_loss_up | call_loss_down)
    # 2 % of one direction lost at random (nftables numgen), none of the other. 30 s of call:
    # 1500 packets, whose share lost is binomial (standard deviation 0.36 points): outside
    # 0.5..3.5 % in 8 of 100,000 runs (the exact binomial sum). 15 s would fail one run in 300,
    # and a loss of 5 % within 1.5 points would need 60 s for 1 in 6,000. The clean direction
    # loses nothing.
    dir=${SCENARIO#call_loss_}
    other=up
    [ "$dir" = up ] && other=down
    call_scenario 30 --call-loss "$dir:2" --
    expect_true "[ $RC = 0 ]" "the run completes (status 0, was $RC)"
    call_is .audio '\"both_ways\"' "audio came back"
    call_within ".$dir.loss_percent" 0.5 3.5 "2 % lost $dir, within 1.5 points"
    call_within ".$other.loss_percent" 0 0.2 "nothing lost $other"
    call_within ".$dir.received" 1300 1495 "the lossy direction's packets came, less the lost"
    call_within ".$dir.longest_loss_run" 1 10 "random loss comes in short runs"
    ;;

  call_delay_jitter)
    # Up held 40 ms; down 40 ms plus a jitter uniform on [0, 15 ms], in order (lab/DelaySchedule.h).
    # Round trip: 80 ms plus the median of the uniform part, 7.5 ms; the median of 750 such is
    # within 0.3 ms (one standard deviation), the rest is the machine's own timing: 85..95 ms.
    # Jitter down: the RFC 3550 figure of a uniform jitter of J below the spacing is J / 3, 5.0 ms
    # here, with a spread of 0.69 ms at the end of the call: outside 2.5..8 ms for 1 seed in
    # 20,000 (the schedule's simulation over 200,000 seeds), leaving 2 ms above for the server's
    # pacing. Up, without jitter, the tester's pacing alone: below 2.5 ms. Both programs run
    # with real-time priority, as the delay does: on a machine whose cores are all busy they
    # would otherwise add 4 ms of their own.
    REALTIME=1 call_scenario 15 --delay 40:0:up --delay 40:15:down --
    expect_true "[ $RC = 0 ]" "the run completes (status 0, was $RC)"
    call_is .audio '\"both_ways\"' "audio came back"
    call_within .rtt_ms.median 85 95 "a round trip of 2 x 40 ms plus the jitter's median"
    call_within .rtt_ms.p95 85 105 "95th percentile: 2 x 40 ms plus at most 15 ms"
    call_within .down.jitter_ms 2.5 8 "jitter down about 15 / 3 = 5 ms"
    call_within .up.jitter_ms 0 2.5 "little jitter up"
    call_within .down.loss_percent 0 0 "the delay loses nothing"
    ;;

  call_one_way)
    # The router lets the call's audio out and drops what comes back from the server's RTP port:
    # the server hears the call, the tester hears nothing.
    call_scenario 15 --drop-audio-back --
    call_is .audio '\"one_way_out\"' "one-way audio"
    call_within .up.received 700 750 "the server received the tester's audio"
    call_is .down.received 0 "nothing came back"
    ;;

  *)
    echo "unknown scenario $SCENARIO" >&2
    exit 2
    ;;
esac

lab_finish
