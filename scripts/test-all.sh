#!/usr/bin/env bash
# Builds everything (programs, tests, benchmarks) and runs every test.
# Missing build and test packages are installed first (see scripts/deps.sh).
# Usage: scripts/test-all.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
qorv_deps build test || exit 1
build=${1:-build}
jobs=$(nproc 2>/dev/null || echo 2)
gen=$(qorv_generator "$build")
cmake -S . -B "$build" ${gen:+"$gen"} -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQORV_BENCH=ON
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 300
