#!/usr/bin/env bash
# Builds and runs the benchmarks of the correlation kernel.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh -DKORVEL_BENCH=ON
build/bench/ncc_bench "$@"
