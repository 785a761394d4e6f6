import copy
import types

import pytest
import torch
from torch import nn
from torch.nn import functional as F

import arborai.globals_arborai as GAR
import arborlib.dendrite_engine as DE
import reference as R
from arborai.training import attach_optimizer
from conftest import p_layer, record

D2 = [[1.0], [3.0]]
P2 = torch.tensor([[2.0], [6.0]])


def queued_record(D, P, channels=1, node=1, dtype=torch.float32):
    """A record with one queued (output, error) pair in device slot 0."""
    rec = record(channels, node, dtype=dtype)
    rec.dendrite_outs[0].append(D)
    rec.current_parent_d[0].append(P)
    rec.device = 0
    return rec


@pytest.mark.parametrize("running", [True, False])
def test_get_cc_loss_worked_example(running):
    GAR.pc.set_running_average_ab(running)
    leaf = torch.tensor(D2, requires_grad=True)
    D = leaf * 1.0  # carries a graph, like a queued candidate output
    rec = queued_record(D, P2)
    rec.prev_dendrite_candidate_correlation.fill_(2.0)
    rec.parents_average_d_vector.fill_(4.0)
    loss, update_data = DE.get_cc_loss(rec)
    assert loss.dim() == 0 and loss.item() == -4.0 and loss.requires_grad
    assert len(update_data) == 7
    err, outs, per_element, values, math_tuple, full_mult, view_tuple = update_data
    assert torch.equal(err, P2) and torch.equal(outs, D.detach())
    assert per_element.tolist() == [[2.0], [-6.0]]
    assert values is rec and math_tuple == [0] and full_mult == 2 and view_tuple == [1, -1]
    for copy_, src in ((err, P2), (outs, D), (per_element, None)):
        assert not copy_.requires_grad
        if src is not None:
            assert copy_.data_ptr() != src.data_ptr()
    # Nothing is consumed here, and only the batch branch touches the batch Pearson.
    assert rec.dendrite_outs[0] == [D] and rec.current_parent_d[0] == [P2]
    assert rec.current_batch_pearson.tolist() == ([0.0] if running else [1.0])
    loss.backward()
    assert leaf.grad.tolist() == [[2.0], [-2.0]]


@pytest.mark.parametrize("cov, grad", [(2.0, [[2.0], [-2.0]]), (-3.0, [[-2.0], [2.0]]), (0.0, [[0.0], [0.0]])])
def test_get_cc_loss_follows_running_sign(cov, grad):
    leaf = torch.tensor(D2, requires_grad=True)
    rec = queued_record(leaf * 1.0, P2)
    rec.prev_dendrite_candidate_correlation.fill_(cov)
    rec.parents_average_d_vector.fill_(4.0)
    DE.get_cc_loss(dendrite_values=rec)[0].backward()
    assert leaf.grad.tolist() == grad


def test_fifo_two_forwards_one_backward():
    GAR.pc.set_running_average_ab(False)
    n, dm = p_layer()
    x1, x2 = torch.randn(5, 3), torch.randn(5, 3) + 3.0
    DE.forward_candidates(dm, [1, -1], [], x1)
    DE.forward_candidates(dm, [1, -1], [], x2)
    rec = dm.dendrite_values[0]
    d1, d2 = rec.dendrite_outs[0]
    DE.filter_backward_ab(torch.randn(5, 4), dm.dendrite_values)
    (e1,) = rec.current_parent_d[0]
    DE.apply_ab_grads(dm)
    assert rec.dendrite_outs[0] == [d2] and rec.dendrite_outs[0][0] is d2 and rec.current_parent_d[0] == []
    # The statistics come from the first pair: initial rule from zero gives the batch means.
    torch.testing.assert_close(rec.prev_dendrite_candidate_average, d1.detach().mean(0))
    torch.testing.assert_close(rec.normal_pass_average_d, 0.01 * e1.mean(0))
    assert dm.candidate_module[0].weight.grad.abs().sum() > 0


