#!/usr/bin/env bash
# Builds and runs the benchmarks of the correlation kernel and the native remap.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh -DKORVEL_BENCH=ON
build/bench/ncc_bench "$@"
build/bench/remap_bench "$@"
