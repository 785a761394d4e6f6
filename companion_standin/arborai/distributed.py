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


def initialised() -> bool:
    return torch.distributed.is_available() and torch.distributed.is_initialized()


class ProcessGroupSync:
    """The collectives one dendrite run needs, on one process group."""

    def __init__(self, group=None) -> None:
        import torch.distributed as dist

        self.dist = dist
        self.group = group
        self.world = dist.get_world_size(group)

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

    def agree(self, score: float, improved: bool, device: torch.device) -> Tuple[float, bool]:
        """The validation score averaged over the ranks, and whether any rank's candidates
        improved: identical on every rank, so every rank takes the same decision. ``device``:
        where the network lives (NCCL reduces CUDA tensors only)."""
        both = torch.tensor([float(score), float(improved)], dtype=torch.float64, device=device)
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


class DistributedRun:
    """A trainer's process-group plumbing: the network DDP-wrapped in n mode (a new wrapper
    after every switch, whose construction also broadcasts rank 0's parameters and buffers),
    the optimizer step hooks of each mode, and the collectives of the switches and epoch ends."""

    def __init__(self, sync: ProcessGroupSync, net: nn.Module, neurons, ddp_options: Optional[dict]) -> None:
        self.sync, self.net, self.neurons, self.ddp_options = sync, net, list(neurons), ddp_options
        self.ddp: Optional[nn.Module] = None
        self._ran = False
        for neuron in self.neurons:
            neuron.error_scale = 1.0 / sync.world  # this rank's share of the mean loss's error

    def rewrap(self, mode: str) -> None:
        """n mode: a new DDP wrapper over the current structure and trainable set; p mode: none,
        since the candidates learn outside the user's backward pass."""
        if self.ddp is not None:
            self.ddp._remove_autograd_hooks()  # a wrapper the user still holds must stay inert
            self.ddp = None
        self._ran = False
        if mode == "n":
            wrapper = self.ddp = self.sync.wrap(self.net, self.ddp_options)
            wrapper.register_forward_pre_hook(lambda *_: self._forward(wrapper))

    def _forward(self, wrapper: nn.Module) -> None:
        if wrapper is not self.ddp:
            raise RuntimeError("DendriteTrainer: this DDP wrapper belongs to an earlier phase; "
                               "take trainer.model anew after every switch")
        self._ran = True

    def optimizer_step(self, mode: str, candidate_step: Callable[[Callable], None],
                       finish: Callable[[], None]) -> Callable[[], None]:
        """What runs before each optimizer step: n mode, a check that the forward went through
        the DDP wrapper; p mode, ``candidate_step(reduce)`` with the batch moments summed over
        the ranks, one sum of every candidate gradient, then ``finish()`` on the summed
        gradients (every rank alike)."""
        if mode == "n":
            def step() -> None:
                if not self._ran:
                    raise RuntimeError("DendriteTrainer: on several processes, run the forward pass through "
                                       "trainer.model (DDP-wrapped in n mode), not the network itself; "
                                       "otherwise the ranks' gradients are never averaged")
            return step
        sync = self.sync
        params, averaged = candidate_parameters(self.neurons)

        def step() -> None:
            candidate_step(sync.sum_)  # one all-reduce of every batch moment of the step
            sync.sum_grads_(params, averaged)  # one of every candidate gradient
            finish()
        return step

    def start_p_phase(self) -> None:
        """Candidates start from rank 0's draw; statistics from rank 0's error averages."""
        self.sync.broadcast_(list(self.net.parameters()) + list(self.net.buffers()))

    def agree(self, score: float, improved: bool) -> Tuple[float, bool]:
        return self.sync.agree(score, improved, self.neurons[0].dendrites_to_top[0].device)

    def end_epoch(self) -> None:
        """Every rank leaves the epoch with rank 0's buffers."""
        self.sync.broadcast_(self.net.buffers())
