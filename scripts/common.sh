# Shared by scripts/test, scripts/demo and the benchmarks: installs what the project needs, configures
# and builds. Source it; do not run it.

VELKO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VELKO_BUILD=${VELKO_BUILD:-$VELKO_ROOT/build}
# The script's name in its one-line failure messages (kept for the functions it runs in a namespace).
export VELKO_SCRIPT=${VELKO_SCRIPT:-$0}

# The download site (site/) runs on Debian's /usr/bin/python3 with gunicorn, psycopg2 and PostgreSQL
# from Debian; the tests and the demo fetch copies with curl. The parsers are also built natively
# with clang, libFuzzer and the sanitizers (fuzz/; libclang-rt-14-dev holds their runtimes). The
# proxy tests run tinyproxy (tinyproxy-bin: the program without a service). The language tests and
# the demo make German, Japanese and Swahili locales from locales' sources (localedef, into the build
# tree) and draw Japanese with Debian's smallest CJK font (fonts-wqy-microhei).
VELKO_PACKAGES=(cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 xvfb xdotool imagemagick msitools
  wixl osslsigncode openssl python3 iproute2 util-linux googletest gunicorn python3-psycopg2 postgresql curl
  clang libclang-rt-14-dev nginx tinyproxy-bin python3-venv python3-setuptools python3-wheel locales
  fonts-wqy-microhei)

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
    velko_step "add the i386 architecture to dpkg" $sudo dpkg --add-architecture i386
  fi
  velko_step "apt-get update" $sudo apt-get update -qq
  velko_step "install the missing packages" $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
}

# Two build trees, one per architecture, from one source: $VELKO_BUILD/x86 (the 32-bit stub, the one
# shipped by default) and $VELKO_BUILD/x64 (the 64-bit stub, for Windows without its 32-bit subsystem,
# and the one tested where this machine runs no 32-bit program). Both are always built: the shipped
# stub's static checks and the tools' tests of both stubs need no Wine.
VELKO_ALL_ARCHS=(x86 x64)
declare -A VELKO_TOOLCHAIN=([x86]=mingw-w64-i686 [x64]=mingw-w64-x86_64)
declare -A VELKO_PEER=([x86]=x64 [x64]=x86)
declare -A VELKO_ARCH_NAME=([x86]="32-bit stub (x86) under 32-bit Wine" [x64]="64-bit stub (x64) under 64-bit Wine")

# velko_tree ARCH: the build tree of ARCH.
velko_tree() { echo "$VELKO_BUILD/$1"; }

# velko_step WHAT COMMAND...: runs COMMAND with its output in $VELKO_BUILD/logs/; when it fails, says
# in one line which step failed and why (the first line of the output that reads like an error, else
# its last line) and where the whole output is, and exits.
velko_step() {
  local what=$1
  shift
  mkdir -p "$VELKO_BUILD/logs"
  local log="$VELKO_BUILD/logs/$(tr -c 'A-Za-z0-9.-' '-' <<<"$what" | sed 's/-*$//').log"
  if "$@" >"$log" 2>&1; then return 0; fi
  local status=$?
  local why
  why=$(grep -m1 -iE 'error|fatal|failed|cannot|not found|no such|denied|refused' "$log" || true)
  [ -n "$why" ] || why=$(grep -v '^\s*$' "$log" | tail -n 1)
  echo "$VELKO_SCRIPT: step '$what' failed (exit status $status): ${why:-no output} [whole output: $log]" >&2
  exit 1
}

# velko_fail TEXT: one line on stderr, and exit.
velko_fail() {
  echo "$VELKO_SCRIPT: $*" >&2
  exit 1
}

# velko_probe_x86: whether this machine runs 32-bit x86 programs, found out by running one: Wine's
# 32-bit loader (installed with wine32), asked for its version. Kernels built or booted without
# 32-bit emulation refuse it ("Exec format error"). On failure VELKO_X86_WHY holds what happened.
velko_probe_x86() {
  local out
  if out=$(/usr/lib/wine/wine --version 2>&1 </dev/null); then
    VELKO_X86_WHY=""
    return 0
  fi
  # bash's own complaint names the script and line first: the rest is the reason.
  VELKO_X86_WHY="running the 32-bit program /usr/lib/wine/wine failed: $(tail -n 1 <<<"${out:-no output}" | sed 's/^.*: line [0-9]*: //')"
  return 1
}

