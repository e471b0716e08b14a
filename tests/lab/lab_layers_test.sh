#!/usr/bin/env bash
# How many NATs the tester counts, behind real NATs: the console front in the lab's lan, the echo
# server in its wan at a public address, and between them
#   cgn_upnp     a router with UPnP IGD and NAT-PMP (miniupnpd) behind the provider's
#                carrier-grade NAT on 100.64.0.0/24
#   home_chain   two home routers in a chain (the outer LAN 10.0.0.0/24), neither with UPnP
#   single_upnp  one router with UPnP IGD and NAT-PMP on a public WAN address
# Debian's UPnP and NAT-PMP clients (upnpc, natpmpc) ask the router first, as references.
#
#   lab_layers_test.sh SCENARIO CLI SERVER
#
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
command -v jq >/dev/null || { echo "FAIL: jq is not installed (scripts/test.sh installs it)"; exit 1; }
lab_require

WORK=$(mktemp -d /tmp/natlab-layers.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# run_layers LAB_OPTIONS...: the lab with the server at 203.0.113.2, the references (where the
# router has UPnP) and then the console front with --json in lan. The router forgets idle
# mappings after 3 s and the server's reports come after 1 s and 5 s, so the run ends soon after
# its checks. Sets OUT (the panes, summary and advice as [NAT], [RESULT] and [ADVICE] lines),
# LAYERS (the JSON's nat_layers, compact), RC and SECS.
run_layers() {
  local before=: server_cmd start
  [[ " $* " == *" --upnp "* ]] &&
    before="upnpc -i -m 192.168.77.2 -s >upnpc.txt 2>&1; natpmpc -g 192.168.77.1 >natpmpc.txt 2>&1"
  server_cmd="exec $(printf '%q ' "$SERVER" --address 203.0.113.2 --nat-timeout-idle 2,3 --nat-timeout-refresh 1 \
    --call-max-seconds 2 --sip-port 5060=1000,5000 --sip-port 5058=1000,5000) 2>>$(printf '%q' "$WORK/server.log")"
  start=$SECONDS
  # shellcheck disable=SC2016
  "$LAB" run --name "$(lab_name)" --relay-localhost --udp-timeout 3 "$@" \
    --wan-cmd "$server_cmd" --wait-tcp 80 --wait-udp 5060 --wait-udp 5058 --wait-udp 3478 --timeout 120 \
    -- bash -c 'cd "$1" && eval "$2"; shift 2 && "$@" >run.json' bash "$WORK" "$before" \
    "$CLI" --json --local-ip 192.168.77.2 --max-seconds 90 sip-echo.lab >"$WORK/lab.txt" 2>&1
  RC=$?
  SECS=$((SECONDS - start))
  echo "---- lab and tester (status $RC, ${SECS}s)"
  cat "$WORK/lab.txt"
  for f in upnpc.txt natpmpc.txt; do
    [ -f "$WORK/$f" ] && { echo "---- reference: $f"; cat "$WORK/$f"; }
  done
  OUT=$(jq -r '(.panes.nat[] | "[NAT] " + .), (.summary.lines[] | "[RESULT] " + .), (.advice[] | "[ADVICE] " + .)' \
          "$WORK/run.json" 2>/dev/null)
  LAYERS=$(jq -c '.nat_layers' "$WORK/run.json" 2>/dev/null)
  echo "---- what the tester said"
  echo "$OUT"
  echo "nat_layers: $LAYERS"
  echo "----"
  expect_true "[ -n '$LAYERS' ] && [ '$LAYERS' != null ]" "the JSON has nat_layers"
  # In the NAT pane after the class, before the time-out lines.
  expect_true "[ \"\$(grep -E '^\[NAT\] NAT (public address|layers|session on port)' <<<\"\$OUT\" | head -3 | cut -c7-15 | tr '\n' ,)\" = 'NAT publi,NAT layer,NAT sessi,' ]" \
    "the layers come after the NAT class and before the time-out lines"
}

# layers_is FILTER VALUE WHAT: jq's compact FILTER on nat_layers is VALUE.
layers_is() {
  local got
  got=$(jq -c "$1" <<<"$LAYERS" 2>/dev/null)
  expect_true "[ '$got' = '$2' ]" "nat_layers$1 is $2: $3 (was $got)"
}

# The routers on the path, as the lab built it ([ttl, address, kind] each), and the server's hop.
expect_path() {
  layers_is '[.hops[] | [.ttl, .address, .kind]]' "$1" "the routers on the path"
  layers_is .server_ttl "$2" "the echo server answered at hop $2"
}

case "$SCENARIO" in

  cgn_upnp)
    # The router's WAN address is shared: miniupnpd has no external address to give, and the
    # provider's NAT is the next hop.
    run_layers --outer-nat cgn --upnp
    expect_line "$(cat "$WORK/upnpc.txt" 2>/dev/null)" "GetExternalIPAddress failed\. \(empty string\)" \
      "reference: UPnP answers an empty external address"
    expect_line "$(cat "$WORK/natpmpc.txt" 2>/dev/null)" "readnatpmpresponseorretry returned -52" \
      "reference: NAT-PMP answers a network failure (no public address)"
    layers_is .count 2 "two NATs"
    layers_is .carrier_grade true "one of them the provider's"
    layers_is .likely false "the router's answer makes it certain"
    layers_is '[.gateway.protocol, .gateway.external_address]' '["upnp",null]' "the router answered over UPnP, without an address"
    expect_path '[[1,"192.168.77.1","private"],[2,"100.64.0.1","shared"]]' 3
    line="NAT layers: 2: this router \(192\.168\.77\.1\) and the provider's carrier-grade NAT \(100\.64\.0\.1\): port forwarding cannot reach this computer"
    expect_line "$OUT" "^\[NAT\] $line$" "the NAT pane names both layers"
    expect_line "$OUT" "^\[RESULT\] $line$" "so does the summary"
    expect_line "$OUT" "^\[RESULT\] UPnP on the router: yes, with no external address to give" "the summary: UPnP without an address"
    expect_line "$OUT" "^\[RESULT\] NAT-PMP on the router: yes, with no external address to give" "the summary: NAT-PMP likewise"
    expect_line "$OUT" "^\[NAT\] Path to the echo server: 1 192\.168\.77\.1 \(private\), 2 100\.64\.0\.1 \(shared\), 3 the echo server$" "the path in the NAT pane"
    expect_line "$OUT" "^\[ADVICE\] The provider's carrier-grade NAT sits beyond this router: .*keep-alives.*public IPv4 address.*IPv6" "advice: keep-alives, a public address or IPv6"
    expect_true "[ $RC = 0 ]" "the run completes (status 0, was $RC)"
    ;;

  home_chain)
    # No UPnP anywhere: the path alone shows a private router after this one.
    run_layers --outer-nat home
    layers_is .count 2 "two NATs"
    layers_is .carrier_grade false "none of them the provider's"
    layers_is .likely true "told from the path alone"
    layers_is '[.gateway.protocol, .gateway.external_address]' '[null,null]' "no answer from the router"
    expect_path '[[1,"192.168.77.1","private"],[2,"10.0.0.1","private"]]' 3
    expect_line "$OUT" "^\[RESULT\] NAT layers: likely 2: two routers in a chain \(192\.168\.77\.1, then 10\.0\.0\.1\); told from the path alone" "the summary names both routers"
    expect_line "$OUT" "^\[RESULT\] UPnP on the router: no answer$" "no UPnP"
    expect_line "$OUT" "^\[RESULT\] NAT-PMP on the router: no answer$" "no NAT-PMP"
    expect_line "$OUT" "^\[ADVICE\] If two routers of yours translate addresses one behind the other, as the path suggests, switch one of them to bridge \(modem\) mode.*SIP ALG off on both" "advice: bridge mode, ALG off on both"
    expect_no_line "$OUT" "carrier-grade" "no carrier-grade NAT is named"
    expect_true "[ $RC = 0 ]" "the run completes (status 0, was $RC)"
    ;;

  single_upnp)
    # One router whose WAN address is the public one, and says so: one NAT, never two.
    run_layers --public --upnp
    expect_line "$(cat "$WORK/upnpc.txt" 2>/dev/null)" "^ExternalIPAddress = 203\.0\.113\.1$" "reference: UPnP names 203.0.113.1"
    expect_line "$(cat "$WORK/natpmpc.txt" 2>/dev/null)" "^Public IP address : 203\.0\.113\.1$" "reference: NAT-PMP names 203.0.113.1"
    layers_is .count 1 "one NAT"
    layers_is .carrier_grade false "not the provider's"
    layers_is .likely false "the router's answer makes it certain"
    layers_is '[.gateway.protocol, .gateway.external_address]' '["upnp","203.0.113.1"]' "the router's external address over UPnP"
    expect_path '[[1,"192.168.77.1","private"]]' 2
    expect_line "$OUT" "^\[RESULT\] NAT layers: 1 \(the router's external address 203\.0\.113\.1 is the public address\)$" "the summary: one NAT"
    expect_line "$OUT" "^\[RESULT\] UPnP on the router: yes \(external address 203\.0\.113\.1\)$" "UPnP answered"
    expect_line "$OUT" "^\[RESULT\] NAT-PMP on the router: yes \(external address 203\.0\.113\.1\)$" "NAT-PMP answered"
    expect_line "$OUT" "^\[NAT\] NAT public address: 203\.0\.113\.1:[0-9]+$" "STUN saw the same public address"
    expect_no_line "$OUT" "bridge|carrier-grade|NAT layers: (likely )?[23]" "nothing reads as two NATs"
    expect_true "[ $RC = 0 ]" "the run completes (status 0, was $RC)"
    ;;

  *)
    echo "unknown scenario $SCENARIO" >&2
    exit 2
    ;;
esac

lab_finish
