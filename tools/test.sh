#!/usr/bin/env bash
# Installs everything into .venv (torch pinned for a reproducible CPU build), builds the
# extensions and runs the whole test suite. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup_env.sh
exec "$VENV/bin/python" -m pytest "$@"