@pytest.mark.parametrize("extra_verbose", [False, True])
@pytest.mark.parametrize("case", ["no_attribute", "no_device", "no_error", "no_output"])
def test_early_returns(case, extra_verbose, capsys):
    GAR.pc.set_extra_verbose(extra_verbose)
    _, dm = p_layer()
    rec = dm.dendrite_values[0]
    out = dm.candidate_module[0](torch.randn(2, 3))
    if case != "no_output":
        rec.dendrite_outs[0].append(out)
    if case != "no_error":
        rec.current_parent_d[0].append(torch.randn(2, 4))
    if case == "no_attribute":
        del rec.device
    elif case != "no_device":
        rec.device = 0
    before = (list(rec.dendrite_outs[0]), list(rec.current_parent_d[0]))
    DE.apply_ab_grads(dm)
    assert (rec.dendrite_outs[0], rec.current_parent_d[0]) == before
    assert rec.initialized.item() == 0 and dm.candidate_module[0].weight.grad is None
    expected = ""
    if extra_verbose:
        expected = "calling apply ab grads for fc\n"
        if case not in ("no_device", "no_attribute"):
            counts = "0/1" if case == "no_error" else "1/0"
            expected += f"with {counts} tensors\nAnd cleared device\n"
    assert capsys.readouterr().out == expected


def test_only_slot_zero_at_the_recorded_device_is_consumed():
    GAR.pc.set_global_candidates(2)
    _, dm = p_layer()
    x = torch.randn(2, 3)
    for rec, cand in zip(dm.dendrite_values, dm.candidate_module):
        rec.dendrite_outs = [[cand(x)], [cand(x)]]
        rec.current_parent_d = [[torch.randn(2, 4)], [torch.randn(2, 4)]]
        rec.device = 1
    DE.apply_ab_grads(dm)
    first, second = dm.dendrite_values
    assert [len(q) for q in first.dendrite_outs + first.current_parent_d] == [1, 0, 1, 0]
    assert [len(q) for q in second.dendrite_outs + second.current_parent_d] == [1, 1, 1, 1]
    assert first.device == 1 and first.initialized.item() == 1 and second.initialized.item() == 0


def test_extra_verbose_full_step(capsys):
    GAR.pc.set_extra_verbose(True)
    _, dm = p_layer()
    rec = dm.dendrite_values[0]
    rec.dendrite_outs[0].append(dm.candidate_module[0](torch.randn(2, 3)))
    rec.current_parent_d[0].append(torch.randn(2, 4))
    rec.device = 0
    DE.apply_ab_grads(self=dm)
    assert capsys.readouterr().out == (
        "calling apply ab grads for fc\nwith 1/1 tensors\nAnd cleared device\n"
        "fc applied grads and clearing first tensor\nwith 1 tensors\n"
    )
    assert rec.dendrite_outs[0] == [] and rec.current_parent_d[0] == []


def test_zero_running_covariance_gives_zero_gradient_but_updates():
    _, dm = p_layer()
    rec, cand = dm.dendrite_values[0], dm.candidate_module[0]
    x = torch.randn(16, 3)
    for step in range(2):
        rec.dendrite_outs[0].append(torch.tanh(cand(x)))
        rec.current_parent_d[0].append(torch.randn(16, 4) + cand(x).detach())
        rec.device = 0
        DE.apply_ab_grads(dm)
        if step == 0:
            assert torch.count_nonzero(cand.weight.grad) == 0 and torch.count_nonzero(cand.bias.grad) == 0
            assert rec.initialized.item() == 1 and torch.count_nonzero(rec.prev_dendrite_candidate_correlation) == 4
    assert torch.count_nonzero(cand.weight.grad) > 0


LAYERS = {
    "linear": (lambda: nn.Linear(3, 4), (8, 3), (8, 4)),
    "conv": (lambda: nn.Conv2d(3, 4, 3, padding=1), (2, 3, 5, 5), (2, 4, 5, 5)),
}


