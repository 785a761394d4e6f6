import pytest
import torch
from torch import nn
from torch.nn import functional as F

import arborai.globals_arborai as GAR
from arborai.modules_arborai import ARBNeuronModule
from arborai.training import DendriteTrainer, Status, attach_optimizer, wrap_network


class Tree(nn.Module):
    """Wrappable layers at several depths, plus one parameterised layer that is never wrapped."""

    def __init__(self):
        super().__init__()
        self.features = nn.Sequential(nn.Conv2d(1, 4, 3, padding=1), nn.ReLU(),
                                      nn.Sequential(nn.Conv2d(4, 4, 3, padding=1), nn.ReLU()))
        self.head = nn.ModuleDict({"norm": nn.LayerNorm(64), "fc": nn.Linear(64, 8)})
        self.out = nn.Linear(8, 3)

    def forward(self, x):
        x = F.max_pool2d(self.features(x), 2).flatten(1)
        return self.out(torch.relu(self.head["fc"](self.head["norm"](x))))


TREE_LAYERS = ["features.0", "features.2.0", "head.fc", "out"]


def role(p):
    return getattr(p, "parameter_type", None)


def expected_role(name):
    if "candidate" in name:
        return "candidate"
    return "dendrite" if ".dendrites_to_dendrites." in name or ".dendrite_module.layers." in name else "neuron"


@pytest.mark.parametrize(
    "kwargs, tracked, wrapped",
    [({}, [], TREE_LAYERS),
     (dict(include=["out", "features.2.0"]), [], ["features.2.0", "out"]),
     (dict(exclude=["head.fc"]), [], ["features.0", "features.2.0", "out"]),
     ({}, ["features.0", "out"], ["features.2.0", "head.fc"]),
     (dict(layer_types=(nn.Conv2d,)), [], ["features.0", "features.2.0"])],
)
def test_wrap_network_choice_and_roles(kwargs, tracked, wrapped):
    GAR.pc.append_module_ids_to_track(tracked)
    net = Tree()
    x = torch.randn(5, 1, 8, 8)
    before = net(x)
    originals = dict(net.named_modules())
    neurons = wrap_network(net, **kwargs)
    assert [n.name for n in neurons] == wrapped  # module order
    for n in neurons:
        assert net.get_submodule(n.name) is n and n.main_module is originals[n.name]
    for name in set(TREE_LAYERS) - set(wrapped):
        assert net.get_submodule(name) is originals[name]
    assert torch.equal(net(x), before)  # no dendrites yet: the wrapped network computes the same
    assert {name: role(p) for name, p in net.named_parameters()} == \
        {name: expected_role(name) for name, _ in net.named_parameters()}


@pytest.mark.parametrize(
    "make, kwargs",
    [(Tree, dict(include=["nope"])), (Tree, dict(include=["out", "features.1"])),  # ReLU is not wrappable
     (Tree, dict(include=["out"], exclude=["out"])), (lambda: nn.Sequential(nn.ReLU()), {}),
     (lambda: ARBNeuronModule(nn.Linear(2, 2), "x"), {})],
)
def test_wrap_network_rejects(make, kwargs):
    with pytest.raises(ValueError):
        wrap_network(make(), **kwargs)


def test_wrap_network_twice():
    net = Tree()
    wrap_network(net, include=["out"])
    with pytest.raises(ValueError, match="already wrapped"):
        wrap_network(net, include=["head.fc"])


def mlp():
    return nn.Sequential(nn.Linear(6, 12), nn.ReLU(), nn.Linear(12, 3))


def cnn():
    return nn.Sequential(nn.Conv2d(2, 4, 3, padding=1), nn.ReLU(), nn.Flatten(), nn.Linear(4 * 9, 3))


X = torch.randn(128, 6, generator=torch.Generator().manual_seed(1))
Y = (X[:, 0] > 0).long() + (X[:, 1] > 0).long()
ARCHS = {"mlp": (mlp, X), "cnn": (cnn, X.repeat(1, 3)[:, :18].reshape(-1, 2, 3, 3))}


