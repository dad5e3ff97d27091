#!/usr/bin/env bash
# Builds kapmess with warnings as errors, optimised and with the sanitizers,
# and runs the whole test suite against both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
installmissing cmake make g++ libgtest-dev libbenchmark-dev strace
for preset in release debug; do
    cmake --preset "$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    ctest --preset "$preset" -j 2
done
