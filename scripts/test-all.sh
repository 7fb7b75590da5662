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

scripts/install-deps.sh

echo "=== scripts/check-format.sh"
scripts/check-format.sh

# The README's first command, as a new user runs it: its own build, then the demo.
echo "=== scripts/demo.sh"
scripts/demo.sh

run_preset() {
  local preset=$1
  shift
  echo "=== $preset"
  cmake --preset "$preset" "$@"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
}

run_preset ci -DKIV_WITH_WINDOWS="$windows"
run_preset asan

# Longer checks of their own, each in its own script.
for extra in scripts/reliability-checks.sh scripts/bench-smoke.sh; do
  echo "=== $extra"
  "$extra"
done

if [ "$windows" = OFF ]; then
  echo "=== all tests passed; the Windows side was skipped (KIV_WITH_WINDOWS=OFF)"
else
  echo "=== all tests passed, the Windows side under wine included"
fi
