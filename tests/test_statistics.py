import sys
import types

import pytest
import torch

import arborai.globals_arborai as GAR
import arborai.modules_arborai as MAR
import arborlib.dendrite_engine as DE
import reference as R
from conftest import record

# The two-sample, one-neuron example: D = [1, 3], P = [2, 6] as [batch, neurons].
D2 = torch.tensor([[1.0], [3.0]])
P2 = torch.tensor([[2.0], [6.0]])
MT, VT = [0], [1, -1]


@pytest.fixture
def stops(monkeypatch):
    """Counts debugger stops; the hook returns, so execution must carry on."""
    calls = []
    monkeypatch.setattr(sys, "breakpointhook", lambda *a, **k: calls.append(1))
    return calls


def batch_only():
    GAR.pc.set_running_average_ab(False)


@pytest.mark.parametrize(
    "by_mean, normalized, expected", [(True, False, 2.0), (False, False, 4.0), (True, True, 1.0), (False, True, 2.0)]
)
def test_worked_example_covariance_and_pearson(by_mean, normalized, expected):
    batch_only()
    GAR.pc.set_correlations_by_mean(by_mean)
    GAR.pc.set_normalized_covariance(normalized)
    rec = record()
    D = D2.clone().requires_grad_()
    cov = DE.get_current_covariance(D, P2, MT, VT, values=rec)
    assert cov.tolist() == [expected] and not cov.requires_grad
    first = rec.current_batch_pearson
    assert first.tolist() == [1.0]
    DE.get_current_covariance(D, -P2, MT, VT, values=rec)
    assert rec.current_batch_pearson is not first and rec.current_batch_pearson.tolist() == [-1.0]


@pytest.mark.parametrize("constant", ["D", "P"])
def test_constant_side_gives_zero_pearson_not_nan(constant, stops):
    batch_only()
    D = torch.full((2, 1), 5.0) if constant == "D" else D2
    P = torch.full((2, 1), 5.0) if constant == "P" else P2
    rec = record()
    assert DE.get_current_covariance(D, P, MT, VT, values=rec).tolist() == [0.0]
    assert rec.current_batch_pearson.tolist() == [0.0] and stops == []


def test_covariance_loss_worked_example():
    loss = DE.covariance_loss(torch.tensor([2.0]).view(VT), P2, torch.tensor([4.0]).view(VT), D2)
    assert loss.tolist() == [[2.0], [-6.0]]
    # A negative covariance flips the push, a zero one removes it.
    cov = torch.tensor([-2.0, 0.0]).view(VT)
    two = DE.covariance_loss(cov, P2.repeat(1, 2), torch.tensor([4.0, 4.0]).view(VT), D2.repeat(1, 2))
    assert two.tolist() == [[-2.0, 0.0], [6.0, 0.0]]


SHAPES = [((256, 512), 1), ((8, 6, 5, 5), 1), ((4, 7, 3), 2)]


def random_pair(shape, node):
    D = torch.randn(shape) * 0.7 + 1.5
    P = 0.4 * D + torch.randn(shape) - 0.8  # correlated, off-centre
    return D, P


@pytest.mark.parametrize("shape, node", SHAPES)
@pytest.mark.parametrize("by_mean", [True, False])
@pytest.mark.parametrize("running", [True, False])
@pytest.mark.parametrize("normalized", [True, False])
def test_covariance_matches_reference(shape, node, by_mean, running, normalized):
    GAR.pc.set_correlations_by_mean(by_mean)
    GAR.pc.set_running_average_ab(running)
    GAR.pc.set_normalized_covariance(normalized)
    D, P = random_pair(shape, node)
    rec = record(shape[node], node)
    rec.prev_dendrite_candidate_average.copy_(torch.randn(shape[node]) * 0.5 + 1.0)
    rec.parents_average_d_vector.copy_(torch.randn(shape[node]) * 0.5 - 0.5)
    mt, vt, _ = R.dims(D, node)
    centres = {}
    if running:
        centres = dict(average_d=rec.prev_dendrite_candidate_average, average_p=rec.parents_average_d_vector)
    exp_cov, exp_pearson = R.current_covariance(D, P, mt, vt, by_mean=by_mean, normalized=normalized, **centres)
    cov = DE.get_current_covariance(D, P, mt, vt, values=rec)
    torch.testing.assert_close(cov, exp_cov.float(), rtol=1e-4, atol=1e-5)
    torch.testing.assert_close(rec.current_batch_pearson, exp_pearson.float(), rtol=1e-4, atol=1e-5)


