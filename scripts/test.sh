#!/usr/bin/env bash
# Sets everything up, builds and runs the whole test suite (GL tests on a virtual display).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
cd build
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j 2
