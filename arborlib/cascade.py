"""The dendrite cascade in torch operations, shared by the training form of a wrapped layer
(the companion) and its plain-torch export: one formula, one rounding.

Each weighted sum is a product and then a sum, as the fused blocks of the extensions compute
it (``arborlib/common/cascade.h``), so that the training network, its fused blocks and the
checkpoint proved against them agree to the bit. Imports torch only.
"""
from __future__ import annotations

from typing import Callable, List, Sequence

import torch

__all__ = ["dendrite_cascade"]


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
