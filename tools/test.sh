#!/usr/bin/env bash
# Installs everything into .venv (tools/constraints.txt), builds the extensions, lints the
# Python sources (ruff, configured in pyproject.toml) and runs the whole test suite, slow
# tests included. Extra arguments go to pytest (e.g. -m "not slow" for the quick loop).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup_env.sh
"$VENV/bin/python" -m ruff check --quiet .
exec "$VENV/bin/python" -m pytest "$@"
