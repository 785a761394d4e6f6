"""Dendrite training on several processes (``torch.distributed``).

The run behaves like one process whose loss is the mean of the ranks' losses (what
DistributedDataParallel optimises). With a mean-reduced loss and equal shards that is one
process fed every rank's batch at once:

* n mode: the network runs DDP-wrapped (rebuilt after every restructuring, which also
  re-broadcasts rank 0's weights); the neurons' error each rank records is its share of the
  global error, ``grad / world_size``.
* p mode: the candidates' batch moments are summed across ranks with one all-reduce, so every
  statistic, running average and best score is computed from the global batch; the
  candidates' gradients are then summed with one bucketed all-reduce per step.
* Switches and saving: candidates start from rank 0's draw, each epoch ends with rank 0's
  buffers on every rank, mode decisions use the score averaged over the ranks, and only
  rank 0 writes checkpoints.
"""
from __future__ import annotations

from typing import Callable, Iterable, List, Optional, Sequence, Tuple

import torch
from torch import nn

from . import globals_arborai as GAR

Reduce = Callable[[torch.Tensor], None]


def initialised() -> bool:
    return torch.distributed.is_available() and torch.distributed.is_initialized()


class ProcessGroupSync:
    """The collectives one dendrite run needs, on one process group."""

    def __init__(self, group=None) -> None:
        import torch.distributed as dist

        self.dist = dist
        self.group = group
        self.world = dist.get_world_size(group)
        self.rank = dist.get_rank(group)

    @classmethod
    def detect(cls, group=None) -> Optional["ProcessGroupSync"]:
        """A sync for ``group`` (the default group when None) if torch.distributed is
        initialised, else None; a group given without an initialised run is an error."""
        if not initialised():
            if group is not None:
                raise RuntimeError("DendriteTrainer: a process group was given, but torch.distributed "
                                   "is not initialised (call init_process_group first)")
            return None
        return cls(group)

    def sum_(self, flat: torch.Tensor) -> None:
        """Sums ``flat`` in place across the ranks (the engine's ``reduce``)."""
        self.dist.all_reduce(flat, group=self.group)

    def broadcast_(self, tensors: Iterable[torch.Tensor]) -> None:
        """Overwrites ``tensors`` with rank 0's values: one collective per dtype and device."""
        buckets = {}
        for t in tensors:
            if t.numel():
                buckets.setdefault((t.dtype, t.device), []).append(t)
        for bucket in buckets.values():
            flat = torch._utils._flatten_dense_tensors([t.detach() for t in bucket])
            self.dist.broadcast(flat, group_src=0, group=self.group)
            with torch.no_grad():
                torch._foreach_copy_(bucket, torch._utils._unflatten_dense_tensors(flat, bucket))

    def sum_grads_(self, params: Sequence[nn.Parameter], averaged: Sequence[bool]) -> None:
        """Sums the gradients of ``params`` across ranks in one bucket; gradients marked in
        ``averaged`` came from the user's loss (a mean over the ranks), the others from the
        correlation loss (a sum over the global batch)."""
        grads = []
        for p, mean in zip(params, averaged):
            if p.grad is None:
                p.grad = torch.zeros_like(p)  # the bucket's layout must match on every rank
            elif mean:
                p.grad.div_(self.world)
            grads.append(p.grad)
        if not grads:
            return
        flat = torch._utils._flatten_dense_tensors(grads)
        self.dist.all_reduce(flat, group=self.group)
        torch._foreach_copy_(grads, torch._utils._unflatten_dense_tensors(flat, grads))

    def agree(self, score: float, improved: bool) -> Tuple[float, bool]:
        """The validation score averaged over the ranks, and whether any rank's candidates
        improved: identical on every rank, so every rank takes the same decision."""
        both = torch.tensor([float(score), float(improved)], dtype=torch.float64)
        self.dist.all_reduce(both, group=self.group)
        return both[0].item() / self.world, both[1].item() > 0

    def wrap(self, net: nn.Module, options: Optional[dict]) -> nn.Module:
        from torch.nn.parallel import DistributedDataParallel

        return DistributedDataParallel(net, process_group=self.group, **(options or {}))


def candidate_parameters(neurons) -> Tuple[List[nn.Parameter], List[bool]]:
    """The trainable candidate parameters of the wrapped layers ``neurons``, and which of them
    learn from the user's loss (the live output weight) rather than from the correlation loss."""
    params, averaged = [], []
    for neuron in neurons:
        for name, p in neuron.named_parameters():
            if p.requires_grad and p.numel() and getattr(p, "parameter_type", None) == "candidate":
                params.append(p)
                # registered under two names; named_parameters yields the first
                averaged.append(name in ("candidate_to_top", "current_candidate_to_top"))
    return params, averaged


# --- p mode on the per-record path ------------------------------------------------------
# One optimizer step: every queued (output, error) pair of every candidate slot of every
# layer, oldest first. A round takes the oldest pair of each slot; its batch moments, shifted
# by the record's running centres (equal on every rank, and they keep the sums well
# conditioned), go to ``reduce`` in one flat tensor, and the step, statistics and running
# averages follow from the global sums exactly as the engine computes them from one batch.

_MOMENTS = 5  # sums of d, p, d*d, p*p, d*p per neuron (d, p centred on the running values)


