"""What the source distribution carries, and the type stubs of the extension modules."""
import importlib
import os
import subprocess
import sys
import tarfile

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
MODULES = ["arbor_settings", "dendrite_engine", "fused_layers", "net_toolkit", "slim_restore"]


def test_sdist_carries_every_source_and_header_and_nothing_built(tmp_path):
    tracked = subprocess.run(["git", "ls-files", "arborlib"], cwd=ROOT, capture_output=True, text=True)
    if tracked.returncode != 0:
        pytest.skip("not a git checkout")
    build = subprocess.run([sys.executable, "setup.py", "-q", "sdist", "-d", str(tmp_path)], cwd=ROOT,
                           capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    assert "warning" not in build.stderr.lower(), build.stderr
    (tarball,) = tmp_path.glob("arborlib-*.tar.gz")
    with tarfile.open(tarball) as tar:
        names = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
    sources = {n for n in tracked.stdout.split() if n.endswith((".cpp", ".h", ".py", ".pyi"))}
    assert sources <= names, sorted(sources - names)
    assert not [n for n in names if n.endswith(".so") or n.startswith("arborai/") or "build_info" in n]


@pytest.mark.parametrize("name", MODULES)
def test_stub_lists_every_public_name(name):
    module = importlib.import_module(f"arborlib.{name}")
    with open(os.path.join(os.path.dirname(module.__file__), f"{name}.pyi")) as f:
        stub = f.read()
    missing = [n for n in vars(module) if not n.startswith("__") and
               f"def {n}(" not in stub and f"class {n}(" not in stub and f"\n{n}: " not in stub]
    assert not missing, f"arborlib/{name}.pyi lacks {missing}: run tools/gen_stubs.py"
