#!/usr/bin/env bash
# Runs a Windows program under wine in the build's private prefix.
#   run-wine.sh PREFIX PROGRAM.exe [ARGS...]
# COM ports: WINE_COM_PORTS="com5=/dev/pts/3 com6=/tmp/plc2" links them in
# the prefix first. PLCSIM="path/to/plcsim ARGS" PLCSIM_COM=com7 serves
# simulated stations on a pseudo-terminal linked as that COM port while the
# program runs.
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix WINEDEBUG=-all WINEARCH=win32

# The first test to get here makes the prefix; the others wait for it.
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$prefix/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
fi
for link in ${WINE_COM_PORTS:-}; do
  ln -sfn "${link#*=}" "$prefix/dosdevices/${link%%=*}"
done
flock -u 9

if [ -z "${PLCSIM:-}" ]; then
  exec wine "$@"  # wine passes the program's exit status through
fi

simout=$(mktemp)
# shellcheck disable=SC2086
$PLCSIM --pty --link "$prefix/dosdevices/${PLCSIM_COM:-com7}" >"$simout" 2>&1 &
sim=$!
# The wineserver has the pseudo-terminal open (and may have taken it as its
# controlling terminal): stop it before the simulator closes the other side.
stop_sim() {
  wineserver -k 2>/dev/null || true
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  rm -f "$simout"
}
trap stop_sim EXIT
for _ in $(seq 100); do
  [ -s "$simout" ] && break
  sleep 0.05
done
status=0
wine "$@" || status=$?
exit $status
