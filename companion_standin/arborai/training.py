"""Dendrite training from an ordinary PyTorch training loop.

:class:`DendriteTrainer` wraps chosen layers of a network, hands out an optimizer for the
current phase, and decides once per epoch (from a validation score) when to switch between
n mode (neurons learn) and p mode (neurons frozen, candidates learn)::

    trainer = DendriteTrainer(net, lambda params: torch.optim.Adam(params, lr=1e-3))
    for epoch in range(max_epochs):
        optimizer = trainer.optimizer            # new after every switch
        for x, y in loader:
            optimizer.zero_grad()
            loss_fn(net(x), y).backward()
            optimizer.step()
        trainer.epoch_end(validation_accuracy(net))  # status.done: no dendrites follow

Train on to the budget after the last dendrite: the epochs after it are where the network
makes use of its dendrites. The optimizer is attached (:func:`attach_optimizer`): in p mode
every ``optimizer.step()`` first runs the candidate step for every backward pass since the
last step, and every ``optimizer.zero_grad()`` clears what is left of the candidate queues.

On several processes (``torch.distributed`` initialised) every rank runs the same loop with
``trainer.model(x)`` in place of ``net(x)``; see :mod:`arborai.distributed`.
"""
from __future__ import annotations

import collections
import dataclasses
import gc
import json
import weakref
from typing import Callable, Iterable, Iterator, List, Optional, Sequence, Tuple, Type

import torch
from torch import nn

from . import globals_arborai as GAR
from . import modules_arborai as MAR
from .modules_arborai import ARBNeuronModule, DendriteModule

# The live trainers. The tracker's mode is one per process, so it says "p" while any of them is
# in p mode; each layer's own mode keeps the layers of the others on their n-mode path.
_TRAINERS: "weakref.WeakSet[DendriteTrainer]" = weakref.WeakSet()


def neuron_modules(net: nn.Module) -> List[ARBNeuronModule]:
    """The wrapped layers of ``net``, in module order."""
    return [m for m in net.modules() if isinstance(m, ARBNeuronModule)]


def dendrite_modules(net: nn.Module) -> Iterator[DendriteModule]:
    for neuron in neuron_modules(net):
        yield neuron.dendrite_module


def candidate_steps(net: nn.Module, reduce: Optional[Callable[[torch.Tensor], None]] = None) -> None:
    """One candidate step per captured error, for every candidate of every wrapped layer
    (p mode only), with the best-score check; ``reduce`` sums the batch moments across
    processes (see ``arborlib.dendrite_engine.candidate_step``)."""
    _candidate_steps(list(dendrite_modules(net)), reduce)


def clear_candidate_queues(net: nn.Module) -> None:
    _clear_queues(list(dendrite_modules(net)))


def _candidate_steps(modules: List[DendriteModule], reduce=None) -> None:
    import arborlib.dendrite_engine as DE

    if GAR.arb_tracker.member_vars["mode"] == "p":
        # All slots of all layers at once: one backward, no host reads per slot.
        DE.candidate_step([dm for dm in modules if dm.candidate_engine != "per_record"], reduce)
        for dm in modules:
            if dm.candidate_engine == "per_record" and dm.mode == "p":
                for record in dm.dendrite_values:
                    pairs = 0 if record.device is None else len(record.current_parent_d[record.device])
                    for _ in range(pairs):  # one step per captured error, oldest first
                        DE.apply_ab_grads(_OneRecord(record))
                    if pairs:
                        DE.check_new_best_score(record)


class _OneRecord:
    """The per-record entry points act on ``dendrite_values[0]``: one slot's record there."""

    def __init__(self, record) -> None:
        self.dendrite_values = [record]


def _drop_non_finite_live_grads(neurons: Sequence[ARBNeuronModule]) -> None:
    """A non-finite batch gives slot 0's live output weight no gradient, as the candidate step
    gives the candidates none: one NaN step would reach every later output and the install."""
    if GAR.arb_tracker.member_vars["mode"] != "p":
        return
    for neuron in neurons:
        live = neuron._parameters.get("current_candidate_to_top")
        if live is not None and live.grad is not None:  # decided on the device: no host read
            live.grad.copy_(torch.where(live.grad.isfinite().all(), live.grad, 0.0))


