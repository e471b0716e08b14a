#!/usr/bin/env bash
# A NAT lab in three network namespaces (four with --outer-nat):
#
#   lan (the user's host) --- router (forwarding, masquerade, optional SIP helper) --- wan (the server)
#   lan --- router --- outer (a second NAT: the provider's, or another home router) --- wan
#
#   lab/lab.sh run  [options] [-- command [args...]]   build a lab, run the command in lan (an
#                                                       interactive shell without one), tear down
#   lab/lab.sh up   [options]                           build a lab and keep it; prints its name
#   lab/lab.sh exec NAME lan|router|outer|wan command [args...]
#   lab/lab.sh down NAME                                tear a kept lab down
#   lab/lab.sh list                                     labs of this machine
#
# Options:
#   --alg PORTS            the router's SIP conntrack helper on these UDP ports (comma-separated)
#   --alg-tcp PORTS        the same helper for SIP over TCP on these TCP ports
#   --udp-timeout SECS     the router's UDP mapping time-out, one-way and replied flows alike
#   --udp-timeout-stream SECS   only the time-out of flows that have seen replies
#   --outbound-refresh SECS     a UDP mapping lasts SECS after the last datagram from lan:
#                          datagrams from wan neither keep it open nor pass once it is gone
#                          (set conntrack's time-outs longer to see this one)
#   --router-mac MAC       MAC of the router's LAN interface
#   --drop udp|tcp[:PORTS] drop that traffic from lan towards the server (repeatable)
#   --drop-back udp|tcp[:PORTS]  drop that traffic from the server towards lan, by the
#                          server's source ports (repeatable): a firewall that lets requests
#                          out but nothing back
#   --loss PCT[:udp|tcp[:PORTS]]  drop PCT % of the packets from lan towards the server, at
#                          random (nftables numgen), of all or of that traffic (repeatable)
#   --loss-spare-syn       --loss never drops a TCP SYN: the data and acknowledgements are lossy,
#                          the connections are made
#   --udp-loss PCT         drop PCT % of all UDP between lan and the server, each way, at random,
#                          before the router's NAT sees the packet (a lossy Wi-Fi or mobile link:
#                          what is lost neither opens nor refreshes a mapping)
#   --call-port PORT       the server's RTP port, which the call's options below act on
#                          (default 5004): up is UDP from lan to it, down UDP from it to lan
#   --delay MS[:JITTER_MS][:up|down|both]  the router holds each packet of the call MS ms plus a
#                          jitter drawn uniformly from [0, JITTER_MS], and keeps the packets in
#                          order, as a link with a queue does (NFQUEUE and natlab-delay-queue, one
#                          per direction; default both; repeatable, the last for a direction wins)
#   --delay-seed S         the seed of the jitter's draws (default 1; down draws from S + 1)
#   --call-loss up:PCT[,down:PCT]  drop PCT % (0 to 99) of the call's packets in that direction
#                          at random (nftables numgen)
#   --drop-audio-back      drop the call's UDP from the server's RTP port to lan: audio goes out,
#                          none comes back (one-way audio)
#   --swallow-tcp PORTS    the router takes TCP connections from lan to these ports of the
#                          server itself and throws away what they carry: the handshake and the
#                          acknowledgements come, the data never reaches the server (a firewall
#                          or ALG that proxies SIP and filters it)
#   --mss BYTES            the router clamps the maximum segment size of every TCP handshake it
#                          forwards, and lan's interface hands each segment on alone
#                          (gso_max_segs 1), so that longer messages really go in several
#   --drop-fragments all|in  the router drops IP fragments before its connection tracking
#                          reassembles them (prerouting, priority -450): every fragment it
#                          forwards (all), or only those coming in from the WAN side (in)
#   --forward-udp PORT     forward UDP PORT on the router's WAN address to the lan host (repeatable)
#   --nat KIND             how the router maps and filters UDP: masquerade (the default: the
#                          local port kept where free, only replies let in), random (masquerade
#                          with a random port for every flow), full-cone (a mapping takes
#                          datagrams from anyone) or restricted-cone (from any port of an
#                          address the mapping sent to); the cones learn each mapping after the
#                          source NAT and send inbound datagrams to it
#   --hairpin              lan reaches its own mappings at the router's WAN address (with
#                          full-cone or restricted-cone)
#   --public               the lab's internet has addresses that count as public: 203.0.113.0/24
#                          (the router's WAN 203.0.113.1, the server 203.0.113.2, a DNS server
#                          203.0.113.53) instead of 172.31.77.0/24
#   --outer-nat cgn|home   a second NAT between the router and the internet, in a namespace of
#                          its own (outer), masquerading to 203.0.113.1 (the internet public as
#                          with --public): cgn, the provider's carrier-grade NAT in the shared
#                          space (the router's WAN 100.64.0.2, the NAT 100.64.0.1); home, a second
#                          home router (10.0.0.2, 10.0.0.1)
#   --upnp                 miniupnpd in the router: UPnP IGD and NAT-PMP on its LAN side. With a
#                          private or shared WAN address it has no external address to give; with
#                          --public and no --outer-nat it learns its own from the server's STUN
#                          side (UDP 3478 must listen: --wait-udp 3478), since it takes the
#                          documentation ranges for private ones
#   --hosts NAMES          names that resolve to the server inside lan (default: sip-echo.lab)
#   --dns NAME=IP[,IP...]  a DNS server in wan (dnsmasq, at 172.31.77.53) that answers NAME with
#                          these addresses, in an order that turns on every query (round robin);
#                          lan looks names up in its hosts file first, then there (repeatable)
#   --wan-address IP       a further address of the server's host, in its /24 (repeatable)
#   --relay-localhost      lan's own 127.0.0.1 TCP 80 and UDP 5060, 5058 lead to the server, so
#                          a tester whose built-in endpoints name localhost reaches it (its
#                          socket layer maps localhost to 127.0.0.1 without a lookup)
#   --lan-sysctl KEY=VAL   a sysctl inside lan (repeatable), e.g. net.ipv4.tcp_syn_retries=2
#   --wan-cmd CMD          start CMD (a bash command line) in wan in the background
#   --wait-tcp PORT        before going on, wait until something listens on TCP PORT in wan
#   --wait-udp PORT        the same for UDP PORT
#   --timeout SECS         run: end the command after SECS (the lab is torn down all the same)
#   --name NAME            the lab's name (default: natlab-<random>); namespaces are NAME-lan,
#                          NAME-router and NAME-wan
#
# --delay runs natlab-delay-queue from the build (LAB_DELAY_PROGRAM names another path).
#
# Commands run as root with these variables set: LAB_NAME, LAB_LAN_NS, LAB_ROUTER_NS,
# LAB_WAN_NS, LAB_OUTER_NS (empty without --outer-nat), LAB_LAN_IP, LAB_ROUTER_LAN_IP,
# LAB_ROUTER_WAN_IP, LAB_SERVER_IP, LAB_LAN_IF.
#
# Exit status of run: the command's; 77 when this machine cannot build a lab (not root, no
# network namespaces, no nftables); 2 for bad options.
set -euo pipefail

