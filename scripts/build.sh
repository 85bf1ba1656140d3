#!/usr/bin/env bash
# Configures and builds everything into build/ (override with BUILD_DIR; BUILD_TYPE, default
# RelWithDebInfo). TESSAROVEN_WERROR=ON makes warnings errors (CI); CMAKE_BUILD_PARALLEL_LEVEL
# caps the jobs (default: one per core).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
  -DTESSAROVEN_WERROR="${TESSAROVEN_WERROR:-OFF}" >/dev/null
cmake --build "$build" --parallel "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
