import copy

import numpy as np
import pytest
import torch
from torch import nn

import arborai.globals_arborai as GAR
import arborai.modules_arborai as AR
import arborlib.fused_layers as FL
import arborlib.slim_restore as SR
from helpers import Holder, Scale, fused, grow, small_net


def neuron(i=3, o=2):
    return AR.ARBNeuronModule(nn.Linear(i, o), "fc")


def train(kind, dendrites, seed):
    torch.manual_seed(seed)
    net, x = small_net(kind)
    return grow(net, x, dendrites), x


@pytest.fixture(scope="module")
def trained():
    cache = {}

    def get(kind, dendrites):
        if (kind, dendrites) not in cache:
            cache[kind, dendrites] = train(kind, dendrites, seed=0)
        net, x = cache[kind, dendrites]
        return copy.deepcopy(net), x

    return get


# ---------------------------------------------------------------- ARBLayer forward

def test_single_layer_block_returns_main_output_untouched():
    GAR.pc.set_arb_forward_function(lambda t: t + 100.0)
    main = nn.Linear(3, 2)
    blk = fused([main], [torch.zeros(1, 2)], [torch.zeros(0, 2)])
    del blk.skip_weights  # a lone main layer must not need the cascade weights at all
    x = torch.randn(4, 3)
    assert torch.equal(blk(x), main(x))


@pytest.mark.parametrize("shape, view", [((4, 3), (1, -1)), ((2, 3, 5, 5), (1, -1, 1, 1))])
def test_two_layer_block(shape, view):
    GAR.pc.set_arb_forward_function(torch.sigmoid)
    w = torch.tensor([[0.5, -2.0, 1.5]])
    blk = fused([Scale(2.0), Scale(-1.0)], [torch.zeros(1, 3), torch.zeros(0, 3)], [w], view)
    GAR.pc.set_arb_forward_function(torch.tanh)  # the block keeps the function it was built with
    assert torch.equal(blk.skip_weights[1][0], w[0])
    x = torch.randn(shape)
    expected = -x + w[0].view(view) * torch.sigmoid(2 * x)  # weights run along the neuron dim 1
    torch.testing.assert_close(blk(x), expected)


def test_three_layer_block_by_hand():
    GAR.pc.set_arb_forward_function(torch.tanh)  # computed by hand below
    x = torch.tensor([[1.0, 2.0], [-1.0, 0.5]])
    w10 = torch.tensor([0.3, -0.7])
    top = torch.tensor([[1.5, 0.2], [-0.4, 2.0]])
    blk = fused([Scale(2.0), Scale(-1.0), Scale(0.5)],
                [torch.zeros(1, 2), torch.zeros(0, 2), w10[None]], [top])
    assert blk.skip_weights.shape == (3, 4, 2)  # [n-1, n, size] with n = 4 packed entries
    o0 = torch.tanh(2 * x)
    o1 = torch.tanh(-x + w10 * o0)
    torch.testing.assert_close(blk(x), 0.5 * x + top[0] * o0 + top[1] * o1)


# ---------------------------------------------------------------- packing

def test_packing_copies_rows_and_pads_columns():
    d2d = [torch.tensor([[9.0, 9.0]]), torch.tensor([[1.0, 2.0, 3.0, 4.0]])]
    top = [torch.tensor([[5.0, 6.0, 7.0], [8.0, 9.0, 10.0]])]
    np.random.seed(3)
    a = fused([nn.Identity()] * 3, d2d, top).skip_weights.detach()
    np.random.seed(3)
    b = fused([nn.Identity()] * 3, d2d, top).skip_weights.detach()
    np.random.seed(4)
    c = fused([nn.Identity()] * 3, d2d, top).skip_weights.detach()
    assert a.shape == (2, 3, 4)
    assert torch.equal(a[0, 0], torch.tensor([1.0, 2.0, 3.0, 4.0]))
    assert torch.equal(a[1, :2], torch.tensor([[5.0, 6.0, 7.0, 0.0], [8.0, 9.0, 10.0, 0.0]]))
    assert torch.equal(a, b)
    assert torch.equal(a, c)  # the filler comes from a private generator: numpy's seed does not matter


def test_filler_follows_the_values_distribution():
    torch.manual_seed(1)
    values = torch.randn(1, 200) * 0.5 + 3.0
    np.random.seed(0)
    blk = fused([nn.Identity()] * 2, [values], [torch.zeros(0, 200)])
    filler = blk.skip_weights.detach()[0].double()  # both rows are filler, past the marked prefix
    v = values.double()
    assert abs(filler.mean() - v.mean()) < 5 * v.std() / 20
    assert abs(filler.std() / v.std(unbiased=False) - 1) < 0.2