def _clear_queues(modules: List[DendriteModule]) -> None:
    import arborlib.dendrite_engine as DE

    for dm in modules:
        if dm.candidate_engine == "per_record":
            for record in dm.dendrite_values:
                DE.apply_ab_zero(_OneRecord(record))
        elif dm.candidate_outputs or dm.candidate_errors:
            dm.release_unconsumed()


class _ZeroGradWithQueues:
    """Replaces an optimizer's ``zero_grad`` on the instance: clear the queues, then zero."""

    def __init__(self, optimizer: torch.optim.Optimizer, modules: List[DendriteModule]) -> None:
        self.original = optimizer.zero_grad
        self.modules = modules

    def __call__(self, *args, **kwargs):
        _clear_queues(self.modules)
        return self.original(*args, **kwargs)


def attach_optimizer(
    optimizer: torch.optim.Optimizer, net: nn.Module, candidate_step: Optional[Callable[[], None]] = None
) -> torch.optim.Optimizer:
    """Makes ``optimizer.step()`` and ``optimizer.zero_grad()`` drive ``net``'s candidates;
    ``candidate_step`` replaces the single-process candidate step (several processes)."""
    if isinstance(optimizer.zero_grad, _ZeroGradWithQueues):
        raise ValueError("attach_optimizer: this optimizer is already attached")
    # The wrapped layers are fixed once wrapped: walk the tree once, not at every step.
    neurons = neuron_modules(net)
    modules = [neuron.dendrite_module for neuron in neurons]
    if not modules:
        raise ValueError("attach_optimizer: the network has no wrapped layers")
    def own_step() -> None:
        _candidate_steps(modules)
        _drop_non_finite_live_grads(neurons)

    step = candidate_step or own_step
    optimizer.register_step_pre_hook(lambda opt, args, kwargs: step())
    optimizer.zero_grad = _ZeroGradWithQueues(optimizer, modules)
    return optimizer


def prefer_fused_update(optimizer: torch.optim.Optimizer) -> None:
    """Lets Adam and AdamW step the candidates with their fused multi-tensor kernel where the
    optimizer leaves the implementation open (``foreach`` and ``fused`` unset): K candidates per
    layer are many small tensors, and a per-tensor update costs several times the whole fused
    step. The same algorithm; the weights differ from the per-tensor loop's by rounding only."""
    if type(optimizer) not in (torch.optim.Adam, torch.optim.AdamW):
        return
    try:  # a private helper of torch's: without it, keep the optimizer's own choice
        from torch.utils._foreach_utils import _get_fused_kernels_supported_devices
    except ImportError:
        return
    devices = _get_fused_kernels_supported_devices()
    for group in optimizer.param_groups:
        if (group.get("fused") is None and group.get("foreach") is None and not group.get("differentiable")
                and not any(torch.is_tensor(v) for v in (group["lr"], *group["betas"]))
                and all(p.is_floating_point() and p.device.type in devices for p in group["params"])):
            group["fused"] = True


DEFAULT_LAYER_TYPES: Tuple[Type[nn.Module], ...] = (nn.Linear, nn.Conv1d, nn.Conv2d)


