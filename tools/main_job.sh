#!/usr/bin/env bash
# The main job: installs what it needs (like tools/test.sh), then trains a classifier with
# dendrites on scikit-learn's bundled digits, compares it with a plain network of the same
# size, saves the cleaned network and proves the saved model. Arguments go to the script;
# see --help.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup_env.sh
exec "$VENV/bin/python" examples/dendrite_classifier.py "$@"
