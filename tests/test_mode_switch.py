import types

import pytest
import torch
from torch import nn

import arborai.globals_arborai as GAR
import arborai.modules_arborai as MAR
import arborlib.dendrite_engine as DE
from arborai.modules_arborai import ARBNeuronModule
from conftest import record

ROLE_FORMS = [
    (DE.set_neuron_parameters, "neuron", "Neuron parameters train during n mode"),
    (DE.set_dendrite_parameters, "dendrite", "dendrite parameters train during n mode if learn_dendrites_live is true"),
    (DE.set_candidate_parameters, "candidate", "candidate parameters train during p mode"),
    (DE.set_ignored_parameters, "ignored", "ignored parameters never train"),
]


@pytest.mark.parametrize(
    "fn, doc",
    [(DE.set_parameters, "Initialize parameters AB by setting parameter_type for all parameters"),
     (DE.set_main_parameters, "Initialize parameters AB by setting parameter_type for only top-level parameters"),
     (DE.set_module_p_ab, "Set the module to p mode - this means the dendrites learn and the main module does not"),
     (DE.reinitialize_for_ab, "When filling from n mode to p mode this function reinitializes the dendrite module "
                              "variables\nAnd copies over the accumulated averages so Cascor has access to them")]
    + [(fn, doc) for fn, _, doc in ROLE_FORMS],
)
def test_docstrings(fn, doc):
    assert doc in fn.__doc__


def nested():
    return nn.Sequential(nn.Linear(3, 4), nn.Sequential(nn.Conv2d(1, 2, 3), nn.LayerNorm(2)))


@pytest.mark.parametrize("fn, role", [(lambda m: DE.set_parameters(m, "custom"), "custom")]
                         + [(fn, role) for fn, role, _ in ROLE_FORMS])
def test_role_forms_tag_every_parameter_including_submodules(fn, role):
    net = nested()
    DE.set_parameters(net, "ignored" if role != "ignored" else "neuron")
    fn(net)  # a later tag replaces the earlier one
    assert len(list(net.parameters())) == 6
    assert {p.parameter_type for p in net.parameters()} == {role}


class Holder(nn.Module):
    def __init__(self):
        super().__init__()
        self.own = nn.Parameter(torch.zeros(2))
        self.child = nn.Linear(2, 2)
        self.register_buffer("buf", torch.zeros(1))
        self.plain_tensor = torch.zeros(3)

    @property
    def broken(self):
        raise RuntimeError("not readable")


class Fatal(BaseException):
    pass


def test_set_main_parameters_tags_only_direct_parameters_and_skips_raising_property():
    m = Holder()
    DE.set_main_parameters(m)
    assert m.own.parameter_type == "neuron"
    for t in (m.child.weight, m.child.bias, m.buf, m.plain_tensor):
        assert not hasattr(t, "parameter_type")


def test_set_main_parameters_reads_attributes_not_registrations():
    class Alias(Holder):
        @property
        def alias(self):  # a child's weight exposed as an attribute of the module itself
            return self.child.weight

    m = Alias()
    DE.set_main_parameters(m)
    assert m.child.weight.parameter_type == "neuron" and not hasattr(m.child.bias, "parameter_type")


def test_set_main_parameters_lets_non_ordinary_exceptions_through():
    class Dying(nn.Module):
        @property
        def fatal(self):
            raise Fatal()

    with pytest.raises(Fatal):
        DE.set_main_parameters(Dying())


def neuron(out=8, dtype=torch.float32):
    return ARBNeuronModule(nn.Linear(4, out).to(dtype), "fc")


def test_set_module_p_ab_without_live_learning_changes_nothing():
    n = neuron()
    before = dict(n.named_parameters(remove_duplicate=False))
    DE.set_module_p_ab(n)
    assert dict(n.named_parameters(remove_duplicate=False)) == before
    assert not hasattr(n, "candidate_to_top") and not hasattr(n, "current_candidate_to_top")


@pytest.mark.parametrize("out, dtype", [(8, torch.float32), (3, torch.float64)])
def test_set_module_p_ab_creates_a_fresh_zero_live_weight(out, dtype):
    GAR.pc.set_learn_dendrites_live(True)
    n = neuron(out, dtype)
    DE.set_module_p_ab(n)
    first = n.candidate_to_top
    assert first is n.current_candidate_to_top
    assert isinstance(first, nn.Parameter) and first.requires_grad
    assert first.shape == (1, out) and first.dtype == dtype and not first.any()
    assert first.parameter_type == "candidate"
    named = dict(n.named_parameters(remove_duplicate=False))
    assert named["candidate_to_top"] is first and named["current_candidate_to_top"] is first
    with torch.no_grad():
        first.fill_(3.0)  # as if trained during the previous p phase
    DE.set_module_p_ab(n)
    second = n.current_candidate_to_top
    assert second is not first and second is n.candidate_to_top and not second.any()
    assert second.parameter_type == "candidate"
    assert first.eq(3.0).all()  # the old weight was replaced, not zeroed in place


