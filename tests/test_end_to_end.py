import pytest
import torch
from torch import nn
from torch.nn import functional as F

import arborai.globals_arborai as GAR
from arborai.training import DendriteTrainer

sklearn_datasets = pytest.importorskip("sklearn.datasets")


pytestmark = pytest.mark.usefixtures("one_thread")


@pytest.fixture(scope="module")
def digits():
    x, y = sklearn_datasets.load_digits(return_X_y=True)  # bundled with scikit-learn, no download
    x, y = torch.tensor(x / 16.0, dtype=torch.float32), torch.tensor(y)
    perm = torch.randperm(len(x), generator=torch.Generator().manual_seed(0))
    x, y = x[perm], y[perm]
    return x[:1300], y[:1300], x[1300:], y[1300:]


def mlp():
    return nn.Sequential(nn.Linear(64, 16), nn.ReLU(), nn.Linear(16, 10))


def cnn():
    return nn.Sequential(nn.Conv2d(1, 8, 3, padding=1), nn.ReLU(), nn.MaxPool2d(2),
                         nn.Conv2d(8, 16, 3, padding=1), nn.ReLU(), nn.Flatten(), nn.Linear(256, 10))


def train_epoch(net, opt, x, y):
    for i in range(0, len(x), 64):
        opt.zero_grad()
        F.cross_entropy(net(x[i:i + 64]), y[i:i + 64]).backward()
        opt.step()


@torch.no_grad()
def accuracy(net, x, y):
    net.eval()
    acc = (net(x).argmax(1) == y).float().mean().item()
    net.train()
    return acc


@torch.no_grad()
def latest_dendrites_matter(tr, x):
    """Zeroing the output weights of each layer's newest dendrite changes the network's output."""
    tr.net.eval()
    full = tr.net(x)
    for n in tr.neurons:
        top = n.dendrites_to_top[-1]
        saved = top[-1].clone()
        top[-1].zero_()
        changed = not torch.equal(tr.net(x), full)
        top[-1].copy_(saved)
        assert changed, f"dendrite {tr.num_dendrites - 1} of {n.name} has no effect"
    tr.net.train()


def run_cycles(make, data, max_epochs=80, **schedule):
    xtr, ytr, xva, yva = data
    GAR.pc.set_global_candidates(2)
    GAR.pc.set_initial_correlation_batches(10)
    torch.manual_seed(0)
    net = make()
    tr = DendriteTrainer(net, lambda ps: torch.optim.Adam(ps, lr=3e-3), max_dendrites=2, **schedule)
    counts = [sum(p.numel() for p in net.parameters())]
    for _ in range(max_epochs):
        in_p = tr.mode == "p"
        if in_p:
            frozen = {k: p.clone() for k, p in net.named_parameters() if not p.requires_grad}
            scores = [r.best_score.sum().item() for n in tr.neurons for r in n.dendrite_module.dendrite_values]
        train_epoch(net, tr.optimizer, xtr, ytr)
        if in_p:
            now = dict(net.named_parameters())
            assert all(torch.equal(now[k], v) for k, v in frozen.items()), "a frozen weight moved in p mode"
            after = [r.best_score.sum().item() for n in tr.neurons for r in n.dendrite_module.dendrite_values]
            assert all(a >= b for a, b in zip(after, scores)), "a best score fell"
            assert all(a > 0 for a in after), "a candidate never scored"
        status = tr.epoch_end(accuracy(net, xva, yva))
        if status.restructured:
            counts.append(sum(p.numel() for p in net.parameters()))
        elif (status.switched or status.done) and tr.num_dendrites:
            latest_dendrites_matter(tr, xva)  # end of the n phase that followed an install
        if status.done:
            break
    assert status.done and tr.num_dendrites == 2
    assert counts[0] < counts[1] < counts[2]
    return tr, accuracy(net, xva, yva)


def test_digits_mlp_grows_two_dendrites_and_keeps_accuracy(digits):
    tr, acc = run_cycles(mlp, digits, n_patience=3, p_patience=2, max_p_epochs=6)
    assert sum(mode == "p" for mode, _ in tr.history) >= 2
    torch.manual_seed(0)
    plain = mlp()
    opt = torch.optim.Adam(plain.parameters(), lr=3e-3)
    for _ in range(len(tr.history)):
        train_epoch(plain, opt, *digits[:2])
    plain_acc = accuracy(plain, *digits[2:])
    print(f"\ndendrites: {acc:.4f}  plain: {plain_acc:.4f}  epochs: {len(tr.history)}")
    assert acc >= plain_acc - 0.02


def test_digits_cnn_runs_through_two_dendrites(digits):
    xtr, ytr, xva, yva = digits
    data = (xtr.view(-1, 1, 8, 8), ytr, xva.view(-1, 1, 8, 8), yva)
    tr, acc = run_cycles(cnn, data, n_patience=2, p_patience=2, max_p_epochs=3)
    assert len(tr.neurons) == 3 and acc > 0.8
