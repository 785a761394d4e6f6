"""Bad batches, repeated backward passes, inputs of other ranks, stale objects, saves at once."""
import contextlib
import copy
from concurrent.futures import ThreadPoolExecutor

import pytest
import torch
from safetensors.torch import save_file
from torch import nn

import arborai.globals_arborai as GAR
import arborai.utils_arborai as UAR
import arborlib.dendrite_engine as DE
import arborlib.net_toolkit as NT
from arborai.training import DendriteTrainer
from test_batched_step import FIELDS, batched_step, p_module
from test_net_toolkit import out, target, trained, use_form

pytestmark = pytest.mark.usefixtures("one_thread")
MLP, SGD = lambda: nn.Sequential(nn.Linear(4, 6), nn.ReLU(), nn.Linear(6, 2)), lambda ps: torch.optim.SGD(ps, lr=0.1)


def step(tr, net, *xs, apply=True):
    tr.optimizer.zero_grad()
    sum(net(x).pow(2).mean() for x in xs).backward()
    tr.optimizer.step() if apply else None


@pytest.mark.parametrize("bad_in", ["n", "p"])
def test_a_non_finite_batch_changes_no_weight_and_nothing_non_finite_is_installed(bad_in):
    net, x, bad = MLP(), torch.randn(16, 4), torch.full((16, 4), float("nan"))
    tr = DendriteTrainer(net, SGD)
    step(tr, net, bad, apply=False) if bad_in == "n" else None  # backward, then the step skipped
    tr.start_p_phase()
    step(tr, net, x)
    if bad_in == "p":
        before = [p.detach().clone() for p in tr.parameters()]
        step(tr, net, bad)
        assert all(torch.equal(a, b) for a, b in zip(before, tr.parameters()))
    step(tr, net, x)
    assert all(r.prev_dendrite_candidate_correlation.abs().sum() > 0 for n in tr.neurons for r in n.dendrite_module.dendrite_values)
    tr.start_n_phase()
    assert tr.num_dendrites == 1 and all(p.isfinite().all() for p in net.parameters()) and net(x).isfinite().all()


def test_errors_of_two_backward_passes_over_one_forward_add_up():
    neuron, dm = p_module(lambda: nn.Linear(3, 4), 2)
    y = neuron(torch.randn(5, 3))
    y.sum().backward(retain_graph=True)
    y.pow(2).sum().backward()
    [r.dendrite_outs[0].append(y.detach()) for r in dm.dendrite_values]  # the per-record path, fed as by a hook
    [DE.filter_backward_ab(g, dm.dendrite_values) for g in (torch.ones_like(y), 2 * y.detach())]
    per_record = [e for r in dm.dendrite_values for e in r.current_parent_d[0]]
    assert len(per_record) == 2 and all(torch.allclose(e, 1 + 2 * y.detach()) for e in per_record + [dm.candidate_errors[0]])


def p_cycle(layer, inputs):
    torch.manual_seed(1)
    net = nn.Sequential(layer())
    tr = DendriteTrainer(net, SGD, install_batches=2)
    for switch in (tr.start_p_phase, tr.start_n_phase):
        step(tr, net, *inputs)
        switch()
    return net, tr.neurons[0].dendrite_module.dendrite_values[0]


@pytest.mark.parametrize("layer, inputs", [
    (lambda: nn.Linear(4, 3), [torch.randn(8, 6, 4), torch.randn(8, 4)]),  # tokens and a pooled vector
    (lambda: nn.Conv1d(2, 3, 3), [torch.randn(2, 5)]), (lambda: nn.Conv2d(2, 3, 3), [torch.randn(2, 5, 5)])])
def test_inputs_of_other_ranks_train_in_p_mode_as_in_n_mode(layer, inputs):
    net, rec = p_cycle(layer, inputs)
    assert rec.initialized.item() == len(inputs) and net[0].dendrite_module.num_dendrites == 1
    if len(inputs) == 1:  # an unbatched convolution: as a batch of one
        twin, twin_rec = p_cycle(layer, [inputs[0][None]])
        for name in ["normal_pass_average_d", "prev_dendrite_candidate_correlation", "best_score"]:
            torch.testing.assert_close(getattr(rec, name), getattr(twin_rec, name))
        torch.testing.assert_close(net(inputs[0]), twin(inputs[0][None])[0])


def cf(outs):
    return lambda dm, _: DE.candidate_forward(dm, [1, -1], outs, torch.randn(2, 3))


def stack_misshapen_record(dm):
    dm.dendrite_values[1].normal_pass_average_d = torch.zeros(5)
    DE.watch_error_average(dm, torch.randn(5, 4, requires_grad=True), 1, 1.0)  # stacks the records' averages


