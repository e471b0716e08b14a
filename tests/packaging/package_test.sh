#!/usr/bin/env bash
# The Debian packages as a user gets them: made from this build tree by scripts/package.sh,
# checked by lintian, desktop-file-validate and appstreamcli, installed, every program asked for
# its version, the service's unit verified, then both purged; nothing of them may be left.
# Needs root; without it, or with either package already on this machine, it exits 77 (skipped).
#
# The service is enabled on install but never started here: the check runs in a mount namespace
# of its own where /run/systemd is empty, so the maintainer scripts see no running systemd. A
# started service would bind TCP 80 and UDP 5060/5058 of the host, outside the test's namespace.
# Usage: package_test.sh <source dir> <build dir>
set -u
src="$1"
build="$2"
packages=(nat-sip-alg-tester sip-alg-echo-server)
unit=sip-alg-echo-server.service

if [ "$(id -u)" != 0 ]; then
  echo "SKIP: needs root (it installs and purges the packages)"
  exit 77
fi
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -qv '^$\|not-installed'; then
    echo "SKIP: $p is on this machine already; the check would replace and purge it"
    exit 77
  fi
done
if [ -z "${NAT_PACKAGE_TEST_NS:-}" ]; then
  if ! unshare -m true 2>/dev/null; then
    echo "SKIP: cannot make a mount namespace (unshare -m refused)"
    exit 77
  fi
  NAT_PACKAGE_TEST_NS=1 exec unshare -m bash "$0" "$@"
fi
if [ -d /run/systemd ] && ! mount -t tmpfs -o mode=755 tmpfs /run/systemd; then
  echo "FAIL: cannot hide the running systemd; the service would start on this host"
  exit 1
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
for tool in lintian desktop-file-validate appstreamcli systemd-analyze dpkg-deb apt-get; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/common.sh installs it)"; exit 1; }
done

work="$(mktemp -d)"
chmod 755 "$work"  # apt reads the packages as its own user
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then
    apt-get purge -y -q -o DPkg::Lock::Timeout=300 "${packages[@]}" >/dev/null 2>&1
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM  # a time-out still purges

# --- build ---------------------------------------------------------------------------------
if ! bash "$src/scripts/package.sh" --build-dir "$build" --output "$work" >"$work/package.log" 2>&1; then
  cat "$work/package.log"
  echo "FAIL: scripts/package.sh did not build the packages"
  exit 1
fi
tester_deb=$(ls "$work"/nat-sip-alg-tester_*.deb)
server_deb=$(ls "$work"/sip-alg-echo-server_*.deb)
version=$(dpkg-deb -f "$tester_deb" Version)
[ "$(dpkg-deb -f "$server_deb" Version)" = "$version" ] || fail "the packages differ in version"

# --- checks of the files -------------------------------------------------------------------
lintian --tag-display-limit 0 --fail-on error "$tester_deb" "$server_deb" >"$work/lintian.log" 2>&1
rc=$?
grep -v 'root privileges' "$work/lintian.log"
if [ $rc = 0 ]; then pass "lintian: no errors"; else fail "lintian reports errors"; fi

dpkg-deb -x "$tester_deb" "$work/tree"
dpkg-deb -x "$server_deb" "$work/tree"
if desktop-file-validate "$work/tree/usr/share/applications/nat-sip-alg-tester.desktop"; then
  pass "desktop-file-validate"
else
  fail "desktop-file-validate"