@pytest.mark.parametrize("c", [1.234, -1.234])
def test_filler_prefix_carries_rounded_marker(c):
    # Constant values: std is 0, so every draw equals c and only the marker changes values.
    full = lambda rows: torch.full((rows, 30), c)
    blk = fused([nn.Identity()] * 3, [full(3), full(1)], [full(3)])
    v = blk.skip_weights.detach()[0, 1:].reshape(-1).double()  # the 60 filler values, in order
    marked = (v - torch.tensor(c, dtype=torch.float32).double()).abs() > 1e-6
    k = int(marked.long().argmin()) if not marked.all() else len(marked)
    assert 0 < k < len(v) and not marked[k:].any()
    r = round(c, 2)
    marker = (v[:k] - r) * np.sign(r)
    # two characters per value: (c0 + 1) / 1e4 + (c1 + 1) / 1e6, c printable (32..126)
    assert ((marker > 33e-4 - 1e-6) & (marker < 127e-4 + 127e-6 + 1e-6)).all()


def test_filler_without_values_fails():
    with pytest.raises(Exception, match="(?i)no values|filler"):
        fused([nn.Identity()] * 2, [torch.zeros(0, 3)], [torch.zeros(0, 3)])


def test_block_markers_and_companion_list():
    d2d = nn.ParameterList([torch.zeros(1, 2), torch.zeros(0, 2)])
    top = nn.ParameterList([torch.ones(1, 2)])
    layers = [nn.Linear(2, 2), nn.Linear(2, 2)]
    a = FL.ARBLayer(nn.Sequential(*layers), [None, None], top, d2d, torch.tensor(1), torch.tensor([1]), [1, -1])
    b = fused([nn.Identity()], [torch.zeros(1, 2)], [torch.zeros(0, 2)])
    assert len(d2d) == 2  # the companion's own list is not extended
    assert [p is q for p, q in zip(a.original, list(d2d) + [top[-1]])] == [True] * 3
    assert torch.equal(a.module_id, b.module_id)
    codes = a.module_id - 3
    assert len(codes) > 0 and ((codes >= 32) & (codes < 127)).all()
    arb = torch.tensor([ord(ch) + 3 for ch in "ARB"])
    assert all(torch.equal(layer.module_id, arb) for layer in list(a.layer_array) + list(b.layer_array))
    assert torch.equal(a.view_tuple, torch.tensor([1, -1]))


# ---------------------------------------------------------------- conversion walk

def test_top_level_neuron_module_is_not_converted():
    n = neuron()
    assert FL.blockwise_network(n) is n
    assert type(n) is AR.ARBNeuronModule and isinstance(n.main_module, nn.Linear)


def test_neuron_subclass_is_walked_not_converted():
    class Sub(AR.ARBNeuronModule):
        pass

    sub = Sub(nn.Linear(3, 2), "sub")
    sub.extra = neuron()
    root = nn.Sequential(sub)
    FL.blockwise_network(root)
    assert root[0] is sub and type(sub.extra).__name__ == "ARBLayer"


def test_walk_prints_and_self_pointers(capsys):
    GAR.pc.set_extra_verbose(True)
    GAR.pc.set_module_names_to_not_save([".fc1", ".keep"])
    fc1, kept = neuron(), neuron()
    seq = nn.Sequential(neuron())
    seq.add_module("1", seq)
    root = Holder(fc1=fc1, fc2=neuron(), keep=nn.Sequential(kept), seq=seq)
    root.me = root
    converted = []
    assert FL.optimize_module(root, 0, "", converted) is root
    assert root.fc1 is fc1 and root.keep[0] is kept and root.me is root and root.seq[1] is seq
    assert type(root.fc2).__name__ == "ARBLayer" and type(seq[0]).__name__ == "ARBLayer"
    assert ".seq" in converted and ".seq[1]" not in converted and ".me" not in converted
    assert sorted(capsys.readouterr().out.splitlines()) == sorted([
        "Skipping .fc1 during save",
        "Skipping .keep during save",
        "Sub is in conversion list so initiating optimization for: .fc2",
        ".me is a self pointer so skipping",
        "Seq sub is ARB so optimizing: .seq[0]",
        ".seq[1] is a self pointer so skipping",
    ])


@pytest.mark.parametrize("make, names, kept, converted", [
    (lambda: Holder(fc1=neuron(), box=Holder(fc=neuron()), fc2=neuron()), [".fc1", ".box"],
     ["fc1", "box.fc"], ["fc2"]),
    (lambda: nn.Sequential(Holder(fc=neuron()), Holder(fc=neuron())), ["[0].fc"], ["0.fc"], ["1.fc"]),
])
def test_names_not_to_save(make, names, kept, converted, capsys):
    GAR.pc.set_module_names_to_not_save(names)
    root = FL.blockwise_network(make())
    assert all(type(root.get_submodule(p)) is AR.ARBNeuronModule for p in kept)
    assert all(type(root.get_submodule(p)).__name__ == "ARBLayer" for p in converted)
    assert capsys.readouterr().out == ""  # extra verbose is off


