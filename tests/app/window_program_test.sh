#!/usr/bin/env bash
# The window program without a window: --help and --version print and end, with or without a
# display; without a display it names the console front and ends with status 1 instead of the
# toolkit's abort. Each case runs under a time limit, so a window that opened would fail it.
# Usage: window_program_test.sh <nat-sip-alg-tester>
set -u
app="$1"
failed=0
# name | environment changes | arguments | status | text the output must hold | stream (out, err)
cases=(
  "help|-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM|--help|0|usage: nat-sip-alg-tester [host[:port]]|out"
  "help with a display named|-u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:4711|--help|0|  --version    print the version and end|out"
  "version|-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM|--version|0|nat-sip-alg-tester |out"
  "no display at all|-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM|example.org|1|nat-sip-alg-tester-cli [host[:port]]|err"
  "an unknown option is a usage error, not a server|-u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen|--json|3|nat-sip-alg-tester: unknown option --json|err"
  "a display that is not there|-u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:4711|example.org|1|nat-sip-alg-tester-cli [host[:port]]|err"
)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
for c in "${cases[@]}"; do
  IFS='|' read -r name envs arg want text stream <<<"$c"
  # shellcheck disable=SC2086
  (cd "$dir" && timeout 20 env $envs XDG_RUNTIME_DIR="$dir" "$app" "$arg" >"$dir/out" 2>"$dir/err")
  rc=$?
  if [ "$rc" != "$want" ]; then
    echo "FAIL: $name: status $rc, expected $want"; cat "$dir/out" "$dir/err"; failed=1; continue
  fi
  if ! grep -qF -- "$text" "$dir/$stream"; then
    echo "FAIL: $name: std$stream lacks: $text"; cat "$dir/out" "$dir/err"; failed=1; continue
  fi
  if grep -q "no Qt platform plugin could be initialized" "$dir/err"; then
    echo "FAIL: $name: the toolkit's own abort message"; failed=1; continue
  fi
  echo "ok: $name"
done
exit $failed