def _pending(modules) -> List[Tuple[object, int]]:
    out = []
    for dm in modules:
        if dm.mode != "p":
            continue
        for record in dm.dendrite_values:
            if record.device is not None:
                out.append((record, record.device))
    return out


def candidate_steps(modules, reduce: Optional[Reduce]) -> None:
    """One candidate step per captured error for every slot of ``modules`` (p mode), with the
    batch moments summed by ``reduce`` (None: this process's batch only), then the best-score
    check."""
    import arborlib.dendrite_engine as DE

    if GAR.arb_tracker.member_vars["mode"] != "p":
        return
    pending = _pending(modules)
    while True:
        round_ = [(r, s) for r, s in pending if r.current_parent_d[s] and r.dendrite_outs[s]]
        if not round_:
            break
        _step_round(round_, reduce)
    for record, _ in pending:
        DE.check_new_best_score(record)


def _shape(record, t: torch.Tensor):
    node = record.this_node_index
    dims = [d for d in range(t.dim()) if d != node]
    view = [-1 if d == node else 1 for d in range(t.dim())]
    return dims, view


def _step_round(round_, reduce: Optional[Reduce]) -> None:
    running = GAR.pc.get_running_average_ab()
    by_mean = GAR.pc.get_correlations_by_mean()
    normalized = GAR.pc.get_normalized_covariance()
    live = GAR.pc.get_learn_dendrites_live()
    first_batches = float(GAR.pc.get_initial_correlation_batches())

    pairs, parts = [], []
    with torch.no_grad():
        for record, slot in round_:
            outs = record.dendrite_outs[slot].pop(0)
            error = record.current_parent_d[slot].pop(0).detach()
            dims, view = _shape(record, error)
            d = outs.detach() - record.prev_dendrite_candidate_average.view(view)
            p = error - record.parents_average_d_vector.view(view)
            count = error.new_full((1,), error.numel() / max(record.parents_average_d_vector.numel(), 1))
            parts += [count, d.sum(dims), p.sum(dims), (d * d).sum(dims), (p * p).sum(dims), (d * p).sum(dims)]
            pairs.append((record, outs, error, dims, view))
        flat = torch.cat(parts)
        if reduce is not None:
            reduce(flat)

    outputs, grads, stats = [], [], []
    offset = 0
    with torch.no_grad():
        for record, outs, error, dims, view in pairs:
            width = record.parents_average_d_vector.numel()
            n = flat[offset:offset + 1]
            s_d, s_p, s_dd, s_pp, s_dp = flat[offset + 1:offset + 1 + _MOMENTS * width].view(_MOMENTS, width)
            offset += 1 + _MOMENTS * width
            md, mp = s_d / n, s_p / n  # batch means minus the running centres
            std_d = (s_dd / n - md * md).clamp_min(0).sqrt().clamp_min(1e-8)
            std_p = (s_pp / n - mp * mp).clamp_min(0).sqrt().clamp_min(1e-8)
            cross = s_dp - n * md * mp  # centred on the batch means
            # Centred on the running values instead, the cross sum is the shifted one.
            cov = s_dp if running else cross
            cov = cov / n if by_mean else cov
            if normalized:
                cov = cov / std_p
            pearson = (cross / n) / (std_p * std_d)
            mean_p = record.parents_average_d_vector + mp
            if running:
                sign = record.prev_dendrite_candidate_correlation.sign().view(view)
                centre = record.parents_average_d_vector.view(view)
            else:
                sign, centre = cov.sign().view(view), mean_p.view(view)
            outputs.append(outs)
            grads.append(torch.addcmul(sign * centre, -sign, error))
            stats.append((record, n, record.prev_dendrite_candidate_average + md, mean_p, cov, pearson))
    torch.autograd.backward(outputs, grads)

    with torch.no_grad():
        finite = torch.stack([torch.isfinite(s[4]).all() for s in stats]).all()
        for record, n, mean_d, mean_p, cov, pearson in stats:
            _update_running(record, n, mean_d, mean_p, cov, pearson, live, first_batches)
    if not bool(finite):
        bad = [s[0].layer_name for s in stats if not bool(torch.isfinite(s[4]).all())]
        raise FloatingPointError(f"candidate covariance is not finite in layer(s) {bad}; "
                                 f"GAR.pc.append_module_ids_to_track({bad}) keeps dendrites off them")


def _update_running(record, n, mean_d, mean_p, cov, pearson, live: bool, first_batches: float) -> None:
    """The engine's running-average rules on global batch values, chosen without a host read:
    plain averages over the first batches, then 0.99 decay."""
    record.current_batch_pearson = pearson
    record.normal_pass_average_d.copy_(record.normal_pass_average_d * 0.99 + (mean_p * n) * 0.01 / n)
    if live:
        record.parents_average_d_vector.copy_(record.normal_pass_average_d)
    k = record.initialized
    first = k < first_batches
    rest = 1.0 - 0.99
    for name, value in (("prev_dendrite_candidate_average", mean_d),
                        ("prev_dendrite_candidate_correlation", cov),
                        ("prev_dendrite_candidate_pearson", pearson)):
        average = getattr(record, name)
        average.copy_(torch.where(first, (average * k + value) / (k + 1.0), average * 0.99 + value * rest))
    for name in ("best_score", "previous_best_score", "best_pearson_correlation"):
        getattr(record, name).masked_fill_(first, 0)
    record.running_scalar.masked_fill_(first, 1.0)
    record.initialized.add_(first)
