# Sourced by the tools/ scripts: creates .venv, installs the pinned dependencies and builds
# arborlib's extensions in place. Rebuilds are incremental (ninja keeps build/), and the
# checkout is put on the venv's path, so a source edit needs only this script again.
VENV="${ARBORLIB_VENV:-.venv}"
PYTHON="${PYTHON:-python3}"
if [ ! -x "$VENV/bin/python" ]; then
  "$PYTHON" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install --quiet --disable-pip-version-check \
  "torch==2.13.0" numpy safetensors pytest ninja "setuptools>=64" wheel scikit-learn tqdm matplotlib
mkdir -p build
"$VENV/bin/python" setup.py --quiet build_ext --inplace > build/last_build.log 2>&1 \
  || { cat build/last_build.log; echo "arborlib: build failed" >&2; exit 1; }
"$VENV/bin/python" - <<'PY'
import os, site
with open(os.path.join(site.getsitepackages()[0], "arborlib-checkout.pth"), "w") as f:
    f.write(os.getcwd() + "\n")
PY
