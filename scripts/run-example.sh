#!/usr/bin/env bash
# Sets everything up, builds and runs korvel on the bundled example rig: the control points
# and exposure values go to build/example/log.txt, and the scorer reports how accurate they are.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
rm -rf build/example
SCORE_DIR=build/example bash scripts/score.sh examples/ring13/rig.pts build/korvel
