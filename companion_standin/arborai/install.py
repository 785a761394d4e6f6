"""Installing a candidate as a dendrite, in one place: which slot is installed, the new
dendrite's output weights fitted by least squares against the errors of recent p-mode
batches, and the same fit as a step of the live weight while a p phase runs.

The batches are kept per wrapped layer by a :func:`recorder` hook during the p phase, as
``[args, kwargs, error]`` entries, the error being the gradient at the layer's output (None
until the batch's backward has run). The loss is taken as a batch mean (PyTorch's default),
so the error times the batch size is the per-sample error that a dendrite is fitted to.
"""
from __future__ import annotations

import collections
from typing import Callable, Iterable, List, Optional, Sequence, Tuple

import torch
from torch import nn

# The output of the fitted dendrite for one batch: output_of(view_tuple, args, kwargs), or
# None to skip the batch.
OutputOf = Callable[[List[int], tuple, dict], Optional[torch.Tensor]]


def recorder(recent, active: Callable[[], bool]):
    """A forward hook (with kwargs) that appends a training batch's inputs to ``recent`` while
    ``active()`` and, once its backward has run, the error at the layer's output."""

    def hook(module, args, kwargs, out):
        if not active() or not module.training or not out.requires_grad:
            return None
        entry = [tuple(a.detach() if torch.is_tensor(a) else a for a in args), dict(kwargs), None]
        recent.append(entry)
        out.register_hook(lambda grad: entry.__setitem__(2, grad.detach()))
        return None

    return hook


def completed(recent: Iterable[list]) -> List[list]:
    """The kept batches whose backward has run: only they carry an error."""
    return [entry for entry in recent if entry[2] is not None]


def best_candidate(dm, prefer: Optional[int] = None) -> Optional[int]:
    """The slot whose candidate scores best over the neurons, among candidates whose weights
    are all finite (None when there is none); ``prefer`` whenever its weights are finite. Each
    neuron's scores are divided by the best of that neuron: a neuron whose error barely varies
    has a normalised covariance orders of magnitude above the others, and would otherwise
    pick the candidate alone."""
    finite = [
        k for k in range(len(dm.dendrite_values))
        if k < len(dm.candidate_module)
        and all(bool(torch.isfinite(p).all()) for p in dm.candidate_module[k].parameters())
        and bool(torch.isfinite(dm.dendrites_to_candidates[k]).all())
    ]
    if not finite:
        return None
    if prefer in finite:
        return prefer
    scores = torch.stack([dm.dendrite_values[k].best_score for k in finite])
    scores = scores.nan_to_num(nan=0.0, posinf=0.0)
    share = scores / scores.max(0).values.clamp_min(1e-12)
    return finite[int(share.sum(1).argmax())]


def install(neuron, recent: Iterable[list], scale: float) -> bool:
    """Installs the chosen candidate of ``neuron`` as its next dendrite, with output weights
    fitted to the completed ``recent`` batches (times ``scale``); False when no candidate has
    finite weights. With a live weight, slot 0's output is already part of the network's output
    and the errors were taken with it: installing another slot would drop what it learned, so
    slot 0 is installed with that weight, and the fit is added to it."""
    live = getattr(neuron, "current_candidate_to_top", None)
    if live is not None and not bool(torch.isfinite(live).all()):
        live = None  # never installed: slot 0 competes as any other, its weight fitted afresh
    slot = best_candidate(neuron.dendrite_module, prefer=0 if live is not None else None)
    if slot is None:
        print(f"Layer {neuron.name}: no candidate has finite weights; none is installed.")
        return False
    kept = live[0] if live is not None and slot == 0 else None
    neuron.install_dendrite(slot, kept)
    fit_top_weights(neuron, completed(recent), scale, add=kept is not None)
    return True


@torch.no_grad()
def least_squares_sums(neuron, batches: Sequence[list], output_of: OutputOf) -> Tuple[torch.Tensor, torch.Tensor]:
    """Per neuron, the sums over ``batches`` of -output x per-sample error and of output
    squared, in float32 or wider: their ratio is the least-squares output weight of the
    dendrite whose output ``output_of`` gives."""
    top = neuron.dendrites_to_top[-1]
    num = torch.zeros(neuron.out_channels, dtype=torch.promote_types(top.dtype, torch.float32), device=top.device)
    den = torch.zeros_like(num)
    for args, kwargs, error in batches:
        node = neuron._node_for(error.dim())  # batches may differ in rank
        view = [-1 if d == node else 1 for d in range(error.dim())]
        out = output_of(view, args, kwargs)
        if out is None:
            continue
        out, error = out.to(num), error.to(num)
        dims = [d for d in range(error.dim()) if d != node]
        batch_num = (out * error).sum(dims) * -(error.shape[0] if node else 1)  # node 0: unbatched
        batch_den = (out * out).sum(dims)
        # A non-finite batch adds nothing: the other batches still give the fit.
        finite = batch_num.isfinite() & batch_den.isfinite()
        num += torch.where(finite, batch_num, 0.0)
        den += torch.where(finite, batch_den, 0.0)
    return num, den


