"""arborlib: grows cascade-correlation dendrites onto the neurons of PyTorch layers.

The five extension modules are imported on demand, e.g. ``import arborlib.dendrite_engine``;
``arborlib.export`` is pure Python and needs none of them. torch is imported first: the
extensions link against its shared libraries.
"""
import importlib.abc
import json
import os
import sys

import torch

__all__ = ["arbor_settings", "dendrite_engine", "export", "fused_layers", "net_toolkit", "slim_restore"]

_HERE = os.path.dirname(os.path.abspath(__file__))

REBUILD = "pip install --no-build-isolation --force-reinstall --no-deps arborlib from its source"


def _build_record():
    """What the build wrote beside the extensions (setup.py): version, torch and its C++ ABI;
    None in a source checkout whose extensions were never built."""
    try:
        with open(os.path.join(_HERE, "build_info.json")) as f:
            return json.load(f)
    except FileNotFoundError:
        return None


def _version(record) -> str:
    """pyproject.toml holds the version; the build copies it into its record, and an unbuilt
    checkout reads it from the file itself."""
    if record and "version" in record:
        return record["version"]
    try:
        import tomllib

        with open(os.path.join(_HERE, os.pardir, "pyproject.toml"), "rb") as f:
            return tomllib.load(f)["project"]["version"]
    except (ImportError, OSError, KeyError):
        return "unknown"


def _build_mismatch(record):
    """Why the built extensions cannot load against the installed torch, or None. They are tied
    to the torch they were compiled against and to its C++ ABI: another one would fail later
    with an undefined symbol, so say which ones meet here."""
    if record is None:
        return None
    installed = torch.__version__.split("+")[0]
    if installed != record["torch"]:
        return (
            f"arborlib's extensions were built with torch {record['torch']}, but torch {torch.__version__} "
            f"is installed. Install torch=={record['torch']}, or rebuild arborlib against this torch ({REBUILD})."
        )
    abi = bool(torch._C._GLIBCXX_USE_CXX11_ABI)
    if record.get("cxx11_abi", abi) != abi:
        return (
            f"arborlib's extensions were built with _GLIBCXX_USE_CXX11_ABI={int(record['cxx11_abi'])}, but the "
            f"installed torch {torch.__version__} uses {int(abi)} (another build of that release): rebuild "
            f"arborlib against this torch ({REBUILD})."
        )
    return None


def _check_build(record) -> None:
    problem = _build_mismatch(record)
    if problem:
        raise ImportError(problem)


class _BuildGuard(importlib.abc.MetaPathFinder):
    """Refuses the extension modules of a build that does not fit the installed torch, while the
    pure-Python modules (the export a pickled network needs) still import."""

    EXTENSIONS = frozenset(n for n in __all__ if n != "export")

    def __init__(self, problem: str):
        self.problem = problem

    def find_spec(self, fullname, path=None, target=None):
        package, _, name = fullname.partition(".")
        if package == __name__ and name in self.EXTENSIONS:
            raise ImportError(self.problem)
        return None


_record = _build_record()
if _build_mismatch(_record):
    sys.meta_path.insert(0, _BuildGuard(_build_mismatch(_record)))
__version__ = _version(_record)
