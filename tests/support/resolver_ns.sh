#!/usr/bin/env bash
# The ctest fixture of the tests that look up names which must not resolve: a network namespace
# of their own, with only its loopback, whose name look-ups read /etc/hosts alone, so that no
# look-up leaves this machine or waits for a DNS server.
#   resolver_ns.sh up NAME DIR        makes the namespace (as root; else nothing) and DIR/nsswitch.conf
#   resolver_ns.sh run NAME DIR cmd   runs cmd in it; already isolated (scripts/isolated.sh): as it
#                                     is; without either: exit 77, the test is skipped
#   resolver_ns.sh down NAME          removes the namespace
set -euo pipefail
what=$1 name=$2
case "$what" in
  up)
    printf 'hosts: files\n' > "$3/nsswitch.conf"
    if [ "$(id -u)" = 0 ] && ip netns add "$name" 2>/dev/null; then
      ip -n "$name" link set lo up
    fi
    ;;
  run)
    dir=$3
    shift 3
    if ip netns pids "$name" >/dev/null 2>&1; then
      # ip netns exec gives the command a mount namespace of its own: the bind stays there.
      exec ip netns exec "$name" bash -c 'mount --bind "$0" /etc/nsswitch.conf && NAT_ISOLATED=1 exec "$@"' \
        "$dir/nsswitch.conf" "$@"
    fi
    if [ "${NAT_ISOLATED:-}" = 1 ]; then exec "$@"; fi
    echo "no network namespace could be made (not root): skipped" >&2
    exit 77
    ;;
  down)
    ip netns del "$name" 2>/dev/null || true
    ;;
esac