# velko_choose_archs: sets VELKO_ARCHS, the architectures whose stubs run under Wine here (the first is
# the main one), from VELKO_ARCH: x86, x64 or both; unset or empty: x86 where this machine runs 32-bit
# programs, x64 where it cannot. Says which on one line, with the reason. Forcing x86 (or both) where
# 32-bit programs cannot run is a one-line error.
velko_choose_archs() {
  local forced=${VELKO_ARCH:-}
  case "$forced" in
    "")
      if velko_probe_x86; then
        VELKO_ARCHS=(x86)
        echo "Testing the ${VELKO_ARCH_NAME[x86]}: this machine runs 32-bit programs (VELKO_ARCH=both tests the 64-bit stub too)."
      else
        VELKO_ARCHS=(x64)
        echo "Testing the ${VELKO_ARCH_NAME[x64]}: this machine cannot run 32-bit programs ($VELKO_X86_WHY)."
      fi
      ;;
    x64)
      VELKO_ARCHS=(x64)
      echo "Testing the ${VELKO_ARCH_NAME[x64]}: VELKO_ARCH=x64."
      ;;
    x86 | both)
      velko_probe_x86 || velko_fail "VELKO_ARCH=$forced, but this machine cannot run 32-bit programs ($VELKO_X86_WHY); use VELKO_ARCH=x64."
      if [ "$forced" = x86 ]; then
        VELKO_ARCHS=(x86)
        echo "Testing the ${VELKO_ARCH_NAME[x86]}: VELKO_ARCH=x86."
      else
        VELKO_ARCHS=(x86 x64)
        echo "Testing the ${VELKO_ARCH_NAME[x86]} and the ${VELKO_ARCH_NAME[x64]}: VELKO_ARCH=both."
      fi
      ;;
    *) velko_fail "VELKO_ARCH must be x86, x64 or both, not '$forced'." ;;
  esac
}

# velko_bench_arch: for a benchmark, which measures one architecture: the first of velko_choose_archs
# (said on one line, with the reason). Exports VELKO_ARCH (for tools/wine-run and winerun.py) and
# VELKO_TREE, that architecture's build tree.
velko_bench_arch() {
  velko_choose_archs
  export VELKO_ARCH=${VELKO_ARCHS[0]}
  export VELKO_TREE
  VELKO_TREE=$(velko_tree "$VELKO_ARCH")
  [ ${#VELKO_ARCHS[@]} -eq 1 ] || echo "A benchmark measures one architecture: $VELKO_ARCH."
}

# velko_configure ARCH STUB_INFO_HOST: configures the tree of ARCH for the information host.
velko_configure() {
  local arch=$1
  velko_step "configure the $arch build" cmake -S "$VELKO_ROOT" -B "$(velko_tree "$arch")" \
    -DCMAKE_TOOLCHAIN_FILE="$VELKO_ROOT/cmake/${VELKO_TOOLCHAIN[$arch]}.cmake" \
    -DVELKO_PEER_BUILD="$(velko_tree "${VELKO_PEER[$arch]}")" -DSTUB_INFO_HOST="$2"
}

# velko_build [STUB_INFO_HOST]: configures and builds the default targets of both trees.
velko_build() {
  local arch
  for arch in "${VELKO_ALL_ARCHS[@]}"; do
    velko_configure "$arch" "${1:-127.0.0.1}"
    echo "Building the $arch tree ($(velko_tree "$arch"))..."
    velko_step "build the $arch tree" cmake --build "$(velko_tree "$arch")" -j "$(nproc)" -- --no-print-directory
  done
}

# velko_build_target ARCH TARGET: configures the tree of ARCH for the local servers and builds only
# TARGET (a benchmark, which the default build leaves out), quietly.
velko_build_target() {
  velko_configure "$1" 127.0.0.1
  velko_step "build $2 ($1)" cmake --build "$(velko_tree "$1")" --target "$2" -j "$(nproc)" -- --no-print-directory
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
  velko_fail "could not start Xvfb: no free display between :90 and :120 answered within 5 s"
}
