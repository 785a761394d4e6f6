import collections
import copy
import os
import warnings

import numpy as np
import pytest
import safetensors.torch
import torch
from safetensors import safe_open
from torch import nn

import arborai.globals_arborai as GAR
import arborai.utils_arborai as UAR
import arborlib.net_toolkit as NT
from helpers import grow

FALLBACK = "Detected shared-memory tensors while saving _arb checkpoint; falling back to weight-tying-aware save."
# form -> (using_safe_tensors, weight_tying_experimental)
FORMS = {"safetensors": (True, False), "weight_tying": (True, True), "whole_module": (False, False)}
X = torch.randn(16, 6, generator=torch.Generator().manual_seed(7))


def use_form(form):
    safe, tying = FORMS[form]
    GAR.pc.set_using_safe_tensors(safe)
    GAR.pc.set_weight_tying_experimental(tying)


def mlp(width=8):
    return nn.Sequential(nn.Linear(6, width), nn.ReLU(), nn.Linear(width, 3))


def tied_mlp():
    net = nn.Sequential(nn.Linear(6, 6), nn.ReLU(), nn.Linear(6, 6))
    net[2].weight = net[0].weight
    return net


class TiedPair(nn.Module):
    """A wrapped layer, then an unwrapped pair of layers sharing one weight."""

    def __init__(self):
        super().__init__()
        self.body, self.a, self.b = nn.Linear(6, 6), nn.Linear(6, 6), nn.Linear(6, 6)
        self.b.weight = self.a.weight

    def forward(self, x):
        return self.b(torch.relu(self.a(torch.relu(self.body(x)))))


def trained(make=mlp, seed=0, dendrites=2, **wrap):
    """A network trained through the companion with `dendrites` dendrites per wrapped layer."""
    torch.manual_seed(seed)
    return grow(make(), X, dendrites, **wrap)


def target(make=mlp, **kwargs):
    """A cleaned network of the same structure but other weights, to load into."""
    return NT.clean_net(trained(make, seed=1, **kwargs)).eval()


def snapshot(net):
    return {k: v.detach().clone() for k, v in net.state_dict().items()}


def same_state(a, b):
    return a.keys() == b.keys() and all(torch.equal(a[k], b[k]) for k in a)


def out(net):
    with torch.no_grad():
        return net(X)


def metadata(path):
    with safe_open(str(path), framework="pt") as f:
        return f.metadata() or {}


# ---------------------------------------------------------------- saving and loading


@pytest.mark.parametrize("form", FORMS)
def test_round_trip_into_another_network(form, tmp_path):
    use_form(form)
    net = trained()
    ref = out(net)
    folder = tmp_path / "a" / "b" / "c"  # no level exists yet
    NT.ab_save_net(net, str(folder), "m")
    path = folder / "m_arb.pt"
    assert os.listdir(folder) == ["m_arb.pt"]

    if form == "whole_module":
        saved = torch.load(path, weights_only=False)
        assert not hasattr(saved, "tracker_string")
        assert saved.state_dict().keys() == NT.clean_net(copy.deepcopy(net)).state_dict().keys()
    else:
        assert ("weight_tying" in metadata(path)) == (form == "weight_tying")

    tgt = target()
    assert not torch.allclose(out(tgt), ref)
    filters = list(warnings.filters)
    loaded = NT.load_net(net=tgt, folder=str(folder), name="m_arb")
    assert list(warnings.filters) == filters
    assert loaded is tgt
    torch.testing.assert_close(out(loaded), ref)


@pytest.mark.parametrize("form", FORMS)
def test_saving_leaves_the_callers_network_alone(form, tmp_path):
    use_form(form)
    net = trained()
    state, tracker = snapshot(net), net.tracker_string
    storage = [p.data_ptr() for p in net.parameters()]
    types = [type(m) for m in net.modules()]
    NT.ab_save_net(net, str(tmp_path), "m")
    assert same_state(state, snapshot(net))
    assert [p.data_ptr() for p in net.parameters()] == storage
    assert [type(m) for m in net.modules()] == types
    assert net.tracker_string == tracker


@pytest.mark.parametrize("form", FORMS)
def test_network_without_tracker_string_saves(form, tmp_path):
    use_form(form)
    net = trained()
    del net.tracker_string
    NT.ab_save_net(net, str(tmp_path), "m")
    assert not hasattr(net, "tracker_string")
    torch.testing.assert_close(out(NT.load_net(target(), str(tmp_path), "m_arb")), out(net))


