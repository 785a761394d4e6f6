import pytest
import torch

import arborai.globals_arborai as GAR
import arborlib.dendrite_engine as DE
from conftest import record

WARNING = (
    "Warning: GPU timeout detected in dendrite_score_beats_current_best, falling back to CPU-synchronized check\n"
)


def scored(best, corr, previous, initialized=1.0, pearson=None, best_pearson=None, name="fc"):
    rec = record(len(best), name=name, dims=[-1, len(best)])
    rec.best_score.copy_(torch.tensor(best))
    rec.prev_dendrite_candidate_correlation.copy_(torch.tensor(corr))
    rec.previous_best_score.copy_(torch.tensor(previous))
    rec.initialized.fill_(initialized)
    if pearson is not None:
        rec.prev_dendrite_candidate_pearson.copy_(torch.tensor(pearson))
        rec.best_pearson_correlation.copy_(torch.tensor(best_pearson))
    return rec


@pytest.mark.parametrize(
    "best, corr, values, indices",
    [([0.2], [-0.3], [0.3], [1]), ([0.3], [0.3], [0.3], [0]), ([0.5, 0.1], [0.2, -0.4], [0.5, 0.4], [0, 1])],
)
def test_new_best(best, corr, values, indices):
    rec = scored(best, corr, [0.0] * len(best))
    got, idx = DE.new_best(saved_values=rec)
    torch.testing.assert_close(got, torch.tensor(values))
    assert idx.tolist() == indices
    assert rec.best_score.tolist() == pytest.approx(best)  # new_best itself writes nothing


