# Shared by run.sh, test.sh, bench.sh and package.sh: install what is missing, then build.
# Sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${NAT_BUILD_DIR:-$ROOT/build}"
# The fuzz targets (clang, libFuzzer), the suite under AddressSanitizer and the threaded parts
# under ThreadSanitizer, each in a folder of its own.
FUZZ_BUILD="${NAT_FUZZ_BUILD_DIR:-$ROOT/build-fuzz}"
SANITIZE_BUILD="${NAT_SANITIZE_BUILD_DIR:-$ROOT/build-sanitize}"
TSAN_BUILD="${NAT_TSAN_BUILD_DIR:-$ROOT/build-tsan}"

# Everything the build, the tests, the lab, the packages and the main job need, from Debian's
# repositories.
NAT_PACKAGES=(
  g++ cmake ninja-build pkg-config clang libclang-rt-14-dev
  qt6-base-dev libgl-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libasio-dev
  xvfb xauth xdotool imagemagick libxcb1-dev fonts-dejavu-core fonts-liberation
  iproute2 nftables ieee-data lighttpd curl procps
  dpkg-dev file librsvg2-bin lintian desktop-file-utils appstream systemd systemd-container init-system-helpers man-db
)

nat_missing_packages() {
  local missing=() p
  for p in "${NAT_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  echo "${missing[@]}"
}

nat_install_deps() {
  local missing
  missing="$(nat_missing_packages)"
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
  # The lab and some tests start lighttpd themselves; the packaged service is not wanted.
  if command -v systemctl >/dev/null 2>&1; then systemctl disable --now lighttpd >/dev/null 2>&1 || true; fi
  if [ -x /etc/init.d/lighttpd ]; then /etc/init.d/lighttpd stop >/dev/null 2>&1 || true; fi
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

# nat_build [extra cmake args...]: the main build.
nat_build() { nat_build_in "$BUILD" "$@"; }

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
  cmake --build "$TSAN_BUILD" -j "$(nproc)" --target nat_tests_server nat_tests_net >&2
}
