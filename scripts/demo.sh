#!/usr/bin/env bash
# The main job: sets up and installs the module, then seals the decisions of a
# simulated agent into ./audit.wal and prints a summary.
set -euo pipefail
CALLER_DIR="$(pwd)"
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$CALLER_DIR"
"$PYTHON" "$ROOT/examples/seal_decisions.py" "$@"
