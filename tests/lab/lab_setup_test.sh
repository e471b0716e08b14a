#!/usr/bin/env bash
# The lab itself: addresses, masquerading, the SIP helper, time-outs, MAC, drop and forward
# rules, name lookups in lan, and that nothing is left behind, whatever way a run ends.
# Exits 77 (skipped) where no lab can be built.
set -uo pipefail
LAB="$(cd "$(dirname "$0")/../../lab" && pwd)/lab.sh"
. "$(dirname "$0")/lab_test_lib.sh"

lab_require

# Facts from inside a lab, one per line, printed by the command run in lan. The router's
# connection tracking table tells what the NAT did with each flow.
conntrack() { ip netns exec "$LAB_ROUTER_NS" cat /proc/net/nf_conntrack; }
export -f conntrack

# ---- masquerading, the SIP helper on 5060 only, the UDP time-out
out=$("$LAB" run --name "$(lab_name)" --alg 5060 --udp-timeout 9 --timeout 30 -- bash -c '
  echo x >/dev/udp/$LAB_SERVER_IP/5060
  echo x >/dev/udp/$LAB_SERVER_IP/5058
  conntrack | grep "dport=5060 " | sed "s/^/flow5060 /"
  conntrack | grep "dport=5058 " | sed "s/^/flow5058 /"
  echo "route $(ip route show default)"
  echo "timeout $(ip netns exec $LAB_ROUTER_NS sysctl -n net.netfilter.nf_conntrack_udp_timeout)"
  echo "stream $(ip netns exec $LAB_ROUTER_NS sysctl -n net.netfilter.nf_conntrack_udp_timeout_stream)"
  echo "host_timeout $(sysctl -n net.netfilter.nf_conntrack_udp_timeout)"
')
expect_line "$out" "^route default via 192.168.77.1 " "lan's default route goes via the router"
expect_line "$out" "^flow5060 .*src=192.168.77.2 dst=172.31.77.2 sport=[0-9]+ dport=5060 .*src=172.31.77.2 dst=172.31.77.1 " \
  "UDP 5060 is masqueraded to the router's WAN address"
# The SIP helper keeps the flows it handles for an hour, far beyond the router's UDP time-out.
secs=$(grep '^flow5060 ' <<<"$out" | awk '{print $6}')
expect_true "[ -n '$secs' ] && [ '$secs' -gt 3000 ]" "the SIP helper handles UDP 5060 (its flow lives ${secs}s)"
expect_line "$out" "^flow5058 .*src=172.31.77.2 dst=172.31.77.1 " "UDP 5058 is masqueraded"
expect_no_line "$out" "^flow5058 .*helper=" "UDP 5058 has no helper"
expect_line "$out" "^timeout 9$" "the router's UDP time-out is set"
expect_line "$out" "^stream 9$" "the router's replied-flow time-out is set as well"
# The one-way flow to 5058 counts down from the router's own time-out.
secs=$(grep '^flow5058 ' <<<"$out" | awk '{print $6}')
expect_true "[ -n '$secs' ] && [ '$secs' -le 9 ]" "the 5058 mapping lives at most 9 s (has $secs)"
host_timeout=$(sysctl -n net.netfilter.nf_conntrack_udp_timeout)
expect_line "$out" "^host_timeout $host_timeout$" "the time-out of the namespace the lab was made from is untouched"

# ---- names, MAC, drops and forwarding in one lab
out=$("$LAB" run --name "$(lab_name)" --hosts "echo.lab other.lab" --router-mac 00:1a:2b:3c:4d:5e \
  --drop udp:5058 --drop tcp:80 --forward-udp 5004 --lan-sysctl net.ipv4.tcp_syn_retries=1 --timeout 40 -- bash -c '
  echo "resolve echo.lab $(getent hosts echo.lab | awk "{print \$1}")"
  echo "resolve other.lab $(getent hosts other.lab | awk "{print \$1}")"
  getent hosts elsewhere.example >/dev/null && echo "resolve elsewhere found" || echo "resolve elsewhere none"
  echo x >/dev/udp/$LAB_SERVER_IP/5058
  echo x >/dev/udp/$LAB_SERVER_IP/5060
  echo "neigh $(ip neigh show $LAB_ROUTER_LAN_IP)"
  echo "drops $(ip netns exec $LAB_ROUTER_NS nft list chain ip natlab drops | grep -o "packets [0-9]*" | tr "\n" " ")"
  # Nothing listens in wan: a SYN that gets through is refused at once, a dropped one times out.
  timeout 5 bash -c "exec 3<>/dev/tcp/$LAB_SERVER_IP/81" 2>/dev/null; echo "tcp81 rc=$?"
  timeout 2 bash -c "exec 3<>/dev/tcp/$LAB_SERVER_IP/80" 2>/dev/null; echo "tcp80 rc=$?"
  echo "synretries $(sysctl -n net.ipv4.tcp_syn_retries)"
  ip netns exec $LAB_WAN_NS bash -c "echo x >/dev/udp/$LAB_ROUTER_WAN_IP/5004"
  conntrack | grep "dport=5004 " | sed "s/^/flow5004 /"
')
expect_line "$out" "^resolve echo.lab 172.31.77.2$" "a name of --hosts names the server inside lan"
expect_line "$out" "^resolve other.lab 172.31.77.2$" "every name of --hosts names the server"
expect_line "$out" "^resolve elsewhere none$" "other names are not found (no lookup leaves the lab)"
expect_line "$out" "^neigh 192.168.77.1 .*lladdr 00:1a:2b:3c:4d:5e" "the router's LAN MAC is the chosen one"
expect_line "$out" "^drops packets 1 packets 0 $" "one UDP datagram to 5058 dropped, UDP 5060 passed"
expect_line "$out" "^tcp81 rc=1$" "TCP to another port reaches the server (refused there)"
expect_line "$out" "^tcp80 rc=124$" "TCP to port 80 is dropped (the connect hangs)"
expect_line "$out" "^synretries 1$" "--lan-sysctl sets a sysctl inside lan"
expect_line "$out" "^flow5004 .*src=172.31.77.2 dst=172.31.77.1 .*dport=5004 .*src=192.168.77.2 dst=172.31.77.2 " \
  "UDP 5004 on the router's WAN address is forwarded to the lan host"

# ---- lan's own loopback relayed to the server: the flows show up at the router
out=$("$LAB" run --name "$(lab_name)" --relay-localhost --drop tcp:80,81 -- bash -c '
  getent hosts sip-echo.lab
  echo x >/dev/udp/127.0.0.1/5058
  conntrack | sed "s/^/flow /"
  timeout 1 bash -c "exec 3<>/dev/tcp/127.0.0.1/80" 2>/dev/null
  timeout 1 bash -c "exec 3<>/dev/tcp/127.0.0.1/81" 2>/dev/null
  echo "drops $(ip netns exec $LAB_ROUTER_NS nft list chain ip natlab drops | grep -o "packets [1-9][0-9]*" | wc -l)"
')
expect_line "$out" "^172.31.77.2 +sip-echo.lab$" "the server is sip-echo.lab by default"
expect_line "$out" "^flow .*udp .*src=192.168.77.2 dst=172.31.77.2 sport=[0-9]+ dport=5058 " "UDP to lan's own 127.0.0.1:5058 goes to the server"
expect_line "$out" "^drops 1$" "TCP to lan's own 127.0.0.1:80 goes towards the server, other ports stay in lan"

# ---- exit status, time limit, and nothing left behind
name=$(lab_name)
"$LAB" run --name "$name" -- bash -c 'exit 3'
expect_true "[ $? = 3 ]" "run passes the command's exit status on"
expect_true "! lab_exists $name" "a finished run leaves no namespace or file behind"

name=$(lab_name)
"$LAB" run --name "$name" --timeout 1 -- sleep 30
expect_true "[ $? = 124 ]" "a command that outlives --timeout is ended (status 124)"
expect_true "! lab_exists $name" "a timed-out run leaves nothing behind"

name=$(lab_name)
"$LAB" run --name "$name" --wan-cmd 'sleep 60' -- sleep 60 &
pid=$!
wait_until "lab_exists $name && [ -n \"\$(ip netns pids $name-wan 2>/dev/null)\" ]" 100
kill -TERM $pid
wait $pid
rc=$?
expect_true "[ $rc = 143 ]" "a terminated run reports the signal (status $rc)"
expect_true "! lab_exists $name" "a terminated run tears its lab down, wan processes included"

# A second lab beside a kept one never collides with it.
kept=$("$LAB" up --name "$(lab_name)" 2>/dev/null)
out=$("$LAB" run --name "$(lab_name)" -- bash -c 'echo ok $LAB_LAN_IP')
expect_line "$out" "^ok 192.168.77.2$" "a lab runs beside a kept one"
expect_line "$("$LAB" list)" "^$kept$" "list names the kept lab"
expect_line "$("$LAB" exec "$kept" router sysctl -n net.ipv4.ip_forward)" "^1$" "exec reaches the kept lab's router"
"$LAB" down "$kept" 2>/dev/null
expect_true "! lab_exists $kept" "down removes a kept lab"

# ---- bad input
for bad in "--alg 0" "--alg 5060,x" "--udp-timeout 0" "--router-mac 00:11:22" "--drop icmp" \
           "--drop tcp:99999" "--forward-udp abc" "--name a/b" "--bogus"; do
  # shellcheck disable=SC2086
  "$LAB" run $bad -- true 2>/dev/null
  expect_true "[ $? = 2 ]" "bad option '$bad' is refused with status 2"
done

# ---- not root: skipped with a message
if command -v setpriv >/dev/null; then
  msg=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$LAB" run -- true 2>&1)
  rc=$?
  expect_true "[ $rc = 77 ]" "without root the lab reports 'skipped' (77)"
  expect_line "$msg" "SKIP: .*needs root" "and says why"
fi

lab_finish
