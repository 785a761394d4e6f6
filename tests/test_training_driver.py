import functools

import pytest
import torch
from torch import nn
from torch.nn import functional as F

import arborai.globals_arborai as GAR
from arborai import install
from arborai.modules_arborai import ARBNeuronModule
from arborai.training import DendriteTrainer, Status, attach_optimizer, wrap_network
from conftest import trainer as shared_trainer


pytestmark = pytest.mark.usefixtures("one_thread")


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


def expected_role(name, p):
    if ".dendrites_to_dendrites.0" in name or p.numel() == 0:
        return "ignored"  # placeholders the forward never reads
    if "candidate" in name:
        return "candidate"
    return "dendrite" if ".dendrites_to_dendrites." in name or ".dendrite_module.layers." in name else "neuron"


@pytest.mark.parametrize(
    "kwargs, tracked, wrapped",
    [({}, [], TREE_LAYERS),
     (dict(include=["out", "features.2.0"]), [], ["features.2.0", "out"]),
     (dict(include="out", exclude="features.0"), [], ["out"]),  # one name, not its characters
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
        {name: expected_role(name, p) for name, p in net.named_parameters()}


@pytest.mark.parametrize(
    "make, kwargs",
    [(Tree, dict(include=["nope"])), (Tree, dict(include=["out", "features.1"])),  # ReLU is not wrappable
     (Tree, dict(include=["out"], exclude=["out"])), (lambda: nn.Sequential(nn.ReLU()), {}),
     (Tree, dict(exclude=["nope"])), (Tree, dict(exclude="nope")),
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


trainer = functools.partial(shared_trainer, make=mlp, initial_batches=3)


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
    GAR.pc.set_learn_dendrites_live(not live)
    net, tr = trainer(learn_dendrites_live=live)  # the trainer sets the companion setting
    assert GAR.pc.get_learn_dendrites_live() == live
    assert {role(p) for p in net.parameters() if p.requires_grad} == {"neuron"}  # no dendrite installed yet
    assert_optimizer_holds_trainable(net, tr)
    epoch(net, tr)
    tr.start_p_phase()
    assert tr.mode == "p" and GAR.arb_tracker.member_vars["mode"] == "p"
    assert [g["lr"] for g in tr.optimizer.param_groups] == [3e-2]  # candidate_lr_scale 3
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
    # no least-squares fit: output weights start at zero
    net, tr = trainer(install_batches=0, learn_dendrites_live=False)
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
        best = install.best_candidate(dm0)
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


@pytest.mark.parametrize("best", [0, 1])
def test_live_slot_zero_is_installed_with_its_live_weight_whichever_scores_best(best):
    GAR.pc.set_learn_dendrites_live(True)
    net, tr = trainer()
    tr.start_p_phase()
    for n in tr.neurons:
        with torch.no_grad():
            n.current_candidate_to_top.copy_(torch.arange(1.0, n.out_channels + 1).view(1, -1))
            n.dendrite_module.dendrite_values[best].best_score.fill_(1.0)
    slot_zero = [n.dendrite_module.candidate_module[0] for n in tr.neurons]
    tr.start_n_phase()
    for n, layer in zip(tr.neurons, slot_zero):
        assert n.dendrite_module.layers[0] is layer
        assert torch.equal(n.dendrites_to_top[-1][0], torch.arange(1.0, n.out_channels + 1))
    # live learning: the installed dendrites train along with the neurons in n mode
    trainable = {role(p) for p in net.parameters() if p.requires_grad}
    assert trainable == {"neuron", "dendrite"}
    assert all(p.requires_grad for n in tr.neurons for p in n.dendrite_module.layers.parameters())


def set_p_flags(tr, flags):
    for r, f in zip(records(tr), flags):
        r.best_score_improved_this_epoch.fill_(f)


@pytest.mark.parametrize(
    "kwargs, scores, switch_at",
    [(dict(n_patience=3), [0.5, 0.6, 0.6, 0.55, 0.7, 0.7, 0.7, 0.7], 7),
     (dict(n_patience=1), [0.5, 0.5], 1),
     (dict(n_patience=2, min_delta=0.05), [0.5, 0.54, 0.6, 0.64, 0.62], 4),
     (dict(n_patience=2, higher_is_better=False), [1.0, 0.8, 0.7, 0.9, 0.7], 4)],
)
def test_n_mode_patience(kwargs, scores, switch_at):
    net, tr = trainer(**kwargs)
    statuses = [tr.epoch_end(s) for s in scores]
    assert statuses[:switch_at] == [Status("n")] * switch_at
    assert statuses[switch_at] == Status("p", switched=True) and tr.mode == "p"
    assert len(tr.history) == len(scores) and tr.history[-1] == ("n", scores[-1])


@pytest.mark.parametrize(
    "flags_per_epoch, p_patience, max_p, switch_at",
    [([[1, 0, 0, 0], [0, 0, 0, 0], [0, 0, 1, 0], [0, 0, 0, 0], [0, 0, 0, 0]], 2, 10, 4),
     ([[0, 0, 0, 0]], 1, 10, 0),
     ([[0, 0, 0, 1]] * 4, 2, 3, 2)],
)
def test_p_mode_improvement_flags_and_max_epochs(flags_per_epoch, p_patience, max_p, switch_at):
    net, tr = trainer(n_patience=1, p_patience=p_patience, max_p_epochs=max_p)
    tr.epoch_end(0.5)
    assert tr.epoch_end(0.5).switched and tr.mode == "p"
    for i, flags in enumerate(flags_per_epoch[:switch_at + 1]):
        set_p_flags(tr, flags)
        status = tr.epoch_end(0.5)
        assert all(float(r.best_score_improved_this_epoch) == 0 for r in records(tr))  # reset each epoch
        if i < switch_at:
            assert status == Status("p") and tr.num_dendrites == 0
    assert status == Status("n", switched=True, restructured=True)
    assert tr.mode == "n" and tr.num_dendrites == 1


@pytest.mark.parametrize("max_dendrites", [0, 1, 2])
def test_done_informs_and_training_goes_on(max_dendrites):
    net, tr = trainer(max_dendrites=max_dendrites, n_patience=1, p_patience=1)
    statuses = [tr.epoch_end(0.5) for _ in range(12)]
    first = next(i for i, s in enumerate(statuses) if s.done)
    # per cycle: switch to p, one p epoch, one n epoch; done from the last install on
    assert first == (0 if max_dendrites == 0 else 3 * max_dendrites - 1)
    assert statuses[first].restructured == (max_dendrites > 0)
    assert all(s.done and s.mode == "n" and not s.switched for s in statuses[first + 1:])
    assert tr.num_dendrites == max_dendrites and tr.mode == "n"
    assert sum(s.restructured for s in statuses) == max_dendrites
    epoch(net, tr)  # the neurons keep training after done


@pytest.mark.parametrize("kwargs", [dict(max_dendrites=-1), dict(n_patience=0), dict(p_patience=0),
                                    dict(max_p_epochs=0)])
def test_trainer_rejects_bad_schedule(kwargs):
    with pytest.raises(ValueError):
        trainer(**kwargs)


def test_gradient_accumulation_consumes_every_backward():
    GAR.pc.set_debugging_memory_leak(False)
    net, tr = trainer()
    tr.start_p_phase()
    opt = tr.optimizer

    def queued():
        return [(len(n.dendrite_module.candidate_outputs), len(n.dendrite_module.candidate_errors))
                for n in tr.neurons]

    opt.zero_grad()
    for i in range(2):
        F.cross_entropy(net(X[i * 16:(i + 1) * 16]), Y[i * 16:(i + 1) * 16]).backward()
    assert queued() == [(2, 2)] * 2
    opt.step()
    assert queued() == [(0, 0)] * 2
    assert [float(r.initialized) for r in records(tr)] == [2.0] * 4  # one candidate step per pair
    F.cross_entropy(net(X[:16]), Y[:16]).backward()
    assert queued() == [(1, 1)] * 2
    opt.zero_grad()
    assert queued() == [(0, 0)] * 2
    assert [float(r.initialized) for r in records(tr)] == [2.0] * 4  # cleared, not consumed
    with pytest.raises(ValueError):
        attach_optimizer(opt, net)


def advance(arch, stage, live=False):
    GAR.pc.set_learn_dendrites_live(live)
    make, x = ARCHS[arch]
    net, tr = trainer(make=make)
    epoch(net, tr, x)
    for step in {"n0": "", "p": "p", "d1": "pn", "d2": "pnpn"}[stage]:
        (tr.start_p_phase if step == "p" else tr.start_n_phase)()
        epoch(net, tr, x)
    return net, tr, make, x


@pytest.mark.parametrize("arch", ["mlp", "cnn"])
@pytest.mark.parametrize("stage, live", [("n0", False), ("p", False), ("p", True), ("d1", False),
                                         ("d2", False), ("d2", True)])
def test_state_dict_round_trip(arch, stage, live):
    net, tr, make, x = advance(arch, stage, live)
    fresh = make()
    wrap_network(fresh)
    fresh.load_state_dict(net.state_dict())
    for a, b in zip(tr.neurons, [m for m in fresh.modules() if isinstance(m, ARBNeuronModule)]):
        b.dendrite_module.mode = a.dendrite_module.mode  # the phase is the trainer's, not saved state
    assert net.state_dict().keys() == fresh.state_dict().keys()
    assert all(torch.equal(v, fresh.state_dict()[k]) for k, v in net.state_dict().items())
    net.eval(), fresh.eval()
    with torch.no_grad():
        assert torch.equal(net(x), fresh(x))
    if tr.num_dendrites:
        assert any(n.dendrites_to_top[-1].abs().sum() > 0 for n in tr.neurons)  # dendrites do contribute


def test_roles_survive_a_state_dict_round_trip():
    # Untagged candidates would train as neuron parameters in n mode after a reload.
    net, tr, make, x = advance("mlp", "p")
    fresh = make()
    wrap_network(fresh)
    fresh.load_state_dict(net.state_dict())
    assert {k: role(p) for k, p in fresh.named_parameters()} == {k: role(p) for k, p in net.named_parameters()}


@pytest.mark.parametrize("arch, live", [("mlp", False), ("mlp", True), ("cnn", False)])
@pytest.mark.parametrize("into", ["own", "fresh"])
@pytest.mark.parametrize("swap", [False, True])  # torch.__future__'s swapping load
def test_mid_p_state_dict_keeps_candidates_training(arch, live, into, swap, monkeypatch):
    monkeypatch.setattr(torch.__future__, "_swap_module_params_on_conversion", swap)
    net, tr, make, x = advance(arch, "p", live)
    weights = lambda: [p.detach().clone() for n in tr.neurons for p in n.dendrite_module.candidate_module.parameters()]
    state, held = {k: v.clone() for k, v in net.state_dict().items()}, tr.optimizer
    if into == "fresh":
        net, tr = trainer(make=make)
        with pytest.raises(RuntimeError, match=r"trainer\.load_state_dict"):
            net.load_state_dict(state)  # would come back in n mode, its candidates untrained
    (tr if into == "fresh" else net).load_state_dict(state)  # own: in place, the optimizer keeps its parameters
    assert tr.mode == GAR.arb_tracker.member_vars["mode"] == "p" and (tr.optimizer is held) == (into == "own")
    assert_optimizer_holds_trainable(net, tr)
    assert all(torch.equal(v, net.state_dict()[k]) for k, v in state.items())
    before = weights()
    epoch(net, tr, x)
    assert all(not torch.equal(a, b) for a, b in zip(before, weights()))


@pytest.mark.parametrize("changed_in", ["n", "p"])
def test_candidate_count_is_fixed_once_wrapped(changed_in):
    net, tr = trainer(candidates=2)
    if changed_in == "p":
        tr.start_p_phase()
    with pytest.raises(ValueError, match=r"layer [02] was wrapped with 2 candidate slots"):
        GAR.pc.set_global_candidates(3)  # refused in p mode; in n mode (for a next network) the switch refuses
        tr.start_p_phase()
    assert (GAR.pc.get_global_candidates(), tr.mode) == ((2, "p") if changed_in == "p" else (3, "n"))


def test_second_trainer_leaves_the_first_in_p_mode():
    net1, tr1 = trainer()
    tr1.start_p_phase()
    net2, tr2 = trainer()  # used to flip the shared mode to "n": the first's next backward failed
    epoch(net1, tr1)
    epoch(net2, tr2)
    switches = (tr2.start_p_phase, tr1.start_n_phase, tr2.start_n_phase)
    assert [(switch(), GAR.arb_tracker.member_vars["mode"])[1] for switch in switches] == ["p", "p", "n"]


@pytest.mark.parametrize("options, fused", [({}, True), (dict(foreach=False), None), (dict(fused=False), False)])
def test_candidate_optimizer_fused_only_where_left_open(options, fused):
    trainer = DendriteTrainer(nn.Sequential(nn.Linear(4, 3)), lambda p: torch.optim.Adam(p, **options))
    assert trainer.optimizer.param_groups[0]["fused"] == options.get("fused")  # n mode: as the user made it
    trainer.start_p_phase()
    assert trainer.optimizer.param_groups[0]["fused"] == fused
    trainer.optimizer.zero_grad()
    trainer.model(torch.randn(5, 4)).sum().backward()
    trainer.optimizer.step()


@pytest.mark.parametrize("arch", ARCHS)
def test_batched_p_step_reads_nothing_back_on_the_cpu(arch):
    make, x = ARCHS[arch]
    net, tr = shared_trainer(make, optimizer=lambda ps: torch.optim.SGD(ps, lr=0.01))
    tr.start_p_phase()
    epoch(net, tr, x)  # past the first steps' one-off work
    with torch.profiler.profile(activities=[torch.profiler.ProfilerActivity.CPU]) as prof:
        epoch(net, tr, x)
    reads = {e.key: e.count for e in prof.key_averages() if e.key in ("aten::_local_scalar_dense", "aten::is_nonzero")}
    assert reads == {}
