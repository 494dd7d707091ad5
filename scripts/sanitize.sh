#!/usr/bin/env bash
# Builds the test suite with AddressSanitizer and UndefinedBehaviorSanitizer (clang, in
# build-san) and runs it; any report fails the run. With --no-gl only the tests that need no
# GL context run (no display needed), without the GL suite, the end-to-end rig runs and the
# stitching script. With --thread, ThreadSanitizer instead (clang, in build-tsan): the tests
# that need no GL context, then korvel's native remap on every rig in ../shared/rigs, pairs
# side by side as a run matches them.
#   scripts/sanitize.sh [--no-gl | --thread]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --thread ]; then
  bash scripts/install-deps.sh
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_C_FLAGS="-fsanitize=thread" >/dev/null
  cmake --build build-tsan -j "$(nproc)" --target korvel korvel_tests
  # OpenMP's runtime is not instrumented: its Archer tool tells ThreadSanitizer what the
  # runtime orders, and reports from inside the runtime itself are left out.
  archer=$(ls /usr/lib/llvm-*/lib/libarcher.so | tail -1)
  export OMP_TOOL_LIBRARIES=$archer OMP_WAIT_POLICY=passive KORVEL_REMAP=cpu
  export TSAN_OPTIONS="halt_on_error=1 exitcode=66 ignore_noninstrumented_modules=1"
  # ThreadSanitizer holds a signal back until its handler returns, and then cannot take the
  # default action that a handler raises its signal again for: that one test is left out.
  build-tsan/tests/korvel_tests --gtest_brief=1 --gtest_filter='-Rig.*:Shared/*:Batch.*:Stitch.*:'\
'Driver.BadInputEndsWithOneErrorLine:ProjectCopy.TemporaryFileGoesWithATerminatingSignal'
  for rig in ../shared/rigs/*/rig.pts; do
    [ -e "$rig" ] || { echo "no ../shared/rigs: the rig runs are skipped" >&2; break; }
    echo "korvel $rig" >&2
    build-tsan/korvel "$rig" >/dev/null 2>build-tsan/rig.err || { tail -60 build-tsan/rig.err >&2; exit 1; }
  done
  exit 0
fi
source scripts/sanitize-config.sh
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 OMP_WAIT_POLICY=passive
if [ "${1:-}" = --no-gl ]; then
  cmake --build build-san -j "$(nproc)" --target korvel korvel_tests
  # Tests that reach a matching need GL, and LeakSanitizer reports the GL driver's own
  # allocations (the bad-input table has a row that fails at an image, after the context).
  build-san/tests/korvel_tests --gtest_brief=1 \
    --gtest_filter='-Rig.*:Shared/*:Batch.*:Stitch.*:Driver.BadInputEndsWithOneErrorLine'
else
  cmake --build build-san -j "$(nproc)"
  cd build-san
  xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j 2
fi