def wrap_network(
    net: nn.Module,
    layer_types: Sequence[Type[nn.Module]] = DEFAULT_LAYER_TYPES,
    include: Optional[Iterable[str]] = None,
    exclude: Iterable[str] = (),
) -> List[ARBNeuronModule]:
    """Replaces, in place, every layer of ``net`` of one of ``layer_types`` by a neuron module.

    ``include`` (module paths such as "fc1" or "features.0") limits the layers wrapped;
    ``exclude`` and ``GAR.pc.get_module_ids_to_track()`` name layers never wrapped. Every
    parameter is tagged with its role. Returns the new neuron modules.
    """
    import arborlib.dendrite_engine as DE

    if isinstance(net, ARBNeuronModule) or neuron_modules(net):
        raise ValueError("wrap_network: this network is already wrapped")
    chosen = None if include is None else set(include)
    skipped = set(exclude) | set(GAR.pc.get_module_ids_to_track())
    targets = [
        (name, module)
        for name, module in net.named_modules()
        if name and isinstance(module, tuple(layer_types))
        and (chosen is None or name in chosen) and name not in skipped
    ]
    missing = sorted(chosen - {name for name, _ in targets}) if chosen is not None else []
    if missing:
        raise ValueError(f"wrap_network: no wrappable layer named {missing}")
    DE.set_neuron_parameters(net)
    wrapped = []
    for name, module in targets:
        neuron = ARBNeuronModule(module, name)
        neuron.tag_roles()
        parent_name, _, attr = name.rpartition(".")
        setattr(net.get_submodule(parent_name) if parent_name else net, attr, neuron)
        wrapped.append(neuron)
    if not wrapped:
        raise ValueError("wrap_network: found no layer to wrap")
    # The run's tracker state travels with the training network; cleaned copies drop it.
    net.tracker_string = json.dumps(GAR.arb_tracker.member_vars)
    return wrapped


def trainable(parameter: nn.Parameter, mode: str) -> bool:
    """Whether a parameter with this role trains in ``mode``."""
    role = getattr(parameter, "parameter_type", "neuron")
    if mode == "p":
        return role == "candidate"
    return role == "neuron" or (role == "dendrite" and GAR.pc.get_learn_dendrites_live())


@dataclasses.dataclass
class Status:
    """What :meth:`DendriteTrainer.epoch_end` decided."""

    mode: str  # the mode for the next epoch
    switched: bool = False  # the mode changed: take a new ``trainer.optimizer``
    restructured: bool = False  # dendrites were installed: the network changed shape
    done: bool = False  # every layer has its last dendrite; training may go on to the budget