@pytest.mark.parametrize("shape, node", SHAPES)
@pytest.mark.parametrize("phase", ["initial", "regular"])
@pytest.mark.parametrize("live", [True, False])
def test_running_averages_match_reference(shape, node, phase, live):
    GAR.pc.set_learn_dendrites_live(live)
    GAR.pc.set_initial_correlation_batches(5)
    D, P = random_pair(shape, node)
    rec = record(shape[node], node)
    for name in R.STAT_NAMES:
        getattr(rec, name).copy_(torch.rand_like(getattr(rec, name)) + 0.1)
    rec.initialized.fill_(3.0 if phase == "initial" else 5.0)
    mt, _, full_mult = R.dims(D, node)
    cov, pearson = torch.randn(shape[node]), torch.rand(shape[node])
    rec.current_batch_pearson = pearson.clone()
    expected = R.running_averages(R.snapshot(rec), D, P, cov, pearson, mt, full_mult, initial_batches=5, live=live)
    DE.update_running_averages(P, D, None, rec, mt, full_mult, cov)
    got = R.snapshot(rec)
    for name in R.STAT_NAMES:
        torch.testing.assert_close(got[name], expected[name], rtol=1e-5, atol=1e-6, msg=name)
    assert not rec.parents_average_d_vector.requires_grad


@pytest.mark.parametrize("dpp_verbose", [False, True])
def test_error_average_worked_example(dpp_verbose, capsys):
    GAR.pc.set_dpp_verbose(dpp_verbose)
    rec = record()
    DE.update_running_averages(P2, D2, None, rec, MT, 2, torch.tensor([2.0]))
    assert rec.normal_pass_average_d.item() == pytest.approx(0.04)
    assert capsys.readouterr().out == ("no error with\ntorch.Size([2, 1])\n1\n[0]\n2\n" if dpp_verbose else "")


def test_three_initial_steps_then_regular():
    GAR.pc.set_initial_correlation_batches(3)
    rec = record()
    for name in ("best_score", "previous_best_score", "best_pearson_correlation"):
        getattr(rec, name).fill_(0.5)
    for c in (1.0, 2.0, 3.0):
        DE.update_running_averages(P2, D2, None, rec, MT, 2, torch.tensor([c]))
    assert rec.prev_dendrite_candidate_correlation.item() == pytest.approx(2.0)
    assert rec.prev_dendrite_candidate_average.item() == pytest.approx(2.0)
    assert rec.initialized.item() == 3 and rec.running_scalar.item() == 1.0
    assert rec.best_score.item() == rec.previous_best_score.item() == rec.best_pearson_correlation.item() == 0
    rec.best_score.fill_(0.5)
    DE.update_running_averages(P2, D2, None, rec, MT, 2, torch.tensor([4.0]))
    assert rec.initialized.item() == 3 and rec.best_score.item() == 0.5
    assert rec.prev_dendrite_candidate_correlation.item() == pytest.approx(0.99 * 2 + 0.010000000000000009 * 4)


def test_regular_rule_worked_example_and_storage():
    rec = record()
    rec.prev_dendrite_candidate_correlation.fill_(2.0)
    rec.prev_dendrite_candidate_pearson.fill_(0.5)
    rec.prev_dendrite_candidate_average.fill_(1.0)
    rec.current_batch_pearson = torch.tensor([1.0])
    names = ("prev_dendrite_candidate_correlation", "prev_dendrite_candidate_pearson", "prev_dendrite_candidate_average")
    objs = {n: (getattr(rec, n), getattr(rec, n).data_ptr()) for n in names}
    DE.update_saved_values_averages(rec, D2, torch.tensor([4.0]), None, None, MT)
    got = [getattr(rec, n).item() for n in names]
    assert got == pytest.approx([0.99 * 2 + 0.010000000000000009 * 4, 0.505, 1.01], abs=1e-6)  # about 2.02
    assert rec.initialized.item() == 0
    for n, (obj, ptr) in objs.items():
        # Same tensor objects; correlation and Pearson get fresh storage, the average is written in place.
        assert getattr(rec, n) is obj and (obj.data_ptr() == ptr) == (n == "prev_dendrite_candidate_average")


def test_zero_initial_batches_never_zeroes_best_score():
    GAR.pc.set_initial_correlation_batches(0)
    rec = record()
    rec.best_score.fill_(0.5)
    for _ in range(3):
        DE.update_running_averages(P2, D2, None, rec, MT, 2, torch.tensor([2.0]))
    assert rec.best_score.item() == 0.5 and rec.initialized.item() == 0
    assert rec.prev_dendrite_candidate_correlation.item() == pytest.approx(2.0 * (1 - 0.99**3), rel=1e-5)


NAN = float("nan")


