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

import dataclasses
import functools
import gc
import json
import logging
import weakref
from typing import Callable, Iterable, Iterator, List, Optional, Sequence, Tuple, Type

import torch
from torch import nn

from . import globals_arborai as GAR
from . import install
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


def _refuse_stale_step(trainer: "weakref.ref[DendriteTrainer]", optimizer, args, kwargs) -> None:
    """Step pre-hook of a trainer's optimizers: one kept from an earlier phase holds the wrong
    parameters (nothing of the candidates in p mode, frozen neurons that weight decay moves)."""
    owner = trainer()
    if owner is not None and owner.optimizer is not optimizer:
        raise RuntimeError("DendriteTrainer: this optimizer belongs to an earlier phase and would train the "
                           "wrong parameters; take trainer.optimizer again after every switch")


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


def _layer_names(names, what: str) -> set:
    """One module path or several: a bare string is one name, not a sequence of characters."""
    names = [names] if isinstance(names, str) else list(names)
    if not all(isinstance(name, str) for name in names):
        raise TypeError(f"wrap_network: {what} expects a layer name or a list of names, got {names!r}")
    return set(names)


# With transformers imported, its GPT-2-style Conv1D is wrapped too (MAR.OPTIONAL_LAYOUTS).
DEFAULT_LAYER_TYPES: Tuple[Type[nn.Module], ...] = (nn.Linear, nn.Conv1d, nn.Conv2d)
logger = logging.getLogger("arborai")


def wrap_network(
    net: nn.Module,
    layer_types: Sequence[Type[nn.Module]] = DEFAULT_LAYER_TYPES,
    include: Optional[Iterable[str]] = None,
    exclude: Iterable[str] = (),
    report: bool = False,
) -> List[ARBNeuronModule]:
    """Replaces, in place, every layer of ``net`` of one of ``layer_types`` by a neuron module.

    ``layer_types`` may hold any type with a neuron layout (``MAR.LAYER_LAYOUTS``,
    ``MAR.register_layer_type``). ``include`` (module paths such as "fc1" or "features.0") limits
    the layers wrapped; ``exclude`` and ``GAR.pc.get_module_ids_to_track()`` name layers never
    wrapped; a layer that its parent only reads (``MAR.READ_NOT_CALLED``) is wrapped only when
    included. Every layer is checked before the first is replaced, so a failure leaves ``net`` as
    it was. Every parameter is tagged with its role. ``report`` prints (``GAR.pc.get_verbose()``)
    or logs (logger "arborai") which layers were wrapped and which were not, and why. After the
    first forward pass, a wrapped layer that was not called is warned about. Returns the new
    neuron modules.
    """
    import arborlib.dendrite_engine as DE

    if isinstance(net, ARBNeuronModule) or neuron_modules(net):
        raise ValueError("wrap_network: this network is already wrapped")
    if layer_types is DEFAULT_LAYER_TYPES:
        layer_types = DEFAULT_LAYER_TYPES + MAR.optional_layer_types()
    chosen = None if include is None else _layer_names(include, "include")
    excluded = _layer_names(exclude, "exclude")
    targets, passed = MAR.wrap_plan(net, layer_types, chosen, excluded, set(GAR.pc.get_module_ids_to_track()))
    missing = sorted(chosen - {name for name, _ in targets}) if chosen is not None else []
    if missing:
        raise ValueError(f"wrap_network: no wrappable layer named {missing}")
    # Rejected as include rejects them: a misspelt exclude would wrap the layer it meant to keep out.
    unknown = sorted(excluded - {name for name, m in net.named_modules() if isinstance(m, tuple(layer_types))})
    if unknown:
        raise ValueError(f"wrap_network: no wrappable layer named {unknown} (exclude)")
    if not targets:
        raise ValueError("wrap_network: found no layer to wrap")
    wrapped = [ARBNeuronModule(module, name) for name, module in targets]  # may refuse a layer: none replaced yet
    DE.set_neuron_parameters(net)
    for (name, _), neuron in zip(targets, wrapped):
        neuron.tag_roles()
        parent_name, _, attr = name.rpartition(".")
        setattr(net.get_submodule(parent_name) if parent_name else net, attr, neuron)
    # The run's tracker state travels with the training network; cleaned copies drop it.
    net.tracker_string = json.dumps(GAR.arb_tracker.member_vars)
    MAR.keep_dense_inputs(net)
    MAR.UncalledLayerReport.watch(net, wrapped)
    if report:
        lines = [f"wrapped {len(wrapped)} layers: "
                 + ", ".join(f"{n.name} ({type(n.main_module).__name__})" for n in wrapped)]
        lines += [f"not wrapped: {path}: {why}" for path, why in passed]
        (print if GAR.pc.get_verbose() else logger.info)("\n".join(lines))
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


