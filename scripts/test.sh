#!/usr/bin/env bash
# Every test: sets up and installs the module, then runs
#   1. the native tests (GoogleTest through ctest) and the host tests (pytest)
#      against the release build;
#   2. both again against a build with AddressSanitizer and
#      UndefinedBehaviorSanitizer, the host tests with the sanitizer runtime
#      preloaded into the interpreter;
#   3. the libFuzzer targets for the JSON writer and the number layouts, each
#      for a bounded time (VORM_ZEL_FUZZ_SECONDS, default 60).
set -euo pipefail
# clang for the fuzz targets; the native benchmark is compiled too (not run),
# so that it cannot rot. Go and its x/mod sources: the notarised-log interop
# test checks our checkpoints and proofs with Go's note and tlog packages.
# Chromium: the audit report's tests load the page in a headless browser.
export EXTRA_DEBIAN_PACKAGES="clang libbenchmark-dev golang-go golang-golang-x-mod-dev chromium fonts-dejavu-core"
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

# --- sanitizers -------------------------------------------------------------
# Every report aborts the process (halt_on_error, -fno-sanitize-recover), so a
# report fails the pass. Leak detection: the native tests run with LeakSanitizer
# on; inside the interpreter it stays off, because CPython does not free its
# own objects at exit and no suppression can tell those apart from ours (every
# allocation of the module has interpreter frames below it). The host leak
# tests (tests/test_leaks.py) bound RSS growth and reference counts instead.
SANITIZE_DIR="$ROOT/build/sanitize"
echo "[test] sanitized build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B "$SANITIZE_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORM_ZEL_SANITIZE=ON -DVORM_ZEL_BUILD_TESTS=ON -DVORM_ZEL_WERROR=ON \
    -DPython_EXECUTABLE="$PYTHON" >/dev/null
cmake --build "$SANITIZE_DIR" -j2

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
echo "[test] native tests under sanitizers"
(cd "$SANITIZE_DIR" &&
    ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:strict_string_checks=1" ctest --output-on-failure)

echo "[test] host tests against the sanitized module"
SANITIZER_RUNTIMES="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
sanitized_python() {
    LD_PRELOAD="$SANITIZER_RUNTIMES" \
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1" \
        PYTHONMALLOC=malloc PYTHONPATH="$SANITIZE_DIR" VORM_ZEL_SANITIZED_BUILD="$SANITIZE_DIR" \
        "$PYTHON" "$@"
}
# The module imported must be the checked one, with the runtime in place.
sanitized_python - <<'EOF'
import os, vorm_zel
expected = os.environ["VORM_ZEL_SANITIZED_BUILD"]
assert os.path.dirname(vorm_zel.__file__) == expected, vorm_zel.__file__
with open("/proc/self/maps") as maps:
    assert "libasan" in maps.read(), "the ASan runtime is not loaded"
print("[test] sanitized module:", vorm_zel.__file__)
EOF
sanitized_python -m pytest -q -p no:cacheprovider tests

# --- fuzzing ------------------------------------------------------------------
FUZZ_DIR="$ROOT/build/fuzz"
FUZZ_SECONDS="${VORM_ZEL_FUZZ_SECONDS:-60}"
echo "[test] fuzz targets (clang, libFuzzer, ${FUZZ_SECONDS}s each)"
CC=clang CXX=clang++ cmake -S . -B "$FUZZ_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORM_ZEL_BUILD_MODULE=OFF -DVORM_ZEL_BUILD_FUZZERS=ON -DVORM_ZEL_SANITIZE=ON \
    -DVORM_ZEL_WERROR=ON >/dev/null
cmake --build "$FUZZ_DIR" -j2
for target in json_string numbers; do
    # New inputs go to a scratch corpus; the committed seeds stay as they are.
    mkdir -p "$FUZZ_DIR/corpus/$target"
    ASAN_OPTIONS="detect_leaks=1:halt_on_error=1" "$FUZZ_DIR/vorm_zel_fuzz_$target" \
        -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 -artifact_prefix="$FUZZ_DIR/crash-$target-" \
        "$FUZZ_DIR/corpus/$target" "tests/fuzz/corpus/$target" 2>"$FUZZ_DIR/$target.log" ||
        { tail -n 60 "$FUZZ_DIR/$target.log"; echo "[test] fuzz target $target failed"; exit 1; }
    grep -E '^(Done|stat::number_of_executed_units)' "$FUZZ_DIR/$target.log" | sed "s/^/[fuzz $target] /"
done
echo "[test] all passes green"