# Addresses exist only inside the lab's namespaces, so every lab can use the same ones. Those of
# the internet side are set by plan_addresses from the options.
LAB_LAN_IP=192.168.77.2
LAB_ROUTER_LAN_IP=192.168.77.1
LAB_ROUTER_WAN_IP=172.31.77.1
LAB_SERVER_IP=172.31.77.2
LAB_OUTER_NS=""
LAB_OUTER_LAN_IP=""
LAB_OUTER_WAN_IP=""
STATE_ROOT=/run/natlab
SKIP=77

say() { echo "lab: $*" >&2; }
die() { echo "lab: $*" >&2; exit 2; }

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//' >&2
  exit 2
}

# ---------------------------------------------------------------- options

ALG_PORTS=()
ALG_TCP_PORTS=()
UDP_TIMEOUT=""
UDP_TIMEOUT_STREAM=""
OUTBOUND_REFRESH=""
ROUTER_MAC=""
DROPS=()
DROPS_BACK=()
LOSSES=()
UDP_LOSS=0
SWALLOW_TCP_PORTS=()
CALL_PORT=5004
DELAY_UP=""
DELAY_DOWN=""
DELAY_SEED=1
CALL_LOSS_UP=0
CALL_LOSS_DOWN=0
DROP_AUDIO_BACK=0
DELAY_PROGRAM=${LAB_DELAY_PROGRAM:-$(cd "$(dirname "$0")/.." && pwd)/build/bin/natlab-delay-queue}
MSS=""
DROP_FRAGMENTS=""
FORWARDS=()
NAT_KIND=masquerade
HAIRPIN=0
PUBLIC=0
OUTER=""
UPNP=0
HOSTS_NAMES="sip-echo.lab"
DNS_RECORDS=()
DNS_IP=172.31.77.53
RELAY_LOCALHOST=0
WAN_ADDRESSES=()
LAN_SYSCTLS=()
WAN_CMD=""
WAIT_TCP=()
WAIT_UDP=()
RUN_TIMEOUT=""
NAME=""

is_uint() { [[ "$1" =~ ^[0-9]+$ ]]; }
is_port() { is_uint "$1" && [ "$1" -ge 1 ] && [ "$1" -le 65535 ]; }
# port_list OPTION ARRAY "5060,5058": appends the comma-separated ports to ARRAY, or dies naming OPTION.
port_list() {
  local option=$1 p
  local -n into=$2
  local -a ports=()
  IFS=, read -r -a ports <<<"$3"
  [ ${#ports[@]} -gt 0 ] || die "$option needs a port list"
  for p in "${ports[@]}"; do is_port "$p" || die "$option: bad port '$p'"; into+=("$p"); done
}

# check_drop_rule OPTION RULE: RULE is udp or tcp, with an optional list of ports.
check_drop_rule() {
  [[ "$2" =~ ^(udp|tcp)(:[0-9]+(,[0-9]+)*)?$ ]] || die "$1: '$2' is not udp or tcp[:PORTS]"
  local dp dports
  if [[ "$2" == *:* ]]; then
    IFS=, read -r -a dports <<<"${2#*:}"
    for dp in "${dports[@]}"; do is_port "$dp" || die "$1: bad port '$dp'"; done
  fi
}

parse_options() {
  while [ $# -gt 0 ]; do
    case "$1" in
      --alg)
        port_list --alg ALG_PORTS "${2-}"; shift 2 ;;
      --alg-tcp)
        port_list --alg-tcp ALG_TCP_PORTS "${2-}"; shift 2 ;;
      --udp-timeout)
        [ $# -ge 2 ] && is_uint "$2" && [ "$2" -ge 1 ] || die "--udp-timeout needs a number of seconds"
        UDP_TIMEOUT=$2; shift 2 ;;
      --udp-timeout-stream)
        [ $# -ge 2 ] && is_uint "$2" && [ "$2" -ge 1 ] || die "--udp-timeout-stream needs a number of seconds"
        UDP_TIMEOUT_STREAM=$2; shift 2 ;;
      --outbound-refresh)
        [ $# -ge 2 ] && is_uint "$2" && [ "$2" -ge 1 ] || die "--outbound-refresh needs a number of seconds"
        OUTBOUND_REFRESH=$2; shift 2 ;;
      --router-mac)
        [ $# -ge 2 ] && [[ "$2" =~ ^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$ ]] || die "--router-mac needs a MAC like 00:1a:2b:3c:4d:5e"
        ROUTER_MAC=$2; shift 2 ;;
      --drop)
        [ $# -ge 2 ] || die "--drop needs udp or tcp[:PORTS]"
        check_drop_rule --drop "$2"
        DROPS+=("$2"); shift 2 ;;
      --drop-back)
        [ $# -ge 2 ] || die "--drop-back needs udp or tcp[:PORTS]"
        check_drop_rule --drop-back "$2"
        DROPS_BACK+=("$2"); shift 2 ;;
      --loss)
        [ $# -ge 2 ] && [[ "$2" =~ ^([1-9][0-9]?)(:.+)?$ ]] || die "--loss needs PCT[:udp|tcp[:PORTS]], PCT 1 to 99"
        [[ "$2" == *:* ]] && check_drop_rule --loss "${2#*:}"
        LOSSES+=("$2"); shift 2 ;;
      --loss-spare-syn)
        LOSS_SPARE_SYN=1; shift ;;
      --udp-loss)
        [ $# -ge 2 ] && [[ "$2" =~ ^[1-9][0-9]?$ ]] || die "--udp-loss needs PCT, 1 to 99"
        UDP_LOSS=$2; shift 2 ;;
      --call-port)
        [ $# -ge 2 ] && is_port "$2" || die "--call-port needs a port"
        CALL_PORT=$2; shift 2 ;;
      --delay)
        [ $# -ge 2 ] && [[ "$2" =~ ^([0-9]{1,4})(:([0-9]{1,4}))?(:(up|down|both))?$ ]] ||
          die "--delay needs MS[:JITTER_MS][:up|down|both], each figure 0 to 9999"
        local ms=$((10#${BASH_REMATCH[1]})) jitter=$((10#${BASH_REMATCH[3]:-0})) dir=${BASH_REMATCH[5]:-both}
        [ "$dir" != down ] && DELAY_UP="$ms:$jitter"
        [ "$dir" != up ] && DELAY_DOWN="$ms:$jitter"
        shift 2 ;;
      --delay-seed)
        [ $# -ge 2 ] && is_uint "$2" && [ ${#2} -le 18 ] || die "--delay-seed needs a number"
        DELAY_SEED=$2; shift 2 ;;
      --call-loss)
        [ $# -ge 2 ] && [[ "$2" =~ ^(up|down):[0-9]{1,2}(,(up|down):[0-9]{1,2})?$ ]] ||
          die "--call-loss needs up:PCT[,down:PCT] (or down:PCT), PCT 0 to 99"
        local part parts=()
        IFS=, read -r -a parts <<<"$2"
        for part in "${parts[@]}"; do
          if [ "${part%%:*}" = up ]; then CALL_LOSS_UP=$((10#${part#*:})); else CALL_LOSS_DOWN=$((10#${part#*:})); fi
        done
        shift 2 ;;
      --drop-audio-back)
        DROP_AUDIO_BACK=1; shift ;;
      --swallow-tcp)
        port_list --swallow-tcp SWALLOW_TCP_PORTS "${2-}"; shift 2 ;;
      --mss)
        [ $# -ge 2 ] && is_uint "$2" && [ "$2" -ge 88 ] && [ "$2" -le 1460 ] || die "--mss needs a number of bytes, 88 to 1460"
        MSS=$2; shift 2 ;;
      --drop-fragments)
        [ "${2-}" = all ] || [ "${2-}" = in ] || die "--drop-fragments needs all or in"
        DROP_FRAGMENTS=$2; shift 2 ;;
      --forward-udp)
        [ $# -ge 2 ] && is_port "$2" || die "--forward-udp needs a port"
        FORWARDS+=("$2"); shift 2 ;;
      --hosts)
        [ $# -ge 2 ] && [[ "$2" =~ ^[A-Za-z0-9.\ -]*$ ]] || die "--hosts needs host names separated by blanks"
        HOSTS_NAMES=$2; shift 2 ;;
      --dns)
        [ $# -ge 2 ] && [[ "$2" =~ ^[A-Za-z0-9.-]+=[0-9]+(\.[0-9]+){3}(,[0-9]+(\.[0-9]+){3})*$ ]] || die "--dns needs NAME=IP[,IP...]"
        DNS_RECORDS+=("$2"); shift 2 ;;
      --relay-localhost) RELAY_LOCALHOST=1; shift ;;
      --wan-address)
        [ $# -ge 2 ] && [[ "$2" =~ ^(172\.31\.77|203\.0\.113)\.([3-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-4])$ ]] ||
          die "--wan-address needs an address 172.31.77.3 to 172.31.77.254 (203.0.113.x with --public)"
        WAN_ADDRESSES+=("$2"); shift 2 ;;
      --lan-sysctl)
        [ $# -ge 2 ] && [[ "$2" =~ ^[a-z0-9_.]+=[0-9A-Za-z\ ]+$ ]] || die "--lan-sysctl needs KEY=VALUE"
        LAN_SYSCTLS+=("$2"); shift 2 ;;
      --wan-cmd)
        [ $# -ge 2 ] || die "--wan-cmd needs a command"
        WAN_CMD=$2; shift 2 ;;
      --wait-tcp)
        [ $# -ge 2 ] && is_port "$2" || die "--wait-tcp needs a port"
        WAIT_TCP+=("$2"); shift 2 ;;
      --wait-udp)
        [ $# -ge 2 ] && is_port "$2" || die "--wait-udp needs a port"
        WAIT_UDP+=("$2"); shift 2 ;;
      --timeout)
        [ $# -ge 2 ] && is_uint "$2" && [ "$2" -ge 1 ] || die "--timeout needs a number of seconds"
        RUN_TIMEOUT=$2; shift 2 ;;
      --nat)
        [ $# -ge 2 ] && [[ "$2" =~ ^(masquerade|random|full-cone|restricted-cone)$ ]] ||
          die "--nat needs masquerade, random, full-cone or restricted-cone"
        NAT_KIND=$2; shift 2 ;;
      --hairpin) HAIRPIN=1; shift ;;
      --public) PUBLIC=1; shift ;;
      --outer-nat)
        [ $# -ge 2 ] && [[ "$2" =~ ^(cgn|home)$ ]] || die "--outer-nat needs cgn or home"
        OUTER=$2; shift 2 ;;
      --upnp) UPNP=1; shift ;;
      --name)
        [ $# -ge 2 ] && [[ "$2" =~ ^[A-Za-z0-9_-]{1,40}$ ]] || die "--name needs letters, digits, - or _ (at most 40)"
        NAME=$2; shift 2 ;;
      --) shift; REST=("$@"); return 0 ;;
      -h|--help) usage ;;
      *) die "unknown option '$1' (see lab/lab.sh --help)" ;;
    esac
  done
  REST=()
}