@pytest.mark.parametrize(
    "D, P, check",
    [(torch.tensor([[1.0], [NAN]]), P2, torch.isnan), (D2, torch.tensor([[NAN], [6.0]]), torch.isnan),
     (torch.tensor([[3e38], [-3e38]]), torch.tensor([[3e38], [-3e38]]), torch.isinf)],  # sum overflows
)
def test_non_finite_covariance_is_reported_and_returned(D, P, check, capsys, stops):
    GAR.pc.set_correlations_by_mean(False)
    GAR.pc.set_normalized_covariance(False)
    batch_only()
    cov = DE.get_current_covariance(D, P, MT, VT, values=record(name="conv3"))
    assert check(cov).all()
    assert capsys.readouterr().out == (
        "Covariance contains NaN values.\n"
        "For layer: conv3\n"
        "Try not adding dendrites here with GAR.pc.append_module_ids_to_track(['conv3'])\n"
    )
    assert len(stops) == 1


CORRELATION_REPORT = (
    "Correlation Values:\n"
    "Last Dendrite Outs: tensor([[1.],\n        [3.]])\n"
    "New Neuron Error: tensor([[2.],\n        [6.]])\n"
    "Current Correlations: tensor([2.])\n"
    "Loss: tensor([[nan],\n        [-6.]])\n"
    "Initialized: tensor([7.])\n"
    "got a nan in correlation function\n"
)


@pytest.mark.parametrize("nan_in", [None, "dendrite_outs", "covariance", "loss", "all"])
def test_print_correlation_values(nan_in, capsys, stops):
    rec = record()
    rec.initialized.fill_(7.0)
    args = dict(dendrite_outs=D2.clone(), covariance=torch.tensor([2.0]), loss=torch.tensor([[2.0], [-6.0]]),
                new_neuron_error=P2.clone())
    for name in args:
        if nan_in in (name, "all"):
            args[name].view(-1)[0] = float("nan")
    DE.print_correlation_values(values=rec, **args)
    out = capsys.readouterr().out
    if nan_in == "loss":
        assert out == CORRELATION_REPORT
    assert out.startswith("Correlation Values:\n")
    assert out.endswith("got a nan in correlation function\n") == bool(nan_in)
    assert len(stops) == (1 if nan_in else 0)


def test_shape_error_reports_stops_and_raises(capsys, stops):
    rec = record(channels=3, name="fc7")
    before = R.snapshot(rec)
    with pytest.raises(ValueError, match="Error with type shape in fc7"):
        DE.update_running_averages(torch.randn(2, 4), torch.randn(2, 4), None, rec, MT, 2, torch.zeros(4))
    exception_text, tail = capsys.readouterr().out.split("Error with type shape in fc7\n")
    assert "(3)" in exception_text and "(4)" in exception_text  # the broadcast failure itself
    assert tail == "torch.Size([2, 4])\n1\n[0]\n2\n"
    assert len(stops) == 1
    after = R.snapshot(rec)
    assert all(torch.equal(before[n], after[n]) for n in R.STAT_NAMES)  # nothing after the failure ran


def test_keyword_arguments():
    batch_only()
    rec = record()
    cov = DE.get_current_covariance(values=rec, view_tuple=VT, math_tuple=MT, new_neuron_error=P2, dendrite_outs=D2)
    assert cov.tolist() == [1.0]
    loss = DE.covariance_loss(output=D2, average_error=torch.tensor([[4.0]]), error=P2, current_cov=cov.view(VT))
    assert loss.tolist() == [[2.0], [-6.0]]
    DE.update_running_averages(covariance=cov, full_mult=2, math_tuple=MT, values=rec, loss=loss,
                               dendrite_outs=D2, new_neuron_error=P2)
    assert rec.initialized.item() == 1 and rec.normal_pass_average_d.item() == pytest.approx(0.04)
    DE.update_saved_values_averages_initial(math_tuple=MT, last_parent_d=P2, loss=loss, covariance=cov * 3,
                                            dendrite_outs=D2, saved_values=rec)
    assert rec.prev_dendrite_candidate_correlation.item() == pytest.approx(2.0)
    DE.update_saved_values_averages(math_tuple=MT, last_parent_d=P2, loss=loss, covariance=cov,
                                    dendrite_outs=D2, saved_values=rec)
    assert rec.prev_dendrite_candidate_correlation.item() == pytest.approx(0.99 * 2 + 0.01)


def test_interrupt_in_the_average_update_is_not_a_shape_error(monkeypatch, stops):
    def interrupted():
        raise KeyboardInterrupt

    monkeypatch.setattr(GAR.pc, "get_dpp_verbose", interrupted)
    with pytest.raises(KeyboardInterrupt):
        DE.update_running_averages(P2, D2, None, record(), MT, 2, torch.tensor([2.0]))
    assert not stops


@pytest.mark.parametrize("error", [torch.randn(8, 1), torch.randn(4, 4)])
def test_covariance_refuses_mismatched_shapes(error):
    with pytest.raises(ValueError, match=r"get_current_covariance \(layer fc3\).*\[8, 4\].*" + str(list(error.shape)).replace("[", r"\[").replace("]", r"\]")):
        DE.get_current_covariance(torch.randn(8, 4), error, MT, VT, values=record(channels=4, name="fc3"))


