import copy
import io
import types

import pytest
import torch
from torch import nn

import arborai.globals_arborai as GAR
import arborlib.fused_layers as FL
import arborlib.slim_restore as SR
from helpers import Holder, Scale, fused, grow, small_net


@pytest.fixture(autouse=True)
def restore_threading():
    saved = SR.doing_threading
    yield
    SR.doing_threading = saved


class Boom(nn.Module):
    def forward(self, x):
        raise ValueError("boom in a layer")


W10 = torch.tensor([0.3, -0.7])
TOP = torch.tensor([[1.5, 0.2], [-0.4, 2.0]])


def three(layers=None, procs=None, view=(1, -1)):
    layers = layers or [Scale(2.0), Scale(-1.0), Scale(0.5)]
    return fused(layers, [torch.zeros(1, 2), torch.zeros(0, 2), W10[None]], [TOP], view, procs)


def one(procs=None):
    return fused([nn.Linear(3, 2)], [torch.zeros(1, 2)], [torch.zeros(0, 2)], procs=procs)


def is_block(m):
    return type(m).__name__ == "ARBLayer"


def test_module_level_names():
    assert SR.ModuleType is SR.ARBModulePyThread
    assert SR.doing_threading is False and SR.loaded_full_print is False


# ---------------------------------------------------------------- wrapper

@pytest.mark.parametrize("threading", [False, True])
def test_single_layer_wrapper(threading):
    SR.doing_threading = threading
    blk = one()
    assert blk.skip_weights.shape[0] == 1
    w = SR.make_module(blk)
    assert not hasattr(w, "skip_weights")  # one packed entry: nothing to combine
    x = torch.randn(4, 3)
    with torch.no_grad():
        assert torch.equal(w(x), blk.layer_array[0](x))


@pytest.mark.parametrize("threading", [False, True])
def test_single_layer_wrapper_applies_main_processor(threading):
    SR.doing_threading = threading
    proc = types.SimpleNamespace(pre=lambda o: o * 3, post=lambda o: o + 1)
    blk = one([proc])
    x = torch.randn(4, 3)
    with torch.no_grad():
        expected = blk.layer_array[0](x) * 3 + 1
        torch.testing.assert_close(SR.make_module(blk)(x), expected)
        torch.testing.assert_close(blk(x), expected)


@pytest.mark.parametrize("threading", [False, True])
@pytest.mark.parametrize("shape, view", [((2, 2), (1, -1)), ((3, 2, 4, 5), (1, -1, 1, 1))])
def test_three_layer_wrapper_by_hand(threading, shape, view):
    GAR.pc.set_arb_forward_function(torch.tanh)  # computed by hand below
    blk = three(view=view)
    w = SR.make_module(blk)
    SR.doing_threading = threading
    GAR.pc.set_arb_forward_function(torch.sigmoid)  # the wrapper fetches the function at every use
    x = torch.randn(shape)
    v = lambda t: t.view(view)
    p0 = torch.sigmoid(2 * x)
    p1 = torch.sigmoid(-x + v(W10) * p0)
    torch.testing.assert_close(w(x), 0.5 * x + v(TOP[0]) * p0 + v(TOP[1]) * p1)
    GAR.pc.set_arb_forward_function(torch.tanh)
    torch.testing.assert_close(w(x), blk(x))  # both forms agree under the same function


def test_wrapper_shares_layers_and_copies_ids():
    blk = three()
    w = SR.make_module(blk)
    assert w.layer_array is blk.layer_array and w.processor_array is blk.processor_array
    assert w.num_cycles is blk.num_cycles and w.view_tuple is blk.view_tuple
    for name in ("node_index", "module_id"):
        mine, theirs = getattr(w, name), getattr(blk, name)
        assert torch.equal(mine, theirs) and mine.data_ptr() != theirs.data_ptr()
    saved = w.module_id.clone()
    blk.module_id.add_(1)
    assert torch.equal(w.module_id, saved)
    assert isinstance(w.skip_weights, nn.Parameter) and torch.equal(w.skip_weights, blk.skip_weights[1:])
    assert {"node_index", "module_id", "num_cycles", "view_tuple", "skip_weights"} <= set(w.state_dict())


class Proc:
    def __init__(self, k, main=False):
        self.k = k
        if main:
            self.pre, self.post = (lambda o: o * k), (lambda o: o - k)
        else:
            self.pre, self.post = (lambda x: ((x * k,), {})), (lambda o: o + k)


