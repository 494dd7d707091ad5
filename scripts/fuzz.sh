#!/usr/bin/env bash
# Builds the fuzz targets and runs each for the given seconds (default 20) on a copy of its seed
# corpus in fuzz/corpus; fails on the first crash, leak, timeout or memory blow-up and leaves
# the input in build-san/fuzz.
#   scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
source scripts/sanitize-config.sh
targets=(project hdr jpeg tiff png exr)
cmake --build build-san -j "$(nproc)" --target "${targets[@]/%/_fuzz}"
mkdir -p build-san/fuzz
for t in "${targets[@]}"; do
  corpus=build-san/fuzz/corpus-$t
  mkdir -p "$corpus"
  cp -n fuzz/corpus/$t/* "$corpus"/
  echo "fuzzing $t for ${seconds}s" >&2
  # -close_fd_mask keeps the readers' own messages (libjpeg warnings) out of the report.
  if ! (cd build-san/fuzz && "../fuzz/${t}_fuzz" -max_total_time="$seconds" -timeout=10 \
          -close_fd_mask=3 -print_final_stats=1 "corpus-$t" >"$t.log" 2>&1); then
    tail -40 "build-san/fuzz/$t.log" >&2
    echo "fuzz target $t failed; the input is in build-san/fuzz" >&2
    exit 1
  fi
  grep -E "^stat::number_of_executed_units" "build-san/fuzz/$t.log" >&2
done
