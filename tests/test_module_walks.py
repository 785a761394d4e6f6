"""Whole-network walks on networks whose modules point back at an ancestor or are shared."""
import copy

import pytest
import torch
from torch import nn

import arborai.globals_arborai as GAR
import arborlib.fused_layers as FL
import arborlib.net_toolkit as NT
import arborlib.slim_restore as SR
from helpers import Holder, grow, small_net


def network(back_reference, seed=0):
    """A trained MLP whose ReLU holds the root: a plain attribute, a registered child, or none."""
    torch.manual_seed(seed)
    net, x = small_net("mlp")
    net = grow(net, x, 1)
    if back_reference == "plain":
        object.__setattr__(net[1], "owner", net)  # invisible to nn.Module.modules()
    elif back_reference == "registered":
        net[1].owner = net
    return net, x


def kinds(net):
    return sorted(type(m).__name__ for m in net.modules())


@pytest.mark.parametrize("back_reference", ["plain", "registered"])
def test_every_walk_ends_on_a_back_reference(back_reference, tmp_path, capsys):
    net, x = network(back_reference)
    plain_net, _ = network(None)
    with torch.no_grad():
        ref = net(x)

    NT.debug_print_grad_modules(net, 0, "")
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == len(set(net.modules())) and len(set(lines)) == len(lines)

    for training in (True, False):
        GAR.pc.set_count_training_params(training)
        assert NT.ab_count_params(net) == NT.ab_count_params(plain_net)

    expected = kinds(NT.clean_net(copy.deepcopy(plain_net)))
    for cleaned in (NT.clean_net(copy.deepcopy(net)), SR.refresh_net(FL.blockwise_network(copy.deepcopy(net)))):
        assert kinds(cleaned) == expected and cleaned[1].owner is cleaned
        with torch.no_grad():
            torch.testing.assert_close(cleaned(x), ref)

    if back_reference == "plain":  # torch's own state_dict recurses without end on a registered cycle
        NT.ab_save_net(net, str(tmp_path), "m")
        target = NT.clean_net(network(None, seed=1)[0])
        with torch.no_grad():
            torch.testing.assert_close(NT.load_net(target, str(tmp_path), "m_arb")(x), ref)


def test_a_shared_module_is_converted_and_wrapped_once():
    net = network(None)[0]
    root = Holder(a=net[0], b=nn.Sequential(net[0]), net=net)
    SR.refresh_net(FL.blockwise_network(root))
    assert type(root.a) is SR.ModuleType and root.b[0] is root.a and root.net[0] is root.a