@pytest.mark.parametrize("threading", [False, True])
def test_processors_give_equal_outputs_in_both_forms(threading):
    GAR.pc.set_arb_forward_function(torch.tanh)  # computed by hand below
    SR.doing_threading = threading
    blk = three(procs=[Proc(2.0), None, Proc(3.0, main=True)])
    x = torch.randn(3, 2)
    p0 = torch.tanh(2 * (2 * x) + 2)
    p1 = torch.tanh(-x + W10 * p0)
    expected = 3 * (0.5 * x) + TOP[0] * p0 + TOP[1] * p1 - 3
    torch.testing.assert_close(blk(x), expected)
    torch.testing.assert_close(SR.make_module(blk)(x), expected)


@pytest.mark.parametrize("threading", [False, True])
@pytest.mark.parametrize("bad", [0, 1, 2])
def test_failing_layer_raises_from_forward(threading, bad):
    SR.doing_threading = threading
    layers = [Scale(2.0), Scale(-1.0), Scale(0.5)]
    layers[bad] = Boom()
    w = SR.make_module(three(layers))
    with pytest.raises(ValueError, match="^boom in a layer$"):
        w(torch.randn(2, 2))


@pytest.mark.parametrize("wrapper", [False, True])
def test_empty_layer_array_is_the_same_value_error_in_both_forms(wrapper):
    blk = one()
    blk.layer_array = nn.Sequential()
    form = SR.make_module(blk) if wrapper else blk
    owner = "ARBModulePyThread" if wrapper else "ARBLayer"
    with pytest.raises(ValueError, match=f"^{owner}: layer_array is empty"):
        form(torch.randn(4, 3))


def test_threaded_error_keeps_its_workers_traceback():
    SR.doing_threading = True
    with pytest.raises(ValueError) as info:
        SR.make_module(three([Scale(2.0), Boom(), Scale(0.5)]))(torch.randn(2, 2))
    assert 'raise ValueError("boom in a layer")' in [str(entry.statement).strip() for entry in info.traceback]


class GradProbe(nn.Linear):
    def forward(self, x):
        self.grad_seen = torch.is_grad_enabled()
        return super().forward(x)


@pytest.mark.parametrize("grad", [False, True])
def test_threads_follow_callers_grad_mode(grad):
    SR.doing_threading = True
    layers = [GradProbe(2, 2) for _ in range(3)]
    w = SR.make_module(three(layers))
    with torch.set_grad_enabled(grad):
        out = w(torch.randn(4, 2))
    assert out.requires_grad == grad and [layer.grad_seen for layer in layers] == [grad] * 3


# ---------------------------------------------------------------- rebuild walk

def test_root_block_gives_new_wrapper():
    blk = three()
    w = SR.refresh_net(blk)
    assert type(w) is SR.ModuleType and w.layer_array is blk.layer_array


def test_sequential_root_paths(capsys):
    first, last = nn.Linear(2, 2), nn.ReLU()
    root = nn.Sequential(first, three(), last)
    converted = []
    assert SR.refresh_arb(root, 0, "", converted) is root
    assert len(root) == 3 and root[0] is first and root[2] is last and type(root[1]) is SR.ModuleType
    assert [p for p in converted if p.count("[") == 1 and "." not in p] == ["[0]", "[1]", "[2]"]
    assert "[1].layer_array" in converted  # the block itself was walked before being wrapped
    assert capsys.readouterr().out == ""  # extra verbose is off


def test_self_reference_is_listed_not_entered():
    h = Holder(blk=three())
    h.me = h
    converted = []
    assert SR.refresh_arb(h, 0, "", converted) is h
    assert ".me" in converted and not any(p.startswith(".me.") for p in converted)
    assert h.me is h and type(h.blk) is SR.ModuleType


def test_back_reference_to_the_block_is_not_wrapped_twice():
    blk = three()
    inner = blk.layer_array[0]
    inner.__dict__["owner"] = blk  # a plain attribute, not a child
    net = SR.refresh_net(nn.Sequential(blk))
    assert type(net[0]) is SR.ModuleType and inner.owner in (blk, net[0])


@pytest.mark.parametrize("threading", [False, True])
def test_wrapper_runs_the_main_layer_without_its_hooks(threading):
    SR.doing_threading = threading
    blk, x = three(), torch.randn(4, 2)
    for layer in blk.layer_array:
        layer.register_forward_hook(lambda m, i, out: out + 1)
    # Dendrite hooks run in both forms, the main layer's (+1 on the output) only in the block.
    torch.testing.assert_close(SR.make_module(blk)(x) + 1, blk(x))


