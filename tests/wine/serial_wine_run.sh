#!/usr/bin/env bash
# Runs the Windows serial test against an echoing pseudo-terminal: starts
# the peer, links its line as COM5 and COM12 of the wine prefix (COM12 is
# reached only through the \\.\ device namespace), runs the program, stops
# the peer.
#   serial_wine_run.sh PEER RUN_WINE PREFIX PROGRAM.exe [ARGS...]
set -euo pipefail
peer=$1
shift

ready=$(mktemp -u "${TMPDIR:-/tmp}/serial_pty_peer.XXXXXX")
"$peer" "$ready" &
pid=$!
trap 'kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true; rm -f "$ready" "$ready.part"' EXIT
for _ in $(seq 200); do
  [ -s "$ready" ] && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.05
done
if [ ! -s "$ready" ]; then
  echo "serial_wine_run: the pseudo-terminal peer did not start" >&2
  exit 1
fi
line=$(cat "$ready")

status=0
WINE_COM_PORTS="com5=$line com12=$line" "$@" || status=$?
exit $status
