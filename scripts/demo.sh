#!/usr/bin/env bash
# The first command on a fresh machine: installs what the demo build lacks
# (scripts/install-deps.sh demo), builds only the driver, the log stand-in,
# kivhost and plcsim (the demo preset: no tests, no benchmark) on every core,
# then runs `kivhost demo`. Arguments go to the demo, e.g. --trace.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# Presets are read from the working folder; the demo itself runs in the
# caller's, so that a file argument means what the caller meant.
(
  cd "$root"
  scripts/install-deps.sh demo
  # The configure speaks only when it fails: its warnings (no scdoc for the
  # man pages) concern the packages, not the demo.
  if ! configure=$(cmake --preset demo 2>&1); then
    echo "$configure" >&2
    exit 1
  fi
  cmake --build --preset demo -j "$(nproc)"
)
exec "$root/build-demo/bin/kivhost" demo "$@"
