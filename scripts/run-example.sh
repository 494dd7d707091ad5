#!/usr/bin/env bash
# Sets everything up, builds and runs korvel on the bundled example rig.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
xvfb-run -a build/korvel -e examples/ring13/rig-truth.pts