OptimizerFactory = Callable[[List[nn.Parameter]], torch.optim.Optimizer]


@dataclasses.dataclass
class Schedule:
    """When the trainer switches (see :class:`DendriteTrainer` for each field)."""

    max_dendrites: int = 2
    n_patience: int = 2
    p_patience: int = 2
    max_p_epochs: int = 10
    min_delta: float = 0.0
    higher_is_better: bool = True


@dataclasses.dataclass
class CandidateOptions:
    """How the candidates of a p phase are optimised."""

    optimizer_factory: Optional[OptimizerFactory] = None
    lr_scale: float = 3.0


@dataclasses.dataclass
class InstallOptions:
    """How a new dendrite's output weights are set, and the live weight stepped."""

    batches: int = 8
    scale: float = 4.0
    live_fit_scale: float = 1.0
    loss: Optional[Callable[[], torch.Tensor]] = None


def _check_options(schedule: Schedule, candidates: CandidateOptions, installing: InstallOptions) -> None:
    s = schedule
    if s.max_dendrites < 0 or s.n_patience < 1 or s.p_patience < 1 or s.max_p_epochs < 1:
        raise ValueError("DendriteTrainer: max_dendrites >= 0 and patience/epochs >= 1 expected")
    if installing.batches < 0 or not candidates.lr_scale > 0 or not installing.live_fit_scale >= 0:
        raise ValueError("DendriteTrainer: install_batches >= 0, candidate_lr_scale > 0 and "
                         "live_fit_scale >= 0 expected")


class _Patience:
    """The schedule's counters: the best n-mode score of the current n phase, the epochs
    without an improvement, and the epochs of the current p phase."""

    def __init__(self, schedule: Schedule) -> None:
        self.schedule = schedule
        self.restart()

    def restart(self, best: bool = True, p_epochs: bool = True) -> None:
        self.stale = 0
        if best:
            self.best: Optional[float] = None
        if p_epochs:
            self.p_epochs = 0

    def n_epoch_ends_phase(self, score: float, done: bool) -> bool:
        """Records an n-mode score; True when a p phase is due."""
        s = self.schedule
        gain = None if self.best is None else (score - self.best if s.higher_is_better else self.best - score)
        if gain is None or gain > s.min_delta:
            self.best, self.stale = float(score), 0
            return False
        self.stale += 1
        return self.stale >= s.n_patience and not done

    def p_epoch_ends_phase(self, improved: bool) -> bool:
        """Records a p epoch (``improved``: any candidate's best score rose); True when the
        phase is over."""
        s = self.schedule
        self.p_epochs += 1
        self.stale = 0 if improved else self.stale + 1
        return not (self.stale < s.p_patience and self.p_epochs < s.max_p_epochs)


