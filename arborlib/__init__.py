"""arborlib: grows cascade-correlation dendrites onto the neurons of PyTorch layers.

The five extension modules are imported on demand, e.g. ``import arborlib.dendrite_engine``.
torch is imported first: the extensions link against its shared libraries.
"""
import torch  # noqa: F401  (loads libtorch before any extension module)

__all__ = ["arbor_settings", "dendrite_engine", "fused_layers", "net_toolkit", "slim_restore"]
__version__ = "0.1.0"
