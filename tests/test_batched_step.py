"""The batched candidate step against the per-record functions, its reduce contract, and the
queue and statistics faults it mends (pairing, skipped batches, NaN, degenerate batches)."""
import copy
import threading
import types

import pytest
import torch
from torch import nn
from torch.nn import functional as F

import arborai.globals_arborai as GAR
from arborai import install
import arborai.modules_arborai as MAR
import arborlib.dendrite_engine as DE
import reference as R
from arborai.training import DendriteTrainer
from conftest import p_layer, trainer

FIELDS = ["normal_pass_average_d", "parents_average_d_vector", "prev_dendrite_candidate_average",
          "prev_dendrite_candidate_correlation", "prev_dendrite_candidate_pearson", "current_batch_pearson",
          "best_score", "previous_best_score", "best_pearson_correlation", "indexes_of_best",
          "nodes_improved_any", "nodes_best_improved_this_epoch", "initialized", "running_scalar",
          "best_score_improved_this_epoch"]

LAYERS = {"linear": (lambda: nn.Linear(6, 4), (16, 6), [1, -1]),
          "conv": (lambda: nn.Conv2d(3, 4, 3), (5, 3, 6, 6), [1, -1, 1, 1])}


def statistics_path(monkeypatch, host):
    """Host loops (the CPU's path) or tensor ops (the path of other devices, tested on the CPU)."""
    monkeypatch.setattr(DE._testing, "host_statistics", host)


PATHS = pytest.mark.parametrize("host", [True, False], ids=["host-loops", "tensor-ops"])


def p_module(make, k):
    neuron, dm = p_layer(make(), k, "layer")
    for rec in dm.dendrite_values:  # a non-trivial running state to start from
        rec.parents_average_d_vector.normal_(0, 0.1)
        rec.prev_dendrite_candidate_correlation.normal_()
    return neuron, dm


def batched_step(dm, view, x, error, reduce=None):
    stacked = DE.candidate_forward(dm, view, [], x)
    dm.capture_error(error, dm.queue_candidate_output(stacked))
    DE.candidate_step([dm], reduce)
    return stacked


@PATHS
@pytest.mark.parametrize("running", [True, False])
@pytest.mark.parametrize("k", [1, 3])
@pytest.mark.parametrize("kind", ["linear", "conv"])
def test_batched_step_matches_per_record_functions(kind, k, running, host, monkeypatch):
    statistics_path(monkeypatch, host)
    make, in_shape, view = LAYERS[kind]
    GAR.pc.set_running_average_ab(running)
    GAR.pc.set_initial_correlation_batches(2)  # both averaging rules within four steps
    _, ref = p_module(make, k)
    fast = copy.deepcopy(ref)
    for step in range(4):
        x = torch.randn(in_shape)
        error = torch.randn_like(ref.candidate_module[0](x)) + 0.5 * step
        _, nonlinear, _ = DE.forward_candidates(ref, view, [], x)
        DE.filter_backward_ab(error, ref.dendrite_values)
        for rec in ref.dendrite_values:
            DE.apply_ab_grads(types.SimpleNamespace(dendrite_values=[rec]))
            DE.check_new_best_score(rec)
        stacked = batched_step(fast, view, x, error)
        for i in range(k):  # one GEMM/convolution gives each candidate's own output
            torch.testing.assert_close(stacked.select(1, i), nonlinear[i])
    for a, b in zip(ref.candidate_module.parameters(), fast.candidate_module.parameters()):
        torch.testing.assert_close(b.grad, a.grad, rtol=1e-4, atol=1e-5)
    for a, b in zip(ref.dendrite_values, fast.dendrite_values):
        for name in FIELDS:
            torch.testing.assert_close(getattr(b, name), getattr(a, name), rtol=1e-4, atol=1e-5,
                                       msg=lambda m, name=name: f"{name}: {m}")


