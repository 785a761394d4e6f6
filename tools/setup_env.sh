# The development loop, sourced by tools/test.sh and tools/main_job.sh (the one place it is
# described): creates .venv, installs the pinned dependencies of tools/constraints.txt (skipped
# while the venv's stamp holds that file's hash), builds arborlib's extensions in place and
# exports PYTHONPATH for this checkout: arborlib from the repository root, the companion
# stand-in (import name arborai) from companion_standin/. Nothing is written into the venv's
# site-packages, so checkouts sharing one venv each import their own code.
# Rebuilds are incremental (ninja keeps build/), so after a source edit run the tool again.
# Building distributable packages instead (sdist, wheels): see setup.py's docstring.
VENV="${ARBORLIB_VENV:-.venv}"
PYTHON="${PYTHON:-python3}"
if [ ! -x "$VENV/bin/python" ]; then
  "$PYTHON" -m venv "$VENV"
fi
STAMP="$VENV/.arborlib-constraints.sha256"
WANT="$(sha256sum tools/constraints.txt | cut -d' ' -f1)"
if [ "$(cat "$STAMP" 2>/dev/null)" != "$WANT" ]; then
  "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check -r tools/constraints.txt
  echo "$WANT" > "$STAMP"
fi
export PYTHONPATH="$PWD:$PWD/companion_standin${PYTHONPATH:+:$PYTHONPATH}"
mkdir -p build
"$VENV/bin/python" setup.py --quiet build_ext --inplace > build/last_build.log 2>&1 \
  || { cat build/last_build.log; echo "arborlib: build failed" >&2; exit 1; }