def test_existing_wrappers_are_left_alone(capsys):
    net = SR.refresh_net(nn.Sequential(three(), nn.ReLU(), three()))
    wrappers = [net[0], net[2]]
    GAR.pc.set_extra_verbose(True)
    assert SR.refresh_net(net) is net
    assert [net[0], net[2]] == wrappers
    out = capsys.readouterr().out
    dup = ("this is only being called because something in your model is pointed to twice by two "
           "different variables.  Highest thing on the list is one of the duplicates")
    assert out.count(dup) == 2
    assert "SR calling convert on : Sequential, depth 0" in out.splitlines()
    assert "SR calling convert on [2]: ARBModulePyThread, depth 1" in out.splitlines()


@pytest.mark.parametrize("names, start", [([".a", ".box"], []), ([], [".a", ".box"])])
def test_skipped_members_neither_entered_nor_wrapped(names, start, capsys):
    GAR.pc.set_module_names_to_not_save(names)
    a, inner = three(), three()
    h = Holder(a=a, box=Holder(inner=inner), b=three())
    h.device, h.dtype = three(), three()  # never entered, whatever they hold
    dev, dt = h.device, h.dtype
    GAR.pc.set_extra_verbose(bool(start))
    SR.refresh_arb(h, 0, "", list(start))
    assert h.a is a and h.box.inner is inner and h.device is dev and h.dtype is dt
    assert type(h.b) is SR.ModuleType
    lines = capsys.readouterr().out.splitlines()
    # paths already converted at the root are reported; configured names are skipped silently
    assert ("Skipping .a during save" in lines) == bool(start)


def test_modules_to_track_exact_classes():
    class Tracked(Holder):
        pass

    class SubTracked(Tracked):
        pass

    GAR.pc.set_modules_to_track([Tracked])
    t, s = Tracked(blk=three()), SubTracked(blk=three())
    tracked_blk = t.blk
    assert SR.refresh_net(t) is t
    root = SR.refresh_net(nn.Sequential(t, s))
    assert root[0] is t and t.blk is tracked_blk  # returned unchanged, not entered
    assert type(s.blk) is SR.ModuleType  # a subclass is walked as usual


# ---------------------------------------------------------------- trained networks

def train(kind, dendrites, seed):
    torch.manual_seed(seed)
    net, x = small_net(kind)
    return grow(net, x, dendrites), x


@pytest.fixture(scope="module", params=[("mlp", 2), ("cnn", 2), ("cnn", 3)], ids=lambda p: f"{p[0]}-{p[1]}")
def cleaned(request):
    net, x = train(*request.param, seed=1)
    with torch.no_grad():
        ref = net(x)
    fused_net = FL.blockwise_network(copy.deepcopy(net))
    blocks = [fused_net[0], fused_net[2]]
    return SR.refresh_net(copy.deepcopy(fused_net)), x, ref, blocks


@pytest.mark.parametrize("threading", [False, True])
def test_trained_network_end_to_end(cleaned, threading):
    net, x, ref, _ = cleaned
    assert not any(is_block(m) for m in net.modules())
    assert type(net[0]) is SR.ModuleType and type(net[2]) is SR.ModuleType
    SR.doing_threading = threading
    with torch.no_grad():
        torch.testing.assert_close(net(x), ref, atol=1e-5, rtol=0)


def test_skip_weights_travel_with_the_network(cleaned):
    net, x, ref, blocks = cleaned
    for i, blk in zip((0, 2), blocks):
        assert torch.equal(net[i].skip_weights, blk.skip_weights[1:])
        assert f"{i}.skip_weights" in net.state_dict()
        assert any(p is net[i].skip_weights for p in net.parameters())
    buf = io.BytesIO()
    torch.save(net, buf)
    buf.seek(0)
    copies = [copy.deepcopy(net), torch.load(buf, weights_only=False)]
    with torch.no_grad():
        for c in copies:
            torch.testing.assert_close(c(x), ref, atol=1e-5, rtol=0)
        changed = copies[0]
        changed[2].skip_weights.add_(1.0)
        assert not torch.allclose(changed(x), ref, atol=1e-3)
        changed.load_state_dict(net.state_dict())  # the checkpoint restores the cascade
        torch.testing.assert_close(changed(x), ref, atol=1e-5, rtol=0)