@pytest.mark.parametrize("layer", sorted(LAYERS))
@pytest.mark.parametrize("running", [True, False])
@pytest.mark.parametrize("initialized", [0.0, 100.0])
@pytest.mark.parametrize("other_settings", [False, True])
def test_fused_step_equals_public_functions(layer, running, initialized, other_settings):
    """apply_ab_grads must give what get_cc_loss + backward + the statistics updates give."""
    GAR.pc.set_running_average_ab(running)
    if other_settings:
        GAR.pc.set_learn_dendrites_live(True)
        GAR.pc.set_correlations_by_mean(False)
        GAR.pc.set_normalized_covariance(False)
    make, in_shape, out_shape = LAYERS[layer]
    fused = make()
    plain = copy.deepcopy(fused)
    x = torch.randn(in_shape)
    err = torch.randn(out_shape) + 0.3 * fused(x).detach() - 0.2
    state = {
        "prev_dendrite_candidate_correlation": torch.tensor([0.5, -0.3, 0.0, 0.2]),
        "prev_dendrite_candidate_average": torch.tensor([0.1, -0.2, 0.3, 0.0]),
        "parents_average_d_vector": torch.tensor([-0.1, 0.2, 0.05, 0.4]),
        "normal_pass_average_d": torch.tensor([0.3, 0.1, -0.2, 0.0]),
        "prev_dendrite_candidate_pearson": torch.tensor([0.2, -0.1, 0.0, 0.4]),
        "initialized": torch.tensor([initialized]),
    }
    recs = []
    for cand in (fused, plain):
        rec = queued_record(torch.tanh(cand(x)), err.clone(), channels=4)
        for name, value in state.items():
            getattr(rec, name).copy_(value)
        recs.append(rec)
    DE.apply_ab_grads(types.SimpleNamespace(dendrite_values=[recs[0]]))

    rec = recs[1]
    loss, update_data = DE.get_cc_loss(rec)
    loss.backward()
    new_err, outs, per_element, values, math_tuple, full_mult, view_tuple = update_data
    with torch.no_grad():
        cov = DE.get_current_covariance(outs, new_err, math_tuple, view_tuple, values=values)
        DE.update_running_averages(new_err, outs, per_element, values, math_tuple, full_mult, cov)

    for a, b in zip(fused.parameters(), plain.parameters()):
        torch.testing.assert_close(a.grad, b.grad, rtol=1e-5, atol=1e-6)
    assert recs[0].dendrite_outs[0] == [] and recs[0].current_parent_d[0] == []
    for name in R.STAT_NAMES + ["current_batch_pearson"]:
        torch.testing.assert_close(getattr(recs[0], name), getattr(recs[1], name), rtol=1e-5, atol=1e-6, msg=name)


def test_end_to_end_candidate_learns_and_network_stays_frozen():
    n, dm = p_layer()
    for p in n.main_module.parameters():
        p.requires_grad_(False)
    frozen = n.main_module.weight.clone()
    cand0 = dm.candidate_module[0].weight.detach().clone()
    opt = attach_optimizer(torch.optim.SGD(dm.candidate_module.parameters(), lr=0.2), n)
    teacher = nn.Linear(3, 4)
    rec = dm.dendrite_values[0]
    GAR.pc.set_initial_correlation_batches(20)
    for step in range(150):
        x = torch.randn(64, 3)
        y = n.main_module(x) + torch.tanh(teacher(x)).detach()
        opt.zero_grad()
        ((n(x) - y) ** 2).mean().backward()
        opt.step()
        DE.check_new_best_score(rec)
        if step == 0:
            start = rec.prev_dendrite_candidate_correlation.abs().mean().item()
        if step == 19:  # last initial step: best scores were just zeroed, then re-read
            best_after_initial = rec.best_score.clone()
    score = rec.prev_dendrite_candidate_correlation.abs()
    assert score.mean().item() > 1.5 * start
    assert (rec.best_score >= best_after_initial).all() and rec.best_score.mean() > best_after_initial.mean()
    assert (rec.best_score >= score).all() and (rec.previous_best_score > 0).all()
    assert rec.initialized.item() == 20
    assert torch.equal(frozen, n.main_module.weight)
    assert (dm.candidate_module[0].weight - cand0).abs().max() > 0.1
    assert rec.dendrite_outs[0] == [] and rec.current_parent_d[0] == []


