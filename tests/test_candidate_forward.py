import sys
import types

import pytest
import torch

import arborai.globals_arborai as GAR
import arborai.modules_arborai as MAR
import arborlib.dendrite_engine as DE
from conftest import p_layer

VT = [1, -1]  # view_tuple of a [N, C] output


def outs_q(dm, i=0):
    return dm.dendrite_values[i].dendrite_outs[0]


@pytest.fixture
def stops(monkeypatch):
    """Counts the debugger stops; the hook returns, so execution must carry on."""
    calls = []
    monkeypatch.setattr(sys, "breakpointhook", lambda *a, **k: calls.append(1))
    return calls


@pytest.mark.parametrize("tracker, module", [("n", "p"), ("p", "n"), ("n", "n")])
def test_outside_p_mode_nothing_runs(tracker, module):
    _, dm = p_layer(candidates=2)
    GAR.arb_tracker.member_vars["mode"] = tracker
    dm.mode = module
    outs_q(dm).append("stale")
    assert DE.forward_candidates(dm, VT, [], torch.randn(2, 3)) == ({}, {}, {})
    assert outs_q(dm) == ["stale"] and outs_q(dm, 1) == []


def test_training_forward_queues_activated_outputs():
    _, dm = p_layer(candidates=2)
    GAR.pc.set_debugging_memory_leak(False)
    GAR.pc.set_arb_forward_function(lambda t: t * 3)
    x = torch.randn(5, 3, requires_grad=True)
    for k in range(1, 4):
        outs, nonlinear, nz = DE.forward_candidates(dm, VT, [], x)
        assert sorted(outs) == sorted(nonlinear) == sorted(nz) == [0, 1]
        for i in range(2):
            expected = dm.candidate_module[i](x.detach())
            assert torch.allclose(outs[i], expected)
            assert torch.allclose(nonlinear[i], expected * 3)
            assert len(outs_q(dm, i)) == k and outs_q(dm, i)[-1] is nonlinear[i]
            assert nonlinear[i].grad_fn is not None  # queued with its graph for the loss step
            assert torch.equal(nz[i], nonlinear[i]) and nz[i].grad_fn is None
            assert not nz[i].requires_grad and nz[i].data_ptr() != nonlinear[i].data_ptr()


@pytest.mark.parametrize("graph_mode", [True, False])
def test_candidate_graph_mode_decides_whether_inputs_get_gradient(graph_mode):
    _, dm = p_layer(candidates=1)
    GAR.pc.set_candidate_graph_mode(graph_mode)
    GAR.pc.set_dendrite_graph_mode(not graph_mode)
    x = torch.randn(2, 3, requires_grad=True)
    _, nonlinear, _ = DE.forward_candidates(dm, VT, [], x)
    nonlinear[0].sum().backward()
    assert (x.grad is None) == graph_mode
    assert dm.candidate_module[0].weight.grad is not None


@pytest.mark.parametrize("eval_mode", [True, False])
def test_nothing_queued_in_eval_or_without_learn_mode(eval_mode):
    _, dm = p_layer(candidates=2)
    if eval_mode:
        dm.eval()
    else:
        GAR.pc.set_dendrite_learn_mode(False)
    outs, nonlinear, nz = DE.forward_candidates(dm, VT, [], torch.randn(2, 3))
    assert len(outs) == len(nonlinear) == len(nz) == 2
    assert outs_q(dm) == [] and outs_q(dm, 1) == []


def stale_report(a, b):
    return [
        "fc is in backwards graph multiple times.",
        "This will cause a memory leak unless it is a recurrent layer.",
        f"Dendrite outs and neuron errors are currently stacked ({a}/{b}) times",
        "If this is coming up before a memory leak that happens anywhere other than the first batch of an epoch you NEED to debug this.",
        "Check the Memory Leak section of the debugging MD file.",
        "If this is just being printed but there is not a memory leak you can set GAR.pc.set_debugging_memory_leak(False)",
        "If you don't have any recurrent layers you can also clear this by in a more memory efficient way by setting GAR.pc.set_no_backward_workaround(True)",
        "If you set GAR.pc.set_no_backward_workaround(True) and it causes a IndexError: list index out of range error, that means you do have a recurrent layer",
        "If this comes up just once or twice and not every single batch you are likely using",
        "a library or method that sometime does forwards and backwards without optimizer.step()",
        "In this cases we now handle this properly and you can just set GAR.pc.set_debugging_memory_leak(False)",
    ]