def trainer(make=mlp, candidates=2, **kwargs):
    GAR.pc.set_global_candidates(candidates)
    GAR.pc.set_initial_correlation_batches(3)
    net = make()
    return net, DendriteTrainer(net, lambda ps: torch.optim.Adam(ps, lr=1e-2), **kwargs)


def epoch(net, tr, x=X):
    opt = tr.optimizer
    for i in range(0, len(x), 32):
        opt.zero_grad()
        F.cross_entropy(net(x[i:i + 32]), Y[i:i + 32]).backward()
        opt.step()


def records(tr):
    return [r for n in tr.neurons for r in n.dendrite_module.dendrite_values]


def assert_optimizer_holds_trainable(net, tr):
    held = [p for g in tr.optimizer.param_groups for p in g["params"]]
    assert len(held) == len({id(p) for p in held})
    assert {id(p) for p in held} == {id(p) for p in net.parameters() if p.requires_grad}


@pytest.mark.parametrize("live", [False, True])
def test_n_to_p_switch(live):
    GAR.pc.set_learn_dendrites_live(live)
    net, tr = trainer()
    assert {role(p) for p in net.parameters() if p.requires_grad} == {"neuron"} | ({"dendrite"} if live else set())
    assert_optimizer_holds_trainable(net, tr)
    epoch(net, tr)
    tr.start_p_phase()
    assert tr.mode == "p" and GAR.arb_tracker.member_vars["mode"] == "p"
    for p in net.parameters():
        assert p.requires_grad == (role(p) == "candidate")
    for n in tr.neurons:
        assert len(n.dendrite_module.candidate_module) == 2 and n.dendrite_module.mode == "p"
        assert hasattr(n, "current_candidate_to_top") == live
    assert_optimizer_holds_trainable(net, tr)
    assert all(not r.best_score.any() for r in records(tr))
    frozen = {k: p.clone() for k, p in net.named_parameters() if not p.requires_grad}
    cands = {k: p.clone() for k, p in net.named_parameters() if "candidate_module" in k}
    epoch(net, tr)
    now = dict(net.named_parameters())
    assert all(torch.equal(now[k], v) for k, v in frozen.items())
    assert all(not torch.equal(now[k], v) for k, v in cands.items())
    assert all(r.best_score.sum() > 0 for r in records(tr))


def param_count(net):
    return sum(p.numel() for p in net.parameters())


def test_p_to_n_installs_one_dendrite_per_layer():
    net, tr = trainer()
    x = X[:16]
    for d in range(1, 3):
        n_count = param_count(net)
        # per layer: a copy of the wrapped layer, d-1 weights from earlier dendrites, one output
        # weight row, and one more row into each of the 2 candidates
        growth = sum(sum(p.numel() for p in n.main_module.parameters()) + (d + 2) * n.out_channels
                     for n in tr.neurons)
        tr.start_p_phase()
        epoch(net, tr)
        dm0 = tr.neurons[0].dendrite_module
        best = dm0.best_candidate()
        chosen, into = dm0.candidate_module[best], dm0.dendrites_to_candidates[best].detach().clone()
        net.eval()
        before = net(x)
        tr.start_n_phase()
        assert torch.equal(net(x), before)  # new output weights start at zero
        net.train()
        assert param_count(net) - n_count == growth
        assert tr.num_dendrites == d and tr.mode == "n" and GAR.arb_tracker.member_vars["mode"] == "n"
        assert dm0.layers[-1] is chosen and torch.equal(dm0.dendrites_to_dendrites[d], into)
        for n in tr.neurons:
            dm, c = n.dendrite_module, n.out_channels
            assert len(dm.layers) == d and len(dm.candidate_module) == 0 and dm.mode == "n"
            assert [tuple(w.shape) for w in dm.dendrites_to_dendrites] == [(1, c)] + [(k, c) for k in range(d)]
            assert tuple(n.dendrites_to_top[-1].shape) == (d, c)
            assert [tuple(w.shape) for w in dm.dendrites_to_candidates] == [(d, c)] * 2
            assert all(float(r.locked) == 1 for r in dm.dendrite_values)
            assert not hasattr(n, "current_candidate_to_top")
        assert {role(p) for p in net.parameters() if p.requires_grad} == {"neuron"}
        assert_optimizer_holds_trainable(net, tr)
        epoch(net, tr)
