#!/usr/bin/env bash
# Runs a shell test so that everything it starts ends with it, however it ends (a crash, a
# kill, a time-out): the test is the first process of a PID namespace of its own, and when that
# process ends, the kernel kills every other one in the namespace (servers started in a session
# of their own included); when unshare above it is killed, the test is killed with it. /proc is
# the namespace's own, so the test sees and signals only its own processes.
# Where no PID namespace can be made (not root), the test runs as it is: its own traps end what
# it started when it is stopped by a signal it can catch.
# Usage: contained.sh command [args...]
if unshare --pid --fork --kill-child --mount-proc true 2>/dev/null; then
  exec unshare --pid --fork --kill-child --mount-proc "$@"
fi
exec "$@"
