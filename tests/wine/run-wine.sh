#!/usr/bin/env bash
# Runs a Windows program under wine in the build's private prefix.
#   run-wine.sh PREFIX PROGRAM.exe [ARGS...]
# COM ports: WINE_COM_PORTS="com5=/dev/pts/3 com6=/tmp/plc2" links them in
# the prefix first.
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

# wine passes the program's exit status through.
exec wine "$@"
