import pickle

import pytest
import torch

import arborai.globals_arborai as GAR
import arborlib.dendrite_engine as DE
from conftest import p_layer

CPU = torch.device("cpu")
META = torch.device("meta")  # a second device that needs no accelerator


def leaf(*shape, device=CPU):
    return torch.randn(*shape, device=device, requires_grad=True)


def assert_killed(copy, src):
    assert copy is not src
    assert not copy.requires_grad and copy.grad_fn is None
    assert copy.dtype == src.dtype and copy.shape == src.shape and copy.device == src.device
    if src.device == CPU:
        assert torch.equal(copy, src.detach())
        assert copy.untyped_storage().data_ptr() != src.untyped_storage().data_ptr()


@pytest.mark.parametrize("device, dtype", [(CPU, torch.float32), (CPU, torch.float64), (META, torch.float16)])
def test_tensor_is_killed(device, dtype):
    t = torch.randn(3, 2, dtype=dtype, device=device, requires_grad=True)
    out, found = DE.killer_recursive(t, True)
    assert_killed(out, t)
    assert found == device


@pytest.mark.parametrize(
    "wrap, get",
    [(lambda t: t, lambda o: o), (lambda t: [t], lambda o: o[0]),
     (lambda t: {"a": t}, lambda o: o["a"]), (lambda t: ([t], 1), lambda o: o[0][0])],
)
def test_not_killing_keeps_every_tensor(wrap, get):
    t = leaf(2)
    out, device = DE.killer_recursive(wrap(t), False)
    assert get(out) is t and device == CPU


def test_list_is_changed_in_place():
    a = leaf(2)
    items = [a, None, 3]
    out, device = DE.killer_recursive(items, True)
    assert out is items
    assert_killed(items[0], a)
    assert items[1:] == [None, 3]
    assert device == CPU


def test_tuple_is_rebuilt_but_nested_list_is_changed_in_place():
    a, b = leaf(2), leaf(3)
    inner = [b, "s"]
    tup = (a, inner, 7)
    out, device = DE.killer_recursive(tup, True)
    assert type(out) is tuple and out is not tup
    assert tup[0] is a and tup[1] is inner  # the input tuple is untouched
    assert_killed(out[0], a)
    assert out[1] is inner and out[2] == 7
    assert_killed(inner[0], b)
    assert device == CPU


def test_dict_is_changed_in_place_in_key_order():
    a, b = leaf(2), leaf(2, device=META)
    d = {"x": a, "y": 1, "z": b}
    out, device = DE.killer_recursive(d, True)
    assert out is d and list(d) == ["x", "y", "z"]
    assert_killed(d["x"], a)
    assert_killed(d["z"], b)
    assert d["y"] == 1
    assert device == META  # last tensor in key order


@pytest.mark.parametrize("val", [[], (), {}, "text", None, 3.5, object()])
def test_values_without_tensors_have_no_device(val):
    out, device = DE.killer_recursive(val, True)
    assert out is val
    assert device is None


class MyList(list):
    pass


class MyDict(dict):
    pass


@pytest.mark.parametrize("cls", [MyList, MyDict])
def test_container_subclasses_are_not_entered(cls):
    t = leaf(2)
    val = cls([t]) if cls is MyList else cls(k=t)
    out, device = DE.killer_recursive(val, True)
    assert out is val and device is None
    assert next(iter(val.values() if cls is MyDict else val)) is t


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: [leaf(1), leaf(1, device=META)], META),
        (lambda: [leaf(1, device=META), leaf(1)], CPU),
        (lambda: [leaf(1), None], CPU),
        # Later containers without tensors must not reset the device found earlier.
        (lambda: [leaf(1, device=META), [], (), {}, ["a", None], {"k": 1}], META),
        (lambda: [[leaf(1)], ({"k": leaf(1, device=META)},), [5]], META),
        (lambda: {"a": (leaf(1, device=META),), "b": [leaf(1)], "c": {}}, CPU),
    ],
)
def test_last_found_device_wins(make, expected):
    _, device = DE.killer_recursive(make(), True)
    assert device == expected


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs CUDA")
def test_cpu_then_cuda_reports_cuda():
    a, b = leaf(2), torch.ones(2, device="cuda:0", requires_grad=True)
    out, device = DE.killer_recursive([a, b], True)
    assert device == torch.device("cuda", 0)
    assert_killed(out[1].cpu(), b.detach().cpu())