@pytest.mark.parametrize("rank, written", [(None, True), ("0", True), ("1", False), ("3", False)])
def test_only_rank_zero_saves(rank, written, tmp_path, monkeypatch):
    if rank is None:
        monkeypatch.delenv("RANK", raising=False)
    else:
        monkeypatch.setenv("RANK", rank)
    folder = tmp_path / "out"
    NT.ab_save_net(trained(), str(folder), "m")
    assert folder.exists() == written
    assert (folder / "m_arb.pt").is_file() == written


@pytest.mark.parametrize("rank", ["abc", "1.5", ""])
def test_non_integer_rank_raises(rank, tmp_path, monkeypatch):
    monkeypatch.setenv("RANK", rank)
    with pytest.raises(ValueError):
        NT.ab_save_net(trained(), str(tmp_path / "out"), "m")
    assert not (tmp_path / "out").exists()


WRITERS = {"safetensors": (safetensors.torch, "save_file"),
           "weight_tying": (UAR, "save_model_with_weight_tying"),
           "whole_module": (torch, "save")}


@pytest.mark.parametrize("earlier", [True, False])
@pytest.mark.parametrize("form", FORMS)
def test_failed_save_keeps_earlier_checkpoint(form, earlier, tmp_path, monkeypatch):
    use_form(form)
    if earlier:
        NT.ab_save_net(trained(), str(tmp_path), "m")
    good = (tmp_path / "m_arb.pt").read_bytes() if earlier else None

    def half_written(obj, path, *args, **kwargs):
        with open(path, "wb") as f:
            f.write(b"half a checkpoint")
        raise OSError("disk full")

    monkeypatch.setattr(*WRITERS[form], half_written)
    with pytest.raises(OSError, match="disk full"):
        NT.ab_save_net(trained(seed=1), str(tmp_path), "m")
    assert os.listdir(tmp_path) == (["m_arb.pt"] if earlier else [])
    if earlier:
        assert (tmp_path / "m_arb.pt").read_bytes() == good


@pytest.mark.parametrize("make, wrap", [(tied_mlp, {}), (TiedPair, {"include": ["body"]})], ids=["wrapped", "unwrapped"])
def test_tied_weights_fall_back_to_weight_tying_save(make, wrap, tmp_path, capsys):
    net = trained(make, **wrap)  # defaults: safetensors on, weight tying off
    capsys.readouterr()
    NT.ab_save_net(net, str(tmp_path), "m")
    assert capsys.readouterr().out.count(FALLBACK) == 1
    assert os.listdir(tmp_path) == ["m_arb.pt"]
    assert "weight_tying" in metadata(tmp_path / "m_arb.pt")
    torch.testing.assert_close(out(NT.load_net(target(make, **wrap), str(tmp_path), "m_arb")), out(net))


@pytest.mark.parametrize("error", [RuntimeError("disk full"), ValueError("Some tensors share memory")])
def test_other_save_errors_do_not_fall_back(error, tmp_path, monkeypatch, capsys):
    def failing(*args, **kwargs):
        raise error

    tied_saves = []
    monkeypatch.setattr(safetensors.torch, "save_file", failing)
    monkeypatch.setattr(UAR, "save_model_with_weight_tying", lambda *a: tied_saves.append(a))
    with pytest.raises(type(error), match=str(error)):
        NT.ab_save_net(trained(), str(tmp_path), "m")
    assert tied_saves == [] and FALLBACK not in capsys.readouterr().out


@pytest.mark.parametrize("meta, tied_load", [(None, False), ({"format": "pt"}, False), ({"weight_tying": "{}"}, True)])
def test_metadata_decides_the_safetensors_load(meta, tied_load, tmp_path, monkeypatch):
    net = trained()
    state = {k: v.contiguous() for k, v in NT.clean_net(copy.deepcopy(net)).state_dict().items()}
    safetensors.torch.save_file(state, str(tmp_path / "m.pt"), metadata=meta)
    calls = []
    real = UAR.load_model_with_weight_tying
    monkeypatch.setattr(UAR, "load_model_with_weight_tying", lambda *a: calls.append(a) or real(*a))
    torch.testing.assert_close(out(NT.load_net(target(), str(tmp_path), "m")), out(net))
    assert bool(calls) == tied_load


