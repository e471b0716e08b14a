# Shared by the lab tests: checks that count failures, unique lab names, the skip rule.
# Sourced; expects $LAB to point at lab/lab.sh.
. "$(dirname "${BASH_SOURCE[0]}")/../support/wait.sh"

LAB_TEST_FAILURES=0
LAB_TEST_CHECKS=0

# Exits 77 (skipped by ctest) with lab.sh's reason when this machine cannot build a lab.
lab_require() {
  local msg rc
  msg=$("$LAB" run --name "$(lab_name)" -- true 2>&1)
  rc=$?
  if [ $rc = 77 ]; then
    echo "$msg" | grep SKIP >&2
    exit 77
  fi
  if [ $rc != 0 ]; then
    echo "FAIL: an empty lab cannot be built:" >&2
    echo "$msg" >&2
    exit 1
  fi
}

# A lab name of its own for every lab a test builds, also from labs built side by side.
lab_name() { echo "natlabt-$BASHPID-$RANDOM$RANDOM"; }

# True while anything of lab $1 exists: a namespace, its hosts directory or its state.
lab_exists() {
  local n=$1
  [ -e "/run/netns/$n-lan" ] || [ -e "/run/netns/$n-router" ] || [ -e "/run/netns/$n-wan" ] ||
    [ -e "/etc/netns/$n-lan" ] || [ -e "/run/natlab/$n" ]
}

_lab_pass() { LAB_TEST_CHECKS=$((LAB_TEST_CHECKS + 1)); echo "ok:   $1"; }
_lab_fail() {
  LAB_TEST_CHECKS=$((LAB_TEST_CHECKS + 1)); LAB_TEST_FAILURES=$((LAB_TEST_FAILURES + 1))
  echo "FAIL: $1"
}

# expect_line TEXT REGEX WHAT: some line of TEXT matches the extended regular expression.
expect_line() {
  if grep -Eq -- "$2" <<<"$1"; then _lab_pass "$3"; else
    _lab_fail "$3"; echo "      no line matches: $2"
    if [ "$(wc -l <<<"$1")" -le 20 ]; then echo "$1" | sed 's/^/      | /'; fi
  fi
}

# expect_no_line TEXT REGEX WHAT: no line of TEXT matches.
expect_no_line() {
  if ! grep -Eq -- "$2" <<<"$1"; then _lab_pass "$3"; else
    _lab_fail "$3"; echo "      unexpected: $(grep -E -- "$2" <<<"$1" | head -3)"
  fi
}

# expect_true CONDITION WHAT: the shell condition holds.
expect_true() {
  if eval "$1"; then _lab_pass "$2"; else _lab_fail "$2"; echo "      false: $1"; fi
}

# Ends the test: status 1 when any check failed.
lab_finish() {
  echo "$LAB_TEST_CHECKS checks, $LAB_TEST_FAILURES failed"
  [ "$LAB_TEST_FAILURES" = 0 ]
  exit $?
}
