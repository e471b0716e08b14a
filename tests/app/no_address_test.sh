#!/usr/bin/env bash
# A host without any IPv4 address: the tester ends at once, with status 0, without showing
# its window or any message. Runs the program in a network namespace of its own whose only
# interface is a loopback that is down. A window or a message box would keep the program
# running until the time limit, so ending in time proves neither appeared.
# Usage: no_address_test.sh <nat-sip-alg-tester>
set -u
app="$1"
if unshare -n true 2>/dev/null; then
  ns=(unshare -n)
elif unshare -r -n true 2>/dev/null; then
  ns=(unshare -r -n)
else
  echo "SKIP: cannot make a network namespace here (unshare -n refused)"
  exit 77
fi

out="$(mktemp)"
trap 'rm -f "$out"' EXIT
start=$(date +%s%N)
QT_QPA_PLATFORM=offscreen timeout 30 "${ns[@]}" bash -c '
  # The namespace really has no address: every interface is down.
  if ip -4 -o addr show up 2>/dev/null | grep -q inet; then echo "namespace has an address"; exit 90; fi
  exec "$0"' "$app" >"$out" 2>&1
rc=$?
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))

# Qt may note a missing runtime directory; anything else printed is a message to the user.
msgs="$(grep -v 'XDG_RUNTIME_DIR' "$out")"
if [ $rc -eq 124 ]; then echo "FAIL: the program did not end (window or message box shown)"; exit 1; fi
if [ $rc -ne 0 ]; then echo "FAIL: exit status $rc"; cat "$out"; exit 1; fi
if [ -n "$msgs" ]; then echo "FAIL: the program said something:"; echo "$msgs"; exit 1; fi
echo "ok: ended silently with status 0 after ${elapsed_ms} ms"
