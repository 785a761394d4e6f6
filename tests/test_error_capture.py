import pytest
import torch
from torch import nn

import arborai.globals_arborai as GAR
import arborai.modules_arborai as MAR
import arborlib.dendrite_engine as DE
from conftest import p_layer


def records(candidates=2, name="fc"):
    GAR.pc.set_global_candidates(candidates)
    return MAR.ARBNeuronModule(nn.Linear(3, 4), name).dendrite_module


def leak_text(layer, a, b):
    return (
        f"{layer} called backward but didn't clear the previous error.\n"
        "This can cause a memory leak.\n"
        "If it is, make sure you are calling optimizer.step() and zero_grad() each iteration.\n"
        "You may need to reduce the total batches in gradient accumulation if this is intentional.\n"
        "\n"
        f"Dendrite outs and neuron errors are currently stacked ({a}/{b}) times\n"
    )


@pytest.mark.parametrize("extra_verbose", [False, True])
def test_n_mode_stores_nothing(capsys, extra_verbose):
    GAR.pc.set_extra_verbose(extra_verbose)
    dm = records()
    DE.filter_backward_ab(torch.randn(2, 4), dm.dendrite_values)
    for v in dm.dendrite_values:
        assert v.current_parent_d[0] == [] and v.device is None
    assert capsys.readouterr().out == ("fc completing backward\n" if extra_verbose else "")


@pytest.mark.parametrize("extra_verbose", [False, True])
def test_p_mode_stores_detached_error(capsys, extra_verbose):
    GAR.pc.set_extra_verbose(extra_verbose)
    dm = records()
    GAR.arb_tracker.member_vars["mode"] = "p"
    val = torch.randn(2, 4, requires_grad=True) * 2
    DE.filter_backward_ab(val, dm.dendrite_values)
    stored = [v.current_parent_d[0] for v in dm.dendrite_values]
    assert all(len(q) == 1 for q in stored)
    for err in (q[0] for q in stored):
        assert not err.requires_grad and err.data_ptr() == val.data_ptr()  # detached, not cloned
    assert all(v.device == 0 and type(v.device) is int for v in dm.dendrite_values)
    verbose_lines = "fc appending parent d and setting device\n" * 2 + "fc completing backward\n"
    assert capsys.readouterr().out == (verbose_lines if extra_verbose else "")


# One detached error object serves every candidate slot.
def test_every_slot_gets_the_same_error_object():
    dm = records(3)
    GAR.arb_tracker.member_vars["mode"] = "p"
    DE.filter_backward_ab(torch.randn(2, 4), dm.dendrite_values)
    first, *rest = (v.current_parent_d[0][0] for v in dm.dendrite_values)
    assert all(err is first for err in rest)


@pytest.mark.parametrize("learn, leak_check", [(True, True), (False, True), (True, False)])
def test_leak_check(capsys, learn, leak_check):
    GAR.pc.set_dendrite_learn_mode(learn)
    GAR.pc.set_debugging_memory_leak(leak_check)
    dm = records()
    GAR.arb_tracker.member_vars["mode"] = "p"
    v0, v1 = dm.dendrite_values
    v0.dendrite_outs[0].extend([torch.zeros(1), torch.zeros(1)])
    v0.current_parent_d[0].append(torch.zeros(1))
    v1.current_parent_d[0].extend([torch.zeros(1)] * 3)
    DE.filter_backward_ab(torch.randn(2, 4), dm.dendrite_values)
    # Each record reports its own counts, taken before its error is appended.
    expected = leak_text("fc", 2, 1) + leak_text("fc", 0, 3) if leak_check else ""
    assert capsys.readouterr().out == expected
    assert len(v0.current_parent_d[0]) == 1 + learn and len(v1.current_parent_d[0]) == 3 + learn
    assert v0.device == (0 if learn else None)


