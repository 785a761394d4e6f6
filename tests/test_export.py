"""The plain-PyTorch export against every form it is made from, and the shape rules that the
cleaned forms share with it."""
import collections
import copy
import os
import subprocess
import sys

import pytest
import torch
from torch import nn

import arborlib
import arborlib.fused_layers as FL
import arborlib.net_toolkit as NT
import arborlib.slim_restore as SR
from arborai.training import neuron_modules, wrap_network
from arborlib.export import DendriteBlock, save_portable, to_torch
from helpers import Scale, fused, grow, small_net


def conv1d_net():
    return nn.Sequential(nn.Conv1d(2, 4, 3, padding=1), nn.ReLU(), nn.Conv1d(4, 3, 3)), torch.randn(4, 2, 9)


def prefixed_net():
    """Blocks named fc and fc2: one name is the other's prefix."""
    layers = collections.OrderedDict(fc=nn.Linear(6, 8), act=nn.ReLU(), fc2=nn.Linear(8, 3))
    return nn.Sequential(layers), torch.randn(16, 6)


def fresh_copy(net, dendrites):
    """The untrained network, wrapped and grown to `dendrites`, as load_net's README recipe has it."""
    wrap_network(net)
    for neuron in neuron_modules(net):
        neuron.grow_dendrites(dendrites)
    return NT.clean_net(net)


def forms(net, tmp_path, dendrites, blank):
    NT.ab_save_net(net, str(tmp_path), "n")
    return {
        "training": net,
        "blockwise": FL.blockwise_network(copy.deepcopy(net)),
        "cleaned": NT.clean_net(copy.deepcopy(net)),  # converts its argument in place
        "loaded": NT.load_net(fresh_copy(blank, dendrites), str(tmp_path), "n_arb"),
    }


@pytest.mark.parametrize("kind", ["mlp", "cnn", "conv1d", "prefixed"])
@pytest.mark.parametrize("dendrites", [0, 3])
def test_export_equals_every_form(kind, dendrites, tmp_path):
    make = {"conv1d": conv1d_net, "prefixed": prefixed_net}.get(kind, lambda: small_net(kind))
    net, x = make()
    grow(net, x, dendrites)
    expected = net(x)
    all_forms = forms(net, tmp_path, dendrites, make()[0])
    assert type(net[0]).__name__ == "ARBNeuronModule" and "tracker_string" in net.__dict__
    for name, form in all_forms.items():
        exported = to_torch(form).eval()
        assert "tracker_string" not in exported.__dict__
        torch.testing.assert_close(exported(x), expected, rtol=1e-5, atol=1e-6, msg=name)
        blocks = [m for m in exported.modules() if isinstance(m, DendriteBlock)]
        assert len(blocks) == 2
        # Main layer and dendrites share one GEMM / convolution.
        assert all(b.fused and len(b.layers) == 1 for b in blocks) == (dendrites > 0), name
        assert not any(type(m).__module__.startswith(("arborai", "arborlib.")) and not isinstance(m, DendriteBlock)
                       for m in exported.modules()), name


@pytest.mark.parametrize("blockwise", [False, True])
def test_export_keeps_the_effect_of_a_hook_on_the_main_layer(blockwise):
    net, x = small_net("mlp")
    grow(net, x, 2)
    net[0].main_module.register_forward_hook(lambda m, i, out: out * 2)
    net = FL.blockwise_network(net) if blockwise else net
    torch.testing.assert_close(to_torch(net)(x), net(x), rtol=1e-5, atol=1e-6)


def test_export_leaves_source_alone_and_rejects_processors():
    net, x = small_net("mlp")
    grow(net, x, 2)
    before = copy.deepcopy(net.state_dict())
    to_torch(net)
    assert all(torch.equal(before[k], v) for k, v in net.state_dict().items())
    net[0].processor = object()
    with pytest.raises(ValueError, match="to_torch: 0 has input/output processors"):
        to_torch(net)