# (best, corr, previous, initialized) -> expected fields afterwards; "accepted" marks step-6 bookkeeping.
CASES = {
    "rise_accepted": (([0.2], [-0.3], [0.0], 1.0),
                      dict(best=[0.3], previous=[0.3], improved_any=[1], indexes=[1], epoch=[1], accepted=True)),
    "tie_no_rise": (([0.3], [0.3], [0.3], 1.0),
                    dict(best=[0.3], previous=[0.3], improved_any=[0], indexes=[0], epoch=[0], accepted=False)),
    "beats_reference": (([0.3], [0.0], [0.25], 1.0),
                        dict(best=[0.3], previous=[0.3], improved_any=[0], indexes=[0], epoch=[0], accepted=True)),
    "within_margin": (([0.3], [0.0], [0.28], 1.0),
                      dict(best=[0.3], previous=[0.28], improved_any=[0], indexes=[0], epoch=[0], accepted=False)),
    "within_margin_fresh": (([0.3], [0.0], [0.28], 0.0),
                            dict(best=[0.3], previous=[0.3], improved_any=[0], indexes=[0], epoch=[0], accepted=True)),
    "old_zero_raw_margin": (([0.0], [2e-4], [0.0], 1.0),
                            dict(best=[2e-4], previous=[2e-4], improved_any=[1], indexes=[1], epoch=[1], accepted=True)),
    "below_raw_margin": (([0.0], [5e-5], [0.0], 1.0),
                         dict(best=[5e-5], previous=[0.0], improved_any=[1], indexes=[0], epoch=[0], accepted=False)),
    "two_neurons_one_passes": (([0.2, 0.5], [0.4, 0.1], [0.2, 0.5], 1.0),
                               dict(best=[0.4, 0.5], previous=[0.4, 0.5], improved_any=[1, 0], indexes=[1, 0],
                                    epoch=[1, 0], accepted=True)),
    "nan_no_rise": (([0.3, 0.5], [0.1, float("nan")], [0.3, 0.5], 1.0),  # max() points at the NaN
                    dict(best=[0.3, float("nan")], previous=[0.3, 0.5], improved_any=[0, 0], indexes=[0, 0],
                         epoch=[0, 0], accepted=False)),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_check_new_best_score(case, capsys):
    (best, corr, previous, initialized), exp = CASES[case]
    n = len(best)
    rec = scored(best, corr, previous, initialized, pearson=[-0.7] * n, best_pearson=[0.5] * n)
    rec.indexes_of_best.fill_(0)
    DE.check_new_best_score(saved_values=rec)
    torch.testing.assert_close(rec.best_score, torch.tensor(exp["best"]), equal_nan=True)
    torch.testing.assert_close(rec.previous_best_score, torch.tensor(exp["previous"]))
    assert rec.nodes_improved_any.tolist() == exp["improved_any"]
    assert rec.indexes_of_best.tolist() == exp["indexes"]
    assert rec.nodes_best_improved_this_epoch.tolist() == exp["epoch"]
    accepted = exp["accepted"]
    assert rec.best_score_improved_this_epoch.tolist() == [1.0 if accepted else 0.0]
    assert rec.best_pearson_correlation.tolist() == pytest.approx([0.7 if accepted else 0.5] * n)
    assert rec.initialized.item() == initialized
    assert capsys.readouterr().out == ""  # verbose is off by default


@pytest.mark.parametrize(
    "new, old, expected",
    [
        ([0.3], [0.25], True),
        ([0.3], [0.28], False),  # 0.27 is not above 0.28
        ([0.3], [0.3], False),
        ([2e-4], [0.0], True),
        ([5e-5], [0.0], False),
        ([1.2e-4], [5e-5], False),  # relative margin passes, absolute one does not
        ([0.3, 0.1], [0.29, 0.05], True),
        ([0.3, 0.1], [0.29, 0.095], False),  # each neuron fails one margin
    ],
)
def test_score_beats_current_best(new, old, expected):
    got = DE.dendrite_score_beats_current_best(new_score=torch.tensor(new), old_score=torch.tensor(old))
    assert isinstance(got, torch.Tensor) and got.dim() == 0 and got.dtype == torch.bool
    assert bool(got) is expected


def test_thresholds_are_read_at_each_call():
    new, old = torch.tensor([0.3]), torch.tensor([0.28])
    assert not DE.dendrite_score_beats_current_best(new, old)
    GAR.pc.set_arb_improvement_threshold(0.0)
    assert DE.dendrite_score_beats_current_best(new, old)
    GAR.pc.set_arb_improvement_threshold_raw(0.05)
    assert not DE.dendrite_score_beats_current_best(new, old)


def fail_first_threshold_read(monkeypatch, error):
    real = GAR.pc.get_arb_improvement_threshold
    calls = []

    def flaky():
        calls.append(1)
        if len(calls) == 1:
            raise error
        return real()

    monkeypatch.setattr(GAR.pc, "get_arb_improvement_threshold", flaky)
    return calls


@pytest.mark.parametrize("message", ["CUDA error: unspecified launch failure", "Watchdog TIMEOUT on device"])
@pytest.mark.parametrize("old, expected", [(0.25, True), (0.28, False)])
def test_device_stall_falls_back_to_host_check(monkeypatch, capsys, message, old, expected):
    calls = fail_first_threshold_read(monkeypatch, RuntimeError(message))
    got = DE.dendrite_score_beats_current_best(torch.tensor([0.3]), torch.tensor([old]))
    assert type(got) is bool and got is expected
    assert capsys.readouterr().out == WARNING
    assert len(calls) == 2  # thresholds read again for the host check


@pytest.mark.parametrize("error", [RuntimeError("CUDA out of memory"), ValueError("launch timeout")])
def test_other_errors_propagate(monkeypatch, capsys, error):
    fail_first_threshold_read(monkeypatch, error)
    with pytest.raises(type(error), match=str(error)):
        DE.dendrite_score_beats_current_best(torch.tensor([0.3]), torch.tensor([0.25]))
    assert capsys.readouterr().out == ""


def test_shape_mismatch_is_not_mistaken_for_a_stall(capsys):
    with pytest.raises(RuntimeError, match="must match"):
        DE.dendrite_score_beats_current_best(torch.tensor([0.3, 0.2]), torch.tensor([0.1, 0.1, 0.1]))
    assert capsys.readouterr().out == ""


def test_check_new_best_score_uses_fallback(monkeypatch, capsys):
    fail_first_threshold_read(monkeypatch, RuntimeError("CUDA error: unspecified launch failure"))
    rec = scored([0.2], [0.3], [0.25])
    DE.check_new_best_score(rec)
    assert capsys.readouterr().out == WARNING
    assert rec.previous_best_score.tolist() == pytest.approx([0.3]) and rec.best_score_improved_this_epoch[0] == 1


@pytest.mark.parametrize("flag, verbose", [(0, True), (0, False), (1, True)])
def test_progress_line(monkeypatch, capsys, flag, verbose):
    GAR.pc.set_verbose(verbose)
    reads = []
    real = GAR.pc.get_verbose
    monkeypatch.setattr(GAR.pc, "get_verbose", lambda: reads.append(1) or real())
    # Neuron 1 moves most, so its scores are the ones reported.
    rec = scored([0.12, 0.0], [0.12, 0.3], [0.1, 0.25], initialized=3.7, name="conv2")
    rec.best_score_improved_this_epoch.fill_(flag)
    DE.check_new_best_score(rec)
    line = "Score from 0.2500000000000000 to 0.3000000119209290 for conv2 with initialized 3\n"
    assert capsys.readouterr().out == (line if flag == 0 and verbose else "")
    assert len(reads) == (1 if flag == 0 else 0)
    assert rec.best_score_improved_this_epoch.tolist() == [1.0]


def test_docstrings():
    assert (
        "This function checks if the new correlation is better than the previous best\n"
        "and returns the updated best score and indexes of best scores"
    ) in DE.new_best.__doc__
    assert (
        "Returns if any neurons new score is better than the old score by the required percentage and raw amount.\n"
        "Tries fast GPU version first, falls back to CPU-synchronized version on timeout."
    ) in DE.dendrite_score_beats_current_best.__doc__


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs a CUDA device")
def test_device_answer_stays_on_device():
    got = DE.dendrite_score_beats_current_best(torch.tensor([0.3], device="cuda"), torch.tensor([0.25], device="cuda"))
    assert got.device.type == "cuda" and got.dtype == torch.bool and bool(got)
