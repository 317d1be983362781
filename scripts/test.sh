#!/usr/bin/env bash
# Every test: sets up and installs the module, then runs the native tests
# (GoogleTest through ctest) and the host tests (pytest).
set -euo pipefail
# The native benchmark is compiled too (not run), so that it cannot rot.
export EXTRA_DEBIAN_PACKAGES="libbenchmark-dev"
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"

echo "[test] native tests"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Release \
    -DVORM_ZEL_BUILD_MODULE=OFF -DVORM_ZEL_BUILD_TESTS=ON -DVORM_ZEL_BUILD_BENCHMARKS=ON \
    -DVORM_ZEL_WERROR=ON >/dev/null
cmake --build build/native -j2
(cd build/native && ctest --output-on-failure)

echo "[test] host tests"
"$PYTHON" -m pytest -q tests