@pytest.mark.parametrize("upstream", [1.0, float("inf"), float("nan")])
def test_grad_killer_gives_exact_zero_gradient(upstream):
    x = torch.randn(4, requires_grad=True)
    y = DE.grad_killer(x)
    assert torch.equal(y, x.detach())
    y.backward(torch.full_like(y, upstream))
    assert x.grad is not None
    assert torch.equal(x.grad, torch.zeros(4))


def test_killer_class():
    assert issubclass(DE.Killer, torch.autograd.Function)
    assert DE.Killer.__module__ == "arborlib.dendrite_engine"
    assert pickle.loads(pickle.dumps(DE.Killer)) is DE.Killer
    x = torch.randn(2)
    assert DE.Killer.forward(None, x) is x
    g = torch.tensor([[1.0, float("inf")], [float("nan"), -2.0]])
    back = DE.Killer.backward(None, g)
    assert torch.equal(back, torch.zeros(2, 2)) and back.shape == g.shape


@pytest.mark.parametrize("graph_mode", [True, False])
def test_preprocess_ab_follows_dendrite_graph_mode(graph_mode):
    GAR.pc.set_dendrite_graph_mode(graph_mode)
    GAR.pc.set_candidate_graph_mode(not graph_mode)  # must not be the one consulted
    a, b, inner = leaf(2), leaf(3), [leaf(1)]
    inner0 = inner[0]
    args2, kwargs2 = DE.preprocess_ab(a, inner, 4, key=b, other="x")
    assert type(args2) is tuple and type(kwargs2) is dict
    assert args2[1] is inner and args2[2] == 4 and kwargs2["other"] == "x"
    for got, src in [(args2[0], a), (kwargs2["key"], b), (inner[0], inner0)]:
        if graph_mode:
            assert_killed(got, src)
        else:
            assert got is src


def test_preprocess_ab_reads_the_setting_for_args_and_kwargs(monkeypatch):
    answers = iter([True, False])
    monkeypatch.setattr(GAR.pc, "get_dendrite_graph_mode", lambda: next(answers))
    a, b = leaf(2), leaf(2)
    args2, kwargs2 = DE.preprocess_ab(a, k=b)
    assert args2[0] is not a and not args2[0].requires_grad
    assert kwargs2["k"] is b



def holds_itself(kind):
    """A list or dict that holds itself, directly or through a tuple and a dict."""
    val = {"t": leaf(1)} if kind == "dict" else [leaf(1)]
    if kind == "dict":
        val["me"] = val
    else:
        val.append(val if kind == "list" else ({"back": val},))
    return val


def nested(depth, wrap):
    val = leaf(1)
    for _ in range(depth):
        val = wrap(val)
    return val


CALLS = {
    "killer_recursive": lambda val: DE.killer_recursive(val, True),
    "preprocess_ab_args": lambda val: DE.preprocess_ab(torch.ones(1), val),
    "preprocess_ab_kwargs": lambda val: DE.preprocess_ab(x=val),
    "forward_candidates": lambda val: DE.forward_candidates(p_layer()[1], [1, -1], [], val),
}


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("make, error", [
    (lambda: holds_itself("list"), ValueError),
    (lambda: holds_itself("dict"), ValueError),
    (lambda: holds_itself("tuple"), ValueError),
    (lambda: nested(50_000, lambda v: [v]), RecursionError),
    (lambda: nested(50_000, lambda v: {"k": v}), RecursionError),
], ids=["list", "dict", "through_tuple", "deep_list", "deep_dict"])
def test_cyclic_or_deep_arguments_raise_instead_of_crashing(call, make, error):
    with pytest.raises(error, match="contains itself|recursion"):
        CALLS[call](make())


def test_shared_containers_are_not_cycles():
    inner = [leaf(1)]
    out, device = DE.killer_recursive([inner, (inner,), {"k": inner}], True)
    assert device == CPU and out[0] is inner and not inner[0].requires_grad