@pytest.mark.parametrize("dtype, tol", [(torch.float64, 1e-10), (torch.bfloat16, 5e-2)], ids=["float64", "bfloat16"])
@pytest.mark.parametrize("contiguous", [True, False])
def test_step_matches_float64_oracle(dtype, tol, contiguous):
    """One fused step in `dtype` on [N, T, F] data: statistics and gradients as the float64
    formulas give them from the same values; the record values stay in float32 or wider."""
    cand = nn.Linear(3, 4).to(dtype)
    x, err = torch.randn(6, 5, 3), torch.randn(6, 5, 4) + 0.3
    if not contiguous:
        x, err = torch.randn(5, 6, 3).transpose(0, 1), torch.randn(4, 6, 5).permute(1, 2, 0) + 0.3
    x, err = x.to(dtype), err.to(dtype)
    rec = queued_record(torch.tanh(cand(x)), err, channels=4, node=2, dtype=dtype)
    for name in R.STAT_NAMES:
        getattr(rec, name).copy_(torch.randn(getattr(rec, name).shape))
    rec.initialized.fill_(3.0)
    state, ref = R.snapshot(rec), copy.deepcopy(cand).double()
    D, P = torch.tanh(ref(x.double())), err.double()
    mt, vt, full_mult = R.dims(D, 2)
    R.covariance_loss(state["prev_dendrite_candidate_correlation"].view(vt), P,
                      state["parents_average_d_vector"].view(vt), D).sum().backward()
    cov, pearson = R.current_covariance(D, P, mt, vt, by_mean=True, normalized=True,
                                        average_d=state["prev_dendrite_candidate_average"],
                                        average_p=state["parents_average_d_vector"])
    expected = R.running_averages(state, D, P, cov, pearson, mt, full_mult, initial_batches=100, live=False)
    DE.apply_ab_grads(types.SimpleNamespace(dendrite_values=[rec]))
    for name in R.STAT_NAMES:
        assert getattr(rec, name).dtype == torch.promote_types(dtype, torch.float32), name
        torch.testing.assert_close(getattr(rec, name).double(), expected[name], rtol=tol, atol=tol, msg=name)
    for got, want in zip(cand.parameters(), ref.parameters()):
        assert got.grad.dtype == dtype
        torch.testing.assert_close(got.grad.double(), want.grad, rtol=tol, atol=tol)


X64, P64 = torch.randn(8, 3, dtype=torch.float64), torch.randn(8, 4, dtype=torch.float64)


def queued_from(weight, bias):
    rec = queued_record(torch.tanh(F.linear(X64, weight, bias)), P64, channels=4, dtype=torch.float64)
    rec.prev_dendrite_candidate_correlation.copy_(torch.tensor([0.5, -0.3, 0.2, -0.1]))
    rec.parents_average_d_vector.copy_(torch.tensor([0.1, -0.2, 0.0, 0.3]))
    return rec


class FusedStep(torch.autograd.Function):
    """The correlation loss of `get_cc_loss`, with the fused step's gradient as its backward."""

    @staticmethod
    def forward(ctx, weight, bias):
        ctx.save_for_backward(weight, bias)
        return DE.get_cc_loss(queued_from(weight, bias))[0]

    @staticmethod
    def backward(ctx, grad):
        leaves = [t.detach().requires_grad_() for t in ctx.saved_tensors]
        with torch.enable_grad():  # backward runs without a graph; the candidate output needs one
            DE.apply_ab_grads(types.SimpleNamespace(dendrite_values=[queued_from(*leaves)]))
        return tuple(grad * t.grad for t in leaves)


@pytest.mark.parametrize("running", [True, False])
@pytest.mark.parametrize("loss", [lambda w, b: DE.get_cc_loss(queued_from(w, b))[0], FusedStep.apply],
                         ids=["get_cc_loss", "fused_step"])
def test_candidate_gradient_gradcheck(loss, running):
    GAR.pc.set_running_average_ab(running)
    weight = torch.randn(4, 3, dtype=torch.float64, requires_grad=True)
    bias = torch.randn(4, dtype=torch.float64, requires_grad=True)
    torch.autograd.gradcheck(loss, (weight, bias))
