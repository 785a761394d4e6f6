"""The driver's choices at an install: the new dendrite's output weights, the candidates'
optimizer and which candidate is installed."""
import functools

import pytest
import torch
from torch import nn
from torch.nn import functional as F

from arborai import install
from conftest import trainer as shared_trainer

pytestmark = pytest.mark.usefixtures("one_thread")

X = torch.randn(96, 6, generator=torch.Generator().manual_seed(1))
Y = (X[:, 0] * X[:, 1] > 0).long() + (X[:, 2] > 0.5).long()


trainer = functools.partial(shared_trainer, lambda: nn.Sequential(nn.Linear(6, 4), nn.ReLU(), nn.Linear(4, 3)),
                            initial_batches=3)


def loss(net):
    with torch.no_grad():
        return float(F.cross_entropy(net(X), Y))


def epochs(net, tr, count):
    for _ in range(count):
        for i in range(0, len(X), 32):
            tr.optimizer.zero_grad()
            F.cross_entropy(net(X[i:i + 32]), Y[i:i + 32]).backward()
            tr.optimizer.step()


@pytest.mark.parametrize("install_batches, search, live", [(0, False, False), (3, False, False), (3, True, False),
                                                            (3, False, True)])
def test_install_lowers_the_training_loss_at_once(install_batches, search, live):
    # live: slot 0 adds to the output during the p phase, so the install must keep it
    net, tr = trainer(install_batches=install_batches, learn_dendrites_live=live,
                      install_loss=(lambda: F.cross_entropy(net(X), Y)) if search else None)
    epochs(net, tr, 5)
    tr.start_p_phase()
    epochs(net, tr, 4)
    for neuron in tr.neurons:  # a slot other than slot 0 scores best
        for k, record in enumerate(neuron.dendrite_module.dendrite_values):
            record.best_score.fill_(float(k))
    before = loss(net)
    tr.start_n_phase()
    after = loss(net)
    if install_batches == 0:  # output weights start at zero: the network is unchanged
        assert after == pytest.approx(before, abs=1e-6)
        assert all(not n.dendrites_to_top[-1].detach().any() for n in tr.neurons)
    else:
        assert after < before - 1e-3
        assert all(len(r) == 0 for r in tr._recent)  # the kept batches are let go


@pytest.mark.parametrize("scale, bad_batch", [(0.0, False), (1.0, False), (1.0, True)])
def test_live_weight_fit_within_a_p_phase(scale, bad_batch):
    net, tr = trainer(install_batches=3, learn_dendrites_live=True, live_fit_scale=scale, max_p_epochs=5)
    epochs(net, tr, 5)
    tr.start_p_phase()
    epochs(net, tr, 1)
    if bad_batch:  # a non-finite error in one kept batch
        tr._recent[0][0][2][0, 0] = float("nan")
    weights = [n.current_candidate_to_top.detach().clone() for n in tr.neurons]
    before = loss(net)
    assert tr._decide(0.0).mode == "p"  # an epoch that does not end the phase
    after = loss(net)
    if scale:
        assert after < before - 1e-4 and all(len(r) == 0 for r in tr._recent)
    else:
        assert all(torch.equal(w, n.current_candidate_to_top) for w, n in zip(weights, tr.neurons))


@pytest.mark.parametrize("kwargs, lr", [(dict(), 3e-2), (dict(candidate_lr_scale=1.0), 1e-2),
                                        (dict(candidate_optimizer_factory=lambda ps: torch.optim.SGD(ps, lr=0.5)), 0.5)])
def test_candidates_have_their_own_learning_rate(kwargs, lr):
    net, tr = trainer(**kwargs)
    assert tr.optimizer.param_groups[0]["lr"] == 1e-2
    tr.start_p_phase()
    assert tr.optimizer.param_groups[0]["lr"] == pytest.approx(lr)
    tr.start_n_phase()
    assert tr.optimizer.param_groups[0]["lr"] == 1e-2


def test_candidate_choice_is_not_swayed_by_one_neuron():
    net, tr = trainer(candidates=3)
    tr.start_p_phase()
    dm = tr.neurons[0].dendrite_module
    # a neuron with a near-zero error spread: its normalised covariance dwarfs the others
    scores = [[1e4, 0.1, 0.1, 0.1], [1.0, 0.5, 0.5, 0.5], [2.0, 0.4, 0.4, 0.4]]
    for r, s in zip(dm.dendrite_values, scores):
        r.best_score.copy_(torch.tensor(s))
    assert install.best_candidate(dm) == 1
