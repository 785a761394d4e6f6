"""Two processes (gloo, CPU) training one network on different shards, against one process
fed both shards as one batch."""
import datetime
import os
import socket

import pytest
import torch
import torch.distributed as dist
from torch import nn
from torch.nn import functional as F

import arborai.globals_arborai as GAR
import arborlib.net_toolkit as NT
from conftest import trainer

pytestmark = pytest.mark.skipif(not (dist.is_available() and dist.is_gloo_available()), reason="no gloo backend")

WORLD, STEPS, BATCH, EPOCHS = 2, 4, 8, 7  # n_patience 1, one epoch per p phase: n n | p | n n | p | n


def settings(live):
    GAR.pc.set_learn_dendrites_live(live)  # live: dendrites train in n mode, candidate 0 feeds the output
    GAR.pc.set_global_candidates(2)
    GAR.pc.set_initial_correlation_batches(2)  # both averaging rules run in each p phase
    GAR.pc.set_debugging_memory_leak(False)


def data():
    g = torch.Generator().manual_seed(5)
    return torch.randn(STEPS, WORLD, BATCH, 6, generator=g), torch.randint(0, 3, (STEPS, WORLD, BATCH), generator=g)


def make_trainer(seed, **kw):
    torch.manual_seed(seed)
    return trainer(lambda: nn.Sequential(nn.Linear(6, 8), nn.ReLU(), nn.Linear(8, 3)), 2,
                   lambda ps: torch.optim.SGD(ps, lr=0.1), n_patience=1, max_p_epochs=1,
                   max_dendrites=5, learn_dendrites_live=None, **kw)  # keeps settings()


def train_epoch(model, tr, x, y):
    for s in range(STEPS):
        tr.optimizer.zero_grad()
        F.cross_entropy(model(x[s].reshape(-1, 6)), y[s].reshape(-1)).backward()
        tr.optimizer.step()


def snapshot(net):
    return {k: v.detach().clone() for k, v in net.state_dict().items()}


def worker(rank, port, folder):
    os.environ.pop("RANK", None)  # as under torch.multiprocessing.spawn: only the process group tells
    torch.set_num_threads(1)
    dist.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=rank, world_size=WORLD,
                            timeout=datetime.timedelta(seconds=60))
    try:
        for live in (False, True):
            settings(live)
            net, tr = make_trainer(seed=rank)  # different draws: the trainer must align them
            x, y = data()
            log = []
            for epoch in range(EPOCHS):
                train_epoch(tr.model, tr, x[:, rank], y[:, rank])
                ran, before = tr.mode, snapshot(net)
                # Alone, rank 1 would see an improvement and stay in n mode; the mean does not.
                score = 1.0 if epoch in (0, 3) else (0.5 if rank == 0 else 1.4)
                tr.epoch_end(score)
                log.append(dict(ran=ran, mode=tr.mode, before=before, after=snapshot(net)))
            if live:  # a least-squares step of the live weight within a p phase, over both shards
                tr.start_p_phase()
                log.append(dict(start=snapshot(net)))
                train_epoch(tr.model, tr, x[:, rank], y[:, rank])
                tr._fit_live_weights()
                log.append(dict(fitted=[n.current_candidate_to_top.detach().clone() for n in tr.neurons]))
                tr.start_n_phase()
            NT.ab_save_net(net, os.path.join(folder, f"live{live}"), f"rank{rank}")
            torch.save(log, os.path.join(folder, f"log{rank}_{live}.pt"))
    finally:
        dist.destroy_process_group()


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("ranks")
    with socket.socket() as s:  # a free port
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    torch.multiprocessing.spawn(worker, args=(port, str(folder)), nprocs=WORLD, join=True)
    return folder


@pytest.mark.slow
@pytest.mark.parametrize("live", [False, True])
def test_two_ranks_match_one_process_on_the_whole_batch(runs, live):
    logs = [torch.load(runs / f"log{r}_{live}.pt") for r in range(WORLD)]
    assert [e["mode"] for e in logs[0][:EPOCHS]] == ["n", "p", "n", "n", "p", "n", "n"]
    for a, b in zip(*(log[:EPOCHS] for log in logs)):
        # n mode keeps each rank's error average until epoch_end; p-mode statistics are global
        for key in ("before", "after") if a["ran"] == "p" else ("after",):
            assert [k for k in a[key] if not torch.equal(a[key][k], b[key][k])] == []
    assert os.listdir(runs / f"live{live}") == ["rank0_arb.pt"]

    # One process, fed both shards at once, from the state each p phase started in.
    settings(live)
    net, tr = make_trainer(seed=0)
    x, y = data()
    for start, end in ((1, 2), (4, 5)):
        if start == 4:
            tr.start_n_phase()
        tr.start_p_phase()
        with torch.no_grad():  # in place: loading would rebuild the candidates the optimizer holds
            for k, v in net.state_dict().items():
                v.copy_(logs[0][start]["after"][k])
        train_epoch(net, tr, x, y)
        got, expected = logs[0][end]["before"], snapshot(net)
        checked = [k for k in expected if "candidate" in k or "dendrite_values" in k]
        assert any("candidate_module" in k for k in checked) and any("best_score" in k for k in checked)
        for k in checked:
            torch.testing.assert_close(got[k], expected[k], rtol=1e-4, atol=1e-6, msg=k)
    if live:
        tr.start_n_phase()
        tr.start_p_phase()
        with torch.no_grad():
            for k, v in net.state_dict().items():
                v.copy_(logs[0][EPOCHS]["start"][k])
        train_epoch(net, tr, x, y)
        tr._fit_live_weights()
        for a, b, n in zip(logs[0][-1]["fitted"], logs[1][-1]["fitted"], tr.neurons):
            assert torch.equal(a, b)
            torch.testing.assert_close(a, n.current_candidate_to_top.detach(), rtol=1e-4, atol=1e-6)


def test_misuse_is_reported(tmp_path):
    with pytest.raises(RuntimeError, match="not initialised"):
        make_trainer(0, process_group=object())
    dist.init_process_group("gloo", init_method=f"file://{tmp_path}/store", rank=0, world_size=1)
    try:
        (net, tr), (x, y) = make_trainer(0), data()
        stale = tr.model
        F.cross_entropy(net(x[0, 0]), y[0, 0]).backward()  # the network itself: nothing averages its gradients
        with pytest.raises(RuntimeError, match="trainer.model"):
            tr.optimizer.step()
        tr.start_p_phase()
        tr.start_n_phase()
        with pytest.raises(RuntimeError, match="earlier phase"):
            stale(x[0, 0])
        train_epoch(tr.model, tr, x[:, 0], y[:, 0])
    finally:
        dist.destroy_process_group()
