"""Hooks that drive the candidate cycle from an ordinary PyTorch training loop.

After ``attach_optimizer(optimizer, net)``, in p mode every ``optimizer.step()`` first runs
one candidate step per backward pass since the last step (``apply_ab_grads``), and every
``optimizer.zero_grad()`` clears what is left of the candidate queues (``apply_ab_zero``).
Nothing changes in the loop itself::

    for x, y in loader:
        optimizer.zero_grad()
        loss_fn(net(x), y).backward()
        optimizer.step()
"""
from __future__ import annotations

from typing import Iterator, List

import torch
from torch import nn

from . import globals_arborai as GAR
from .modules_arborai import ARBNeuronModule, DendriteModule


def neuron_modules(net: nn.Module) -> List[ARBNeuronModule]:
    """The wrapped layers of ``net``, in module order."""
    return [m for m in net.modules() if isinstance(m, ARBNeuronModule)]


def dendrite_modules(net: nn.Module) -> Iterator[DendriteModule]:
    for neuron in neuron_modules(net):
        yield neuron.dendrite_module


def candidate_steps(net: nn.Module) -> None:
    """One candidate step per captured error of each wrapped layer (p mode only)."""
    import arborlib.dendrite_engine as DE

    if GAR.arb_tracker.member_vars["mode"] != "p":
        return
    for dm in dendrite_modules(net):
        if dm.mode != "p" or not len(dm.dendrite_values):
            continue
        record = dm.dendrite_values[0]
        if record.device is None:
            continue
        # Gradient accumulation: several backward passes may precede one step.
        for _ in range(len(record.current_parent_d[record.device])):
            DE.apply_ab_grads(dm)


def clear_candidate_queues(net: nn.Module) -> None:
    import arborlib.dendrite_engine as DE

    for dm in dendrite_modules(net):
        if len(dm.dendrite_values):
            DE.apply_ab_zero(dm)


class _ZeroGradWithQueues:
    """Replaces an optimizer's ``zero_grad`` on the instance: clear the queues, then zero."""

    def __init__(self, optimizer: torch.optim.Optimizer, net: nn.Module) -> None:
        self.original = optimizer.zero_grad
        self.net = net

    def __call__(self, *args, **kwargs):
        clear_candidate_queues(self.net)
        return self.original(*args, **kwargs)


def attach_optimizer(optimizer: torch.optim.Optimizer, net: nn.Module) -> torch.optim.Optimizer:
    """Makes ``optimizer.step()`` and ``optimizer.zero_grad()`` drive ``net``'s candidates."""
    if isinstance(optimizer.zero_grad, _ZeroGradWithQueues):
        raise ValueError("attach_optimizer: this optimizer is already attached")
    optimizer.register_step_pre_hook(lambda opt, args, kwargs: candidate_steps(net))
    optimizer.zero_grad = _ZeroGradWithQueues(optimizer, net)
    return optimizer
