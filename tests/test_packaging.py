"""What the source distribution carries, and the type stubs of the extension modules."""
import importlib.util
import os
import subprocess
import sys
import tarfile

import pytest
import torch

import arborlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
MODULES = ["arbor_settings", "dendrite_engine", "fused_layers", "net_toolkit", "slim_restore"]


@pytest.mark.slow
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


@pytest.fixture(scope="module")
def gen_stubs():
    spec = importlib.util.spec_from_file_location("gen_stubs", os.path.join(ROOT, "tools", "gen_stubs.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("name", MODULES)
def test_stub_is_what_the_built_module_generates(gen_stubs, name):
    with open(os.path.join(ROOT, "arborlib", f"{name}.pyi")) as f:
        assert f.read() == gen_stubs.stub(name), f"arborlib/{name}.pyi is stale: run tools/gen_stubs.py"


def test_version_comes_from_pyproject():
    tomllib = pytest.importorskip("tomllib")
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        assert arborlib.__version__ == tomllib.load(f)["project"]["version"]


@pytest.mark.parametrize("field, match", [("torch", "built with torch 0.0"), ("cxx11_abi", "_GLIBCXX_USE_CXX11_ABI")])
def test_build_of_another_torch_is_refused_at_import(field, match):
    record = {"torch": torch.__version__.split("+")[0], "cxx11_abi": bool(torch._C._GLIBCXX_USE_CXX11_ABI)}
    arborlib._check_build(record)
    record[field] = "0.0" if field == "torch" else not record[field]
    with pytest.raises(ImportError, match=match):
        arborlib._check_build(record)
