"""arborlib: grows cascade-correlation dendrites onto the neurons of PyTorch layers.

The five extension modules are imported on demand, e.g. ``import arborlib.dendrite_engine``;
``arborlib.export`` is pure Python and needs none of them. torch is imported first: the
extensions link against its shared libraries.
"""
import json
import os

import torch

__all__ = ["arbor_settings", "dendrite_engine", "export", "fused_layers", "net_toolkit", "slim_restore"]
__version__ = "0.1.0"


def _check_torch_version() -> None:
    """The extensions are tied to the C++ ABI of the torch they were compiled against: another
    torch would fail later with an undefined symbol, so say which versions meet here."""
    try:
        with open(os.path.join(os.path.dirname(__file__), "build_info.json")) as f:
            built = json.load(f)["torch"]
    except FileNotFoundError:  # a source checkout whose extensions were never built
        return
    installed = torch.__version__.split("+")[0]
    if installed != built:
        raise ImportError(
            f"arborlib's extensions were built with torch {built}, but torch {torch.__version__} "
            f"is installed. Install torch=={built}, or rebuild arborlib against this torch "
            "(pip install --no-build-isolation --force-reinstall --no-deps arborlib from its source)."
        )


_check_torch_version()
