# The development loop, sourced by tools/test.sh and tools/main_job.sh (the one place it is
# described): creates .venv, installs the pinned dependencies, builds arborlib's extensions in
# place and puts the checkout on the venv's path through a .pth file: arborlib from the
# repository root, the companion stand-in (import name arborai) from companion_standin/.
# Rebuilds are incremental (ninja keeps build/), so after a source edit run the tool again.
# Building distributable packages instead (sdist, wheels): see setup.py's docstring.
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
    f.write(os.getcwd() + "\n" + os.path.join(os.getcwd(), "companion_standin") + "\n")
PY
