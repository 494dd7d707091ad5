#!/usr/bin/env bash
# Builds and runs the benchmarks of the correlation kernel, the native remap and decoding.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh -DKORVEL_BENCH=ON
build/bench/ncc_bench "$@"
build/bench/remap_bench "$@"
build/bench/decode_bench "$@"
