"""Networks trained through the companion, shared by the conversion and checkpoint tests."""
import torch
from torch import nn

import arborai.globals_arborai as GAR
import arborlib.fused_layers as FL
from arborai.training import DendriteTrainer


def small_net(kind):
    """(network, input batch) for an MLP or a CNN whose neuron dimension is 1 of a 4-D output."""
    if kind == "mlp":
        return nn.Sequential(nn.Linear(6, 8), nn.ReLU(), nn.Linear(8, 3)), torch.randn(16, 6)
    return nn.Sequential(nn.Conv2d(2, 4, 3, padding=1), nn.ReLU(), nn.Conv2d(4, 3, 3)), torch.randn(4, 2, 7, 7)


def grow(net, x, dendrites, candidates=2, **wrap):
    """Wraps `net` and runs `dendrites` p/n cycles on `x`; returns it in eval mode.

    Installed output and cascade weights start at zero; they get random values here so that
    every cascade path has an effect on the output that a conversion could get wrong.
    """
    before = GAR.pc.get_global_candidates()
    GAR.pc.set_global_candidates(candidates)
    tr = DendriteTrainer(net, lambda ps: torch.optim.SGD(ps, lr=0.05), max_dendrites=dendrites, **wrap)
    for _ in range(dendrites):
        tr.start_p_phase()
        for _ in range(3):
            tr.optimizer.zero_grad()
            net(x).pow(2).mean().backward()
            tr.optimizer.step()
        tr.start_n_phase()
        with torch.no_grad():
            for n in tr.neurons:
                n.dendrites_to_top[-1].normal_()
                for p in n.dendrite_module.dendrites_to_dendrites[1:]:
                    p.normal_()
    GAR.pc.set_global_candidates(before)
    return net.eval()


class Holder(nn.Module):
    """A plain module holding the given children as attributes."""

    def __init__(self, **children):
        super().__init__()
        for name, child in children.items():
            setattr(self, name, child)


def fused(layers, d2d, top, view=(1, -1), procs=None):
    """A block built by hand; d2d/top follow the companion's layout (placeholder first)."""
    return FL.ARBLayer(nn.Sequential(*layers), procs or [None] * len(layers), nn.ParameterList(top),
                       nn.ParameterList(d2d), torch.tensor(1), torch.tensor([len(layers) - 1]), list(view))


class Scale(nn.Module):
    """Multiplies its input by a fixed factor: a layer whose output is easy to predict."""

    def __init__(self, a):
        super().__init__()
        self.a = a

    def forward(self, x):
        return x * self.a
