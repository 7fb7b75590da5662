#!/usr/bin/env bash
# Installs the Debian packages that the build, every test and the tools
# need, where they are missing. As root it installs them with apt-get;
# otherwise it names them and the command that installs them, and fails.
# With everything in place it does nothing.
#   scripts/install-deps.sh demo   only what the demo build needs (the demo
#                                  preset, scripts/demo.sh): a fresh machine
#                                  runs the demo without the test tools
#   KIV_WITH_WINDOWS=OFF           leave out the Windows side's packages (the
#                                  i686 cross compiler and wine)
set -euo pipefail

mode=${1:-all}
case $mode in
  all)
    packages=(cmake make g++ libgtest-dev googletest clang clang-format libclang-rt-14-dev valgrind zip unzip file ccache
              libcli11-dev nlohmann-json3-dev libmodbus-dev libmosquitto-dev libsystemd-dev mosquitto
              libcpp-httplib-dev prometheus-cpp-dev libjs-chart.js chromium python3-prometheus-client scdoc icoutils strace dpkg-dev bash-completion lintian socat
              python3-pymodbus)
    if [ "${KIV_WITH_WINDOWS:-ON}" != OFF ]; then
      packages+=(g++-mingw-w64-i686 wine wine32:i386)
    fi
    again=scripts/install-deps.sh
    ;;
  demo)
    # The configure of the demo preset finds CLI11 and nlohmann-json; no
    # GoogleTest (tests off), no libmodbus or valgrind (benchmark off).
    packages=(cmake make g++ libcli11-dev nlohmann-json3-dev)
    again="scripts/install-deps.sh demo"
    ;;
  *)
    echo "install-deps: the argument is demo, or none for everything; not '$mode'" >&2
    exit 64
    ;;
esac

if ! command -v dpkg >/dev/null 2>&1; then
  echo "install-deps: not a Debian system; make sure these (Debian names) are installed: ${packages[*]}" >&2
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

foreign=false
for p in "${missing[@]}"; do
  [[ $p == *:i386 ]] && foreign=true
done
if $foreign && dpkg --print-foreign-architectures | grep -qx i386; then
  foreign=false
fi

if [ "$(id -u)" -ne 0 ]; then
  {
    echo "install-deps: missing packages: ${missing[*]}"
    echo "Install them as root, with sudo $again, or by hand:"
    $foreign && echo "  dpkg --add-architecture i386"
    echo "  apt-get update && apt-get install -y ${missing[*]}"
    if [ "$mode" = all ] && [ "${KIV_WITH_WINDOWS:-ON}" != OFF ]; then
      echo "KIV_WITH_WINDOWS=OFF leaves out the Windows side and its packages."
    fi
  } >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$foreign && dpkg --add-architecture i386
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
