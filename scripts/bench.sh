#!/usr/bin/env bash
# The benchmark suite: sets up and installs the module, builds the native
# primitives benchmark (Google Benchmark) and prints, in one run, the floor of
# a capture, capture end to end at three input sizes, their ratios, and the
# memory figures. Extra arguments go to benchmarks/bench_capture.py
# (e.g. --quick for a short smoke run).
set -euo pipefail
export EXTRA_DEBIAN_PACKAGES="libbenchmark-dev"
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"

echo "[bench] building the native primitives benchmark"
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release \
    -DVORM_ZEL_BUILD_MODULE=OFF -DVORM_ZEL_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/bench -j2 --target vorm_zel_bench_primitives >/dev/null

echo "[bench] running"
"$PYTHON" benchmarks/bench_capture.py --native build/bench/vorm_zel_bench_primitives "$@"
