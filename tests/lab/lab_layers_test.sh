#!/usr/bin/env bash
# How many NATs the tester counts behind real ones: the console front (--json) in the lab's lan,
# the echo server in its wan at a public address, and between them
#   cgn_upnp     a router with UPnP IGD and NAT-PMP (miniupnpd) behind the provider's
#                carrier-grade NAT on 100.64.0.0/24
#   home_chain   two home routers in a chain (the outer LAN 10.0.0.0/24), neither with UPnP
#   single_upnp  one router with UPnP IGD and NAT-PMP on a public WAN address
# Debian's clients upnpc and natpmpc ask a router with UPnP first, as references.
#
#   lab_layers_test.sh SCENARIO CLI SERVER      (exits 77, skipped, where no lab can be built)
set -uo pipefail
[ $# = 3 ] || { echo "usage: $0 SCENARIO CLI SERVER" >&2; exit 2; }
SCENARIO=$1
CLI=$(realpath -m "$2")
SERVER=$(realpath -m "$3")
LAB="$(cd "$(dirname "$0")/../../lab" && pwd)/lab.sh"
. "$(dirname "$0")/lab_test_lib.sh"
command -v jq >/dev/null || { echo "FAIL: jq is not installed (scripts/test.sh installs it)"; exit 1; }
lab_require
WORK=$(mktemp -d /tmp/natlab-layers.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# run_layers LAB_OPTIONS...: the lab, the references where the router has UPnP, then the tester.
# Mappings expire after 3 s and reports come after 1 s and 5 s, so the run ends soon after its
# checks. Sets OUT (the panes, summary and advice as [NAT], [RESULT] and [ADVICE] lines), LAYERS
# (the JSON's nat_layers, compact) and RC.
run_layers() {
  local before=: start=$SECONDS
  [[ " $* " == *" --upnp "* ]] && before="upnpc -i -m 192.168.77.2 -s >upnp.txt 2>&1; natpmpc -g 192.168.77.1 >>upnp.txt 2>&1"
  # shellcheck disable=SC2016
  "$LAB" run --name "$(lab_name)" --relay-localhost --udp-timeout 3 "$@" --wait-tcp 80 --wait-udp 5060 --wait-udp 5058 --wait-udp 3478 \
    --timeout 120 \
    --wan-cmd "exec $(printf '%q ' "$SERVER" --address 203.0.113.2 --nat-timeout-idle 2,3 --nat-timeout-refresh 1 \
      --call-max-seconds 2 --sip-port 5060=1000,5000 --sip-port 5058=1000,5000) 2>>$WORK/server.log" \
    -- bash -c 'cd "$1" && eval "$2"; shift 2 && "$@" >run.json' bash "$WORK" "$before" \
    "$CLI" --json --local-ip 192.168.77.2 --max-seconds 90 sip-echo.lab >"$WORK/lab.txt" 2>&1
  RC=$?
  OUT=$(jq -r '(.panes.nat[] | "[NAT] " + .), (.summary.lines[] | "[RESULT] " + .), (.advice[] | "[ADVICE] " + .)' \
          "$WORK/run.json" 2>/dev/null)
  LAYERS=$(jq -c '.nat_layers' "$WORK/run.json" 2>/dev/null)
  echo "---- status $RC, $((SECONDS - start)) s"
  cat "$WORK/lab.txt" "$WORK/upnp.txt" "$WORK/server.log" 2>/dev/null
  printf '%s\nnat_layers: %s\n----\n' "$OUT" "$LAYERS"
  expect_true "[ $RC = 0 ]" "the run completes (status 0, was $RC)"
  expect_true "[ \"\$(grep -E '^\[NAT\] NAT (public address|layers|session on port)' <<<\"\$OUT\" | head -3 | cut -c7-15 | tr '\n' ,)\" = 'NAT publi,NAT layer,NAT sessi,' ]" \
    "in the NAT pane the layers come after the class and before the time-out lines"
}

# layers_is FILTER VALUE WHAT: jq's compact FILTER on nat_layers is VALUE.
layers_is() {
  local got
  got=$(jq -c "$1" <<<"$LAYERS" 2>/dev/null)
  expect_true "[ '$got' = '$2' ]" "nat_layers$1 is $2: $3 (was $got)"
}
# The facts as the lab is built: count, carrier_grade, likely, the router's answer, the routers on
# the path ([ttl, address, kind] each) and the server's hop.
expect_layers() {
  layers_is '[.count, .carrier_grade, .likely]' "$1" "count, carrier-grade, likely"
  layers_is '[.gateway.protocol, .gateway.external_address]' "$2" "the router's answer"
  layers_is '[[.hops[] | [.ttl, .address, .kind]], .server_ttl]' "$3" "the path"
}

case "$SCENARIO" in
  cgn_upnp)
    # The router's WAN address is shared: it has no external address to give.
    run_layers --outer-nat cgn --upnp
    expect_line "$(cat "$WORK/upnp.txt")" "GetExternalIPAddress failed\. \(empty string\)" "reference: UPnP, no address"
    expect_line "$(cat "$WORK/upnp.txt")" "readnatpmpresponseorretry returned -52" "reference: NAT-PMP, network failure"
    expect_layers '[2,true,false]' '["upnp",null]' '[[[1,"192.168.77.1","private"],[2,"100.64.0.1","shared"]],3]'
    expect_line "$OUT" "^\[RESULT\] NAT layers: 2: this router \(192\.168\.77\.1\) and the provider's carrier-grade NAT \(100\.64\.0\.1\): port forwarding cannot reach this computer$" "the summary names both"
    expect_line "$OUT" "^\[RESULT\] NAT-PMP on the router: yes, with no external address to give" "NAT-PMP without an address"
    expect_line "$OUT" "^\[ADVICE\] The provider's carrier-grade NAT sits beyond this router: .*keep-alives.*IPv6" "advice: keep-alives, a public address or IPv6"
    ;;
  home_chain)
    # No UPnP anywhere: the path alone shows a private router after this one.
    run_layers --outer-nat home
    expect_layers '[2,false,true]' '[null,null]' '[[[1,"192.168.77.1","private"],[2,"10.0.0.1","private"]],3]'
    expect_line "$OUT" "^\[NAT\] NAT layers: likely 2: two routers in a chain \(192\.168\.77\.1, then 10\.0\.0\.1\); told from the path alone" "the pane names both routers"
    expect_line "$OUT" "^\[RESULT\] UPnP on the router: no answer$" "no UPnP"
    expect_line "$OUT" "^\[ADVICE\] If two routers of yours .* bridge \(modem\) mode.*SIP ALG off on both" "advice: bridge mode, the ALG off on both"
    ;;
  single_upnp)
    # One router whose WAN address is the public one, and says so: one NAT, never two.
    run_layers --public --upnp
    expect_line "$(cat "$WORK/upnp.txt")" "^ExternalIPAddress = 203\.0\.113\.1$" "reference: UPnP names 203.0.113.1"
    expect_line "$(cat "$WORK/upnp.txt")" "^Public IP address : 203\.0\.113\.1$" "reference: NAT-PMP names 203.0.113.1"
    expect_layers '[1,false,false]' '["upnp","203.0.113.1"]' '[[[1,"192.168.77.1","private"]],2]'
    expect_line "$OUT" "^\[RESULT\] NAT layers: 1 \(the router's external address 203\.0\.113\.1 is the public address\)$" "the summary: one NAT"
    expect_line "$OUT" "^\[NAT\] NAT public address: 203\.0\.113\.1:[0-9]+$" "STUN saw the same address"
    expect_no_line "$OUT" "bridge|carrier-grade|NAT layers: (likely )?[23]" "nothing reads as two NATs"
    ;;
  *) echo "unknown scenario $SCENARIO" >&2; exit 2 ;;
esac
lab_finish