@pytest.mark.parametrize("running", [True, False])
def test_reduce_gives_the_concatenated_batch(running):
    """Two simulated processes (threads) with half batches and a summing reduce end where
    one process with the whole batch does."""
    GAR.pc.set_running_average_ab(running)
    GAR.pc.set_initial_correlation_batches(1)
    make, in_shape, view = LAYERS["conv"]
    _, whole = p_module(make, 2)
    halves = [copy.deepcopy(whole), copy.deepcopy(whole)]
    barrier, flats, calls = threading.Barrier(2, timeout=60), [None, None], []

    def reduce_for(rank):
        def reduce(flat):
            calls.append(rank)
            flats[rank] = flat.clone()
            barrier.wait()
            flat.copy_(flats[0] + flats[1])
            barrier.wait()
        return reduce

    for _ in range(3):
        x = torch.randn(in_shape)
        error = torch.randn_like(whole.candidate_module[0](x))
        batched_step(whole, view, x, error)
        threads = [threading.Thread(target=batched_step,
                                    args=(halves[r], view, x[r * 2:(r + 1) * 2 + r], error[r * 2:(r + 1) * 2 + r],
                                          reduce_for(r)))
                   for r in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert sorted(calls) == [0, 0, 0, 1, 1, 1]  # exactly one reduce per engine call
    for p, p0, p1 in zip(whole.candidate_module.parameters(), halves[0].candidate_module.parameters(),
                         halves[1].candidate_module.parameters()):
        torch.testing.assert_close(p0.grad + p1.grad, p.grad, rtol=1e-4, atol=1e-5)
    for rec, rec0 in zip(whole.dendrite_values, halves[0].dendrite_values):
        for name in FIELDS:
            torch.testing.assert_close(getattr(rec0, name), getattr(rec, name), rtol=1e-4, atol=1e-5)


def test_bfloat16_model_keeps_float32_statistics():
    GAR.pc.set_initial_correlation_batches(1000)
    _, dm = p_module(lambda: nn.Linear(6, 4).to(torch.bfloat16), 1)
    x = torch.randn(8, 6, dtype=torch.bfloat16)
    for _ in range(300):
        batched_step(dm, [1, -1], x, torch.randn(8, 4, dtype=torch.bfloat16))
    rec = dm.dendrite_values[0]
    assert rec.initialized.dtype == torch.float32 and rec.initialized.item() == 300


def two_layer_trainer(k=2):
    torch.manual_seed(0)
    net, tr = trainer(lambda: nn.Sequential(nn.Linear(6, 8), nn.Tanh(), nn.Linear(8, 3)), k,
                      lambda ps: torch.optim.SGD(ps, lr=0.1))
    tr.start_p_phase()
    return net, tr


def test_no_output_is_queued_without_a_backward_to_follow():
    net, tr = two_layer_trainer()
    opt, x, y = tr.optimizer, torch.randn(10, 6), torch.randint(0, 3, (10,))
    with torch.no_grad():  # validation pass in train() mode
        for _ in range(5):
            net(x)
    assert all(not n.dendrite_module.candidate_outputs for n in tr.neurons)
    # A skipped bad batch: forward without backward. Its output must not meet the next error.
    net(torch.full((10, 6), float("nan")))
    opt.zero_grad()
    F.cross_entropy(net(x), y).backward()
    opt.step()
    for n in tr.neurons:
        assert not n.dendrite_module.candidate_outputs and not n.dendrite_module.candidate_errors
        for p in n.dendrite_module.candidate_module.parameters():
            assert torch.isfinite(p).all()
        assert [float(r.initialized) for r in n.dendrite_module.dendrite_values] == [1.0, 1.0]


def test_a_layer_called_twice_pairs_each_output_with_its_own_error():
    GAR.pc.set_global_candidates(2)
    GAR.pc.set_running_average_ab(False)
    neuron, dm = p_layer(nn.Linear(4, 4), name="shared")
    twin = copy.deepcopy(dm)
    a, b = torch.randn(3, 4), torch.randn(7, 4)  # different batch sizes: crossing would not fit
    first, second = neuron(a), neuron(b)
    (first.square().sum() + second.sum()).backward()
    assert len(dm.candidate_errors) == 2
    DE.candidate_step([dm])
    # The same two pairs, each queued with its own error by hand, give the same state.
    for x, err in ((a, 2 * first.detach()), (b, torch.ones(7, 4))):
        twin.capture_error(err, twin.queue_candidate_output(DE.candidate_forward(twin, [1, -1], [], x)))
    DE.candidate_step([twin])
    for r, t in zip(dm.dendrite_values, twin.dendrite_values):
        assert float(r.initialized) == 2.0
        torch.testing.assert_close(r.prev_dendrite_candidate_correlation, t.prev_dendrite_candidate_correlation)
    for p, q in zip(dm.candidate_module.parameters(), twin.candidate_module.parameters()):
        torch.testing.assert_close(p.grad, q.grad)


def test_non_finite_slot_skips_its_step_reports_once_and_is_never_installed(capsys):
    make, in_shape, view = LAYERS["linear"]
    neuron, dm = p_module(make, 3)
    with torch.no_grad():
        dm.candidate_module[1].weight[0, 0] = float("nan")
    before = [copy.deepcopy(r.state_dict()) for r in dm.dendrite_values]
    for _ in range(2):
        batched_step(dm, view, torch.randn(in_shape), torch.randn(16, 4))
    assert capsys.readouterr().out.count("skipped the candidate step of slot(s) 1") == 1
    assert float(dm.dendrite_values[1].initialized) == 0.0
    assert torch.equal(dm.dendrite_values[1].prev_dendrite_candidate_correlation,
                       before[1]["prev_dendrite_candidate_correlation"])
    assert dm.candidate_module[1].weight.grad.eq(0).all()
    assert all(float(dm.dendrite_values[k].initialized) == 2.0 for k in (0, 2))
    dm.dendrite_values[1].best_score.fill_(1e6)  # the best score cannot win for a NaN candidate
    assert install.best_candidate(dm) in (0, 2)
    with torch.no_grad():
        for p in dm.candidate_module.parameters():
            p.fill_(float("nan"))
    assert install.best_candidate(dm) is None


@PATHS
@pytest.mark.parametrize("rows", [0, 1])
def test_batches_without_statistics_leave_them_unchanged(rows, host, monkeypatch):
    statistics_path(monkeypatch, host)  # an unchanged score also leaves the improved flags alone
    make, _, view = LAYERS["linear"]
    _, dm = p_module(make, 2)
    batched_step(dm, view, torch.randn(8, 6), torch.randn(8, 4))
    before = [{n: getattr(r, n).clone() for n in FIELDS} for r in dm.dendrite_values]
    batched_step(dm, view, torch.randn(rows, 6), torch.randn(rows, 4))
    for rec, old in zip(dm.dendrite_values, before):
        for name in FIELDS:
            assert torch.equal(getattr(rec, name), old[name]), name


@pytest.mark.parametrize("make, x", [(lambda: nn.Linear(6, 4), torch.randn(8, 6)),
                                     (lambda: nn.Linear(6, 4), torch.randn(3, 5, 6)),
                                     (lambda: nn.Conv2d(3, 4, 3), torch.randn(2, 3, 6, 6))])
def test_n_mode_error_average_follows_the_running_average_rule(make, x):
    GAR.pc.set_global_candidates(2)
    neuron = MAR.ARBNeuronModule(make(), "layer")
    expected = torch.zeros(4)
    for scale in (1.0, -3.0):
        out = neuron(x)
        (scale * out.square()).sum().backward()
        err = 2 * scale * out.detach()
        node = err.dim() - 1 if err.dim() == 3 else 1
        expected = 0.99 * expected + (1 - 0.99) * err.mean([d for d in range(err.dim()) if d != node])
    for rec in neuron.dendrite_module.dendrite_values:
        torch.testing.assert_close(rec.normal_pass_average_d, expected)


@pytest.mark.parametrize("error_shape, text", [
    ((16, 5), r"candidate_step \(layer layer\): the neurons' error \[16, 5\] has no dimension 1 of 4 neurons"),
    ((8, 4), r"candidate_step \(layer layer\): stacked candidate output \[16, 2, 4\] does not match the error "
             r"\[8, 4\] with 2 candidates at dimension 1 \(expected \[8, 2, 4\]\)"),
])
def test_batched_step_names_the_layer_and_both_shapes(error_shape, text):
    _, dm = p_module(LAYERS["linear"][0], 2)
    stacked = DE.candidate_forward(dm, [1, -1], [], torch.randn(16, 6))
    dm.capture_error(torch.randn(error_shape), dm.queue_candidate_output(stacked))
    with pytest.raises(ValueError, match=text):
        DE.candidate_step([dm])
    with pytest.raises(TypeError, match=r"^candidate_forward \(layer layer\): the layer's arguments hold no tensor"):
        DE.candidate_forward(dm, [1, -1], [], "not a tensor")


def train_through(engine, kind, dtype, steps=4):
    """A p phase of `steps` batches and the install, through one candidate engine."""
    from helpers import small_net

    GAR.pc.set_global_candidates(2)
    torch.manual_seed(1)
    net, x = small_net(kind)
    net, x = net.to(dtype), x.to(dtype)
    tr = DendriteTrainer(net, lambda ps: torch.optim.SGD(ps, lr=0.05), max_dendrites=1, candidate_engine=engine)
    tr.start_p_phase()
    for _ in range(steps):
        tr.optimizer.zero_grad()
        net(x).pow(2).mean().backward()
        tr.optimizer.step()
    tr.optimizer.zero_grad()
    records = [{name: getattr(rec, name).detach().clone() for name in FIELDS}
               for n in tr.neurons for rec in n.dendrite_module.dendrite_values]
    candidates = [p.detach().clone() for n in tr.neurons for p in n.dendrite_module.candidate_module.parameters()]
    tr.start_n_phase()
    return records, candidates, {k: v.clone() for k, v in net.state_dict().items()}


@pytest.mark.parametrize("kind, dtype", [("mlp", torch.float32), ("cnn", torch.float32), ("mlp", torch.float64)])
def test_both_candidate_engines_train_the_same_network(kind, dtype):
    batched, per_record = train_through("batched", kind, dtype), train_through("per_record", kind, dtype)
    for rec_b, rec_p in zip(batched[0], per_record[0]):
        for name in FIELDS:
            torch.testing.assert_close(rec_p[name].to(rec_b[name].dtype), rec_b[name], rtol=1e-5, atol=1e-6, msg=name)
    assert batched[0][0]["initialized"].item() == 4  # every step reached the statistics
    for a, b in zip(batched[1], per_record[1]):
        torch.testing.assert_close(b, a, rtol=1e-5, atol=1e-6)
    assert batched[2].keys() == per_record[2].keys()
    for name, value in batched[2].items():  # the installed dendrites and their output weights
        torch.testing.assert_close(per_record[2][name], value, rtol=1e-5, atol=1e-6, msg=name)
    with pytest.raises(ValueError, match="candidate_engine must be 'batched' or 'per_record'"):
        DendriteTrainer(nn.Sequential(nn.Linear(2, 2)), torch.optim.SGD, candidate_engine="fast")


@PATHS
@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])  # float64: the kernel's ATen path
@pytest.mark.parametrize("kind", ["linear", "conv"])
def test_batched_step_meets_float64_formulas_on_offset_data(kind, dtype, host, monkeypatch):
    statistics_path(monkeypatch, host)
    GAR.pc.set_running_average_ab(False)
    make, _, view = LAYERS[kind]
    _, dm = p_module(lambda: make().to(dtype), 2)
    x = torch.randn((4096, 6) if kind == "linear" else (256, 3, 6, 6), dtype=dtype)
    error = torch.randn_like(dm.candidate_module[0](x)) + 3000  # large mean, unit spread
    before = [R.snapshot(r) for r in dm.dendrite_values]
    stacked = batched_step(dm, view, x, error).detach()
    mt, vt, full_mult = R.dims(error, 1)
    for k, (rec, state) in enumerate(zip(dm.dendrite_values, before)):
        D = stacked.select(1, k)
        cov, pearson = R.current_covariance(D, error, mt, vt, by_mean=GAR.pc.get_correlations_by_mean(),
                                            normalized=GAR.pc.get_normalized_covariance())
        expected = R.running_averages(state, D, error, cov, pearson, mt, full_mult, live=False,
                                      initial_batches=GAR.pc.get_initial_correlation_batches())
        torch.testing.assert_close(rec.current_batch_pearson.double(), pearson, rtol=1e-4, atol=1e-6)
        for name in R.STAT_NAMES[:3] + ["normal_pass_average_d"]:
            torch.testing.assert_close(getattr(rec, name).double(), expected[name], rtol=1e-4, atol=1e-6, msg=name)


