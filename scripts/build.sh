#!/usr/bin/env bash
# Installs what is missing, then configures and builds korvel in ./build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build build -j "$(nproc)"