def candidates_holder(weights, out_channels, random):
    return types.SimpleNamespace(dendrites_to_candidates=[nn.Parameter(w) for w in weights],
                                 out_channels=out_channels, random_arb_to_candidates=random)


def test_init_candidates_without_random_only_marks():
    w = torch.randn(3, 8)
    dm = candidates_holder([w.clone(), w.clone()], 8, False)
    DE.init_candidates(dm, 1)
    assert dm.dendrites_to_candidates[1].arb_wrapped is True
    assert not hasattr(dm.dendrites_to_candidates[0], "arb_wrapped")
    assert all(torch.equal(p, w) for p in dm.dendrites_to_candidates)


@pytest.mark.parametrize("out_channels, std", [(8, 0.5), (2, 1.0), (32, 0.25)])
def test_init_candidates_random_draws_he_scaled_normal(out_channels, std):
    dm = candidates_holder([torch.zeros(4000, out_channels), torch.zeros(5, out_channels)], out_channels, True)
    DE.init_candidates(dm, j=0)
    w = dm.dendrites_to_candidates[0]
    assert w.arb_wrapped is True and w.requires_grad and w.grad_fn is None
    assert w.std().item() == pytest.approx(std, rel=0.03)
    assert abs(w.mean().item()) < 0.03 * std
    assert not dm.dendrites_to_candidates[1].any()  # only candidate j is drawn


def test_init_candidates_on_a_dendrite_module_follows_the_setting():
    GAR.pc.set_default_random_arb_to_candidates(True)
    dm = MAR.DendriteModule("fc", 8, 1, [-1, 8])
    dm.dendrites_to_candidates[0] = nn.Parameter(torch.zeros(2000, 8))
    DE.init_candidates(dm, 0)
    assert dm.dendrites_to_candidates[0].std().item() == pytest.approx(0.5, rel=0.05)


def test_init_candidates_index_out_of_range():
    with pytest.raises(IndexError):
        DE.init_candidates(candidates_holder([torch.zeros(1, 2)], 2, False), 1)


def test_init_candidates_zero_out_channels():
    with pytest.raises(ZeroDivisionError):
        DE.init_candidates(candidates_holder([torch.zeros(1, 0)], 0, True), 0)


def slots(n):
    return types.SimpleNamespace(dendrite_values=[types.SimpleNamespace(locked=torch.zeros(1)) for _ in range(n)])


@pytest.mark.parametrize("mode", ["p", "N", "", "n "])
@pytest.mark.parametrize("verbose", [False, True])
def test_set_ab_mode_other_modes_do_nothing(mode, verbose, capsys):
    GAR.pc.set_verbose(verbose)
    GAR.pc.set_global_candidates(2)
    dm = slots(2)
    DE.set_ab_mode(dm, mode)
    assert [float(v.locked) for v in dm.dendrite_values] == [0.0, 0.0]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("verbose", [False, True])
@pytest.mark.parametrize("candidates", [0, 1, 3])
def test_set_ab_mode_n_locks_every_slot(candidates, verbose, capsys):
    GAR.pc.set_verbose(verbose)
    GAR.pc.set_global_candidates(candidates)
    dm = slots(3)
    DE.set_ab_mode(dendrite_module=dm, mode="n")
    assert [float(v.locked) for v in dm.dendrite_values] == [1.0] * candidates + [0.0] * (3 - candidates)
    assert capsys.readouterr().out == ("so calling all the things to add to layers\n" if verbose else "")


def test_set_ab_mode_more_candidates_than_slots():
    GAR.pc.set_global_candidates(3)
    with pytest.raises(IndexError):
        DE.set_ab_mode(slots(2), "n")


def filled_record(out=5):
    rec = record(out, dims=[-1, out])
    for _, b in rec.named_buffers():
        b.copy_(torch.rand_like(b) + 0.5)
    return rec


@pytest.mark.parametrize("live", [False, True])
def test_reinitialize_for_ab(live):
    GAR.pc.set_learn_dendrites_live(live)
    rec = filled_record()
    names = MAR.get_DENDRITE_REINIT_VALUES()
    assert "normal_pass_average_d" in names  # so the skip below is the engine's own doing
    old = {n: getattr(rec, n) for n in names}
    snapshot = {n: t.clone() for n, t in old.items()}
    parent = rec.parents_average_d_vector
    DE.reinitialize_for_ab(rec)
    for n in names:
        now = getattr(rec, n)
        if n == "normal_pass_average_d" and not live:
            assert now is old[n] and torch.equal(now, snapshot[n]), n
            continue
        assert now is not old[n], n
        assert now.shape == old[n].shape and now.dtype == old[n].dtype and not now.any(), n
        assert torch.equal(old[n], snapshot[n]), n  # rebound, not zeroed in place
    expected = snapshot["normal_pass_average_d"] if not live else torch.zeros(5)
    assert rec.parents_average_d_vector is parent
    assert torch.equal(rec.parents_average_d_vector, expected)
    assert not rec.parents_average_d_vector.requires_grad
    assert rec.parents_average_d_vector.data_ptr() != rec.normal_pass_average_d.data_ptr()
    rec.normal_pass_average_d.add_(1.0)  # later n-phase updates must not reach the reference
    assert torch.equal(rec.parents_average_d_vector, expected)


