"""arborlib: grows cascade-correlation dendrites onto the neurons of PyTorch layers.

The five extension modules are imported on demand, e.g. ``import arborlib.dendrite_engine``;
``arborlib.export`` is pure Python and needs none of them. torch is imported first: the
extensions link against its shared libraries.
"""
import json
import os

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


def _check_build(record) -> None:
    """The extensions are tied to the torch they were compiled against and to its C++ ABI:
    another one would fail later with an undefined symbol, so say which ones meet here."""
    if record is None:
        return
    installed = torch.__version__.split("+")[0]
    if installed != record["torch"]:
        raise ImportError(
            f"arborlib's extensions were built with torch {record['torch']}, but torch {torch.__version__} "
            f"is installed. Install torch=={record['torch']}, or rebuild arborlib against this torch ({REBUILD})."
        )
    abi = bool(torch._C._GLIBCXX_USE_CXX11_ABI)
    if record.get("cxx11_abi", abi) != abi:
        raise ImportError(
            f"arborlib's extensions were built with _GLIBCXX_USE_CXX11_ABI={int(record['cxx11_abi'])}, but the "
            f"installed torch {torch.__version__} uses {int(abi)} (another build of that release): rebuild "
            f"arborlib against this torch ({REBUILD})."
        )


_record = _build_record()
_check_build(_record)
__version__ = _version(_record)