fi
metainfo=("$work"/tree/usr/share/metainfo/*.metainfo.xml)
if appstreamcli validate --no-net "${metainfo[@]}"; then
  pass "appstreamcli validate"
else
  fail "appstreamcli validate"
fi

# Each man page lists exactly the options its program's --help lists (--help itself aside).
help_options() { "$1" --help | grep -oE '^ +--[a-z-]+' | tr -d ' ' | grep -vx -- --help | sort -u; }
man_options() {
  zcat "$1" | sed -n '/^\.SH OPTIONS/,/^\.SH [^O]/p' | grep -oE '^\.BI? \\-\\-[a-z\\-]+' |
    sed 's/^\.BI\{0,1\} //; s/\\//g' | grep -vx -- --help | sort -u
}
for pair in nat-sip-alg-tester:man1/nat-sip-alg-tester.1.gz \
            nat-sip-alg-tester-cli:man1/nat-sip-alg-tester-cli.1.gz \
            sip-alg-echo-server:man8/sip-alg-echo-server.8.gz; do
  from_help=$(help_options "$work/tree/usr/"*bin/"${pair%%:*}")
  difference=$(diff <(echo "$from_help") <(man_options "$work/tree/usr/share/man/${pair#*:}"))
  if [ -z "$from_help" ]; then
    fail "${pair%%:*} --help lists no option"
  elif [ -z "$difference" ]; then
    pass "${pair%%:*}: man page and --help list the same options"
  else
    fail "${pair%%:*}: man page and --help differ in options (< --help only, > man page only):"
    echo "$difference"
  fi
done

# --- install -------------------------------------------------------------------------------
# Both packages and nothing else: their dependencies are on the machine already, so purging
# them restores it.
extra=$(apt-get -s -q install --no-install-recommends "$tester_deb" "$server_deb" 2>/dev/null |
  awk '/^Inst /{print $2}' | grep -vx -e nat-sip-alg-tester -e sip-alg-echo-server)
if [ -n "$extra" ]; then
  echo "FAIL: installing would also bring in: $extra (scripts/common.sh installs the dependencies)"
  exit 1
fi
installed=1
if ! apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=300 \
     "$tester_deb" "$server_deb" >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  echo "FAIL: the packages do not install"
  exit 1
fi
pass "both packages installed"
dpkg -L "${packages[@]}" | sort -u >"$work/files"

for program in /usr/bin/nat-sip-alg-tester /usr/bin/nat-sip-alg-tester-cli /usr/sbin/sip-alg-echo-server; do
  answer=$(timeout 20 "$program" --version 2>&1)
  if [ "$answer" = "$(basename "$program") $version" ]; then
    pass "$program --version: $answer"
  else
    fail "$program --version answered '$answer', not '$(basename "$program") $version'"
  fi
done
if [ -L /etc/systemd/system/multi-user.target.wants/$unit ]; then
  pass "$unit enabled"
else
  fail "$unit not enabled on install"
fi
if systemd-analyze verify /lib/systemd/system/$unit; then
  pass "systemd-analyze verify $unit"
else
  fail "systemd-analyze verify $unit"
fi

# --- purge ---------------------------------------------------------------------------------
if apt-get purge -y -q -o DPkg::Lock::Timeout=300 "${packages[@]}" >"$work/purge.log" 2>&1; then
  installed=0
  pass "both packages purged"
else
  cat "$work/purge.log"
  fail "the packages do not purge"
fi
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -qv '^$\|not-installed'; then
    fail "$p still known to dpkg after the purge: $(dpkg-query -W -f='${Status}' "$p")"
  fi
done
left=""
while read -r f; do
  if [ -e "$f" ] && [ ! -d "$f" ]; then left+=" $f"; fi
done <"$work/files"
for f in /usr/share/doc/nat-sip-alg-tester /usr/share/doc/sip-alg-echo-server /etc/default/sip-alg-echo-server \
         /etc/systemd/system/multi-user.target.wants/$unit /etc/systemd/system/$unit \
         /var/lib/systemd/deb-systemd-helper-enabled/$unit.dsh-also \
         /var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/$unit \
         /var/lib/systemd/deb-systemd-helper-masked/$unit; do
  if [ -e "$f" ] || [ -L "$f" ]; then left+=" $f"; fi
done
if getent passwd sip-alg-echo-server >/dev/null; then left+=" user:sip-alg-echo-server"; fi
if [ -z "$left" ]; then
  pass "nothing of either package left"
else
  fail "left behind after the purge:$left"
fi

echo "$failures check(s) failed"
[ "$failures" = 0 ]
