#!/usr/bin/env bash
# Checks the format, runs the demo as the README's first command does, then
# builds and runs every test: the native build with the Windows side under
# wine, then the native tests again under the sanitizers, then the longer
# checks. Installs what is missing first (scripts/install-deps.sh). The
# Windows side is never skipped quietly: without the cross compiler or wine
# the configure fails, unless KIV_WITH_WINDOWS=OFF leaves it out on purpose,
# which the last line then says.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
windows=${KIV_WITH_WINDOWS:-ON}
case $windows in
  ON | OFF) ;;
  *)
    echo "test-all: KIV_WITH_WINDOWS is ON or OFF, not '$windows'" >&2
    exit 64
    ;;
esac
export KIV_WITH_WINDOWS=$windows
# The compiler cache (installed below) keyed on paths within the clone, so
# that another clone of the same sources finds what this one compiled.
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1

# Each stage's time, said at the end: where a slow run spends it.
times=()
timed() {
  local name=$1 start=$SECONDS
  shift
  echo "=== $name"
  "$@"
  times+=("$(printf '%6d s  %s' $((SECONDS - start)) "$name")")
}

timed scripts/install-deps.sh scripts/install-deps.sh
timed scripts/check-format.sh scripts/check-format.sh
timed scripts/check-rooms.py scripts/check-rooms.py

# The README's first command, as a new user runs it: its own build, then the demo.
timed scripts/demo.sh scripts/demo.sh

run_preset() {
  local preset=$1
  shift
  cmake --preset "$preset" "$@"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
}

timed ci run_preset ci -DKIV_WITH_WINDOWS="$windows"
timed asan run_preset asan

# Longer checks of their own, each in its own script, on the builds above:
# the ci build for the soak, valgrind and the benchmark's smoke run, the
# asan build (clang, with the fuzzer's instrumentation) for the fuzz targets.
# The short soak ran among the ci build's tests (soak_short); the fuzz
# targets get half a minute each here, a minute when the script runs alone.
export KIV_REL_BUILD_DIR=build-ci KIV_FUZZ_BUILD_DIR=build-asan KIV_BENCH_BUILD_DIR=build-ci
export KIV_SOAK_EXCHANGES=0 KIV_FUZZ_SECONDS=30
for extra in scripts/reliability-checks.sh scripts/bench-smoke.sh; do
  timed "$extra" "$extra"
done

echo "=== time per stage"
printf '%s\n' "${times[@]}"

if [ "$windows" = OFF ]; then
  echo "=== all tests passed; the Windows side was skipped (KIV_WITH_WINDOWS=OFF)"
else
  echo "=== all tests passed, the Windows side under wine included"
fi
