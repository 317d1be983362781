#!/usr/bin/env bash
# Installs whatever is missing (Debian packages as root, Python packages with
# pip), then builds and installs the module with `pip install .`.
# Sourced by scripts/test.sh and scripts/demo.sh; exports PYTHON.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

DEBIAN_PACKAGES=(g++ make libsodium-dev librust-blake3-dev libgtest-dev nlohmann-json3-dev)
# A command that needs more names it in EXTRA_DEBIAN_PACKAGES: the tests add
# clang (libFuzzer for the fuzz targets) and libbenchmark-dev, the benchmarks
# libbenchmark-dev.
read -r -a _extra <<<"${EXTRA_DEBIAN_PACKAGES:-}"
DEBIAN_PACKAGES+=("${_extra[@]}")
PYTHON_PACKAGES=("cmake>=3.26" ninja pytest hypothesis blake3 cryptography numpy pynacl orjson pydantic
    # fleet verification (the dask extra): a Dask cluster and fsspec URLs
    distributed fsspec
    # the frameworks of the agent adapters, in the ranges of pyproject's extras
    "langchain-core>=1.9,<2" "openai-agents>=0.26,<0.27" "opentelemetry-sdk>=1.45,<2")

export PIP_ROOT_USER_ACTION=ignore  # we run as root on purpose (CI, fresh machines)

log() { printf '[setup] %s\n' "$*"; }

install_debian_packages() {
    local missing=()
    for pkg in "${DEBIAN_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    if ((${#missing[@]} == 0)); then
        return
    fi
    if [[ $(id -u) -ne 0 ]]; then
        log "missing Debian packages: ${missing[*]} (run as root, or install them first)"
        exit 1
    fi
    log "installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# libFuzzer and clang's sanitizer runtimes come in a package named after the
# clang release (libclang-rt-14-dev on Debian 12, -19- on Debian 13).
install_clang_runtime() {
    local major runtime
    [[ " ${DEBIAN_PACKAGES[*]} " == *" clang "* ]] || return 0  # only where clang was asked for
    major="$(clang -dumpversion | cut -d. -f1)"
    runtime="libclang-rt-$major-dev"
    if dpkg-query -W -f='${Status}' "$runtime" 2>/dev/null | grep -q "install ok installed"; then
        return
    fi
    if [[ $(id -u) -ne 0 ]]; then
        log "missing Debian package: $runtime (run as root, or install it first)"
        exit 1
    fi
    log "installing Debian package: $runtime"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$runtime" >/dev/null
}

# An interpreter whose environment pip may change: the given one, or a
# virtual environment beside the sources when the distribution manages it.
choose_python() {
    PYTHON="${PYTHON:-python3}"
    if ! command -v "$PYTHON" >/dev/null 2>&1; then
        [[ $(id -u) -eq 0 ]] || { log "no $PYTHON found"; exit 1; }
        log "installing python3"
        apt-get install -y -qq --no-install-recommends python3 python3-venv python3-dev >/dev/null
    fi
    if ! "$PYTHON" -m pip --version >/dev/null 2>&1 ||
        [[ -f "$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("stdlib"))')/EXTERNALLY-MANAGED" ]]; then
        if [[ ! -x "$ROOT/.venv/bin/python" ]]; then
            if ! "$PYTHON" -m venv "$ROOT/.venv" >/dev/null 2>&1; then
                [[ $(id -u) -eq 0 ]] && apt-get install -y -qq python3-venv python3-pip >/dev/null
                "$PYTHON" -m venv "$ROOT/.venv"
            fi
        fi
        PYTHON="$ROOT/.venv/bin/python"
    fi
    export PYTHON
    log "using $("$PYTHON" -c 'import sys; print(sys.executable, sys.version.split()[0])')"
}

# The interpreter's C headers: a distribution's Python keeps them in -dev.
ensure_python_headers() {
    local include
    include="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
    if [[ ! -f "$include/Python.h" ]]; then
        if [[ $(id -u) -ne 0 ]]; then
            log "Python headers missing in $include (install python3-dev)"
            exit 1
        fi
        log "installing python3-dev for $include/Python.h"
        apt-get install -y -qq --no-install-recommends python3-dev >/dev/null
    fi
}

install_python_packages() {
    local missing=()
    for requirement in "${PYTHON_PACKAGES[@]}"; do
        local name="${requirement%%[<>=]*}"
        if ! "$PYTHON" -m pip show -q "$name" >/dev/null 2>&1; then
            missing+=("$requirement")
        fi
    done
    if [[ ! " ${missing[*]} " =~ " cmake>=3.26 " ]] &&
        ! "$PYTHON" -c 'import cmake, sys; v = tuple(map(int, cmake.__version__.split(".")[:2])); sys.exit(v < (3, 26))' 2>/dev/null; then
        missing+=("cmake>=3.26")
    fi
    if ((${#missing[@]} > 0)); then
        log "installing Python packages: ${missing[*]}"
        "$PYTHON" -m pip install -q --disable-pip-version-check "${missing[@]}"
    fi
    # The pip-installed cmake and ninja come first on PATH.
    PATH="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
    export PATH
}

build_and_install() {
    log "building and installing vorm_zel (pip install .)"
    "$PYTHON" -m pip install -q --disable-pip-version-check \
        --config-settings=cmake.define.VORM_ZEL_WERROR=ON .
}

install_debian_packages
install_clang_runtime
choose_python
ensure_python_headers
install_python_packages
build_and_install