def test_zero_before_any_backward_is_silent(capsys):
    GAR.pc.set_verbose(True)
    GAR.pc.set_extra_verbose(True)
    dm = records()
    dm.dendrite_values[0].dendrite_outs[0].append(torch.zeros(1))
    DE.apply_ab_zero(dm)
    assert capsys.readouterr().out == ""
    assert len(dm.dendrite_values[0].dendrite_outs[0]) == 1


@pytest.mark.parametrize(
    "n_outs, n_errs, cleared, left_outs, left_errs",
    [
        (1, 1, "12", 0, 0),
        (2, 2, "1122", 0, 0),
        (2, 1, "122", 1, 0),
        (3, 1, "1222", 1, 0),
        (1, 0, "", 1, 0),
        (1, 2, "", 1, 2),
        (0, 1, "", 0, 1),
    ],
)
def test_zero_clears_consumed_values(capsys, n_outs, n_errs, cleared, left_outs, left_errs):
    GAR.pc.set_verbose(True)
    dm = records()
    v0, v1 = dm.dendrite_values
    outs = [torch.full((1,), float(k)) for k in range(n_outs)]
    errs = [torch.full((1,), -float(k)) for k in range(n_errs)]
    v0.dendrite_outs[0].extend(outs)
    v0.current_parent_d[0].extend(errs)
    v1.dendrite_outs[0].extend(outs)
    v1.current_parent_d[0].extend(errs)
    v0.device = 0
    DE.apply_ab_zero(dm)
    retained = "fc retaining::dendrite_outs\n" if cleared.count("2") > cleared.count("1") else ""
    assert capsys.readouterr().out == (
        f"{retained}fc cleared:: {cleared}\n"
        f"dendrite_outs and current_parent_d lenghts are now: {left_outs}/{left_errs}\n"
    )
    assert len(v0.dendrite_outs[0]) == left_outs and len(v0.current_parent_d[0]) == left_errs
    if retained:
        assert v0.dendrite_outs[0][0] is outs[-1]  # the newest output waits for its backward
    elif left_outs or left_errs:
        assert v0.dendrite_outs[0] == outs and v0.current_parent_d[0] == errs
    # Only the first record is cleared here.
    assert v1.dendrite_outs[0] == outs and v1.current_parent_d[0] == errs


def test_zero_works_on_the_slot_of_the_last_error(capsys):
    GAR.pc.set_extra_verbose(True)
    dm = records(1)
    v = dm.dendrite_values[0]
    v.dendrite_outs = [[torch.zeros(1)], [torch.zeros(1)]]
    v.current_parent_d = [[torch.zeros(1)], [torch.zeros(1)]]
    v.device = 1
    DE.apply_ab_zero(dm)
    assert capsys.readouterr().out == "clearing out values in zero_grad\n"
    assert v.dendrite_outs[1] == [] and v.current_parent_d[1] == []
    assert len(v.dendrite_outs[0]) == len(v.current_parent_d[0]) == 1


def test_backward_through_wrapped_layers_captures_every_error():
    conv, _ = p_layer(nn.Conv2d(2, 4, 3), 2, "c")
    lin, _ = p_layer(nn.Linear(4 * 4 * 4, 5), name="l")
    net = nn.Sequential(conv, nn.Flatten(), lin)
    for wrapped in (conv, lin):
        for p in wrapped.main_module.parameters():
            p.requires_grad_(False)
    x = torch.randn(3, 2, 6, 6)
    out = net(x)
    (out ** 2 / 2).sum().backward()  # error at the output is the output itself

    with torch.no_grad():
        conv_out = conv.main_module(x)
        expected = {"l": out.detach(), "c": (out @ lin.main_module.weight).view_as(conv_out)}
    for wrapped in (conv, lin):
        dm = wrapped.dendrite_module
        assert list(dm.candidate_errors) == list(dm.candidate_outputs) == [0]
        err = dm.candidate_errors[0]
        stacked = list(err.shape)
        stacked.insert(1, 2)  # the two candidates, just before the neuron dimension
        assert list(dm.candidate_outputs[0].shape) == stacked
        assert torch.allclose(err, expected[wrapped.name], atol=1e-6)
