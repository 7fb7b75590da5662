#!/usr/bin/env bash
# The Windows field kit under wine, end to end, as the README tells it: two
# pseudo-terminals joined by socat as COM3 and COM4 (a null-modem pair);
# plcsim.exe serving COM4 (station 2 refusing every request) while
# kivhost.exe reads, writes and scans on COM3; the demo on the pair; and
# the monitor on COM5, the mirror of a line plcsim serves, while kivhost.exe
# reads on that line as COM6.
#   field_kit_wine.sh EXPECT RUN_WINE PREFIX WINDOWS_BIN PLCSIM
# EXPECT is kivhost_expect.sh, PLCSIM the Linux simulator (for the mirror).
set -euo pipefail
expect=$1
run_wine=("$2" "$3")
prefix=$3
bin=$4
plcsim=$5

work=$(mktemp -d "${TMPDIR:-/tmp}/field_kit.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}

# Waits for text in a file a background program writes.
wait_for() {
  local file=$1 text=$2
  for _ in $(seq 300); do
    grep -qF -- "$text" "$file" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "--- $file"
  cat "$file" 2>/dev/null || true
  fail "\"$text\" never came"
}

socat pty,raw,echo=0,link="$work/a" pty,raw,echo=0,link="$work/b" &
pids+=($!)
for _ in $(seq 100); do
  [ -e "$work/a" ] && [ -e "$work/b" ] && break
  sleep 0.05
done
export WINE_COM_PORTS="com3=$(readlink -f "$work/a") com4=$(readlink -f "$work/b")"
run() { "$expect" "$@"; }

# plcsim.exe on COM4, paced as a 9600 baud line; kivhost.exe on COM3.
"${run_wine[@]}" "$bin/plcsim.exe" --device COM4 --stations 1,2 --set 1:W0010=0x1234 --fault 2:nak --pace \
  >"$work/sim.out" 2>&1 &
pids+=($!)
wait_for "$work/sim.out" COM4
cd "$bin"
run 0 "out:01W0010     4660  0x1234" -- "${run_wine[@]}" kivhost.exe --port COM3 read 01W0010
run 0 -- "${run_wine[@]}" kivhost.exe --port COM3 write 01W0020 0x5A5A
run 0 "out:01W0020    23130  0x5A5A" -- "${run_wine[@]}" kivhost.exe --port COM3 read 01W0020
run 2 "err:no port COM29" -- "${run_wine[@]}" kivhost.exe monitor --port COM29
run 2 "err:station 2 (02) did not acknowledge the read of 02W0010" \
  -- "${run_wine[@]}" kivhost.exe --port COM3 read 02W0010
printf 'name,address,count\nlevel,01W0010,2\nvalve,02B0100,1\n' >"$work/tags.csv"
run 2 "out:level 4660 0; valve - (failed: nak)" "err:blocks set aside at the end: 02B0100 x 1" \
  -- "${run_wine[@]}" kivhost.exe --port COM3 --timeout 100 scan "$work/tags.csv" --cycles 2 --retry-down 1
# Ctrl-C (wine makes one of SIGINT) stops it in order, the port closed.
kill -INT "${pids[1]}"
status=0
wait "${pids[1]}" || status=$?
[ "$status" = 0 ] || { cat "$work/sim.out"; fail "plcsim.exe ended with $status after Ctrl-C"; }

# The demo on the same pair, its stations on COM4.
run 0 "out:on COM4, the driver on COM3 joined to it" "out:0x1234 0xABCD 0x0007 0x00FF" "out:9. EndKiv" \
  -- "${run_wine[@]}" kivhost.exe --port COM3 demo --sim-port COM4

# The monitor on plcsim's mirror as COM5, the line as COM6.
"$plcsim" --stations 1 --set 1:W0010=0x1234 --link "$work/line" --mirror "$work/tap" >"$work/linux-sim.out" 2>&1 &
pids+=($!)
wait_for "$work/linux-sim.out" /
sleep 0.2
export WINE_COM_PORTS="$WINE_COM_PORTS com5=$(readlink -f "$work/tap") com6=$(readlink -f "$work/line")"
"${run_wine[@]}" kivhost.exe monitor --port COM5 >"$work/monitor.out" 2>"$work/monitor.err" &
monitor=$!
pids+=($monitor)
wait_for "$work/monitor.err" "listening on COM5"
run 0 "out:4660" -- "${run_wine[@]}" kivhost.exe --port COM6 read 01W0010
wait_for "$work/monitor.out" "good: 4660 (0x1234)"
kill -INT "$monitor"
status=0
wait "$monitor" || status=$?
[ "$status" = 0 ] && grep -qF "Per station (2 frames" "$work/monitor.out" ||
  { cat "$work/monitor.out" "$work/monitor.err"; fail "the monitor's end after Ctrl-C: status $status"; }
echo "ok: kivhost.exe monitor on COM5, the summary at Ctrl-C"
