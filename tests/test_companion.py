"""Values the companion keeps across steps: the n-mode error average, copies of records in
the middle of a step, and the memory of installed dendrite weights."""
import copy
import pickle

import pytest
import torch
from torch import nn

import arborai.globals_arborai as GAR
import arborai.modules_arborai as MAR
import arborlib.dendrite_engine as DE
from conftest import p_layer


@pytest.mark.parametrize("make, shape, node", [
    (lambda: nn.Linear(3, 4), (6, 3), 1),
    (lambda: nn.Linear(3, 4), (2, 5, 3), 2),  # a sequence: neurons are the last dimension
    (lambda: nn.Conv2d(2, 4, 3), (2, 2, 5, 5), 1),
], ids=["linear", "sequence", "conv"])
@pytest.mark.parametrize("scale", [1.0, 0.5])  # 0.5: this process's share on two processes
@pytest.mark.parametrize("dtype, strided", [(torch.float32, False), (torch.float32, True), (torch.float64, False),
                                            (torch.bfloat16, False)], ids=["f32", "strided", "f64", "bf16"])
def test_n_mode_error_average(make, shape, node, scale, dtype, strided):
    GAR.pc.set_global_candidates(2)
    n = MAR.ARBNeuronModule(make().to(dtype), "fc")
    n.error_scale = scale
    expected = torch.zeros(4, dtype=torch.float64)
    for k in range(3):
        out = n(torch.randn(shape, dtype=dtype))
        err = torch.randn(out.shape[::-1], dtype=dtype).permute(*reversed(range(out.dim()))) if strided \
            else torch.randn(out.shape, dtype=dtype)
        err = err + k  # off centre, so each batch moves the mean
        out.backward(err)
        expected = 0.99 * expected + 0.01 * scale * err.double().mean([d for d in range(err.dim()) if d != node])
    for rec in n.dendrite_module.dendrite_values:
        average = rec.normal_pass_average_d
        torch.testing.assert_close(average.double(), expected, rtol=1e-5 if dtype == torch.float64 else 1e-3,
                                   atol=1e-6)


def mid_step():
    """A p-mode layer after one candidate step, with a second output and its error queued."""
    n, dm = p_layer(candidates=2)
    n(torch.randn(5, 3)).pow(2).sum().backward()
    DE.candidate_step([dm])
    n(torch.randn(5, 3)).pow(2).sum().backward()
    return n


@pytest.mark.parametrize("copier", [copy.deepcopy, lambda m: pickle.loads(pickle.dumps(m))], ids=["deepcopy", "pickle"])
def test_copy_in_the_middle_of_a_step(copier):
    n = mid_step()
    clone = copier(n)
    dm, cp = n.dendrite_module, clone.dendrite_module
    assert len(dm.candidate_outputs) == len(dm.candidate_errors) == 1
    # The queued graphs belong to this step, and the device may not exist where the copy runs.
    assert cp.candidate_outputs == cp.candidate_errors == {}
    for rec in cp.dendrite_values:
        assert rec.dendrite_outs == rec.current_parent_d == [[]] * MAR.device_slots() and rec.device is None
    state, copied = n.state_dict(), clone.state_dict()
    assert state.keys() == copied.keys() and all(torch.equal(state[k], copied[k]) for k in state)
    assert n.dendrite_module.dendrite_values[0].initialized.item() == 1  # buffers are not all zero


@pytest.mark.parametrize("route", ["add_dendrite", "install_dendrite"])
def test_installed_weights_own_their_memory(route):
    n = MAR.ARBNeuronModule(nn.Linear(3, 4), "fc")
    dm = n.dendrite_module
    n.grow_dendrites(1)
    dm.create_candidates(n.main_module)
    source, top = torch.randn(1, 4), torch.randn(4)
    if route == "add_dendrite":
        dm.add_dendrite(nn.Linear(3, 4), source)
    else:
        with torch.no_grad():
            dm.dendrites_to_candidates[0].copy_(source)
        n.install_dendrite(0, top)
        source = dm.dendrites_to_candidates[0]
    installed = [t.detach().clone() for t in (dm.dendrites_to_dendrites[-1], n.dendrites_to_top[-1])]
    with torch.no_grad():
        source.add_(1.0)
        top.add_(1.0)
    torch.testing.assert_close(dm.dendrites_to_dendrites[-1], installed[0], rtol=0, atol=0)
    torch.testing.assert_close(n.dendrites_to_top[-1], installed[1], rtol=0, atol=0)