def test_stale_output_diagnostics(capsys):
    _, dm = p_layer(candidates=2)
    x = torch.randn(2, 3)
    DE.forward_candidates(dm, VT, [], x)
    dm.dendrite_values[0].current_parent_d[0].append(torch.zeros(2, 4))
    assert capsys.readouterr().out == ""
    DE.forward_candidates(dm, VT, [], x)
    # The counts are always those of slot 0; by candidate 1 slot 0 has already grown.
    expected = stale_report(1, 1) + stale_report(2, 1)
    assert capsys.readouterr().out == "\n".join(expected) + "\n"
    assert len(outs_q(dm)) == len(outs_q(dm, 1)) == 2


@pytest.mark.parametrize("verbose", [True, False])
def test_workaround_replaces_stale_output(capsys, verbose):
    _, dm = p_layer(candidates=2)
    GAR.pc.set_no_backward_workaround(True)
    GAR.pc.set_verbose(verbose)
    x = torch.randn(2, 3)
    DE.forward_candidates(dm, VT, [], x)
    _, nonlinear, _ = DE.forward_candidates(dm, VT, [], x)
    for i in range(2):
        assert len(outs_q(dm, i)) == 1 and outs_q(dm, i)[0] is nonlinear[i]
    assert capsys.readouterr().out == ("fc clearing values in workaround\n" * 2 if verbose else "")


@pytest.mark.parametrize(
    "value, verbose, nan_check, n_stops",
    [
        (float("nan"), False, True, 1),
        (float("nan"), True, True, 2),   # plus "got candidate out nan" and its own stop
        (float("nan"), True, False, 1),
        (float("inf"), True, True, 1),   # inf before the activation, tanh makes it finite
        (float("nan"), False, False, 0),
    ],
)
def test_nan_or_inf_report(capsys, stops, value, verbose, nan_check, n_stops):
    _, dm = p_layer(candidates=1)
    GAR.pc.set_verbose(verbose)
    GAR.pc.set_debugging_backwards_nan(nan_check)
    x = torch.tensor([[value, 0.0, 0.0]])
    with torch.no_grad():
        dm.candidate_module[0].weight.fill_(0.5)  # inf * w must stay inf, not inf - inf
    outs, _, _ = DE.forward_candidates(dm, VT, [], x)
    assert 0 in outs  # carried on after the stop
    report = ["Got a NaN or inf in candidate outputs in layer fc",
              "Try using GAR.pc.set_candidate_grad_clipping(1.0) to prevent large candidate gradients"]
    expected = (["got candidate out nan"] if verbose and value != value else []) + (report if nan_check else [])
    assert capsys.readouterr().out == "".join(line + "\n" for line in expected)
    assert len(stops) == n_stops


def test_check_dendrite_outs(capsys, stops):
    _, dm = p_layer(candidates=1)
    values = dm.dendrite_values[0]
    DE.check_dendrite_outs(values, 0)
    assert capsys.readouterr().out == (
        "Dendrite does not have output Value for layer fc\n"
        "This can be caused by your model being in eval mode when you call loss.backwards()\n"
    )
    assert len(stops) == 1
    values.dendrite_outs[0].append(torch.zeros(1))
    DE.check_dendrite_outs(values, 0)
    assert capsys.readouterr().out == "" and len(stops) == 1


def test_no_tensor_in_arguments_names_the_layer():
    _, dm = p_layer(candidates=1)
    with pytest.raises(TypeError, match="fc"):
        DE.forward_candidates(dm, VT, [], 3, key="x")


