#!/usr/bin/env bash
# The picture of kivgate's status page in docs/, taken by the page's own
# check (tests/kivgate_page_check.py) against plcsim: what the picture
# shows is what the check saw. Needs a build with kivgate and plcsim
# (build-ci by default), headless Chromium and python3-prometheus-client.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build-ci}/bin
exec /usr/bin/python3 tests/kivgate_page_check.py --bin "$bin" --screenshot docs/status-page.png