# ---- one candidate step of both entry families against the float64 formulas ----------------
STEP_SHAPES = {"linear": (64, 12), "conv1d": (8, 6, 10), "conv2d": (4, 5, 6, 7)}
DEVICES = ["cpu", pytest.param("cuda", marks=pytest.mark.skipif(not torch.cuda.is_available(), reason="no GPU"))]
TOL = {torch.float32: dict(rtol=1e-4, atol=1e-5), torch.float64: dict(rtol=1e-9, atol=1e-10),
       torch.bfloat16: dict(rtol=2e-2, atol=2e-2)}
STEP_FIELDS = ["prev_dendrite_candidate_average", "prev_dendrite_candidate_correlation",
               "prev_dendrite_candidate_pearson", "normal_pass_average_d", "initialized"]


def leaf(shape, dtype, device, contiguous, scale=1.0, shift=0.0):
    """(leaf, tensor of `shape` made from it): non-contiguous is a permuted view."""
    if contiguous:
        base = (torch.randn(shape, dtype=torch.float64) * scale + shift).to(dtype=dtype, device=device)
        return base.requires_grad_(), base
    base = (torch.randn(shape[::-1], dtype=torch.float64) * scale + shift).to(dtype=dtype, device=device)
    base.requires_grad_()
    view = base.permute(*range(len(shape) - 1, -1, -1))
    assert not view.is_contiguous()
    return base, view


def one_step(family, D, P, dtype, device, node):
    """Runs one candidate step of `family` on D (with graph) and P; returns the record."""
    C = P.shape[node]
    dm = MAR.DendriteModule("layer", C, node, [-1] * P.dim(), device, dtype)
    rec = dm.dendrite_values[0]
    for name in ("prev_dendrite_candidate_average", "parents_average_d_vector"):
        getattr(rec, name).copy_(torch.randn(C) * 0.3)
    rec.prev_dendrite_candidate_correlation.copy_(torch.randn(C))
    rec.prev_dendrite_candidate_pearson.copy_(torch.rand(C))
    rec.normal_pass_average_d.copy_(torch.randn(C) * 0.1)
    rec.initialized.fill_(5.0 if GAR.pc.get_running_average_ab() else 3.0)
    state = R.snapshot(rec)
    GAR.arb_tracker.member_vars["mode"] = "p"
    dm.mode = "p"
    if family == "per_record":
        rec.dendrite_outs[0].append(D)
        rec.current_parent_d[0].append(P)
        rec.device = 0
        DE.apply_ab_grads(types.SimpleNamespace(dendrite_values=[rec]))
        assert rec.dendrite_outs[0] == [] and rec.current_parent_d[0] == []
    else:
        dm.candidate_outputs[0] = D.unsqueeze(node)
        dm.candidate_errors[0] = P
        DE.candidate_step([dm])
        rec = dm.dendrite_values[0]
    return state, rec


@pytest.mark.parametrize("device", DEVICES)
@pytest.mark.parametrize("running", [True, False])
@pytest.mark.parametrize("shape", STEP_SHAPES.values(), ids=STEP_SHAPES.keys())
@pytest.mark.parametrize("contiguous", [True, False], ids=["contiguous", "strided"])
@pytest.mark.parametrize("dtype", TOL.keys(), ids=lambda t: str(t)[6:])
@pytest.mark.parametrize("family", ["per_record", "batched"])
def test_candidate_step_matches_float64_formulas(family, dtype, contiguous, shape, running, device):
    GAR.pc.set_running_average_ab(running)
    GAR.pc.set_initial_correlation_batches(5)  # off: the initial rule; on: the regular one
    node = 1
    d_leaf, D = leaf(shape, dtype, device, contiguous, 0.7, 1.5)
    _, P = leaf(shape, dtype, device, contiguous, 1.0, -0.8)
    P = (P.detach() + 0.4 * D.detach()).to(dtype)
    state, rec = one_step(family, D, P, dtype, device, node)
    grad, expected, pearson = R.candidate_step(
        {k: v.cpu() for k, v in state.items()}, D.detach().cpu(), P.cpu(), node, by_mean=GAR.pc.get_correlations_by_mean(),
        normalized=GAR.pc.get_normalized_covariance(), running=running, initial_batches=5, live=False)
    tol = TOL[dtype]
    got_grad = d_leaf.grad if contiguous else d_leaf.grad.permute(*range(len(shape) - 1, -1, -1))
    torch.testing.assert_close(got_grad.double().cpu(), grad, **tol)
    got = R.snapshot(rec)
    for name in STEP_FIELDS:
        torch.testing.assert_close(got[name].cpu(), expected[name], **tol, msg=name)
    torch.testing.assert_close(rec.current_batch_pearson.double().cpu().flatten(), pearson, **tol)
