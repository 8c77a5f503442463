# Shared by scripts/test, scripts/demo and the benchmarks: installs what the project needs, configures
# and builds. Source it; do not run it.

VELKO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VELKO_BUILD=${VELKO_BUILD:-$VELKO_ROOT/build}

# The download site (site/) runs on Debian's /usr/bin/python3 with gunicorn, psycopg2 and PostgreSQL
# from Debian; the tests and the demo fetch copies with curl. The parsers are also built natively
# with clang, libFuzzer and the sanitizers (fuzz/; libclang-rt-14-dev holds their runtimes).
VELKO_PACKAGES=(cmake make g++-mingw-w64-i686 wine wine32:i386 wine64 xvfb xdotool imagemagick msitools
  wixl osslsigncode openssl python3 iproute2 util-linux googletest gunicorn python3-psycopg2 postgresql curl
  clang libclang-rt-14-dev)

# velko_install_deps [PACKAGE...]: installs what is missing of VELKO_PACKAGES and the packages named
# (a benchmark's own client, for instance).
velko_install_deps() {
  local missing=()
  local p
  for p in "${VELKO_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# velko_build [STUB_INFO_HOST]: configures and builds the default targets into $VELKO_BUILD.
velko_build() {
  velko_configure "${1:-127.0.0.1}"
  cmake --build "$VELKO_BUILD" -j "$(nproc)" -- --no-print-directory
}

# velko_build_target TARGET: configures $VELKO_BUILD for the local servers and builds only TARGET
# (a benchmark, which the default build leaves out), quietly.
velko_build_target() {
  velko_configure 127.0.0.1
  cmake --build "$VELKO_BUILD" --target "$1" -j "$(nproc)" -- --no-print-directory >/dev/null
}

velko_configure() {
  cmake -S "$VELKO_ROOT" -B "$VELKO_BUILD" -DCMAKE_TOOLCHAIN_FILE="$VELKO_ROOT/cmake/mingw-w64-i686.cmake" \
    -DSTUB_INFO_HOST="$1" >/dev/null
}

# velko_start_xvfb: starts an X server on a free display unless DISPLAY is usable; exports DISPLAY.
velko_start_xvfb() {
  if [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1; then return 0; fi
  local n
  for n in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
    VELKO_XVFB_PID=$!
    export DISPLAY=":$n"
    local i
    for i in $(seq 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && return 0
      sleep 0.1
    done
  done
  echo "could not start Xvfb" >&2
  return 1
}
