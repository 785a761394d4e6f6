"""The dendrite cascade in torch operations, shared by the training form of a wrapped layer
(the companion) and its plain-torch export: one formula, one rounding.

Each weighted sum is a product and then a sum, as the fused blocks of the extensions compute
it (``arborlib/common/cascade.h``), so that the training network, its fused blocks and the
checkpoint proved against them agree to the bit. Also the hook that keeps every form of a
wrapped layer off torch's fused transformer path. Imports torch only.
"""
from __future__ import annotations

from typing import Callable, List, Sequence

import torch
from torch import nn

__all__ = ["dendrite_cascade", "guard_fast_path"]


def dendrite_cascade(
    raw: Sequence[torch.Tensor],
    row: Callable[[int, int], torch.Tensor],
    activation: Callable[[torch.Tensor], torch.Tensor],
) -> List[torch.Tensor]:
    """Activated outputs of a layer's dendrites, in installation order: dendrite k gets
    ``activation(raw[k] + sum_{j<k} row(k, j) * out_j)``, where ``row(k, j)`` is the per-neuron
    weight from dendrite j into dendrite k, shaped to broadcast against the outputs."""
    outs: List[torch.Tensor] = []
    for k, value in enumerate(raw):
        for j in range(k):
            value = value + row(k, j) * outs[j]
        outs.append(activation(value))
    return outs


def keep_slow_path(module: nn.Module, args: tuple) -> None:
    """The forward pre-hook that :func:`guard_fast_path` puts on a module no one calls."""
    return None


# A fixed key, not a handle's id from torch's global counter: two saves of one network must
# give the same bytes.
SLOW_PATH_KEY = "arborlib.keep_slow_path"


def guard_fast_path(child: nn.Module) -> None:
    """Puts :func:`keep_slow_path` on ``child``, a never-called child of a wrapped layer (in any
    of its forms). The fused inference path of ``nn.TransformerEncoderLayer`` reads its sublayers'
    weights and would run without their dendrites; torch skips it whenever a submodule has a
    hook, and a hook on a module that no one calls costs no forward pass anything."""
    child._forward_pre_hooks[SLOW_PATH_KEY] = keep_slow_path