# The internet side's addresses, from --public and --outer-nat.
plan_addresses() {
  local net=172.31.77 a
  if [ $PUBLIC = 1 ] || [ -n "$OUTER" ]; then net=203.0.113; fi
  LAB_SERVER_IP=$net.2
  DNS_IP=$net.53
  case "$OUTER" in
    cgn) LAB_ROUTER_WAN_IP=100.64.0.2; LAB_OUTER_LAN_IP=100.64.0.1; LAB_OUTER_WAN_IP=$net.1 ;;
    home) LAB_ROUTER_WAN_IP=10.0.0.2; LAB_OUTER_LAN_IP=10.0.0.1; LAB_OUTER_WAN_IP=$net.1 ;;
    *) LAB_ROUTER_WAN_IP=$net.1 ;;
  esac
  for a in "${WAN_ADDRESSES[@]}"; do
    [[ "$a" == "$net".* ]] || die "--wan-address: $a is not in the lab's internet, $net.0/24"
  done
  return 0
}

# ---------------------------------------------------------------- names and state

# Sets the namespace and interface names of lab $1. Interface names carry a short id of the lab
# so that no two labs, nor leftovers of a killed one, ever share one.
set_names() {
  NAME=$1
  LAN_NS=$NAME-lan
  ROUTER_NS=$NAME-router
  WAN_NS=$NAME-wan
  OUTER_NS=$NAME-outer
  local id
  id=$(printf '%s' "$NAME" | cksum | cut -d' ' -f1)
  id=$(printf '%06x' $((id % 16777216)))
  LAN_IF=l$id     # the lan host's interface
  RLAN_IF=rl$id   # the router's LAN side
  RWAN_IF=rw$id   # the router's WAN side
  WAN_IF=w$id     # the server's interface
  OL_IF=ol$id     # the outer NAT's side towards the router
  OW_IF=ow$id     # the outer NAT's WAN side
  STATE=$STATE_ROOT/$NAME
}

lab_env() {
  echo "LAB_NAME=$NAME LAB_LAN_NS=$LAN_NS LAB_ROUTER_NS=$ROUTER_NS LAB_WAN_NS=$WAN_NS LAB_OUTER_NS=$LAB_OUTER_NS" \
       "LAB_LAN_IP=$LAB_LAN_IP LAB_ROUTER_LAN_IP=$LAB_ROUTER_LAN_IP" \
       "LAB_ROUTER_WAN_IP=$LAB_ROUTER_WAN_IP LAB_SERVER_IP=$LAB_SERVER_IP LAB_LAN_IF=$LAN_IF"
}

# Runs a command inside namespace $1 with the lab's variables.
in_ns() {
  local ns=$1; shift
  # shellcheck disable=SC2046
  ip netns exec "$ns" env $(lab_env) "$@"
}

ns_exists() { [ -e "/run/netns/$1" ] && ip netns exec "$1" true 2>/dev/null; }

# ---------------------------------------------------------------- checks

