"""What a hostile but realistic user passes: bad batches, repeated backward passes, inputs of
several ranks, stale objects, concurrent saves, malformed arguments."""
import pytest
import torch
from torch import nn

import arborai.globals_arborai as GAR
import arborai.modules_arborai as MAR
import arborlib.dendrite_engine as DE
from arborai.training import DendriteTrainer

pytestmark = pytest.mark.usefixtures("one_thread")


def trained_step(tr, net, x, step=True):
    tr.optimizer.zero_grad()
    net(x).pow(2).mean().backward()
    if step:
        tr.optimizer.step()


@pytest.mark.parametrize("bad_in", ["n", "p"])
def test_a_non_finite_batch_changes_no_weight_and_nothing_non_finite_is_installed(bad_in):
    net = nn.Sequential(nn.Linear(4, 6), nn.ReLU(), nn.Linear(6, 2))
    tr = DendriteTrainer(net, lambda ps: torch.optim.SGD(ps, lr=0.1))
    x, bad = torch.randn(16, 4), torch.full((16, 4), float("nan"))
    if bad_in == "n":
        trained_step(tr, net, bad, step=False)  # the usual guard: backward ran, the step is skipped
    tr.start_p_phase()
    trained_step(tr, net, x)
    if bad_in == "p":
        before = [p.detach().clone() for p in tr.parameters()]
        trained_step(tr, net, bad)
        assert all(torch.equal(a, b) for a, b in zip(before, tr.parameters()))
    trained_step(tr, net, x)
    assert all(r.prev_dendrite_candidate_correlation.abs().sum() > 0 for n in tr.neurons
               for r in n.dendrite_module.dendrite_values)  # clean batches still train the candidates
    tr.start_n_phase()
    assert tr.num_dendrites == 1 and all(p.isfinite().all() for p in net.parameters()) and net(x).isfinite().all()


def p_layer(dendrites=0):
    GAR.pc.set_global_candidates(2)
    GAR.arb_tracker.member_vars["mode"] = "p"
    neuron = MAR.ARBNeuronModule(nn.Linear(3, 4), "fc")
    neuron.grow_dendrites(dendrites)
    neuron.dendrite_module.create_candidates(neuron.main_module)
    neuron.dendrite_module.mode = "p"
    return neuron, neuron.dendrite_module


@pytest.mark.parametrize("path", ["batched", "per-record"])
def test_errors_of_two_backward_passes_over_one_forward_add_up(path):
    neuron, dm = p_layer()
    out = neuron(torch.randn(5, 3))
    if path == "per-record":  # the two errors as the companion's hook would hand them over
        for r in dm.dendrite_values:
            r.dendrite_outs[0].append(out.detach())
        for g in [torch.ones_like(out), 2 * out.detach()]:
            DE.filter_backward_ab(g, dm.dendrite_values)
    else:
        out.sum().backward(retain_graph=True)
        out.pow(2).sum().backward()
    errors = [dm.candidate_errors[0]] if path == "batched" else [r.current_parent_d[0] for r in dm.dendrite_values]
    for e in errors:
        torch.testing.assert_close(e[0] if isinstance(e, list) else e, 1 + 2 * out.detach())
        assert not isinstance(e, list) or len(e) == 1


def p_cycle(layer, inputs):
    """One n step, one p step on all ``inputs`` at once, then the install; (net, first record)."""
    torch.manual_seed(1)
    net = nn.Sequential(layer())
    tr = DendriteTrainer(net, lambda ps: torch.optim.SGD(ps, lr=0.1), install_batches=2)
    for mode in ["n", "p"]:
        tr.optimizer.zero_grad()
        sum(net(x).pow(2).mean() for x in inputs).backward()
        tr.optimizer.step()
        tr.start_p_phase() if mode == "n" else tr.start_n_phase()
    return net, tr.neurons[0].dendrite_module.dendrite_values[0]


@pytest.mark.parametrize("layer, inputs", [
    (lambda: nn.Linear(4, 3), [torch.randn(8, 6, 4), torch.randn(8, 4)]),  # tokens and a pooled vector
    (lambda: nn.Conv1d(2, 3, 3), [torch.randn(2, 5)]),  # unbatched: a batch of one
    (lambda: nn.Conv2d(2, 3, 3), [torch.randn(2, 5, 5)])])
def test_inputs_of_other_ranks_train_in_p_mode_as_in_n_mode(layer, inputs):
    net, rec = p_cycle(layer, inputs)
    assert rec.initialized.item() == len(inputs) and net[0].dendrite_module.num_dendrites == 1
    if inputs[0].dim() < 4 and not isinstance(net[0].main_module, nn.Linear):
        twin, twin_rec = p_cycle(layer, [x.unsqueeze(0) for x in inputs])
        for name in ["normal_pass_average_d", "prev_dendrite_candidate_correlation", "best_score"]:
            torch.testing.assert_close(getattr(rec, name), getattr(twin_rec, name))
        torch.testing.assert_close(net(inputs[0]), twin(inputs[0].unsqueeze(0)).squeeze(0))


def corrupt_tying_file(tmp_path):
    from safetensors.torch import save_file
    from arborai.utils_arborai import load_model_with_weight_tying

    save_file({"weight": torch.zeros(1)}, str(tmp_path / "net.pt"), metadata={"weight_tying": "{not json"})
    load_model_with_weight_tying(nn.Linear(1, 1), str(tmp_path / "net.pt"))


def stack_misshapen_record(dm):
    dm.dendrite_values[1].normal_pass_average_d = torch.zeros(5)
    DE.watch_error_average(dm, torch.randn(5, 4, requires_grad=True), 1, 1.0)  # stacks the records' averages


@pytest.mark.parametrize("call, kind, text", [
    (lambda dm, _: DE.candidate_forward(dm, [1, -1], [], torch.randn(2, 3)), ValueError,
     r"candidate_forward \(layer fc\): dendrite_outs must hold the outputs of the 1 installed dendrites, got 0"),
    (lambda dm, _: DE.candidate_forward(dm, [1, -1], None, torch.randn(2, 3)), ValueError, "got NoneType"),
    (lambda dm, _: DE.candidate_forward(dm, [1, -1], [None], torch.randn(2, 3)), TypeError,
     r"\(layer fc\): entry 0 of dendrite_outs must be a tensor, got NoneType"),
    (lambda dm, _: DE.watch_error_average(dm, torch.randn(5, 4, requires_grad=True), -1, 1.0), ValueError,
     r"watch_error_average \(layer fc\): an output \[5, 4\] has no dimension -1 of 4 neurons"),
    (lambda dm, _: DE.watch_error_average(dm, torch.randn(5, 4, requires_grad=True), 0, 1.0), ValueError,
     "no dimension 0 of 4"),
    (lambda dm, _: stack_misshapen_record(dm), ValueError, r"\(layer fc\): value record 1's 'normal_pass_average_d' has shape \[5\]"),
    (lambda _, tmp: corrupt_tying_file(tmp), ValueError, r"net.pt: corrupt 'weight_tying' metadata")])
def test_malformed_arguments_are_named_at_the_call(call, kind, text, tmp_path):
    with pytest.raises(kind, match=text):
        call(p_layer(dendrites=1)[1], tmp_path)