@pytest.mark.parametrize("call, kind, text", [
    (cf([]), ValueError, r"candidate_forward \(layer layer\): dendrite_outs must hold the outputs of the 1 installed dendrites, got 0"),
    (cf(None), ValueError, "got NoneType"),
    (cf([None]), TypeError, r"\(layer layer\): entry 0 of dendrite_outs must be a tensor, got NoneType"),
    (lambda dm, _: DE.watch_error_average(dm, torch.randn(5, 4, requires_grad=True), -1, 1.0), ValueError,
     r"watch_error_average \(layer layer\): an output \[5, 4\] has no dimension -1 of 4 neurons"),
    (lambda dm, _: DE.watch_error_average(dm, torch.randn(5, 4, requires_grad=True), 0, 1.0), ValueError, "no dimension 0 of 4"),
    (lambda dm, _: stack_misshapen_record(dm), ValueError,
     r"\(layer layer\): value record 1's 'normal_pass_average_d' has shape \[5\]"),
    (lambda _, tmp: (save_file({"w": torch.zeros(1)}, str(tmp / "t.pt"), metadata={"weight_tying": "{no json"}),
                     UAR.load_model_with_weight_tying(nn.Linear(1, 1), str(tmp / "t.pt"))), ValueError,
     r"t.pt: corrupt 'weight_tying' metadata"),
    (lambda *_: GAR.pc.set_global_candidates(0), ValueError, "expected a count >= 1, got 0"),
    (lambda *_: (GAR.pc._values.__setitem__("global_candidates", 0), DendriteTrainer(MLP(), SGD)), ValueError,
     "at least one candidate expected"),  # past the setter's own check
    (lambda dm, _: batched_step(p_module(lambda: nn.Linear(3, 4), 2)[1], [1, -1], torch.randn(8, 3), torch.randn(8, 4),
                                lambda t: "summed"), TypeError, r"reduce must sum .* got str")])
def test_malformed_arguments_are_named_at_the_call(call, kind, text, tmp_path):
    neuron, dm = p_module(lambda: nn.Linear(3, 4), 2)
    neuron.grow_dendrites(1)
    with pytest.raises(kind, match=text):
        call(dm, tmp_path)


def test_a_reduce_that_returns_the_sum_counts_as_one_that_sums_in_place():
    x, error = torch.randn(16, 6), torch.randn(16, 4)
    in_place = p_module(lambda: nn.Linear(6, 4), 2)[1]
    returned = copy.deepcopy(in_place)
    batched_step(in_place, [1, -1], x, error, lambda t: [t.add_(1)] and None)  # stands for other ranks' sums
    batched_step(returned, [1, -1], x, error, lambda t: t + 1)
    assert all(torch.equal(getattr(a, f), getattr(b, f)) for a, b in zip(in_place.dendrite_values, returned.dendrite_values) for f in FIELDS)


def test_a_stale_optimizer_refuses_to_step_and_a_raising_install_loss_still_completes_the_switch():
    net, x = MLP(), torch.randn(8, 4)
    tr = DendriteTrainer(net, SGD, install_loss=lambda: {}["no loss"])
    for switch in (tr.start_p_phase, tr.start_n_phase):
        step(tr, net, x)
        old = tr.optimizer
        with pytest.raises(KeyError) if switch == tr.start_n_phase else contextlib.nullcontext():
            switch()
        with pytest.raises(RuntimeError, match="earlier phase .* take trainer.optimizer again"):
            old.step()
        step(tr, net, x)
    held = {p for g in tr.optimizer.param_groups for p in g["params"]}
    assert tr.mode == GAR.arb_tracker.member_vars["mode"] == "n" and net.training and tr.num_dendrites == 1
    assert held == set(tr.parameters()) and net[0].main_module.weight in held


@pytest.mark.parametrize("form", ["safetensors", "whole_module"])
def test_concurrent_saves_under_one_name_leave_the_last_complete_checkpoint(form, tmp_path):
    use_form(form)
    nets, into = [trained(seed=s, dendrites=1) for s in (0, 1)], target(dendrites=1)
    with ThreadPoolExecutor(4) as pool:
        for _ in range(6):
            list(pool.map(lambda n: NT.ab_save_net(n, str(tmp_path), "m"), nets * 2))  # raises a save's error
            got = out(NT.load_net(into, str(tmp_path), "m_arb"))
            assert any(torch.allclose(got, out(n)) for n in nets)
    assert [p.name for p in tmp_path.iterdir()] == ["m_arb.pt"]