def test_unwrap_params():
    lin = nn.Linear(2, 2)
    lin.weight.wrapped = True
    lin.weight.parameter_type = "neuron"
    FL.unWrap_params(lin)
    assert not hasattr(lin.weight, "wrapped") and lin.weight.parameter_type == "neuron"
    n = neuron()
    n.main_module.bias.wrapped = 1
    FL.convert_to_arb_layer_block(n)
    assert not any(hasattr(p, "wrapped") for p in n.parameters())


@pytest.mark.parametrize("mod", [FL, SR])
@pytest.mark.parametrize("key", ["weight", 0, "0"])
def test_pretrained_lookups_of_none(mod, key):
    assert mod.get_pretrained_arb_attr(None, key) is None
    assert mod.get_pretrained_arb_var(None, key) is None


def test_pretrained_lookups():
    seq = nn.Sequential(nn.Linear(2, 2), nn.Sequential(nn.ReLU(), nn.Tanh()))
    assert FL.get_pretrained_arb_attr(seq[0], "weight") is seq[0].weight
    assert FL.get_pretrained_arb_var(seq, 1) is seq[1]  # subscript
    assert SR.get_pretrained_arb_var(seq, "1.0") is seq[1][0]  # dotted submodule path


# ---------------------------------------------------------------- trained networks

@pytest.mark.parametrize("kind", ["mlp", "cnn"])
@pytest.mark.parametrize("dendrites", [1, 3])
def test_trained_network_conversion(trained, kind, dendrites):
    net, x = trained(kind, dendrites)
    with torch.no_grad():
        ref = net(x)
    assert FL.blockwise_network(net) is net
    blocks = [m for m in net.modules() if type(m).__name__ == "ARBLayer"]
    assert len(blocks) == 2 and not any(isinstance(m, AR.ARBNeuronModule) for m in net.modules())
    for blk in blocks:
        assert len(blk.layer_array) == dendrites + 1
        assert blk.skip_weights.shape[:2] == (dendrites + 1, dendrites + 2)
        assert blk.view_tuple.tolist() == ([1, -1] if kind == "mlp" else [1, -1, 1, 1])
    with torch.no_grad():
        torch.testing.assert_close(net(x), ref, atol=1e-5, rtol=0)


class DProc:
    def __init__(self, k):
        self.k = k

    def pre_d(self, x):
        return (x * self.k,), {}

    def post_d(self, out):
        return out + self.k


class NProc:
    def post_n1(self, out):
        return out * 3

    def post_n2(self, out):
        return out - 0.5


def test_processors_are_rebound_and_applied(trained):
    net, x = trained("mlp", 3)
    n = net[0]
    dm = n.dendrite_module
    dm.processors = [DProc(2.0), None, DProc(-1.0)]
    n.processor = NProc()
    with torch.no_grad():
        outs = []
        for k, layer in enumerate(dm.layers):
            p = dm.processors[k]
            r = layer(x) if p is None else p.post_d(layer(x * p.k))
            for j in range(k):
                r = r + dm.dendrites_to_dendrites[k + 1][j] * outs[j]
            outs.append(GAR.pc.get_arb_forward_function()(r))
        expected = n.main_module(x) * 3
        for j, o in enumerate(outs):
            expected = expected + n.dendrites_to_top[-1][j] * o
        expected = expected - 0.5
    blk = FL.convert_to_arb_layer_block(n)
    assert blk.processor_array[0] is dm.processors[0] and blk.processor_array[1] is None
    assert blk.processor_array[3] is n.processor
    assert dm.processors[0].pre == dm.processors[0].pre_d and dm.processors[2].post == dm.processors[2].post_d
    assert n.processor.pre == n.processor.post_n1 and n.processor.post == n.processor.post_n2
    with torch.no_grad():
        torch.testing.assert_close(blk(x), expected, atol=1e-5, rtol=0)


def test_shared_processor_ends_with_last_binding(trained):
    net, _ = trained("mlp", 1)
    class Both(DProc, NProc):
        pass
    shared = Both(1.0)
    net[0].dendrite_module.processors = [shared]
    net[0].processor = shared
    FL.convert_to_arb_layer_block(net[0])
    assert shared.pre == shared.post_n1 and shared.post == shared.post_n2


def test_linear_on_sequences_uses_the_last_dimension():
    # T == F, so a cascade weight viewed on the wrong dimension would broadcast silently.
    torch.manual_seed(3)
    net = nn.Sequential(nn.Linear(5, 5), nn.ReLU(), nn.Linear(5, 3))
    x = torch.randn(4, 5, 5)
    grow(net, x, 2)
    first = net[0]
    assert int(first.this_node_index) == 2
    assert first.dendrite_module.dendrite_values[0].this_output_dimensions == [-1, -1, 5]
    with torch.no_grad():
        d = first.dendrite_module.installed_outputs([1, 1, -1], x)
        expected = first.main_module(x) + sum(first.dendrites_to_top[-1][k] * d[k] for k in range(2))
        torch.testing.assert_close(first(x), expected)
        torch.testing.assert_close(FL.blockwise_network(copy.deepcopy(net))(x), net(x), rtol=0, atol=1e-5)