@pytest.mark.parametrize(
    "view_tuple, cand_shape",
    [([1], (5, 4)), ([1, -1], (5, 4)), ([1, -1, 1, 1], (2, 4, 3, 3))],
)
def test_add_dendrite_inputs(view_tuple, cand_shape):
    w = torch.randn(2, 4)
    dm = types.SimpleNamespace(num_dendrites=2, dendrites_to_candidates=[torch.zeros(2, 4), w])
    cand = torch.randn(cand_shape)
    outs = [torch.randn(cand_shape), torch.randn(cand_shape)]
    got = DE.add_dendrite_inputs(dm, 1, cand, outs, view_tuple, torch.device("cpu"))
    shape = (1, 4, 1, 1) if len(cand_shape) == 4 else (4,)
    assert torch.allclose(got, cand + w[0].reshape(shape) * outs[0] + w[1].reshape(shape) * outs[1])
    dm.num_dendrites = 0
    assert torch.equal(DE.add_dendrite_inputs(dm, 1, cand, outs, view_tuple, torch.device("cpu")), cand)


def test_installed_dendrites_feed_candidates_without_gradient():
    _, dm = p_layer(candidates=1, num_dendrites=1)
    with torch.no_grad():
        dm.dendrites_to_candidates[0].copy_(torch.randn(1, 4))
    x, d = torch.randn(2, 3), torch.randn(2, 4, requires_grad=True)
    installed = [d]
    outs, _, _ = DE.forward_candidates(dm, VT, installed, x)
    expected = dm.candidate_module[0](x) + dm.dendrites_to_candidates[0][0] * d
    assert torch.allclose(outs[0], expected)
    outs[0].sum().backward()
    assert d.grad is None
    assert dm.dendrites_to_candidates[0].grad is not None


class Processor:
    def __init__(self, fail=None):
        self.fail, self.seen = fail, None

    def pre_d(self, *args, **kwargs):
        if self.fail == "pre_d":
            raise ValueError("bad pre_d")
        self.seen = (args, kwargs)
        return (kwargs["input"] * 2,), {}

    def post_d(self, out):
        if self.fail == "post_d":
            raise ValueError("bad post_d")
        return out + 1


def test_processors_are_applied():
    _, dm = p_layer(candidates=1)
    proc = Processor()
    dm.candidate_processors = [proc]
    x = torch.randn(2, 3, requires_grad=True)
    outs, _, _ = DE.forward_candidates(dm, VT, [], input=x)  # device taken from the kwargs
    assert proc.seen[0] == () and not proc.seen[1]["input"].requires_grad
    assert torch.allclose(outs[0], dm.candidate_module[0](x * 2) + 1)


@pytest.mark.parametrize(
    "stage, lines",
    [
        ("pre_d", ["Your candidate pre_d processor for fc caused this error",
                   "You must check how this is defined and ensure that it is properly",
                   "accepting inputs to the ARBModule and returning what will then be",
                   "the input to the dendrite module"]),
        ("post_d", ["Your post_d processor for fc caused this error",
                    "You must check how this is defined and ensure that it is properly",
                    "accepting outputs from the dendrite module and returning the",
                    "single tensor to be combined with the neurons output tensor"]),
    ],
)
def test_failing_processor(capsys, stage, lines):
    _, dm = p_layer(candidates=1)
    dm.candidate_processors = [Processor(fail=stage)]
    with pytest.raises(RuntimeError) as info:
        DE.forward_candidates(dm, VT, [], input=torch.randn(2, 3))
    assert str(info.value) == f"forward_candidates (layer fc): {lines[0]}: bad {stage}"
    assert isinstance(info.value.__cause__, ValueError) and str(info.value.__cause__) == f"bad {stage}"
    captured = capsys.readouterr()
    assert captured.out == "\n".join(lines) + "\n"
    assert "Traceback" in captured.err and f"ValueError: bad {stage}" in captured.err
    assert outs_q(dm) == []


def conv_layer():
    return MAR.ARBNeuronModule(torch.nn.Conv2d(2, 3, 1), "conv")