# A pickled export needs the pure-Python arborlib.export only; a torch.export program needs torch only.
@pytest.mark.parametrize("artifact, blocked", [
    ("pickled", ["arborai"] + [f"arborlib.{m}" for m in ("fused_layers", "slim_restore", "net_toolkit",
                                                          "dendrite_engine", "arbor_settings")]),
    ("portable", ["arborai", "arborlib"]),
])
def test_export_loads_and_runs_without_arborlib(artifact, blocked, tmp_path):
    net, x = small_net("mlp")
    grow(net, x, 3)
    path = tmp_path / "plain.pt"
    if artifact == "pickled":
        torch.save(to_torch(NT.clean_net(net)), path)
        load = f"torch.load({str(path)!r}, weights_only=False)"
    else:
        save_portable(net, str(path), (x,), dynamic_shapes=({0: torch.export.Dim("batch")},))
        load = f"torch.export.load({str(path)!r}).module()"
    torch.save(x[:5], tmp_path / "x.pt")
    code = f"""
import sys, torch
for name in {blocked!r}:
    sys.modules[name] = None  # any import of these fails
net = {load}
torch.save(net(torch.load({str(tmp_path / 'x.pt')!r})), {str(tmp_path / 'y.pt')!r})
"""
    subprocess.run([sys.executable, "-c", code], check=True)
    torch.testing.assert_close(torch.load(tmp_path / "y.pt"), net(x[:5]), rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("dendrites", [0, 2])
def test_export_keeps_weight_ties(dendrites, tmp_path):
    def tied():
        net = nn.Sequential(nn.Embedding(10, 6), nn.Linear(6, 10, bias=False))
        net[1].weight = net[0].weight
        return net
    net, x = tied(), torch.randint(0, 10, (4, 3))
    grow(net, x, dendrites)
    for name, form in forms(net, tmp_path, dendrites, tied()).items():
        exported = to_torch(form)
        assert exported[1].weight is exported[0].weight, name  # the block reads through to its layer
        torch.testing.assert_close(exported(x), net(x), rtol=1e-5, atol=1e-6, msg=name)


def test_export_compiles_whole_and_exports_with_dynamic_batch():
    net, x = small_net("mlp")
    grow(net, x, 3)
    exported = to_torch(net)
    compiled = torch.compile(exported, fullgraph=True, backend="eager")
    torch.testing.assert_close(compiled(x), net(x), rtol=1e-5, atol=1e-6)
    program = torch.export.export(exported, (x,), dynamic_shapes=({0: torch.export.Dim("batch")},), strict=False)
    other = torch.randn(5, 6)
    torch.testing.assert_close(program.module()(other), net(other), rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("form", ["blockwise", "cleaned", "loaded"])
def test_cleaned_view_follows_each_inputs_rank(form, tmp_path):
    # One [N, T, F] batch before cleaning must not change the shape for an [N, F] input, and a
    # checkpoint saved after it loads into a freshly wrapped network that never saw one.
    net = nn.Sequential(nn.Linear(5, 4), nn.ReLU(), nn.Linear(4, 2))
    seq = torch.randn(3, 8, 5)
    grow(net, seq, 2)
    flat = torch.randn(8, 5)
    blank = nn.Sequential(nn.Linear(5, 4), nn.ReLU(), nn.Linear(4, 2))
    out = forms(net, tmp_path, 2, blank)[form]
    for x in (flat, seq):
        torch.testing.assert_close(out(x), net(x), rtol=1e-5, atol=1e-6)


class Const(nn.Module):
    def __init__(self, value):
        super().__init__()
        self.value = value

    def forward(self, x):
        return self.value


@pytest.mark.parametrize("wrapper", [False, True])
@pytest.mark.parametrize("dendrite, error, message", [
    (Const(torch.ones(4, 1)), ValueError,
     r"dendrite 0 \(Const\) gave a Float tensor of shape \[4, 1\] on cpu, the main layer \(Scale\) a Float tensor "
     r"of shape \[4, 2\]"),
    (Const(torch.ones(4, 2, dtype=torch.float64)), ValueError, r"dendrite 0 \(Const\) gave a Double tensor"),
    (Const(None), TypeError, r"dendrite 0 \(Const\) returned NoneType, not a tensor"),
])
def test_block_checks_what_enters_the_cascade(wrapper, dendrite, error, message):
    blk = fused([dendrite, Scale(1.0)], [torch.zeros(1, 2), torch.zeros(0, 2)], [torch.ones(1, 2)])
    owner = "ARBModulePyThread" if wrapper else "ARBLayer"
    with pytest.raises(error, match=f"^{owner}: {message}"):
        (SR.make_module(blk) if wrapper else blk)(torch.randn(4, 2))


def test_torch_version_mismatch_names_both_versions():
    if not os.path.exists(os.path.join(os.path.dirname(arborlib.__file__), "build_info.json")):
        pytest.skip("extensions built without a version record")
    # The pure-Python export still imports (a pickled export needs it); an extension is refused.
    code = "import torch; torch.__version__ = '1.0.0'; import arborlib.export; print('export'); import arborlib.net_toolkit"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert "ImportError: arborlib's extensions were built with torch 2." in run.stderr
    assert "but torch 1.0.0 is installed" in run.stderr and run.stdout == "export\n"