def bad_checkpoint(kind, form, folder):
    """Writes folder/bad_arb.pt, a checkpoint that load_net in `form` must reject."""
    path = folder / "bad_arb.pt"
    use_form(form)
    if kind == "missing":
        return path
    if kind == "garbage":
        path.write_bytes(b"\x00\x01 not a checkpoint at all")
        return path
    if kind == "payload":
        torch.save(nn.Sequential(nn.Linear(6, 8), Payload()), path)
        return path
    writer = {"foreign": "safetensors" if form == "whole_module" else "whole_module",
              "wider_tied": "weight_tying"}.get(kind, form)
    use_form(writer)
    net = {"wider": lambda: trained(lambda: mlp(9)), "wider_tied": lambda: trained(lambda: mlp(9)),
           "more_dendrites": lambda: trained(dendrites=3), "own_class": lambda: trained(Noted)}.get(kind, trained)()
    NT.ab_save_net(net, str(folder), "bad")
    use_form(form)
    if kind == "truncated":
        data = path.read_bytes()
        path.write_bytes(data[: len(data) // 2])
    return path


def check_rejected(form, kind, folder):
    path = bad_checkpoint(kind, form, folder)
    tgt = target()
    state, filters = snapshot(tgt), list(warnings.filters)
    with pytest.raises(FileNotFoundError if kind == "missing" else ValueError) as info:
        NT.load_net(tgt, str(folder), "bad_arb")
    assert str(path) in str(info.value)
    cause = info.value.__cause__  # the reader's own error stays in the message:
    assert cause is None or type(cause).__name__ in str(info.value)
    assert RAN == [] and f"{__name__}.{'payload' if kind == 'payload' else 'Noted'}, " in str(info.value) or \
        kind not in ("payload", "own_class")  # nothing of the file ran; the message names what to trust
    assert list(warnings.filters) == filters
    assert same_state(state, snapshot(tgt))


BAD = ["garbage", "truncated", "foreign", "wider", "more_dendrites"]
RAN = []


def payload():
    RAN.append("payload")
    return nn.ReLU()


class Payload(nn.Module):
    __reduce__ = lambda self: (payload, ())  # noqa: E731


@pytest.mark.parametrize("form, kind", [(f, k) for f in ("safetensors", "whole_module") for k in ["missing"] + BAD]
                         + [("weight_tying", "missing"), ("whole_module", "payload"), ("whole_module", "own_class")])
def test_rejected_checkpoint_names_the_file_and_leaves_network_unchanged(form, kind, tmp_path):
    check_rejected(form, kind, tmp_path)


@pytest.mark.parametrize("form, kind", [("weight_tying", k) for k in BAD] + [("safetensors", "wider_tied")])
def test_rejected_weight_tying_checkpoint_leaves_network_unchanged(form, kind, tmp_path):
    check_rejected(form, kind, tmp_path)


def test_tied_file_that_does_not_fit_reports_its_own_mismatch(tmp_path):
    use_form("safetensors")  # a tied network is still written in the weight-tying form
    NT.ab_save_net(trained(TiedPair, include=["body"]), str(tmp_path), "t")
    tgt = target(TiedPair, include=["body"])
    tgt.register_buffer("extra", torch.zeros(1))
    with pytest.raises(ValueError) as info:
        NT.load_net(tgt, str(tmp_path), "t_arb")
    assert "extra" in str(info.value) and "b.weight" not in str(info.value)  # the tied-away key is not "missing"


class Interrupting(nn.Module):
    @property
    def probe(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize("where", ["load", "walk"])
def test_interrupts_pass_through_unchanged(where, tmp_path, monkeypatch):
    use_form("safetensors")
    net = trained()
    NT.ab_save_net(net, str(tmp_path), "m")
    if where == "load":
        monkeypatch.setattr(safetensors.torch, "load_file", lambda *a, **k: Interrupting().probe)
    else:
        net.extra = Interrupting()  # an ordinary error reading a member would only skip it
    with pytest.raises(KeyboardInterrupt):
        NT.load_net(target(), str(tmp_path), "m_arb") if where == "load" else NT.clean_net(net)


def listed_under(message, name):
    """The heading ("missing", "unexpected" or "shape") that `name` is listed under in `message`."""
    at = message.index(name)
    return max((message.rfind(heading, 0, at), heading) for heading in ("missing", "unexpected", "shape"))[1]


# What the user reads when a checkpoint does not fit: each wrong key under its own heading.
@pytest.mark.parametrize("loader", ["load_net", "weight_tying"])
@pytest.mark.parametrize("change, listed, sizes", [
    ({"dec.bias": None, "extra.bias": torch.zeros(1)}, {"dec.bias": "missing", "extra.bias": "unexpected"}, []),
    ({"enc.weight": torch.zeros(5, 2), "enc.bias": torch.zeros(5)}, {"enc.weight": "shape", "enc.bias": "shape"},
     ["5, 2", "4, 2"]),
    ({"enc.weight": torch.zeros(2, 4)}, {"enc.weight": "shape"}, ["2, 4", "4, 2"]),  # as many elements
], ids=["keys", "sizes", "transposed"])
def test_mismatch_message_names_each_key_under_its_heading(loader, change, listed, sizes, tmp_path):
    net = nn.Sequential(collections.OrderedDict(enc=nn.Linear(2, 4), dec=nn.Linear(4, 1)))
    state = {k: v for k, v in {**net.state_dict(), **change}.items() if v is not None}
    tying = {"weight_tying": "{}"} if loader == "weight_tying" else None
    safetensors.torch.save_file(state, str(tmp_path / "m.pt"), metadata=tying)
    before = snapshot(net)
    with pytest.raises(ValueError) as info:
        if loader == "load_net":
            NT.load_net(net, str(tmp_path), "m")
        else:
            UAR.load_model_with_weight_tying(net, str(tmp_path / "m.pt"))
    message = str(info.value)
    assert {name: listed_under(message, name) for name in listed} == listed
    assert "dec.weight" not in message and all(size in message for size in sizes)
    assert same_state(before, snapshot(net))


def test_legacy_load_hides_warnings_and_restricts_unpickling(tmp_path, monkeypatch):
    use_form("whole_module")
    net = trained()
    NT.ab_save_net(net, str(tmp_path), "m")
    real = torch.load

    def noisy_torch_load(path, map_location=None, **kwargs):
        assert kwargs == {"weights_only": True}  # and no unrestricted retry
        warnings.warn("loading pickles is unsafe", FutureWarning)
        return real(path, map_location=map_location, **kwargs)

    monkeypatch.setattr(torch, "load", noisy_torch_load)
    with warnings.catch_warnings(record=True) as shown:
        warnings.simplefilter("always")
        filters = list(warnings.filters)
        loaded = NT.load_net(target(), str(tmp_path), "m_arb")
        assert shown == [] and list(warnings.filters) == filters
    torch.testing.assert_close(out(loaded), out(net))


def strided():
    net = mlp()
    net.register_buffer("mix", torch.randn(3, 3).t())  # not contiguous
    return net


class Noted(nn.Sequential):  # keeps a note as extra state, saved with the weights
    def __init__(self):
        super().__init__(*mlp())
        self.note = {"scale": 2.0, "tags": ["a"]}

    def get_extra_state(self):
        return self.note

    def set_extra_state(self, state):
        self.note = state


@pytest.mark.parametrize("make, name", [(strided, "m"), (Noted, "m"), (strided, "m" * 248), (Noted, "\u00e9" * 124)])
@pytest.mark.parametrize("form", FORMS)
def test_saves_are_reproducible_and_load_back(form, make, name, tmp_path):
    use_form(form)
    net = trained(make)
    net.note = {"saved": [1, 2]}
    np.random.seed(3)
    for folder in "ab":  # the longest names: 255 bytes
        NT.ab_save_net(net, str(tmp_path / folder), name)
    assert np.random.random() == np.random.RandomState(3).random()  # numpy's global stream untouched
    assert (tmp_path / "a" / (name + "_arb.pt")).read_bytes() == (tmp_path / "b" / (name + "_arb.pt")).read_bytes()
    with torch.serialization.safe_globals([Noted]):  # a class of the caller's: trusted explicitly
        loaded = NT.load_net(target(make), str(tmp_path / "a"), name + "_arb")
    assert torch.equal(loaded.mix, net.mix) if make is strided else loaded.note == net.note
    torch.testing.assert_close(out(loaded), out(net))


# ---------------------------------------------------------------- warning filter entry


def test_future_warning_entry_hides_every_category():
    with warnings.catch_warnings(record=True) as shown:
        warnings.simplefilter("always")
        before = list(warnings.filters)
        NT.add_future_warning()
        assert list(warnings.filters) == [("ignore", None, Warning, None, 0)] + before
        for category in (UserWarning, DeprecationWarning, FutureWarning, RuntimeWarning, ResourceWarning):
            warnings.warn("hidden", category)
        assert shown == []
        NT.remove_future_warning()
        assert list(warnings.filters) == before
        warnings.warn("visible", FutureWarning)
        assert [str(w.message) for w in shown] == ["visible"]


def test_remove_future_warning_drops_whatever_is_first(monkeypatch):
    with warnings.catch_warnings():
        warnings.filterwarnings("error", message="zzz")
        rest = list(warnings.filters[1:])
        NT.remove_future_warning()
        assert list(warnings.filters) == rest
    monkeypatch.setattr(warnings, "filters", [])
    with pytest.raises(IndexError):
        NT.remove_future_warning()
    NT.add_future_warning()
    assert warnings.filters == [("ignore", None, Warning, None, 0)]
    NT.remove_future_warning()
    assert warnings.filters == []


# ---------------------------------------------------------------- parameter counts


def shared_storage():
    net = nn.Sequential(nn.Linear(4, 4), nn.Linear(4, 4))
    net[1].weight = nn.Parameter(net[0].weight.data)  # another Parameter over the same storage
    return net


def shared_parameter():
    net = nn.Sequential(nn.Linear(4, 4), nn.Linear(4, 4))
    net[1].weight = net[0].weight
    return net


class BackReference(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(3, 2)
        self.fc.parent_module = nn.Linear(5, 5)

    def forward(self, x):
        return self.fc(x)


@pytest.mark.parametrize("make, training, expected", [
    (shared_storage, True, 16 + 4 + 4),
    (shared_parameter, True, 16 + 4 + 4),
    (shared_parameter, False, 16 + 4 + 4),
    (BackReference, True, 6 + 2),
    (BackReference, False, 6 + 2),
])
def test_count_params_counts_each_storage_once_and_skips_parent_module(make, training, expected):
    GAR.pc.set_count_training_params(training)
    assert NT.ab_count_params(make()) == expected


@pytest.mark.parametrize("make", [mlp, tied_mlp])
def test_count_params_of_a_trained_network(make):
    net = trained(make)
    state, types = snapshot(net), [type(m) for m in net.modules()]
    GAR.pc.set_count_training_params(True)
    assert NT.ab_count_params(net) == sum(p.numel() for p in net.parameters())
    GAR.pc.set_count_training_params(False)
    cleaned = NT.clean_net(copy.deepcopy(net))
    assert NT.ab_count_params(net=net) == sum(p.numel() for p in cleaned.parameters())
    assert same_state(state, snapshot(net)) and [type(m) for m in net.modules()] == types


# ---------------------------------------------------------------- gradient diagnostics


def frozen(module):
    return module.requires_grad_(False)


def bias_only():
    layer = nn.Linear(2, 2)
    layer.weight.requires_grad_(False)
    return layer


@pytest.mark.parametrize("make, expected", [
    (nn.ReLU, False),
    (lambda: frozen(nn.Linear(2, 2)), False),
    (bias_only, True),
    (lambda: nn.Sequential(frozen(nn.Linear(2, 2)), nn.Linear(2, 2)), True),
    (lambda: nn.Sequential(nn.ReLU(), frozen(nn.Linear(2, 2))), False),
], ids=["no_params", "frozen", "bias_only", "second_trains", "all_frozen"])
def test_check_requires_grad(make, expected):
    assert NT.check_requires_grad(module=make()) is expected


def test_debug_print_sequential_paths(capsys):
    net = nn.Sequential(nn.Linear(2, 2), nn.ReLU(), frozen(nn.Linear(2, 2)), nn.ModuleList([nn.Linear(2, 2)]))
    NT.debug_print_grad_modules(net, 0, "")
    assert capsys.readouterr().out.splitlines() == [
        ": has req grads: 1", ".0: has req grads: 1", ".1: has req grads: 0",
        ".2: has req grads: 0", ".3: has req grads: 1", ".3.0: has req grads: 1"]


class Tree(nn.Module):
    def __init__(self):
        super().__init__()
        self.head = nn.Linear(2, 2)
        self.blocks = nn.ModuleList([nn.ReLU(), frozen(nn.Linear(2, 2))])
        self.alias = self.head  # a second path to the same module

    @property
    def broken(self):
        raise RuntimeError("not readable")

    @property
    def gone(self):
        raise AttributeError("gone")


def test_debug_print_attribute_paths(capsys):
    NT.debug_print_grad_modules(net=Tree(), depth=3, name_so_far="net")
    assert capsys.readouterr().out.splitlines() == [
        "net: has req grads: 1", "net.alias: has req grads: 1", "net.blocks: has req grads: 0",
        "net.blocks.0: has req grads: 0", "net.blocks.1: has req grads: 0"]  # head: printed once, as alias
