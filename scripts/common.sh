# Shared by run.sh, test.sh, bench.sh, package.sh and the lab: install what is missing, then build.
# Sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${NAT_BUILD_DIR:-$ROOT/build}"
# The fuzz targets (clang, libFuzzer), the suite under AddressSanitizer and the threaded parts
# under ThreadSanitizer, each in a folder of its own.
FUZZ_BUILD="${NAT_FUZZ_BUILD_DIR:-$ROOT/build-fuzz}"
SANITIZE_BUILD="${NAT_SANITIZE_BUILD_DIR:-$ROOT/build-sanitize}"
TSAN_BUILD="${NAT_TSAN_BUILD_DIR:-$ROOT/build-tsan}"
# The programs as a packager builds them (Release), in a folder of their own.
RELEASE_BUILD="${NAT_RELEASE_BUILD_DIR:-$ROOT/build-release}"

# Packages from Debian's repositories, by who needs them. scripts/run.sh installs only the first
# list, lab/try.sh and scripts/package.sh what they need besides, scripts/test.sh and
# scripts/bench.sh all of them.
# What the programs need to build and run: the tester (window and console front) and the echo
# server with its vendor list.
NAT_RUN_PACKAGES=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev libgl-dev fonts-dejavu-core fonts-liberation
  libasio-dev ieee-data
  libminiupnpc-dev libnatpmp-dev  # the router's own external address: UPnP IGD, NAT-PMP
)
# What scripts/package.sh needs besides.
NAT_PACKAGE_PACKAGES=(dpkg-dev file librsvg2-bin)
# What the benchmarks need besides.
NAT_BENCH_PACKAGES=(libbenchmark-dev curl)
# What the NAT lab (lab/) needs besides.
# libnetfilter-queue-dev and iptables (its nftables front, for the NFQUEUE target) for the
# delay and jitter of --delay; miniupnpd-nftables for the router's UPnP IGD and NAT-PMP of
# --upnp (the daemon alone: without recommends, the package that would make it a service of
# this machine is not installed; the lab starts it inside its router's namespace).
NAT_LAB_PACKAGES=(iproute2 nftables procps dnsmasq-base libnetfilter-queue-dev iptables miniupnpd-nftables)
# What the tests need besides all of the above.
NAT_TEST_PACKAGES=(
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest
  xvfb xauth xdotool imagemagick libxcb1-dev lighttpd
  lintian desktop-file-utils appstream systemd systemd-container init-system-helpers man-db
  coturn  # its STUN behaviour discovery client: the reference for the NAT class (lab, server tests)
  jq      # reads the console front's JSON in the lab's time-out scenarios
  miniupnpc natpmpc  # UPnP and NAT-PMP clients: the references for the router's answers (lab)
)
# Everything.
NAT_PACKAGES=("${NAT_RUN_PACKAGES[@]}" "${NAT_PACKAGE_PACKAGES[@]}" "${NAT_BENCH_PACKAGES[@]}"
              "${NAT_LAB_PACKAGES[@]}" "${NAT_TEST_PACKAGES[@]}")

# The programs, as build targets.
NAT_PROGRAMS=(nat-sip-alg-tester nat-sip-alg-tester-cli sip-alg-echo-server)

# nat_missing_packages PACKAGE...: those of them not installed.
nat_missing_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  echo "${missing[@]}"
}

# nat_install_deps [PACKAGE...]: installs those missing of them (default: all of NAT_PACKAGES).
# Nothing else on the machine is touched: a service a package starts keeps running.
nat_install_deps() {
  local missing
  if [ $# -eq 0 ]; then set -- "${NAT_PACKAGES[@]}"; fi
  missing="$(nat_missing_packages "$@")"
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "Missing packages. Run as root:" >&2
    echo "  apt-get update && apt-get install -y $missing" >&2
    exit 1
  fi
  echo "Installing: $missing" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >&2
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >&2
}

# nat_configure_in DIR [cmake args...]: configure DIR once (with the args); a configured folder
# keeps its settings.
nat_configure_in() {
  local dir=$1
  shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >&2
  fi
}

# nat_build_in DIR [cmake args...]: configure DIR once, then build all of it incrementally.
nat_build_in() {
  nat_configure_in "$@"
  cmake --build "$1" -j "$(nproc)" >&2
}

# nat_build [extra cmake args...]: the main build, tests and benchmarks included; a folder that
# nat_build_programs configured gets them turned on.
nat_build() {
  if grep -qE '^NAT_BUILD_(TESTS|BENCHMARKS):BOOL=OFF' "$BUILD/CMakeCache.txt" 2>/dev/null; then
    cmake "$BUILD" -DNAT_BUILD_TESTS=ON -DNAT_BUILD_BENCHMARKS=ON >&2
  fi
  nat_build_in "$BUILD" "$@"
}

# The programs alone, in the main build folder: a folder made here builds neither tests nor
# benchmarks (so GoogleTest and Google Benchmark need not be installed).
nat_build_programs() {
  nat_configure_in "$BUILD" -DNAT_BUILD_TESTS=OFF -DNAT_BUILD_BENCHMARKS=OFF
  cmake --build "$BUILD" -j "$(nproc)" --target "${NAT_PROGRAMS[@]}" >&2
}

# The programs in Release, where the optimiser's warnings differ from the other builds'.
nat_build_release() {
  if [ ! -f "$RELEASE_BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$RELEASE_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNAT_BUILD_TESTS=OFF \
      -DNAT_BUILD_BENCHMARKS=OFF "$@" >&2
  fi
  cmake --build "$RELEASE_BUILD" -j "$(nproc)" --target "${NAT_PROGRAMS[@]}" >&2
}

# The fuzz targets, and everything else under clang (which keeps the build warning-clean there
# too); the unit tests are not built there.
nat_build_fuzz() {
  nat_build_in "$FUZZ_BUILD" -DCMAKE_CXX_COMPILER=clang++ -DNAT_FUZZ=ON -DNAT_BUILD_TESTS=OFF \
    -DNAT_BUILD_BENCHMARKS=OFF "$@"
}

# The suite under AddressSanitizer and UndefinedBehaviorSanitizer.
nat_build_sanitize() { nat_build_in "$SANITIZE_BUILD" -DNAT_SANITIZE=ON -DNAT_BUILD_BENCHMARKS=OFF "$@"; }

# The echo server's and the socket layer's tests under ThreadSanitizer: only these are built.
nat_build_tsan() {
  nat_configure_in "$TSAN_BUILD" -DNAT_TSAN=ON -DNAT_BUILD_BENCHMARKS=OFF "$@"
  cmake --build "$TSAN_BUILD" -j "$(nproc)" --target nat_tests_server nat_tests_net nat_tests_server_unit nat_tests_net_unit >&2
}