@pytest.mark.parametrize("doing_thing", [0, 1])
def test_reinitialize_for_ab_max_mean_act_handover(doing_thing):
    GAR.pc.set_doing_thing(doing_thing)
    rec = filled_record()
    holder = types.SimpleNamespace(**dict(rec.named_buffers()))
    if doing_thing:
        holder.normal_pass_max_mean_act = torch.tensor([2.5])
        holder.parent_max_mean_act = torch.zeros(1)
    DE.reinitialize_for_ab(holder)  # without doing_thing the two values are never looked up
    if doing_thing:
        assert holder.parent_max_mean_act.item() == 2.5 and not holder.parent_max_mean_act.requires_grad
        assert holder.parent_max_mean_act.data_ptr() != holder.normal_pass_max_mean_act.data_ptr()


@pytest.mark.parametrize(
    "fn, args",
    [(DE.set_parameters, (nn.Linear(1, 1),)), (DE.set_parameters, ()), (DE.set_main_parameters, ()),
     (DE.set_neuron_parameters, (nn.Linear(1, 1), "neuron")), (DE.set_module_n_ab, ()),
     (DE.set_module_p_ab, ()), (DE.load_tagger_values, ()), (DE.init_candidates, (slots(1),)),
     (DE.init_candidates, (slots(1), 0, 1)), (DE.set_ab_mode, (slots(1),)),
     (DE.reinitialize_for_ab, ()), (DE.reinitialize_for_ab, (slots(1), 1))],
)
def test_wrong_argument_count(fn, args):
    with pytest.raises(TypeError):
        fn(*args)


def test_load_tagger_values_delegates_to_the_dendrite_module():
    calls = []
    fake = types.SimpleNamespace(dendrite_module=types.SimpleNamespace(load_tagger_values=lambda *a, **k: calls.append((a, k))))
    DE.load_tagger_values(fake)
    assert calls == [((), {})]
    n = neuron()
    DE.set_dendrite_parameters(n.dendrite_module.dendrites_to_dendrites)
    DE.load_tagger_values(neuron_module=n)
    assert n.dendrite_module.normal_learning_taggers["dendrites_to_dendrites.0"] == "dendrite"


class Interrupting(types.SimpleNamespace):
    @property
    def layer_name(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize("call, error, match", [
    (lambda dm, v: (setattr(v, "locked", None), DE.set_ab_mode(dm, "n")), TypeError,
     r"^set_ab_mode \(layer fc\): locked must be a tensor, got NoneType$"),
    (lambda dm, v: (setattr(v, "best_score", None), DE.check_new_best_score(v)), TypeError,
     r"^new_best \(layer fc\): best_score must be a tensor, got NoneType$"),
    (lambda dm, v: (setattr(v, "this_node_index", None), DE.get_tuples_and_mult(torch.ones(2, 4), v)), TypeError,
     r"^get_tuples_and_mult \(layer fc\): this_node_index must be an integer: int\(\) argument"),
    (lambda dm, v: (setattr(dm, "random_arb_to_candidates", True), setattr(dm, "out_channels", None),
                    DE.init_candidates(dm, 0)), TypeError, r"^init_candidates \(layer fc\): out_channels must be a num"),
    (lambda dm, v: (setattr(type(GAR.pc), "get_verbose", lambda self: torch.ones(2)), DE.set_ab_mode(dm, "n")),
     RuntimeError, "ambiguous"),  # once left pending, then reported as a SystemError
    (lambda dm, v: DE.set_ab_mode(types.SimpleNamespace(dendrite_values=[Interrupting(locked=None)]), "n"),
     KeyboardInterrupt, None),
], ids=["record_tensor", "best_score", "node_index", "out_channels", "truth_of_setting", "interrupt"])
def test_bad_records_name_function_layer_and_cause(call, error, match, monkeypatch):
    monkeypatch.setattr(type(GAR.pc), "get_verbose", type(GAR.pc).get_verbose)  # undone after the test
    dm = ARBNeuronModule(nn.Linear(3, 4), "fc").dendrite_module
    with pytest.raises(error, match=match):
        call(dm, dm.dendrite_values[0])