@pytest.mark.parametrize("case", ["live_off", "missing", "none", "empty"])
def test_live_candidate_leaves_output_alone(case):
    n = conv_layer()
    GAR.pc.set_learn_dendrites_live(case != "live_off")
    if case != "missing":
        n.current_candidate_to_top = None if case == "none" else torch.nn.Parameter(torch.ones(1, 3))
    out = torch.randn(2, 3, 4, 4)
    cands = {} if case == "empty" else {0: torch.randn(2, 3, 4, 4)}
    assert DE.apply_live_candidate_to_output(n, out, cands) is out


def test_live_candidate_added_through_weight():
    n = conv_layer()
    GAR.pc.set_learn_dendrites_live(True)  # read through the module's config
    w = torch.nn.Parameter(torch.randn(1, 3))
    n.current_candidate_to_top = w
    out = torch.randn(2, 3, 4, 5, requires_grad=True)
    cand = torch.randn(2, 3, 4, 5, requires_grad=True)
    got = DE.apply_live_candidate_to_output(n, out, {0: cand, 1: torch.full((2, 3, 4, 5), 9.0)})
    assert torch.allclose(got, out + cand.detach() * w.view(1, 3, 1, 1))
    got.sum().backward()
    assert cand.grad is None
    assert torch.allclose(w.grad, cand.detach().sum(dim=(0, 2, 3)).view(1, 3))



class Returns:
    """A candidate (or processor) that hands back a fixed, wrong value."""

    def __init__(self, value):
        self.value = value

    def pre_d(self, *args, **kwargs):
        return self.value

    def post_d(self, out):
        return self.value

    def __call__(self, *args, **kwargs):
        return self.value


@pytest.mark.parametrize(
    "where, value, error, text",
    [
        ("candidate", None, TypeError, r"forward_candidates \(layer fc\): the output of candidate 0 must be a tensor, got NoneType"),
        ("post_d", "x", TypeError, r"forward_candidates \(layer fc\): the post_d result of candidate 0 must be a tensor, got str"),
        ("pre_d", ((),), RuntimeError, "Your candidate pre_d processor for fc caused this error"),
    ],
)
def test_wrong_candidate_results_name_the_layer(where, value, error, text):
    _, dm = p_layer(candidates=1)
    if where == "candidate":
        dm.candidate_module[0].forward = Returns(value)
    else:
        dm.candidate_processors = [Processor()]
        setattr(dm.candidate_processors[0], where, Returns(value).pre_d)
    with pytest.raises(error, match=text) as info:
        DE.forward_candidates(dm, VT, [], input=torch.randn(2, 3))
    if where == "pre_d":  # the processor report itself must not fail
        assert str(info.value.__cause__).endswith(": pre_d must return a pair (args, kwargs), got tuple")


def test_cc_loss_before_any_backward_says_so():
    _, dm = p_layer(candidates=1)
    with pytest.raises(ValueError, match=r"get_cc_loss \(layer fc\): no error has been captured yet"):
        DE.get_cc_loss(dm.dendrite_values[0])


class ZeroingProcessor:
    """A pre_d processor that writes into the input it is given."""

    def __init__(self, writes):
        self.writes = writes

    def pre_d(self, *args, **kwargs):
        if self.writes:
            args[0].mul_(0)
        return args, kwargs

    def post_d(self, out):
        return out


@pytest.mark.parametrize("engine", ["per_record", "batched"])
@pytest.mark.parametrize("writer", ["hook", "processor"])
def test_a_candidate_writing_into_its_input_changes_neither_the_network_nor_the_next_candidate(engine, writer):
    _, dm = p_layer(candidates=2)
    if writer == "hook":
        dm.candidate_module[0].register_forward_pre_hook(lambda module, args: args[0].mul_(0))
    else:
        dm.candidate_processors = [ZeroingProcessor(True), ZeroingProcessor(False)]
    x = torch.randn(5, 3)
    before = x.clone()
    expected = dm.candidate_module[1](before)
    if engine == "per_record":
        second = DE.forward_candidates(dm, VT, [], x)[0][1]
    else:
        second = DE.candidate_forward(dm, VT, [], x).select(1, 1)
        expected = GAR.pc.get_arb_forward_function()(expected)
    assert torch.equal(x, before)
    torch.testing.assert_close(second, expected)