@pytest.mark.parametrize("kind", ["linear", "conv"])
def test_stacked_forward_meets_forward_candidates_with_installed_dendrites(kind):
    make, in_shape, view = LAYERS[kind]
    neuron, dm = p_module(make, 3)
    neuron.grow_dendrites(2)
    x = torch.randn(in_shape)
    outs = dm.installed_outputs(view, x)
    for _ in range(2):  # a new phase: new candidates, as many as before
        dm.create_candidates(neuron.main_module)
        with torch.no_grad():
            for w in dm.dendrites_to_candidates:  # distinct per candidate and per dendrite
                w.normal_()
        stacked = DE.candidate_forward(dm, view, outs, x)
        _, nonlinear, _ = DE.forward_candidates(dm, view, outs, x)
        for i in range(3):
            torch.testing.assert_close(stacked.select(1, i), nonlinear[i])


def test_step_after_zero_grad_consumes_the_newest_waiting_output():
    net, tr = two_layer_trainer()
    x, y = torch.randn(10, 6), torch.randint(0, 3, (10,))
    net(x)
    out = net(x)  # forward twice, zero_grad, backward of the second, step
    tr.optimizer.zero_grad()
    F.cross_entropy(out, y).backward()
    tr.optimizer.step()
    for n in tr.neurons:
        assert [float(r.initialized) for r in n.dendrite_module.dendrite_values] == [1.0, 1.0]
