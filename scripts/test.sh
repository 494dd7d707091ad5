#!/usr/bin/env bash
# Sets everything up, builds and runs the whole test suite (GL tests on a virtual display).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
cd build
# Tests run two at a time on two cores: idle OpenMP workers must sleep, not spin.
export OMP_WAIT_POLICY=passive
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j 2

# Sanitised tests that need no GL context, then a short run of every fuzz target.
cd ..
bash scripts/sanitize.sh --no-gl
bash scripts/fuzz.sh 5