# Exits with 77 and a clear message when this machine cannot build a lab.
check_can_build() {
  if [ "$(id -u)" != 0 ]; then
    echo "lab: SKIP: building a NAT lab needs root (network namespaces, nftables)" >&2; exit $SKIP
  fi
  local t
  for t in ip nft sysctl timeout; do
    command -v "$t" >/dev/null 2>&1 || { echo "lab: SKIP: '$t' is not installed" >&2; exit $SKIP; }
  done
  if [ $UPNP = 1 ] && [ ! -x /usr/sbin/miniupnpd ]; then
    echo "lab: SKIP: --upnp needs miniupnpd (package miniupnpd-nftables)" >&2; exit $SKIP
  fi
  if [ ${#DNS_RECORDS[@]} -gt 0 ] && ! command -v dnsmasq >/dev/null 2>&1; then
    echo "lab: SKIP: 'dnsmasq' is not installed (package dnsmasq-base)" >&2; exit $SKIP
  fi
  if [ -n "$DELAY_UP$DELAY_DOWN" ]; then
    if [ ! -x "$DELAY_PROGRAM" ]; then
      echo "lab: SKIP: --delay needs $DELAY_PROGRAM (built where libnetfilter-queue-dev is installed)" >&2; exit $SKIP
    fi
    command -v iptables-nft >/dev/null 2>&1 || { echo "lab: SKIP: --delay needs 'iptables-nft' (package iptables)" >&2; exit $SKIP; }
  fi
  local probe=natlab-probe-$$-$RANDOM
  if ! ip netns add "$probe" 2>/dev/null; then
    echo "lab: SKIP: this machine cannot make network namespaces (ip netns add failed)" >&2; exit $SKIP
  fi
  local ok=1
  ip netns exec "$probe" nft -f - >/dev/null 2>&1 <<'EOF' || ok=0
table ip probe {
  ct helper sip { type "sip" protocol udp; l3proto ip; }
  chain post { type nat hook postrouting priority srcnat; masquerade; }
}
EOF
  ip netns del "$probe" 2>/dev/null || true
  if [ $ok = 0 ]; then
    echo "lab: SKIP: the kernel lacks nftables NAT or the SIP conntrack helper" >&2; exit $SKIP
  fi
}

# ---------------------------------------------------------------- build

# Builds the lab named $NAME from the options. Anything that fails leaves partial state that
# teardown removes.
build_lab() {
  mkdir -p "$STATE"
  echo "$$" >"$STATE/owner"
  lab_env | tr ' ' '\n' >"$STATE/env"

  ip netns add "$LAN_NS"
  ip netns add "$ROUTER_NS"
  ip netns add "$WAN_NS"
  [ -n "$OUTER" ] && ip netns add "$OUTER_NS"

  # Each veth pair is made inside the router's namespace (or the outer NAT's) and its far end
  # moved straight into its own, so nothing of the lab ever appears in the namespace this script
  # runs in.
  ip -n "$ROUTER_NS" link add "$RLAN_IF" type veth peer name "$LAN_IF" netns "$LAN_NS"
  if [ -n "$OUTER" ]; then
    ip -n "$ROUTER_NS" link add "$RWAN_IF" type veth peer name "$OL_IF" netns "$OUTER_NS"
    ip -n "$OUTER_NS" link add "$OW_IF" type veth peer name "$WAN_IF" netns "$WAN_NS"
  else
    ip -n "$ROUTER_NS" link add "$RWAN_IF" type veth peer name "$WAN_IF" netns "$WAN_NS"
  fi
  if [ -n "$ROUTER_MAC" ]; then
    ip -n "$ROUTER_NS" link set dev "$RLAN_IF" address "$ROUTER_MAC"
  fi

  local ns
  for ns in "$LAN_NS" "$ROUTER_NS" "$WAN_NS"; do ip -n "$ns" link set lo up; done
  [ -n "$OUTER" ] && build_outer

  ip -n "$LAN_NS" addr add "$LAB_LAN_IP/24" dev "$LAN_IF"
  # Segments of one write may travel between namespaces as one large packet: with a clamped
  # segment size they must leave one by one, as on a real link.
  [ -n "$MSS" ] && ip -n "$LAN_NS" link set dev "$LAN_IF" gso_max_segs 1
  ip -n "$LAN_NS" link set "$LAN_IF" up
  ip -n "$LAN_NS" route add default via "$LAB_ROUTER_LAN_IP"

  ip -n "$ROUTER_NS" addr add "$LAB_ROUTER_LAN_IP/24" dev "$RLAN_IF"
  ip -n "$ROUTER_NS" addr add "$LAB_ROUTER_WAN_IP/24" dev "$RWAN_IF"
  ip -n "$ROUTER_NS" link set "$RLAN_IF" up
  ip -n "$ROUTER_NS" link set "$RWAN_IF" up
  [ -n "$OUTER" ] && ip -n "$ROUTER_NS" route add default via "$LAB_OUTER_LAN_IP"

  # The server knows no route to the lan: only the router's public address reaches it.
  ip -n "$WAN_NS" addr add "$LAB_SERVER_IP/24" dev "$WAN_IF"
  local extra
  for extra in "${WAN_ADDRESSES[@]}"; do ip -n "$WAN_NS" addr add "$extra/24" dev "$WAN_IF"; done
  [ ${#DNS_RECORDS[@]} -gt 0 ] && ip -n "$WAN_NS" addr add "$DNS_IP/24" dev "$WAN_IF"
  ip -n "$WAN_NS" link set "$WAN_IF" up

  ip netns exec "$ROUTER_NS" sysctl -qw net.ipv4.ip_forward=1
  if [ -n "$UDP_TIMEOUT" ]; then
    ip netns exec "$ROUTER_NS" sysctl -qw net.netfilter.nf_conntrack_udp_timeout="$UDP_TIMEOUT"
    ip netns exec "$ROUTER_NS" sysctl -qw net.netfilter.nf_conntrack_udp_timeout_stream="${UDP_TIMEOUT_STREAM:-$UDP_TIMEOUT}"
  elif [ -n "$UDP_TIMEOUT_STREAM" ]; then
    ip netns exec "$ROUTER_NS" sysctl -qw net.netfilter.nf_conntrack_udp_timeout_stream="$UDP_TIMEOUT_STREAM"
  fi
  local kv
  for kv in "${LAN_SYSCTLS[@]}"; do ip netns exec "$LAN_NS" sysctl -qw "$kv"; done

  # The delays listen on their queues before any rule sends packets there.
  [ -n "$DELAY_UP" ] && start_delay 1 "$DELAY_UP" "$DELAY_SEED"
  [ -n "$DELAY_DOWN" ] && start_delay 2 "$DELAY_DOWN" $((DELAY_SEED + 1))
  router_rules | ip netns exec "$ROUTER_NS" nft -f -
  delay_rules
  if [ $RELAY_LOCALHOST = 1 ]; then
    # Loopback traffic may leave the host only with route_localnet; it leaves with lan's own
    # address as its source, so the router and the server see nothing unusual.
    ip netns exec "$LAN_NS" sysctl -qw net.ipv4.conf.all.route_localnet=1 "net.ipv4.conf.$LAN_IF.route_localnet=1"
    ip netns exec "$LAN_NS" nft -f - <<EOF
table ip natlab_relay {
  chain relay {
    type nat hook output priority -100; policy accept;
    ip daddr 127.0.0.1 tcp dport 80 dnat to $LAB_SERVER_IP
    ip daddr 127.0.0.1 udp dport { 5060, 5058 } dnat to $LAB_SERVER_IP
  }
  chain source {
    type nat hook postrouting priority srcnat; policy accept;
    ip saddr 127.0.0.0/8 oifname "$LAN_IF" snat to $LAB_LAN_IP
  }
}
EOF
  fi

  # Name lookups inside lan read this hosts file and nothing else, so the server has names
  # there and no lookup ever leaves the lab.
  mkdir -p "/etc/netns/$LAN_NS"
  {
    [ -n "$HOSTS_NAMES" ] && echo "$LAB_SERVER_IP $HOSTS_NAMES"
    echo "127.0.0.1 lan.natlab"
  } >"/etc/netns/$LAN_NS/hosts"
  if [ ${#DNS_RECORDS[@]} -gt 0 ]; then
    printf 'hosts: files dns\n' >"/etc/netns/$LAN_NS/nsswitch.conf"
    printf 'nameserver %s\noptions timeout:2 attempts:2\n' "$DNS_IP" >"/etc/netns/$LAN_NS/resolv.conf"
    start_dns
  else
    printf 'hosts: files\n' >"/etc/netns/$LAN_NS/nsswitch.conf"
    : >"/etc/netns/$LAN_NS/resolv.conf"
  fi

  if [ -n "$WAN_CMD" ]; then
    # setsid: the server gets a process group of its own, so a Ctrl-C meant for the lab's
    # command does not reach it; teardown ends it.
    # Its output goes to stderr: whoever captures the lab's stdout (the name printed by up)
    # does not wait for it.
    # shellcheck disable=SC2046
    setsid ip netns exec "$WAN_NS" env $(lab_env) bash -c "$WAN_CMD" </dev/null >&2 &
    echo $! >>"$STATE/pids"
  fi
  local p
  for p in "${SWALLOW_TCP_PORTS[@]}"; do start_swallower "$p"; done
  for p in "${WAIT_TCP[@]}"; do wait_listen tcp "$p"; done
  for p in "${WAIT_UDP[@]}"; do wait_listen udp "$p"; done
  # After the server: with a public WAN address it asks the server's STUN side.
  [ $UPNP = 1 ] && start_upnp
  return 0
}

# The outer NAT of --outer-nat: forwarding from the router's WAN network to the internet,
# masquerading to its own WAN address, nothing else.
build_outer() {
  ip -n "$OUTER_NS" link set lo up
  ip -n "$OUTER_NS" addr add "$LAB_OUTER_LAN_IP/24" dev "$OL_IF"
  ip -n "$OUTER_NS" addr add "$LAB_OUTER_WAN_IP/24" dev "$OW_IF"
  ip -n "$OUTER_NS" link set "$OL_IF" up
  ip -n "$OUTER_NS" link set "$OW_IF" up
  ip netns exec "$OUTER_NS" sysctl -qw net.ipv4.ip_forward=1
  ip netns exec "$OUTER_NS" nft -f - <<EOF
table ip natlab_outer {
  chain masq {
    type nat hook postrouting priority srcnat; policy accept;
    oifname "$OW_IF" masquerade
  }
}
EOF
}

# miniupnpd in the router (--upnp), UPnP IGD and NAT-PMP on the LAN side, its files in the
# lab's state; waits (at most 20 s) until it takes NAT-PMP requests.
start_upnp() {
  local conf=$STATE/miniupnpd.conf id
  id=$(printf '%s' "$NAME" | cksum | cut -d' ' -f1)
  {
    echo "ext_ifname=$RWAN_IF"
    echo "listening_ip=$RLAN_IF"
    echo "enable_upnp=yes"
    echo "enable_natpmp=yes"
    echo "secure_mode=yes"
    printf 'uuid=6c61622d-7570-4e70-8000-%012x\n' "$id"
    echo "lease_file=$STATE/miniupnpd.leases"
    if [ -z "$OUTER" ] && [ $PUBLIC = 1 ]; then
      echo "ext_perform_stun=yes"
      echo "ext_stun_host=$LAB_SERVER_IP"
      echo "ext_stun_port=3478"
    fi
    echo "allow 1024-65535 ${LAB_LAN_IP%.*}.0/24 1024-65535"
    echo "deny 0-65535 0.0.0.0/0 0-65535"
  } >"$conf"
  setsid ip netns exec "$ROUTER_NS" /usr/sbin/miniupnpd -d -f "$conf" -P "$STATE/miniupnpd.pid" \
    </dev/null >>"$STATE/miniupnpd.log" 2>&1 &
  echo $! >>"$STATE/pids"
  WAIT_NS=$ROUTER_NS wait_listen udp 5351 || { cat "$STATE/miniupnpd.log" >&2; return 1; }
}

# The lab's DNS server, in wan: the records of --dns and nothing else (no upstream, no hosts
# file). dnsmasq hands out a name's addresses in turn, a new order for every query.
start_dns() {
  local args=(--keep-in-foreground --log-facility=- --log-queries --no-resolv --no-hosts --bind-interfaces
              --listen-address="$DNS_IP" --user=root --group=root --pid-file= --cache-size=0 --local-ttl=0)
  local r name ips ip
  for r in "${DNS_RECORDS[@]}"; do
    name=${r%%=*}
    IFS=, read -r -a ips <<<"${r#*=}"
    for ip in "${ips[@]}"; do args+=(--host-record="$name,$ip"); done
  done
  setsid ip netns exec "$WAN_NS" dnsmasq "${args[@]}" </dev/null >>"$STATE/dns.log" 2>&1 &
  echo $! >>"$STATE/pids"
  wait_listen udp 53
}

# The router's end of --swallow-tcp: accepts connections on TCP port $1 and reads them to their
# end, throwing every byte away (perl-base is part of every Debian system).
start_swallower() {
  setsid ip netns exec "$ROUTER_NS" perl -MIO::Socket::INET -e '
    $SIG{CHLD} = "IGNORE";
    my $l = IO::Socket::INET->new(LocalPort => $ARGV[0], Listen => 64, ReuseAddr => 1) or die "swallow: $!\n";
    while (my $c = $l->accept) {
      if (fork) { close $c; next }
      my $b;
      1 while sysread($c, $b, 65536);
      exit 0;
    }' "$1" </dev/null >&2 &
  echo $! >>"$STATE/pids"
  WAIT_NS=$ROUTER_NS wait_listen tcp "$1"
}

# start_delay QUEUE MS:JITTER SEED: natlab-delay-queue in the router on that NFQUEUE queue; waits
# (at most 10 s) until it is bound. Teardown ends it with the router's other processes.
start_delay() {
  local queue=$1 ms=${2%%:*} jitter=${2#*:} seed=$3 i
  setsid ip netns exec "$ROUTER_NS" "$DELAY_PROGRAM" --queue "$queue" --delay-ms "$ms" --jitter-ms "$jitter" \
    --seed "$seed" </dev/null >&2 &
  echo $! >>"$STATE/pids"
  for i in $(seq 1 100); do
    # Bound queues of the router's namespace, one line each, the queue's number first.
    ip netns exec "$ROUTER_NS" awk -v q="$queue" '$1 == q {found = 1} END {exit !found}' \
      /proc/net/netfilter/nfnetlink_queue 2>/dev/null && return 0
    sleep 0.1
  done
  say "the delay on queue $queue did not start"
  return 1
}

# call_rules: the call's losses and one-way audio, in the forward chain of drops. Replies pass
# the forward hook with the masquerade already undone: from the server, to lan.
call_rules() {
  local up="iifname \"$RLAN_IF\" ip daddr $LAB_SERVER_IP udp dport $CALL_PORT"
  local down="iifname \"$RWAN_IF\" ip saddr $LAB_SERVER_IP udp sport $CALL_PORT"
  [ "$CALL_LOSS_UP" -gt 0 ] && echo "    $up numgen random mod 100 < $CALL_LOSS_UP counter drop"
  [ "$CALL_LOSS_DOWN" -gt 0 ] && echo "    $down numgen random mod 100 < $CALL_LOSS_DOWN counter drop"
  [ $DROP_AUDIO_BACK = 1 ] && echo "    $down counter drop"
  return 0
}

# delay_rules: what is left of the call after the drops goes to the delays' queues, up to queue 1
# and down to queue 2. This kernel has nftables' queue statement only through the xtables target,
# which iptables-nft writes: its security table's forward chain (priority 150) comes after every
# chain of the lab's own table, so the losses and drops come first.
delay_rules() {
  if [ -n "$DELAY_UP" ]; then
    ip netns exec "$ROUTER_NS" iptables-nft -t security -A FORWARD -i "$RLAN_IF" -d "$LAB_SERVER_IP" \
      -p udp --dport "$CALL_PORT" -j NFQUEUE --queue-num 1
  fi
  if [ -n "$DELAY_DOWN" ]; then
    ip netns exec "$ROUTER_NS" iptables-nft -t security -A FORWARD -i "$RWAN_IF" -s "$LAB_SERVER_IP" \
      -p udp --sport "$CALL_PORT" -j NFQUEUE --queue-num 2
  fi
  return 0
}

# loss_rules: a rule per --loss that drops its share of the packets from lan to the server.
loss_rules() {
  local l pct rule proto spare
  for l in "${LOSSES[@]}"; do
    pct=${l%%:*}
    rule=""
    [[ "$l" == *:* ]] && rule=${l#*:}
    if [ -z "$rule" ]; then
      echo "    iifname \"$RLAN_IF\" ip daddr $LAB_SERVER_IP numgen random mod 100 < $pct counter drop"
    elif [[ "$rule" == *:* ]]; then
      proto=${rule%%:*}
      spare=""
      [ "$proto" = tcp ] && [ "${LOSS_SPARE_SYN:-0}" = 1 ] && spare="tcp flags & syn == 0 "
      echo "    iifname \"$RLAN_IF\" ip daddr $LAB_SERVER_IP $proto dport { ${rule#*:} } ${spare}numgen random mod 100 < $pct counter drop"
    else
      echo "    iifname \"$RLAN_IF\" ip daddr $LAB_SERVER_IP ip protocol $rule numgen random mod 100 < $pct counter drop"
    fi
  done
}

# drop_rules IFACE MATCH PORTDIR RULE...: a drop rule per RULE (udp|tcp[:PORTS]) for packets that
# come in on IFACE and fit MATCH; with ports, PORTDIR (dport or sport) names which ones.
drop_rules() {
  local iface=$1 match=$2 dir=$3 d proto
  shift 3
  for d in "$@"; do
    proto=${d%%:*}
    if [[ "$d" == *:* ]]; then
      echo "    iifname \"$iface\" $match $proto $dir { ${d#*:} } counter drop"
    else
      echo "    iifname \"$iface\" $match ip protocol $proto counter drop"
    fi
  done
}

# The router's nftables rules, from the options.
router_rules() {
  local d
  echo "table ip natlab {"
  if [ ${#ALG_PORTS[@]} -gt 0 ]; then
    echo "  ct helper sip { type \"sip\" protocol udp; l3proto ip; }"
  fi
  if [ ${#ALG_TCP_PORTS[@]} -gt 0 ]; then
    echo "  ct helper sip_tcp { type \"sip\" protocol tcp; l3proto ip; }"
  fi
  echo "  chain helpers {"
  echo "    type filter hook prerouting priority filter; policy accept;"
  if [ ${#ALG_PORTS[@]} -gt 0 ]; then
    echo "    iifname \"$RLAN_IF\" udp dport { $(IFS=,; echo "${ALG_PORTS[*]}") } ct helper set \"sip\""
  fi
  if [ ${#ALG_TCP_PORTS[@]} -gt 0 ]; then
    echo "    iifname \"$RLAN_IF\" tcp dport { $(IFS=,; echo "${ALG_TCP_PORTS[*]}") } ct helper set \"sip_tcp\""
  fi
  echo "  }"
  if [ -n "$DROP_FRAGMENTS" ]; then
    # Before conntrack's reassembly (priority -400), which would hide the fragments.
    echo "  chain fragments {"
    echo "    type filter hook prerouting priority -450; policy accept;"
    if [ "$DROP_FRAGMENTS" = in ]; then
      echo "    iifname \"$RWAN_IF\" ip frag-off & 0x3fff != 0 counter drop"
    else
      echo "    ip frag-off & 0x3fff != 0 counter drop"
    fi
    echo "  }"
  fi
  if [ "$UDP_LOSS" -gt 0 ]; then
    # Before conntrack (priority -200): a packet lost here never reached the NAT.
    echo "  chain udp_loss {"
    echo "    type filter hook prerouting priority -300; policy accept;"
    echo "    iifname \"$RLAN_IF\" ip daddr $LAB_SERVER_IP meta l4proto udp numgen random mod 100 < $UDP_LOSS counter drop"
    echo "    iifname \"$RWAN_IF\" ip saddr $LAB_SERVER_IP meta l4proto udp numgen random mod 100 < $UDP_LOSS counter drop"
    echo "  }"
  fi
  echo "  chain port_forward {"
  echo "    type nat hook prerouting priority dstnat; policy accept;"
  if [ ${#SWALLOW_TCP_PORTS[@]} -gt 0 ]; then
    echo "    iifname \"$RLAN_IF\" ip daddr $LAB_SERVER_IP tcp dport { $(IFS=,; echo "${SWALLOW_TCP_PORTS[*]}") } redirect"
  fi
  for d in "${FORWARDS[@]}"; do
    echo "    iifname \"$RWAN_IF\" udp dport $d dnat to $LAB_LAN_IP"
  done
  echo "  }"
  echo "  chain drops {"
  echo "    type filter hook forward priority filter; policy accept;"
  drop_rules "$RLAN_IF" "ip daddr $LAB_SERVER_IP" dport "${DROPS[@]}"
  loss_rules
  call_rules
  [ -n "$MSS" ] && echo "    tcp flags & syn == syn tcp option maxseg size set $MSS"
  # Replies pass the forward hook with the masquerade already undone: from the server, to lan.
  drop_rules "$RWAN_IF" "ip saddr $LAB_SERVER_IP" sport "${DROPS_BACK[@]}"
  echo "  }"
  echo "  chain masq {"
  echo "    type nat hook postrouting priority srcnat; policy accept;"
  if [ "$NAT_KIND" = random ]; then
    echo "    oifname \"$RWAN_IF\" masquerade fully-random"
  else
    echo "    oifname \"$RWAN_IF\" masquerade"
  fi
  # A datagram that came back in from lan to a mapping leaves as from the router, so that the
  # answer passes the router too.
  [ $HAIRPIN = 1 ] && echo "    oifname \"$RLAN_IF\" ct status dnat ip saddr $LAB_LAN_IP masquerade"
  echo "  }"
  case "$NAT_KIND" in full-cone | restricted-cone) cone_rules ;; esac
  [ -n "$OUTBOUND_REFRESH" ] && outbound_refresh_rules
  echo "}"
}

# The cones: every UDP mapping is learnt after the source NAT (public port -> lan address and
# port, and the remote addresses it sent to); inbound datagrams to a learnt port go to its lan
# end, from anyone (full cone) or from those addresses only (restricted cone).
cone_rules() {
  local from=""
  [ "$NAT_KIND" = restricted-cone ] && from=" udp dport . ip saddr @sent_to"
  echo "  map mappings { type inet_service : ipv4_addr . inet_service; flags dynamic,timeout; timeout 180s; size 65535; }"
  echo "  set sent_to { type inet_service . ipv4_addr; flags dynamic,timeout; timeout 180s; size 65535; }"
  echo "  chain learn {"
  echo "    type filter hook postrouting priority srcnat + 10; policy accept;"
  echo "    oifname \"$RWAN_IF\" meta l4proto udp update @mappings { udp sport : ct original ip saddr . ct original proto-src }"
  echo "    oifname \"$RWAN_IF\" meta l4proto udp update @sent_to { udp sport . ip daddr }"
  echo "  }"
  echo "  chain cone_in {"
  echo "    type nat hook prerouting priority dstnat + 10; policy accept;"
  echo "    iifname \"$RWAN_IF\"$from dnat ip to udp dport map @mappings"
  if [ $HAIRPIN = 1 ]; then
    echo "    iifname \"$RLAN_IF\" ip daddr $LAB_ROUTER_WAN_IP dnat ip to udp dport map @mappings"
  fi
  echo "  }"
}

# A NAT that only outbound traffic refreshes: each lan address and port that sends UDP out is
# kept for OUTBOUND_REFRESH seconds from its last datagram; UDP from wan (already mapped back to
# the lan address) to one that is not kept is dropped, whatever conntrack still holds.
outbound_refresh_rules() {
  echo "  set outbound { type ipv4_addr . inet_service; flags dynamic,timeout; timeout ${OUTBOUND_REFRESH}s; size 65535; }"
  echo "  chain outbound_only {"
  echo "    type filter hook forward priority filter + 10; policy accept;"
  echo "    iifname \"$RLAN_IF\" meta l4proto udp update @outbound { ip saddr . udp sport }"
  echo "    iifname \"$RWAN_IF\" meta l4proto udp ip daddr . udp dport != @outbound counter drop"
  echo "  }"
}

# Waits (at most 20 s) until something listens on port $2 of protocol $1 in wan (or in the
# namespace WAIT_NS names).
wait_listen() {
  local proto=$1 port=$2 i flag=-ltnH ns=${WAIT_NS:-$WAN_NS}
  [ "$proto" = udp ] && flag=-lunH
  for i in $(seq 1 200); do
    if ip netns exec "$ns" ss $flag "sport = :$port" 2>/dev/null | grep -q .; then return 0; fi
    sleep 0.1
  done
  say "nothing listens on $proto port $port in $ns after 20 s"
  return 1
}

# ---------------------------------------------------------------- teardown

# Ends every process inside namespace $1: all of them were started by this lab.
end_processes() {
  local ns=$1 pids i
  ns_exists "$ns" || return 0
  pids=$(ip netns pids "$ns" 2>/dev/null || true)
  [ -z "$pids" ] && return 0
  # shellcheck disable=SC2086
  kill -TERM $pids 2>/dev/null || true
  for i in $(seq 1 30); do
    pids=$(ip netns pids "$ns" 2>/dev/null || true)
    [ -z "$pids" ] && return 0
    sleep 0.1
  done
  # shellcheck disable=SC2086
  kill -KILL $pids 2>/dev/null || true
  for i in $(seq 1 20); do
    [ -z "$(ip netns pids "$ns" 2>/dev/null || true)" ] && return 0
    sleep 0.1
  done
}

teardown() {
  local ns
  for ns in "$LAN_NS" "$WAN_NS" "$ROUTER_NS" "$OUTER_NS"; do end_processes "$ns"; done
  for ns in "$LAN_NS" "$WAN_NS" "$ROUTER_NS" "$OUTER_NS"; do
    if [ -e "/run/netns/$ns" ]; then ip netns del "$ns" 2>/dev/null || rm -f "/run/netns/$ns"; fi
    rm -rf "/etc/netns/$ns"
  done
  rm -rf "$STATE"
  rmdir "$STATE_ROOT" /etc/netns 2>/dev/null || true
}

# ---------------------------------------------------------------- commands

new_name() {
  if [ -z "$NAME" ]; then
    NAME=natlab-$(od -An -N4 -tx4 /dev/urandom | tr -d ' ')
  fi
  set_names "$NAME"
  if [ -e "$STATE" ] || [ -e "/run/netns/$LAN_NS" ]; then die "a lab named $NAME exists already"; fi
  [ -n "$OUTER" ] && LAB_OUTER_NS=$OUTER_NS
  plan_addresses
}

describe() {
  if [ -n "$OUTER" ]; then
    say "$NAME: lan $LAN_NS ($LAB_LAN_IP) -> router $ROUTER_NS ($LAB_ROUTER_LAN_IP | $LAB_ROUTER_WAN_IP) -> $OUTER NAT $OUTER_NS ($LAB_OUTER_LAN_IP | $LAB_OUTER_WAN_IP) -> wan $WAN_NS ($LAB_SERVER_IP)"
  else
    say "$NAME: lan $LAN_NS ($LAB_LAN_IP) -> router $ROUTER_NS ($LAB_ROUTER_LAN_IP | $LAB_ROUTER_WAN_IP) -> wan $WAN_NS ($LAB_SERVER_IP)"
  fi
  local what=()
  [ $UPNP = 1 ] && what+=("UPnP IGD and NAT-PMP in the router (miniupnpd)")
  [ ${#ALG_PORTS[@]} -gt 0 ] && what+=("SIP helper on UDP $(IFS=,; echo "${ALG_PORTS[*]}")")
  [ ${#ALG_TCP_PORTS[@]} -gt 0 ] && what+=("SIP helper on TCP $(IFS=,; echo "${ALG_TCP_PORTS[*]}")")
  [ -n "$UDP_TIMEOUT" ] && what+=("UDP time-out ${UDP_TIMEOUT}s")
  [ -n "$UDP_TIMEOUT_STREAM" ] && what+=("UDP time-out of replied flows ${UDP_TIMEOUT_STREAM}s")
  [ -n "$OUTBOUND_REFRESH" ] && what+=("mappings refreshed by outbound UDP only, for ${OUTBOUND_REFRESH}s")
  [ -n "$ROUTER_MAC" ] && what+=("router LAN MAC $ROUTER_MAC")
  [ $RELAY_LOCALHOST = 1 ] && what+=("lan's localhost relayed to the server")
  [ ${#WAN_ADDRESSES[@]} -gt 0 ] && what+=("server also at ${WAN_ADDRESSES[*]}")
  [ ${#DNS_RECORDS[@]} -gt 0 ] && what+=("DNS at $DNS_IP for ${DNS_RECORDS[*]}")
  [ ${#DROPS[@]} -gt 0 ] && what+=("dropping ${DROPS[*]}")
  [ ${#DROPS_BACK[@]} -gt 0 ] && what+=("dropping ${DROPS_BACK[*]} from the server")
  [ ${#LOSSES[@]} -gt 0 ] && what+=("losing ${LOSSES[*]} (% of the packets towards the server)")
  [ "$UDP_LOSS" -gt 0 ] && what+=("losing $UDP_LOSS % of UDP each way before the NAT")
  [ -n "$DELAY_UP" ] && what+=("call up (to UDP $CALL_PORT) held ${DELAY_UP%%:*} ms + 0..${DELAY_UP#*:} ms")
  [ -n "$DELAY_DOWN" ] && what+=("call down (from UDP $CALL_PORT) held ${DELAY_DOWN%%:*} ms + 0..${DELAY_DOWN#*:} ms")
  [ "$CALL_LOSS_UP" -gt 0 ] && what+=("losing $CALL_LOSS_UP % of the call up")
  [ "$CALL_LOSS_DOWN" -gt 0 ] && what+=("losing $CALL_LOSS_DOWN % of the call down")
  [ $DROP_AUDIO_BACK = 1 ] && what+=("dropping the call's audio back from UDP $CALL_PORT")
  [ ${#SWALLOW_TCP_PORTS[@]} -gt 0 ] && what+=("swallowing TCP $(IFS=,; echo "${SWALLOW_TCP_PORTS[*]}") in the router")
  [ -n "$MSS" ] && what+=("TCP segments of at most $MSS bytes")
  [ ${#FORWARDS[@]} -gt 0 ] && what+=("forwarding UDP ${FORWARDS[*]} to lan")
  [ "$NAT_KIND" != masquerade ] && what+=("NAT: $NAT_KIND")
  [ $HAIRPIN = 1 ] && what+=("hairpinning")
  [ ${#what[@]} -gt 0 ] && say "$(IFS=';'; echo "${what[*]}" | sed 's/;/; /g')"
  return 0
}

cmd_run() {
  parse_options "$@"
  check_can_build
  new_name
  CHILD=""
  on_exit() {
    local rc=$?
    trap - EXIT INT TERM HUP
    if [ -n "$CHILD" ]; then kill -TERM "$CHILD" 2>/dev/null || true; fi
    teardown
    exit $rc
  }
  trap on_exit EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
  build_lab
  describe
  local cmd=("${REST[@]}")
  if [ ${#cmd[@]} -eq 0 ]; then
    say "a shell in lan; leave it to tear the lab down"
    in_ns "$LAN_NS" bash -i || true
    return 0
  fi
  if [ -n "$RUN_TIMEOUT" ]; then cmd=(timeout --kill-after=5 "$RUN_TIMEOUT" "${cmd[@]}"); fi
  # In the background and waited for, so that a signal reaches the trap at once.
  in_ns "$LAN_NS" "${cmd[@]}" &
  CHILD=$!
  local rc=0
  wait "$CHILD" || rc=$?
  CHILD=""
  if [ -n "$RUN_TIMEOUT" ] && [ $rc = 124 ]; then say "the command ran out of its ${RUN_TIMEOUT}s"; fi
  return $rc
}

cmd_up() {
  parse_options "$@"
  [ ${#REST[@]} -eq 0 ] || die "up takes no command; use lab/lab.sh exec NAME lan ..."
  check_can_build
  new_name
  trap 'rc=$?; if [ $rc != 0 ]; then teardown; fi' EXIT
  build_lab
  echo 0 >"$STATE/owner"   # kept: no process owns it any more
  describe
  say "kept; run commands with: $0 exec $NAME lan|router|wan COMMAND; remove with: $0 down $NAME"
  echo "$NAME"
}

load_lab() {
  [ $# -ge 1 ] || die "which lab? (lab/lab.sh list)"
  [[ "$1" =~ ^[A-Za-z0-9_-]{1,40}$ ]] || die "bad lab name '$1'"
  set_names "$1"
  [ -d "$STATE" ] || die "no lab named $1"
  # Its addresses as it was built.
  local k v
  while IFS== read -r k v; do
    case "$k" in LAB_*) printf -v "$k" '%s' "$v" ;; esac
  done <"$STATE/env"
}

cmd_exec() {
  load_lab "${1:-}"; shift
  [ $# -ge 2 ] || die "usage: lab/lab.sh exec NAME lan|router|wan COMMAND [ARGS...]"
  local where=$1; shift
  case "$where" in
    lan) in_ns "$LAN_NS" "$@" ;;
    router) in_ns "$ROUTER_NS" "$@" ;;
    outer) [ -n "$LAB_OUTER_NS" ] || die "exec: lab $NAME has no outer NAT"; in_ns "$OUTER_NS" "$@" ;;
    wan) in_ns "$WAN_NS" "$@" ;;
    *) die "exec: '$where' is not lan, router, outer or wan" ;;
  esac
}

cmd_down() {
  load_lab "${1:-}"
  teardown
  say "$NAME removed"
}

cmd_list() {
  local d n owner
  [ -d "$STATE_ROOT" ] || return 0
  for d in "$STATE_ROOT"/*/; do
    [ -d "$d" ] || continue
    n=$(basename "$d")
    owner=$(cat "$d/owner" 2>/dev/null || echo 0)
    if [ "$owner" != 0 ] && ! kill -0 "$owner" 2>/dev/null; then
      echo "$n (left over: its run ended without tearing it down; lab/lab.sh down $n)"
    else
      echo "$n"
    fi
  done
}

[ $# -ge 1 ] || usage
sub=$1; shift
case "$sub" in
  run) cmd_run "$@" ;;
  up) cmd_up "$@" ;;
  exec) cmd_exec "$@" ;;
  down) cmd_down "$@" ;;
  list) cmd_list ;;
  -h|--help|help) usage ;;
  *) die "unknown command '$sub' (run, up, exec, down, list)" ;;
esac