class DendriteTrainer:
    """Wraps a network and runs the n/p cycle.

    Args:
        net: the network; its chosen layers are wrapped in place.
        optimizer_factory: called with the parameters that train in the current phase.
        max_dendrites: dendrites per layer; after the last one the trainer stays in n mode and
            every status says ``done``, while the caller trains on to its epoch budget.
        n_patience: n-mode epochs without a validation improvement before a p phase (2).
        p_patience: p-mode epochs without any candidate improvement before installing (2).
        max_p_epochs: longest p phase (10).
        min_delta: smallest validation gain that counts as an improvement.
        higher_is_better: the validation score's direction.
        candidate_optimizer_factory: builds the p-mode optimizer instead of ``optimizer_factory``
            (default None: the same factory, its learning rates times ``candidate_lr_scale``).
        candidate_lr_scale: the candidates' learning rate over the neurons' when they share the
            factory (3): candidates start from scratch each phase and have few epochs to learn.
        learn_dendrites_live: sets the companion setting of that name (True): installed
            dendrites keep training in n mode, so a dendrite installed from a short p phase
            goes on adapting to the neurons that change around it. In p mode slot 0 then adds
            to the output through its live weight, so slot 0 is the one installed, with that
            weight: the errors were taken with its output in the network, and installing the
            best-scoring slot instead dropped it (the loss rose at the install). None leaves
            the setting.
        install_batches: p-mode batches whose layer inputs and errors are kept, per wrapped
            layer, to fit a new dendrite's output weights by least squares against the error,
            added to the live weight if there is one (8; 0: no fit, and without a live weight
            the weights start at zero and the install leaves the network unchanged).
        install_scale: multiplies the fitted weights (4). The fit treats the loss as squared
            error; a cross-entropy loss is flatter than that, so the loss-optimal step is
            longer: from about 2 to over 100 times the fit on the benchmark's tasks, and 4 was
            below the best on all of them.
        live_fit_scale: with live dendrites, each p epoch that does not end the phase closes with
            a least-squares step (times this) of slot 0's live weight against the recorded
            errors, so the live candidate lowers the loss during the phase instead of waiting for
            its weight to grow (1; 0: off). Over 10 seeds it raised circle from 0.950 to 0.956
            and iris from 0.947 to 0.957; digits at width 16 within noise (-0.2).
        install_loss: optional closure returning a training loss of the current network (for
            example on a fixed batch): the fitted weights' scale is then searched over 0 and
            1/4 .. 256 for the lowest value instead of using ``install_scale``.
        layer_types, include, exclude: which layers to wrap (see :func:`wrap_network`).
        process_group: the ranks that train this network together; by default, when
            torch.distributed is initialised, its default group (see ``arborai.distributed``).
            Every rank then runs the forward pass through :attr:`model`, the same number of
            steps per epoch, and calls :meth:`epoch_end` with its own validation score.
        ddp_options: keyword arguments for DistributedDataParallel (e.g. ``device_ids``).
        candidate_engine: "batched" (default: every slot of every layer in one step) or
            "per_record" (the per-record entry points, one record and pair at a time; one
            process only).

    The defaults come from ``bench/bench_learning.py`` (5 seeds, 120 epochs, digits at widths 4
    and 16, iris, a circle in the plane on a width-2 base). Measured there: training on after
    the last dendrite instead of stopping at ``done`` (iris +16 points, digits width 4 +0.9),
    ReLU dendrites instead of tanh (digits width 4 +2.3, circle +7.3), the least-squares
    install (iris +8.0, circle +4.0, digits width 4 -0.7 within noise; the loss falls 1-17% at
    each install instead of 0), and choosing the candidate by each neuron's share of the best
    score rather than by the summed normalised covariances, which a neuron with a near-zero
    error spread dominates (circle +3.4, digits and iris within 0.7). Then, together, installed
    dendrites that keep learning (``learn_dendrites_live``) and a candidate learning rate 3x the
    neurons' (D - B: digits width 4 +1.7 -> +3.7 points, width 16 +0.2 -> +0.3, iris +4.7 -> +8.7;
    circle D 0.868 -> 0.967); alone, live dendrites gave digits width 4 +1.5 and circle +2.1,
    and the higher candidate rate alone had given iris -5.4, circle +1.5. Tried and not made
    defaults: p phases ending when the summed best scores gain under 5% per epoch with a cap of
    20 (circle -3.7, others within noise); ``max_p_epochs`` 20 with ``p_patience`` 3 (digits
    width 4 -0.1, circle -5.1); 6 dendrites instead of 3 (circle +5.6 with 2.3x the parameters,
    digits +0.2; with live dendrites no gain over 3).

    Those live figures came with an install that dropped slot 0's live output whenever another
    slot scored best, so the loss rose at the install (every install of one digits width-16 run,
    +126% to +329%). Installing slot 0 with its live weight keeps it (the loss now falls 12% on
    digits width 4 and 43% at width 16 from each p phase's start to its install), but alone cost iris
    4.7 and circle 2.3 points over 10 seeds: on small data the live weight learns little in a
    short phase. Adding the least-squares step to it brought iris back (0.953 over 10 seeds) and
    ``n_patience`` 2 instead of 3 circle (0.943 -> 0.950), and the live weight's least-squares
    step at each p epoch (``live_fit_scale``) circle to 0.956 and iris to 0.957 (10 seeds).
    Final, 5 seeds, D - B: digits width 4 +2.9 ± 2.9 points, width 16 +0.2 ± 0.3, iris
    +9.3 ± 6.4; circle D 0.953 ± 0.015. A plain network of D's size (P) beats D on all four
    (by 5.2, 0.8, 0.7 and 3.3 points). Not made
    defaults (digits width 16 D - B, 5 seeds): ``n_patience`` 5 (+0.5), ``max_p_epochs`` 5
    (+0.4), ``p_patience`` 3 (+0.6), ``candidate_lr_scale`` 1 (+0.5) or 10 (-1.1); on circle
    (10 seeds) ``install_scale`` 16 (0.930) and ``max_p_epochs`` 20 (0.918).

    On a wide base, leave the output layer unwrapped (``exclude``): over 10 seeds, dendrites on
    the hidden layer only gave digits width 16 D - B +0.7 ± 0.6 instead of -0.1 ± 0.4, level
    with a plain network of the same size (-0.1), and width 4 +3.4 (+3.3 with it). On a narrow
    base the output layer's dendrites supply the depth: without them iris fell from 0.957 to
    0.930 and circle from 0.956 to 0.920, so the default wraps every layer.
    """

    def __init__(
        self,
        net: nn.Module,
        optimizer_factory: Callable[[List[nn.Parameter]], torch.optim.Optimizer],
        *,
        max_dendrites: int = 2,
        n_patience: int = 2,
        p_patience: int = 2,
        max_p_epochs: int = 10,
        min_delta: float = 0.0,
        higher_is_better: bool = True,
        candidate_optimizer_factory: Optional[Callable[[List[nn.Parameter]], torch.optim.Optimizer]] = None,
        candidate_lr_scale: float = 3.0,
        learn_dendrites_live: Optional[bool] = True,
        install_batches: int = 8,
        install_scale: float = 4.0,
        live_fit_scale: float = 1.0,
        install_loss: Optional[Callable[[], torch.Tensor]] = None,
        layer_types: Sequence[Type[nn.Module]] = DEFAULT_LAYER_TYPES,
        include: Optional[Iterable[str]] = None,
        exclude: Iterable[str] = (),
        process_group=None,
        ddp_options: Optional[dict] = None,
        candidate_engine: str = "batched",
    ) -> None:
        from .distributed import ProcessGroupSync

        if max_dendrites < 0 or n_patience < 1 or p_patience < 1 or max_p_epochs < 1:
            raise ValueError("DendriteTrainer: max_dendrites >= 0 and patience/epochs >= 1 expected")
        if install_batches < 0 or not candidate_lr_scale > 0 or not live_fit_scale >= 0:
            raise ValueError("DendriteTrainer: install_batches >= 0, candidate_lr_scale > 0 and "
                             "live_fit_scale >= 0 expected")
        if candidate_engine not in ("batched", "per_record"):
            raise ValueError(f"DendriteTrainer: candidate_engine must be 'batched' or 'per_record', "
                             f"got {candidate_engine!r}")
        self.sync = ProcessGroupSync.detect(process_group)  # before the network is touched
        if self.sync is not None and candidate_engine != "batched":
            raise ValueError("DendriteTrainer: on several processes only the batched candidate engine "
                             "sums the statistics across ranks")
        if learn_dendrites_live is not None:  # read by the engine's n-mode forward as well
            GAR.pc.set_learn_dendrites_live(bool(learn_dendrites_live))
        self.net = net
        self.neurons = wrap_network(net, layer_types, include, exclude)
        for neuron in self.neurons:
            neuron.dendrite_module.candidate_engine = candidate_engine
        self.optimizer_factory = optimizer_factory
        self.candidate_optimizer_factory = candidate_optimizer_factory
        self.candidate_lr_scale = candidate_lr_scale
        self.max_dendrites = max_dendrites
        self.n_patience, self.p_patience, self.max_p_epochs = n_patience, p_patience, max_p_epochs
        self.min_delta, self.higher_is_better = min_delta, higher_is_better
        _TRAINERS.add(self)
        MAR.DRIVEN_NEURONS.update(self.neurons)
        self._set_mode("n")
        self.install_scale = install_scale
        self.live_fit_scale = live_fit_scale
        self.install_loss = install_loss
        self._best: Optional[float] = None
        self._stale = 0
        self._p_epochs = 0
        self.history: List[Tuple[str, float]] = []  # (mode, validation score) per epoch
        # Per wrapped layer, the inputs and errors of the last p-mode batches, for the install.
        self._recent = [collections.deque(maxlen=install_batches) for _ in self.neurons]
        self.ddp_options = ddp_options
        self._ddp: Optional[nn.Module] = None
        if self.sync is not None:
            for neuron in self.neurons:
                neuron.error_scale = 1.0 / self.sync.world
        self._apply_roles()

    @torch.no_grad()
    def _fit_live_weights(self) -> None:
        """A least-squares step of slot 0's live weight against the errors of the recent p-mode
        batches, as the install fits a new dendrite, so that the live candidate lowers the loss
        during the phase. On several processes the sums are taken over all ranks' batches."""
        import arborlib.dendrite_engine as DE

        sums = []
        for neuron, recent in zip(self.neurons, self._recent):
            live = getattr(neuron, "current_candidate_to_top", None)
            if live is None:
                continue
            dm = neuron.dendrite_module

            def slot_zero(view, args, kwargs, dm=dm):
                stacked = DE.candidate_forward(dm, view, dm.installed_outputs(view, *args, **kwargs), *args, **kwargs)
                return None if stacked is None else stacked.select(view.index(-1), 0)

            sums.append((live, *neuron.least_squares_sums([e for e in recent if e[2] is not None], slot_zero)))
            recent.clear()  # taken with the old weight
        if self.sync is not None and sums:
            flat = torch.cat([t for _, num, den in sums for t in (num, den)])
            self.sync.sum_(flat)
            parts = iter(flat.split([len(num) for _, num, _ in sums for _ in range(2)]))
            sums = [(live, next(parts), next(parts)) for live, _, _ in sums]
        for live, num, den in sums:
            live[0] += MAR.least_squares_step(num, den, self.live_fit_scale).to(live.dtype)

    def _recorder(self, recent: collections.deque):
        """A forward hook that keeps a p-mode training batch's inputs and, once its backward
        has run, the error at the layer's output."""

        def hook(module, args, kwargs, out):
            if self.mode != "p" or not module.training or not out.requires_grad:
                return None
            entry = [tuple(a.detach() if torch.is_tensor(a) else a for a in args), dict(kwargs), None]
            recent.append(entry)
            out.register_hook(lambda grad: entry.__setitem__(2, grad.detach()))
            return None

        return hook

    # -- parameters and optimizer -------------------------------------------------------
    @property
    def num_dendrites(self) -> int:
        return self.neurons[0].dendrite_module.num_dendrites

    def parameters(self) -> List[nn.Parameter]:
        """The parameters that train in the current mode."""
        return [p for p in self.net.parameters() if p.requires_grad]

    @property
    def model(self) -> nn.Module:
        """The module to run the forward pass through: on several processes, the network
        DDP-wrapped in n mode (a new wrapper after every switch), else the network itself."""
        return self._ddp if self._ddp is not None else self.net

    def _set_mode(self, mode: str) -> None:
        self.mode = mode
        if mode == "n" and any(t.mode == "p" for t in _TRAINERS):
            gc.collect()  # a finished trainer may linger in a reference cycle: it must not hold "p"
        GAR.arb_tracker.member_vars["mode"] = "p" if any(t.mode == "p" for t in _TRAINERS) else "n"
        # The batch recorders are on in p mode only: in n mode each would cost every forward a call.
        for handle in getattr(self, "_recorders", ()):
            handle.remove()
        self._recorders = [] if mode != "p" else [
            neuron.register_forward_hook(self._recorder(recent), with_kwargs=True, prepend=True)
            for neuron, recent in zip(self.neurons, self._recent) if recent.maxlen
        ]

    def _check_slots(self, action: str) -> None:
        MAR.check_candidate_slots([n.dendrite_module for n in self.neurons], GAR.pc.get_global_candidates(), action)

    def _apply_roles(self) -> None:
        for p in self.net.parameters():
            p.requires_grad_(trainable(p, self.mode))
        if self.mode == "p" and self.candidate_optimizer_factory is not None:
            optimizer = self.candidate_optimizer_factory(self.parameters())
        else:
            optimizer = self.optimizer_factory(self.parameters())
            if self.mode == "p":
                for group in optimizer.param_groups:
                    group["lr"] = group["lr"] * self.candidate_lr_scale
        if self.mode == "p":
            prefer_fused_update(optimizer)
        step = None if self.sync is None else self._distributed_step()
        self.optimizer = attach_optimizer(optimizer, self.net, step)
        if self.sync is not None:
            self._rewrap()

    def _rewrap(self) -> None:
        """n mode: a new DDP wrapper over the current structure and trainable set (its
        construction also broadcasts rank 0's parameters and buffers); p mode: none, since
        the candidates learn outside the user's backward pass."""
        if self._ddp is not None:
            self._ddp._remove_autograd_hooks()  # a wrapper the user still holds must stay inert
            self._ddp = None
        self._ddp_ran = False
        if self.mode == "n":
            wrapper = self._ddp = self.sync.wrap(self.net, self.ddp_options)
            wrapper.register_forward_pre_hook(lambda *_: self._ddp_forward(wrapper))

    def _ddp_forward(self, wrapper: nn.Module) -> None:
        if wrapper is not self._ddp:
            raise RuntimeError("DendriteTrainer: this DDP wrapper belongs to an earlier phase; "
                               "take trainer.model anew after every switch")
        self._ddp_ran = True

    def _distributed_step(self) -> Callable[[], None]:
        from . import distributed

        sync, modules = self.sync, list(dendrite_modules(self.net))
        params, averaged = distributed.candidate_parameters(self.neurons)
        if self.mode == "n":
            def step() -> None:
                if not self._ddp_ran:
                    raise RuntimeError("DendriteTrainer: on several processes, run the forward pass through "
                                       "trainer.model (DDP-wrapped in n mode), not the network itself; "
                                       "otherwise the ranks' gradients are never averaged")
            return step

        def step() -> None:
            _candidate_steps(modules, sync.sum_)  # one all-reduce of every batch moment of the step
            sync.sum_grads_(params, averaged)  # one of every candidate gradient
            _drop_non_finite_live_grads(self.neurons)  # on the summed gradient: every rank alike
        return step

    # -- switches -------------------------------------------------------------------
    def start_p_phase(self) -> None:
        """n -> p: fresh statistics and candidates for every wrapped layer; neurons freeze."""
        import arborlib.dendrite_engine as DE

        self._check_slots("start_p_phase")
        for neuron in self.neurons:
            dm = neuron.dendrite_module
            dm.clear_candidate_queues()
            for record in dm.dendrite_values:
                record.clear_queues()
                DE.reinitialize_for_ab(record)
            DE.set_module_p_ab(neuron)
            dm.create_candidates(neuron.main_module)
            for j in range(len(dm.candidate_module)):
                DE.init_candidates(dm, j)
            neuron.tag_roles()
            dm.mode = "p"
        for recent in self._recent:
            recent.clear()
        self._set_mode("p")
        self._p_epochs = 0
        self._stale = 0
        if self.sync is not None:
            # Candidates start from rank 0's draw; statistics from rank 0's error averages.
            self.sync.broadcast_(list(self.net.parameters()) + list(self.net.buffers()))
        self._apply_roles()

    def start_n_phase(self) -> None:
        """p -> n: the best candidate of each layer becomes a dendrite; candidates lock."""
        import arborlib.dendrite_engine as DE

        self._check_slots("start_n_phase")
        installed = []
        for neuron, recent in zip(self.neurons, self._recent):
            dm = neuron.dendrite_module
            live = getattr(neuron, "current_candidate_to_top", None)
            if live is not None and not bool(torch.isfinite(live).all()):
                live = None  # never installed: slot 0 competes as any other, its weight fitted afresh
            # With a live weight, slot 0's output is already part of the network's output and the
            # errors were taken with it: installing another slot would drop what it learned.
            slot = dm.best_candidate(prefer=0 if live is not None else None)
            if slot is not None:
                kept = live[0] if live is not None and slot == 0 else None
                neuron.install_dendrite(slot, kept)
                neuron.fit_top_weights([e for e in recent if e[2] is not None], self.install_scale,
                                       add=kept is not None)
                installed.append(neuron)
            else:
                print(f"Layer {neuron.name}: no candidate has finite weights; none is installed.")
            recent.clear()
            DE.set_ab_mode(dm, "n")
            DE.set_module_n_ab(neuron)
            neuron.drop_live_weight()
            dm.drop_candidates()
            dm.clear_candidate_queues()
            for record in dm.dendrite_values:
                record.clear_queues()
            neuron.tag_roles()
            dm.mode = "n"
        self._set_mode("n")
        if self.install_loss is not None and self._recent[0].maxlen:
            self._search_install_scale(installed)
        self._best = None
        self._stale = 0
        self._apply_roles()

    def load_state_dict(self, state_dict, strict: bool = True):
        """Loads a state dict of the network saved at any stage, and resumes in the mode it was
        saved in: with candidates (saved mid-p), the p phase goes on with the saved candidates and
        statistics; the phase's epoch count starts again. Take ``trainer.optimizer`` afterwards: it
        is a new one. (``net.load_state_dict`` loads only a state of the network's current
        structure, so that the optimizer's parameters stay the network's.)"""
        MAR.DRIVEN_NEURONS.difference_update(self.neurons)
        try:
            result = self.net.load_state_dict(state_dict, strict)
        finally:
            MAR.DRIVEN_NEURONS.update(self.neurons)
        mode = "p" if any(len(n.dendrite_module.candidate_module) for n in self.neurons) else "n"
        for neuron in self.neurons:
            neuron.dendrite_module.mode = mode
            for record in neuron.dendrite_module.dendrite_values:
                record.clear_queues()
        self._set_mode(mode)
        self._best, self._stale, self._p_epochs = None, 0, 0
        self._apply_roles()
        return result

    @torch.no_grad()
    def _search_install_scale(self, installed: List[ARBNeuronModule]) -> None:
        """Scales the new output weights of every layer by one common factor, the one of a
        doubling sequence that gives the lowest ``install_loss``: the least-squares fit is a
        step against the error, whose best length depends on the loss's curvature."""
        rows = [neuron.dendrites_to_top[-1][-1] for neuron in installed]
        fitted = [row.clone() for row in rows]
        was_training = self.net.training
        self.net.eval()
        best, best_factor = None, 0.0
        for factor in [0.0] + [2.0 ** k for k in range(-2, 9)]:
            for row, fit in zip(rows, fitted):
                row.copy_(fit * factor)
            loss = float(self.install_loss())
            if best is None or loss < best:
                best, best_factor = loss, factor
        for row, fit in zip(rows, fitted):
            row.copy_(fit * best_factor)
        self.net.train(was_training)

    # -- schedule -----------------------------------------------------------------
    def _improved(self, score: float) -> bool:
        if self._best is None:
            return True
        gain = score - self._best if self.higher_is_better else self._best - score
        return gain > self.min_delta

    def epoch_end(self, score: float) -> Status:
        """Call once per epoch with the validation score; switches modes when due.

        On several processes every rank calls it: the decision uses the score averaged over
        the ranks, and every rank leaves with rank 0's buffers."""
        status = self._decide(score)
        if self.sync is not None and not status.switched:
            self.sync.broadcast_(self.net.buffers())  # a switch has synchronised everything already
        return status

    def _p_improved(self) -> bool:
        improved = False
        for neuron in self.neurons:
            for record in neuron.dendrite_module.dendrite_values:
                improved |= bool(record.best_score_improved_this_epoch[0])
                record.best_score_improved_this_epoch.zero_()  # a new epoch of the p phase
        return improved

    def _decide(self, score: float) -> Status:
        improved = self._p_improved() if self.mode == "p" else False
        if self.sync is not None:
            score, improved = self.sync.agree(score, improved, self.neurons[0].dendrites_to_top[0].device)
        self.history.append((self.mode, float(score)))
        if self.mode == "n":
            done = self.num_dendrites >= self.max_dendrites
            if self._improved(score):
                self._best, self._stale = float(score), 0
                return Status("n", done=done)
            self._stale += 1
            if self._stale < self.n_patience or done:
                return Status("n", done=done)
            self.start_p_phase()
            return Status("p", switched=True)
        self._p_epochs += 1
        self._stale = 0 if improved else self._stale + 1
        if self._stale < self.p_patience and self._p_epochs < self.max_p_epochs:
            if self.live_fit_scale:
                self._fit_live_weights()
            return Status("p")
        self.start_n_phase()
        return Status("n", switched=True, restructured=True, done=self.num_dendrites >= self.max_dendrites)