def least_squares_step(num: torch.Tensor, den: torch.Tensor, scale: float) -> torch.Tensor:
    """``scale`` times the least-squares weight from :func:`least_squares_sums`; a neuron whose
    sums are not finite (a non-finite batch) gets no step, so that it never reaches the output."""
    return torch.nan_to_num(scale * num / den.clamp_min(1e-12), nan=0.0, posinf=0.0, neginf=0.0)


@torch.no_grad()
def fit_top_weights(neuron, batches: Sequence[list], scale: float = 1.0, add: bool = False) -> None:
    """Sets the newest dendrite's output weights by least squares (``add``: adds the fit to
    them), so that its weighted output approximates the negative of the neurons' error: the
    network's loss falls at once instead of waiting for these weights to grow from zero."""
    if not batches:
        return
    dm = neuron.dendrite_module
    newest = lambda view, args, kwargs: dm.installed_outputs(view, *args, **kwargs)[-1]  # noqa: E731
    fit = least_squares_step(*least_squares_sums(neuron, batches, newest), scale)
    row = neuron.dendrites_to_top[-1][-1]
    row.copy_(row + fit if add else fit)


@torch.no_grad()
def step_live_weights(neurons: Sequence[nn.Module], recents: Sequence, scale: float,
                      sum_: Optional[Callable[[torch.Tensor], None]] = None) -> None:
    """A least-squares step (times ``scale``) of slot 0's live weight of every layer that has
    one, against the errors of its completed recent batches, which are then let go (they were
    taken with the old weight): the live candidate lowers the loss during the phase. ``sum_``
    sums the flat sums in place across processes (one collective for every layer)."""
    import arborlib.dendrite_engine as DE

    sums = []
    for neuron, recent in zip(neurons, recents):
        live = getattr(neuron, "current_candidate_to_top", None)
        if live is None:
            continue
        dm = neuron.dendrite_module

        def slot_zero(view, args, kwargs, dm=dm):
            stacked = DE.candidate_forward(dm, view, dm.installed_outputs(view, *args, **kwargs), *args, **kwargs)
            return None if stacked is None else stacked.select(view.index(-1), 0)

        sums.append((live, *least_squares_sums(neuron, completed(recent), slot_zero)))
        recent.clear()
    if sum_ is not None and sums:
        flat = torch.cat([t for _, num, den in sums for t in (num, den)])
        sum_(flat)
        parts = iter(flat.split([len(num) for _, num, _ in sums for _ in range(2)]))
        sums = [(live, next(parts), next(parts)) for live, _, _ in sums]
    for live, num, den in sums:
        live[0] += least_squares_step(num, den, scale).to(live.dtype)


@torch.no_grad()
def search_install_scale(net: nn.Module, installed: Sequence[nn.Module],
                         install_loss: Callable[[], torch.Tensor]) -> None:
    """Scales the new output weights of every layer in ``installed`` by one common factor, the
    one of a doubling sequence that gives the lowest ``install_loss()``: the least-squares fit is
    a step against the error, whose best length depends on the loss's curvature."""
    rows = [neuron.dendrites_to_top[-1][-1] for neuron in installed]
    fitted = [row.clone() for row in rows]
    was_training = net.training
    net.eval()
    best, best_factor = None, 0.0
    for factor in [0.0] + [2.0 ** k for k in range(-2, 9)]:
        for row, fit in zip(rows, fitted):
            row.copy_(fit * factor)
        loss = float(install_loss())
        if best is None or loss < best:
            best, best_factor = loss, factor
    for row, fit in zip(rows, fitted):
        row.copy_(fit * best_factor)
    net.train(was_training)


class RecentBatches:
    """Per wrapped layer, the last ``count`` p-mode training batches that the install and the
    live-weight step fit to. The recording hooks are on only while recording: in n mode each
    would cost every forward a call."""

    def __init__(self, neurons: Sequence[nn.Module], count: int) -> None:
        self.neurons = list(neurons)
        self.count = count
        self.per_layer = [collections.deque(maxlen=count) for _ in self.neurons]
        self._hooks: list = []

    def __iter__(self):
        return iter(self.per_layer)

    def __getitem__(self, index: int) -> collections.deque:
        return self.per_layer[index]

    def record(self, on: bool, active: Callable[[], bool]) -> None:
        """Turns the recording hooks on or off; on, they record while ``active()``."""
        for handle in self._hooks:
            handle.remove()
        self._hooks = [] if not (on and self.count) else [
            neuron.register_forward_hook(recorder(recent, active), with_kwargs=True, prepend=True)
            for neuron, recent in zip(self.neurons, self.per_layer)
        ]

    def clear(self) -> None:
        for recent in self.per_layer:
            recent.clear()
