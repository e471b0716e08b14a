#!/usr/bin/env bash
# Builds the Debian packages nat-sip-alg-tester and sip-alg-echo-server into build/packages/.
#   scripts/package.sh [--echo-server HOST[:PORT]] [--mac-list-url URL] [-DNAME=VALUE ...]
#                      [--build-dir DIR] [--output DIR]
#   --echo-server    the tester's built-in echo server (default localhost:5060)
#   --mac-list-url   where the tester refreshes its vendor list from
#   -DNAME=VALUE     any other build setting, e.g. -DNAT_PACKAGE_HOMEPAGE=https://...
#   --build-dir DIR  package that build tree as it is configured (default build/release, a tree
#                    of its own with Debian's compiler flags and no tests); settings given once
#                    stay in the tree until given anew
#   --output DIR     where the packages go (default build/packages)
set -euo pipefail
. "$(dirname "$0")/common.sh"

usage() { sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; }
tree="$BUILD/release"
out="$BUILD/packages"
settings=()
while [ $# -gt 0 ]; do
  case "$1" in
    --echo-server|--mac-list-url|--build-dir|--output)
      [ $# -ge 2 ] || { echo "package.sh: $1 needs a value" >&2; exit 2; }
      case "$1" in
        --echo-server) settings+=("-DNAT_TESTER_ECHO_SERVER=$2") ;;
        --mac-list-url) settings+=("-DNAT_TESTER_MAC_LIST_URL=$2") ;;
        --build-dir) tree="$2" ;;
        --output) out="$2" ;;
      esac
      shift 2 ;;
    -D?*) settings+=("$1"); shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "package.sh: unknown argument $1" >&2; usage >&2; exit 2 ;;
  esac
done

nat_install_deps "${NAT_RUN_PACKAGES[@]}" "${NAT_PACKAGE_PACKAGES[@]}"
if [ ! -f "$tree/CMakeCache.txt" ]; then
  # Debian's own compiler and linker flags, hardening included.
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    cmake -S "$ROOT" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=None \
      -DNAT_BUILD_TESTS=OFF -DNAT_BUILD_BENCHMARKS=OFF "${settings[@]}" >&2
elif [ ${#settings[@]} -gt 0 ]; then
  cmake "$tree" "${settings[@]}" >&2
fi
cmake --build "$tree" -j "$(nproc)" >&2
if [ ! -f "$tree/CPackConfig.cmake" ]; then
  echo "package.sh: $tree has no packaging set up (see the warnings of its configure step)" >&2
  exit 1
fi

mkdir -p "$out"
staging="$(mktemp -d "$out/.cpack.XXXXXX")"
trap 'rm -rf "$staging"' EXIT
(cd "$tree" && cpack --config CPackConfig.cmake -B "$staging") >&2
rm -f "$out"/nat-sip-alg-tester_*.deb "$out"/sip-alg-echo-server_*.deb
mv "$staging"/*.deb "$out"/
ls -1 "$out"/nat-sip-alg-tester_*.deb "$out"/sip-alg-echo-server_*.deb
