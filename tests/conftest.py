import pytest
import torch
from torch import nn

import arborai.globals_arborai as GAR
import arborai.modules_arborai as MAR
from arborai.training import DendriteTrainer


@pytest.fixture(autouse=True)
def fresh_settings():
    """Every test starts from the default settings, the tracker in n mode."""
    GAR.pc.reset()
    GAR.arb_tracker.member_vars["mode"] = "n"
    torch.manual_seed(0)
    yield
    GAR.pc.reset()
    GAR.arb_tracker.member_vars["mode"] = "n"


@pytest.fixture(scope="module")
def one_thread():
    """Tiny networks: on a busy machine, intra-op thread spin-waits dominate the arithmetic."""
    before = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(before)


# Builders shared by the test files (import them: `from conftest import p_layer`).

def record(channels=1, node=1, name="fc", dims=None, dtype=torch.float32):
    """A value record of `channels` neurons in dimension `node`; output dimensions all free
    unless `dims` is given."""
    return MAR.ValueRecord(channels, name, node, [-1] * (node + 1) if dims is None else dims, dtype=dtype)


def p_layer(layer=None, candidates=None, name="fc", num_dendrites=0):
    """(neuron module, dendrite module) of `layer` (default Linear(3, 4)) wrapped, with fresh
    candidates, the layer and the tracker in p mode; `candidates` sets the global count first."""
    if candidates is not None:
        GAR.pc.set_global_candidates(candidates)
    neuron = MAR.ARBNeuronModule(nn.Linear(3, 4) if layer is None else layer, name)
    dm = neuron.dendrite_module
    dm.num_dendrites = num_dendrites
    dm.create_candidates(neuron.main_module)
    GAR.arb_tracker.member_vars["mode"] = dm.mode = "p"
    return neuron, dm


def trainer(make, candidates=2, optimizer=None, initial_batches=None, **kwargs):
    """(network, DendriteTrainer over it): `make()` builds the network, with `candidates` slots
    per layer; `optimizer` is the factory (default Adam at 1e-2); `initial_batches` sets
    initial_correlation_batches when given. Other arguments go to the trainer."""
    GAR.pc.set_global_candidates(candidates)
    if initial_batches is not None:
        GAR.pc.set_initial_correlation_batches(initial_batches)
    net = make()
    return net, DendriteTrainer(net, optimizer or (lambda ps: torch.optim.Adam(ps, lr=1e-2)), **kwargs)