class DendriteTrainer:
    """Wraps a network and runs the n/p cycle.

    Args:
        net: the network; its chosen layers are wrapped in place.
        optimizer_factory: called with the parameters that train in the current phase.

      The schedule (:attr:`schedule`):
        max_dendrites: dendrites per layer; after the last one the trainer stays in n mode and
            every status says ``done``, while the caller trains on to its epoch budget.
        n_patience: n-mode epochs without a validation improvement before a p phase (2).
        p_patience: p-mode epochs without any candidate improvement before installing (2).
        max_p_epochs: longest p phase (10).
        min_delta: smallest validation gain that counts as an improvement.
        higher_is_better: the validation score's direction.

      The candidates (:attr:`candidate_options`):
        candidate_optimizer_factory: builds the p-mode optimizer instead of ``optimizer_factory``
            (default None: the same factory, its learning rates times ``candidate_lr_scale``).
        candidate_lr_scale: the candidates' learning rate over the neurons' when they share the
            factory (3): candidates start from scratch each phase and have few epochs to learn.
        learn_dendrites_live: sets the companion setting of that name (True): installed
            dendrites keep training in n mode, so a dendrite installed from a short p phase
            goes on adapting to the neurons that change around it. In p mode slot 0 then adds
            to the output through its live weight, and slot 0 is the one installed, with that
            weight (see :func:`arborai.install.install`). None leaves the setting.

      The install (:attr:`install_options`, see :mod:`arborai.install`):
        install_batches: p-mode batches whose layer inputs and errors are kept, per wrapped
            layer, to fit a new dendrite's output weights by least squares against the error,
            added to the live weight if there is one (8; 0: no fit, and without a live weight
            the weights start at zero and the install leaves the network unchanged).
        install_scale: multiplies the fitted weights (4): the fit treats the loss as squared
            error, and a cross-entropy loss is flatter, so its best step is longer.
        live_fit_scale: with live dendrites, each p epoch that does not end the phase closes with
            a least-squares step (times this) of slot 0's live weight against the recorded
            errors, so the live candidate lowers the loss during the phase instead of waiting for
            its weight to grow (1; 0: off).
        install_loss: optional closure returning a training loss of the current network (for
            example on a fixed batch): the fitted weights' scale is then searched over 0 and
            1/4 .. 256 for the lowest value instead of using ``install_scale``.

      The network and the processes:
        layer_types, include, exclude: which layers to wrap (see :func:`wrap_network`); which were
            wrapped and which not, and why, is printed once (verbose) or logged (logger "arborai").
        process_group: the ranks that train this network together; by default, when
            torch.distributed is initialised, its default group (see ``arborai.distributed``).
            Every rank then runs the forward pass through :attr:`model`, the same number of
            steps per epoch, and calls :meth:`epoch_end` with its own validation score.
        ddp_options: keyword arguments for DistributedDataParallel (e.g. ``device_ids``).
        candidate_engine: "batched" (default: every slot of every layer in one step) or
            "per_record" (the per-record entry points, one record and pair at a time; one
            process only).

    How the defaults were measured: docs/trainer_defaults.md.
    """

    def __init__(
        self,
        net: nn.Module,
        optimizer_factory: OptimizerFactory,
        *,
        max_dendrites: int = 2,
        n_patience: int = 2,
        p_patience: int = 2,
        max_p_epochs: int = 10,
        min_delta: float = 0.0,
        higher_is_better: bool = True,
        candidate_optimizer_factory: Optional[OptimizerFactory] = None,
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
        from .distributed import DistributedRun, ProcessGroupSync

        if candidate_engine not in ("batched", "per_record"):
            raise ValueError(f"DendriteTrainer: candidate_engine must be 'batched' or 'per_record', "
                             f"got {candidate_engine!r}")
        self.schedule = Schedule(max_dendrites, n_patience, p_patience, max_p_epochs, min_delta, higher_is_better)
        self.candidate_options = CandidateOptions(candidate_optimizer_factory, candidate_lr_scale)
        self.install_options = InstallOptions(install_batches, install_scale, live_fit_scale, install_loss)
        _check_options(self.schedule, self.candidate_options, self.install_options)
        if GAR.pc.get_global_candidates() < 1:
            raise ValueError(f"DendriteTrainer: at least one candidate expected, the candidate count is "
                             f"{GAR.pc.get_global_candidates()} (GAR.pc.set_global_candidates)")
        sync = ProcessGroupSync.detect(process_group)  # before the network is touched
        if sync is not None and candidate_engine != "batched":
            raise ValueError("DendriteTrainer: on several processes only the batched candidate engine "
                             "sums the statistics across ranks")
        if learn_dendrites_live is not None:  # read by the engine's n-mode forward as well
            GAR.pc.set_learn_dendrites_live(bool(learn_dendrites_live))
        self.net = net
        self.neurons = wrap_network(net, layer_types, include, exclude, report=True)
        for neuron in self.neurons:
            neuron.dendrite_module.candidate_engine = candidate_engine
        self.optimizer_factory = optimizer_factory
        self.history: List[Tuple[str, float]] = []  # (mode, validation score) per epoch
        self._patience = _Patience(self.schedule)
        # Per wrapped layer, the inputs and errors of the last p-mode batches, for the install.
        self._recent = install.RecentBatches(self.neurons, install_batches)
        self._group = None if sync is None else DistributedRun(sync, net, self.neurons, ddp_options)
        _TRAINERS.add(self)
        MAR.DRIVEN_NEURONS.update(self.neurons)
        self._set_mode("n")
        self._new_optimizer()

    # -- what the training loop uses ----------------------------------------------------
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
        ddp = None if self._group is None else self._group.ddp
        return ddp if ddp is not None else self.net

    def epoch_end(self, score: float) -> Status:
        """Call once per epoch with the validation score; switches modes when due.

        On several processes every rank calls it: the decision uses the score averaged over
        the ranks, and every rank leaves with rank 0's buffers."""
        status = self._decide(score)
        if self._group is not None and not status.switched:
            self._group.end_epoch()  # a switch has synchronised everything already
        return status

    # -- the schedule ---------------------------------------------------------------------
    def _decide(self, score: float) -> Status:
        improved = self._p_improved() if self.mode == "p" else False
        if self._group is not None:
            score, improved = self._group.agree(score, improved)
        self.history.append((self.mode, float(score)))
        if self.mode == "n":
            done = self.num_dendrites >= self.schedule.max_dendrites
            if not self._patience.n_epoch_ends_phase(score, done):
                return Status("n", done=done)
            self.start_p_phase()
            return Status("p", switched=True)
        if not self._patience.p_epoch_ends_phase(improved):
            if self.install_options.live_fit_scale:
                self._fit_live_weights()
            return Status("p")
        self.start_n_phase()
        return Status("n", switched=True, restructured=True,
                      done=self.num_dendrites >= self.schedule.max_dendrites)

    def _p_improved(self) -> bool:
        improved = False
        for neuron in self.neurons:
            for record in neuron.dendrite_module.dendrite_values:
                improved |= bool(record.best_score_improved_this_epoch[0])
                record.best_score_improved_this_epoch.zero_()  # a new epoch of the p phase
        return improved

    # -- the switches ---------------------------------------------------------------------
    def start_p_phase(self) -> None:
        """n -> p: fresh statistics and candidates for every wrapped layer; neurons freeze."""
        self._check_slots("start_p_phase")
        for neuron in self.neurons:
            _enter_p_phase(neuron)
        self._recent.clear()
        self._set_mode("p")
        self._patience.restart(best=False)
        if self._group is not None:
            self._group.start_p_phase()
        self._new_optimizer()

    def start_n_phase(self) -> None:
        """p -> n: the best candidate of each layer becomes a dendrite; candidates lock."""
        self._check_slots("start_n_phase")
        installed = []
        for neuron, recent in zip(self.neurons, self._recent):
            if install.install(neuron, recent, self.install_options.scale):
                installed.append(neuron)
            recent.clear()
            _leave_p_phase(neuron)
        self._set_mode("n")
        try:
            if self.install_options.loss is not None and self.install_options.batches:
                install.search_install_scale(self.net, installed, self.install_options.loss)
        finally:  # a raising install_loss still leaves the switch complete
            self._patience.restart(p_epochs=False)
            self._new_optimizer()

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
        for p in self.net.parameters():  # a swapping load drops the roles (the wrapped layers re-tag)
            if not hasattr(p, "parameter_type"):
                p.parameter_type = "neuron"
        for neuron in self.neurons:
            neuron.dendrite_module.mode = mode
            for record in neuron.dendrite_module.dendrite_values:
                record.clear_queues()
        self._set_mode(mode)
        self._patience.restart()
        self._new_optimizer()
        return result

    def _set_mode(self, mode: str) -> None:
        self.mode = mode
        if mode == "n" and any(t.mode == "p" for t in _TRAINERS):
            gc.collect()  # a finished trainer may linger in a reference cycle: it must not hold "p"
        GAR.arb_tracker.member_vars["mode"] = "p" if any(t.mode == "p" for t in _TRAINERS) else "n"
        self._recent.record(mode == "p", lambda: self.mode == "p")

    def _check_slots(self, action: str) -> None:
        MAR.check_candidate_slots([n.dendrite_module for n in self.neurons], GAR.pc.get_global_candidates(), action)

    # -- the install ----------------------------------------------------------------------
    def _fit_live_weights(self) -> None:
        """A least-squares step of slot 0's live weight at a p epoch that does not end the phase
        (summed over the ranks' batches on several processes)."""
        install.step_live_weights(self.neurons, self._recent, self.install_options.live_fit_scale,
                                  None if self._group is None else self._group.sync.sum_)

    # -- the optimizer of a phase ---------------------------------------------------------
    def _new_optimizer(self) -> None:
        """The phase's trainable set and a new :attr:`optimizer` over it, attached to the
        candidate queues (and, on several processes, a new DDP wrapper in n mode)."""
        for p in self.net.parameters():
            p.requires_grad_(trainable(p, self.mode))
        optimizer = self._build_optimizer()
        optimizer.register_step_pre_hook(functools.partial(_refuse_stale_step, weakref.ref(self)))
        step = None
        if self._group is not None:
            modules = list(dendrite_modules(self.net))
            step = self._group.optimizer_step(self.mode, lambda reduce: _candidate_steps(modules, reduce),
                                              lambda: _drop_non_finite_live_grads(self.neurons))
        self.optimizer = attach_optimizer(optimizer, self.net, step)
        if self._group is not None:
            self._group.rewrap(self.mode)

    def _build_optimizer(self) -> torch.optim.Optimizer:
        if self.mode != "p":
            return self.optimizer_factory(self.parameters())
        if self.candidate_options.optimizer_factory is not None:
            optimizer = self.candidate_options.optimizer_factory(self.parameters())
        else:
            optimizer = self.optimizer_factory(self.parameters())
            for group in optimizer.param_groups:
                group["lr"] = group["lr"] * self.candidate_options.lr_scale
        prefer_fused_update(optimizer)
        return optimizer


def _enter_p_phase(neuron: ARBNeuronModule) -> None:
    """One wrapped layer, n -> p: fresh statistics from its n-mode error averages, fresh
    candidates fed by its earlier dendrites, and the live weight when dendrites learn live."""
    import arborlib.dendrite_engine as DE

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


def _leave_p_phase(neuron: ARBNeuronModule) -> None:
    """One wrapped layer, p -> n, after the install: records locked, candidates and the live
    weight dropped."""
    import arborlib.dendrite_engine as DE

    dm = neuron.dendrite_module
    DE.set_ab_mode(dm, "n")
    DE.set_module_n_ab(neuron)
    neuron.drop_live_weight()
    dm.drop_candidates()
    dm.clear_candidate_queues()
    for record in dm.dendrite_values:
        record.clear_queues()
    neuron.tag_roles()
    dm.mode = "n"
