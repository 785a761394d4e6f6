"""Neuron modules, dendrite modules and value records.

A wrapped layer becomes an :class:`ARBNeuronModule` holding the layer (``main_module``)
and a :class:`DendriteModule`, which owns the candidates, the installed dendrites and one
:class:`ValueRecord` per candidate slot. Which values a record carries comes from the name
registries: the companion's own names, extended by ``arborlib.dendrite_engine``.
"""
from __future__ import annotations

import copy
import dataclasses
import functools
import gc
import sys
import warnings
import weakref

from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import torch
from torch import nn

from . import globals_arborai as GAR

# The companion's own names; the engine appends its names to each list.
BASE_TENSOR_VALUES: List[str] = ["current_batch_pearson"]
BASE_SINGLE_VALUES: List[str] = ["initialized"]
BASE_VALUE_TRACKER_ARRAYS: List[str] = ["dendrite_outs"]

_registry: Dict[str, List[str]] = {}

# Every dendrite module built, so that a change of the candidate count can be checked against them.
LIVE_DENDRITE_MODULES: "weakref.WeakSet[DendriteModule]" = weakref.WeakSet()
# Neuron modules whose phases a DendriteTrainer drives (its optimizer holds their parameters).
DRIVEN_NEURONS: "weakref.WeakSet[ARBNeuronModule]" = weakref.WeakSet()


def check_candidate_slots(modules: Sequence["DendriteModule"], count: int, action: str) -> None:
    """Raises a ValueError naming the first layer whose candidate slots differ from ``count``:
    a layer keeps the slots it was wrapped with, and the engine loops over ``count`` of them."""
    for dm in modules:
        if len(dm.dendrite_values) != count:
            raise ValueError(
                f"{action}: layer {dm.name} was wrapped with {len(dm.dendrite_values)} candidate slots, but the "
                f"candidate count is {count}. The count is fixed for a layer once it is wrapped: set "
                "GAR.pc.set_global_candidates before wrapping, and keep it while that network trains."
            )


def _check_live_slots(count: int, action: str) -> None:
    """Refuses a candidate count that a layer in its p phase does not have slots for: the
    engine would loop over slots it does not have (``GAR.pc.set_global_candidates`` asks)."""

    def busy():
        return [dm for dm in list(LIVE_DENDRITE_MODULES) if dm.mode == "p" and len(dm.dendrite_values) != count]

    if busy():
        gc.collect()  # optimizers sit in reference cycles: finished networks may linger
        check_candidate_slots(busy(), count, action)


GAR.CANDIDATE_COUNT_CHECKS.append(_check_live_slots)


def registries() -> Dict[str, List[str]]:
    """The full name lists, built once from the engine's extenders."""
    if not _registry:
        import arborlib.dendrite_engine as DE

        single = DE.update_dendrite_single_values(BASE_SINGLE_VALUES)
        # With doing_thing on at import, the engine lists extra single values of its own.
        for name in getattr(DE, "DENDRITE_SINGLE_VALUES", []):
            if name not in single:
                single.append(name)
        _registry.update(
            tensor=DE.update_dendrite_tensor_values(BASE_TENSOR_VALUES),
            single=single,
            arrays=DE.update_value_tracker_arrays(BASE_VALUE_TRACKER_ARRAYS),
        )
        # parents_average_d_vector is refilled from normal_pass_average_d, not zeroed.
        _registry["reinit"] = [
            n for n in _registry["tensor"] + _registry["single"] if n != "parents_average_d_vector"
        ]
    return _registry


def get_DENDRITE_SINGLE_VALUES() -> List[str]:
    """Names of the one-element values of a record (the companion's own until records exist)."""
    return list(_registry["single"]) if _registry else list(BASE_SINGLE_VALUES)


def get_DENDRITE_REINIT_VALUES() -> List[str]:
    """Names of the record values that restart from zero when a p phase begins."""
    return list(registries()["reinit"])


def device_slots() -> int:
    """Number of per-device queue slots: one per CUDA device, at least one (the CPU)."""
    return max(1, torch.cuda.device_count())


@dataclasses.dataclass(frozen=True)
class NeuronLayout:
    """Where the neurons of a wrappable layer type are.

    ``neurons(layer)`` gives the neuron count; ``last_dim`` says the neurons are the output's last
    dimension whatever the input's rank (affine layers such as Linear), otherwise dimension 1
    (the channels of a convolution); ``reset(layer)`` draws fresh weights for a copy of the layer
    (a candidate or a new dendrite), for types without a ``reset_parameters`` of their own.
    """

    neurons: Callable[[nn.Module], int]
    last_dim: bool
    reset: Optional[Callable[[nn.Module], None]] = None


def _reset_transposed_affine(layer: nn.Module) -> None:
    # The initialisation GPT-2-style models give these layers (their weight is [in, out]).
    nn.init.normal_(layer.weight, std=0.02)
    nn.init.zeros_(layer.bias)


# The one place that says how to find the neurons of each layer type that can be wrapped;
# ``register_layer_type`` adds a type, and ``layer_types`` then accepts it. A subclass of a
# registered type has its base's layout.
LAYER_LAYOUTS: Dict[type, NeuronLayout] = {
    nn.Linear: NeuronLayout(lambda layer: layer.out_features, last_dim=True),
    nn.Conv1d: NeuronLayout(lambda layer: layer.out_channels, last_dim=False),
    nn.Conv2d: NeuronLayout(lambda layer: layer.out_channels, last_dim=False),
    nn.Conv3d: NeuronLayout(lambda layer: layer.out_channels, last_dim=False),
}

# Types from packages arborlib does not depend on: (module, class) -> layout, registered once
# that module has been imported (a network holding such a layer has imported it). Wrapped by
# default like nn.Linear.
OPTIONAL_LAYOUTS: Dict[Tuple[str, str], NeuronLayout] = {
    # transformers' GPT-2-style affine layer: weight [in, out], ``nf`` outputs.
    ("transformers.pytorch_utils", "Conv1D"): NeuronLayout(
        lambda layer: layer.nf, last_dim=True, reset=_reset_transposed_affine),
}

# Children that their parent reads (``parent.child.weight``) but never calls as a module: their
# dendrites could never act, so they are not wrapped unless named in ``include``.
READ_NOT_CALLED: Dict[type, Tuple[str, ...]] = {nn.MultiheadAttention: ("out_proj",)}


def register_layer_type(layer_type: type, neurons: Callable[[nn.Module], int], last_dim: bool,
                        reset: Optional[Callable[[nn.Module], None]] = None) -> None:
    """Makes ``layer_type`` wrappable: an affine layer whose ``neurons(layer)`` outputs lie along
    the output's last dimension (``last_dim``) or along dimension 1."""
    LAYER_LAYOUTS[layer_type] = NeuronLayout(neurons, last_dim, reset)


def optional_layer_types() -> Tuple[type, ...]:
    """The types of OPTIONAL_LAYOUTS whose package is imported, registered on first sight."""
    found = []
    for (module_name, class_name), layout in OPTIONAL_LAYOUTS.items():
        cls = getattr(sys.modules.get(module_name), class_name, None)
        if isinstance(cls, type):
            LAYER_LAYOUTS.setdefault(cls, layout)
            found.append(cls)
    return tuple(found)


def layout_of(layer: nn.Module) -> Optional[NeuronLayout]:
    """The neuron layout of ``layer``'s type (or of its nearest registered base), else None."""
    optional_layer_types()
    for cls in type(layer).__mro__:
        if cls in LAYER_LAYOUTS:
            return LAYER_LAYOUTS[cls]
    return None


def wrap_plan(
    net: nn.Module, layer_types: Sequence[type], include: Optional[Sequence[str]], exclude: Sequence[str],
    tracked: Sequence[str] = (),
) -> Tuple[List[Tuple[str, nn.Module]], List[Tuple[str, str]]]:
    """Which layers of ``net`` to wrap: ([(path, layer)], [(path, why not)]).

    A layer is wrapped when it is one of ``layer_types``, named in ``include`` (when given), not in
    ``exclude`` nor ``tracked``, and called by its parent (see READ_NOT_CALLED; ``include`` overrides
    that). The reasons cover the other layers that hold parameters of their own."""
    types = tuple(layer_types)
    read_only = {}
    for path, parent in net.named_modules():
        for parent_type, children in READ_NOT_CALLED.items():
            if isinstance(parent, parent_type):
                for child in children:
                    read_only[f"{path}.{child}" if path else child] = type(parent).__name__
    targets: List[Tuple[str, nn.Module]] = []
    skipped: List[Tuple[str, str]] = []
    for path, module in net.named_modules():
        if not path or any(path.startswith(t + ".") for t, _ in targets):
            continue
        kind = type(module).__name__
        if isinstance(module, types):
            if include is not None and path not in include:
                reason = "not named in include"
            elif path in exclude:
                reason = "excluded"
            elif path in tracked:
                reason = "in GAR.pc.get_module_ids_to_track()"
            elif path in read_only and include is None:
                reason = f"its {read_only[path]} reads its weights and never calls it, so dendrites could not act"
            else:
                targets.append((path, module))
                continue
        elif layout_of(module) is not None:
            reason = f"{kind} is not in layer_types"
        elif next(module.parameters(recurse=False), None) is not None:
            reason = f"{kind} is not a layer type to wrap"
        else:
            continue
        skipped.append((f"{path} ({kind})", reason))
    return targets, skipped


class _CallMark:
    """Forward pre-hook of a freshly wrapped layer: removes itself when the layer is first called."""

    hook_id: Optional[int] = None

    def __call__(self, module: nn.Module, args: tuple) -> None:
        module._forward_pre_hooks.pop(self.hook_id, None)


class UncalledLayerReport:
    """Forward hook of a freshly wrapped network: after its first forward pass it warns once,
    by name, about every wrapped layer that was not called (a layer that its parent only reads
    gets no use of its dendrites), then removes itself and what is left of the layers' marks.
    Copies made for cleaning and export drop it (``strip_first_forward_hooks``)."""

    hook_id: Optional[int] = None

    def __call__(self, net: nn.Module, args: tuple, output: Any) -> None:
        net._forward_hooks.pop(self.hook_id, None)
        uncalled = []
        for module in net.modules():
            marks = [k for k, hook in module._forward_pre_hooks.items() if isinstance(hook, _CallMark)]
            for k in marks:
                del module._forward_pre_hooks[k]
            if marks and isinstance(module, ARBNeuronModule):
                uncalled.append(module.name)
        if uncalled:
            warnings.warn(
                f"wrapped layers {uncalled} were not called in the network's first forward pass, so their "
                f"dendrites cannot act (a parent reads their weights instead, or they are unused); leave them "
                f"unwrapped with exclude={uncalled}", stacklevel=2)

    @staticmethod
    def watch(net: nn.Module, neurons: Sequence["ARBNeuronModule"]) -> None:
        for neuron in neurons:
            mark = _CallMark()
            mark.hook_id = neuron.register_forward_pre_hook(mark).id
        report = UncalledLayerReport()
        report.hook_id = net.register_forward_hook(report).id


def strip_first_forward_hooks(net: nn.Module) -> None:
    """Removes the hooks of :class:`UncalledLayerReport` from ``net`` (a copy to clean or export)."""
    for module in net.modules():
        for hooks in (module._forward_hooks, module._forward_pre_hooks):
            for k in [k for k, hook in hooks.items() if isinstance(hook, (_CallMark, UncalledLayerReport))]:
                del hooks[k]


def keep_dense_inputs(net: nn.Module) -> None:
    """A ``nn.TransformerEncoder`` that holds wrapped layers no longer turns a padded eval batch into
    a nested tensor (its sparsity fast path), which the dendrite cascade cannot take: it runs as in
    training, the padded positions computed instead of zero-filled."""
    for module in net.modules():
        if isinstance(module, nn.TransformerEncoder) and any(isinstance(m, ARBNeuronModule) for m in module.modules()):
            module.use_nested_tensor = False


def fresh_copy(template: nn.Module) -> nn.Module:
    """A module shaped like ``template``, freshly initialised (a new candidate or dendrite)."""
    layer = copy.deepcopy(template)
    for sub in layer.modules():
        if hasattr(sub, "reset_parameters"):
            sub.reset_parameters()
    layout = layout_of(layer)
    if layout is not None and layout.reset is not None:
        with torch.no_grad():
            layout.reset(layer)
    return layer


class ValueRecord(nn.Module):
    """Statistics and queues of one candidate slot of one wrapped layer.

    Per-neuron values are buffers of shape ``[out_channels]``; single values are buffers of
    shape ``[1]``; tracker arrays are per-device lists of queues (``queue[device_index]``).
    """

    def __init__(
        self,
        out_channels: int,
        layer_name: str,
        this_node_index: int,
        this_output_dimensions: Sequence[int],
        device: Optional[torch.device] = None,
        dtype: torch.dtype = torch.float32,
    ) -> None:
        super().__init__()
        names = registries()
        # Statistics stay in float32 or wider whatever the model's dtype: in bfloat16 a batch
        # counter stops at 256 and a 0.99 running average stalls.
        dtype = torch.promote_types(dtype, torch.float32)
        for name in names["tensor"]:
            self.register_buffer(name, torch.zeros(out_channels, device=device, dtype=dtype))
        for name in names["single"]:
            self.register_buffer(name, torch.zeros(1, device=device, dtype=dtype))
        self.tracker_array_names = list(names["arrays"])
        self.clear_queues()
        self.layer_name = layer_name
        self.this_node_index = this_node_index
        self.this_output_dimensions = list(this_output_dimensions)
        self.device: Optional[int] = None  # device index of the last captured error

    def clear_queues(self) -> None:
        for name in self.tracker_array_names:
            setattr(self, name, [[] for _ in range(device_slots())])
        self.device = None

    def __getstate__(self) -> Dict[str, Any]:
        # Queued outputs hold autograd graphs of a running step: never copy or pickle them.
        state = self.__dict__.copy()
        for name in self.tracker_array_names:
            state[name] = [[] for _ in range(device_slots())]
        state["device"] = None
        return state


class ModuleConfig:
    """Per-module view of the configuration: the global getters, plus device and dtype."""

    def __init__(self, device: torch.device, dtype: torch.dtype) -> None:
        self._device = device
        self._dtype = dtype

    def get_device(self) -> torch.device:
        return self._device

    def get_d_type(self) -> torch.dtype:
        return self._dtype

    def __getattr__(self, attr: str) -> Any:
        if attr.startswith("get_"):
            return getattr(GAR.pc, attr)
        raise AttributeError(f"{type(self).__name__} has no attribute {attr!r}")


class DendriteModule(nn.Module):
    """Candidates, installed dendrites and value records of one wrapped layer."""

    # Which engine entry points train the candidates: "batched" (candidate_forward and
    # candidate_step on stacked outputs) or "per_record" (forward_candidates, filter_backward_ab,
    # apply_ab_grads, check_new_best_score and apply_ab_zero on each value record's queues).
    candidate_engine: str = "batched"

    def __init__(
        self,
        name: str,
        out_channels: int,
        this_node_index: int,
        this_output_dimensions: Sequence[int],
        device: Optional[torch.device] = None,
        dtype: torch.dtype = torch.float32,
    ) -> None:
        super().__init__()
        import arborlib.dendrite_engine as DE

        self.name = name
        self.mode = "n"
        self.out_channels = out_channels
        self.num_dendrites = 0
        self.register_buffer("num_cycles", torch.zeros(1, dtype=torch.int64))
        self.candidate_module = nn.ModuleList()
        self.candidate_processors: List[Any] = []
        self.layers = nn.ModuleList()  # installed dendrite layers, in order
        self.processors: List[Any] = []
        # Entry 0 is a placeholder; entry k+1 holds the weights into dendrite k from dendrites 0..k-1.
        self.dendrites_to_dendrites = nn.ParameterList(
            [nn.Parameter(torch.zeros(1, out_channels, device=device, dtype=dtype), requires_grad=False)]
        )
        self.dendrites_to_candidates = nn.ParameterList(
            [
                nn.Parameter(torch.zeros(0, out_channels, device=device, dtype=dtype))
                for _ in range(GAR.pc.get_global_candidates())
            ]
        )
        self.dendrite_values = nn.ModuleList(
            ValueRecord(out_channels, name, this_node_index, this_output_dimensions, device, dtype)
            for _ in range(GAR.pc.get_global_candidates())
        )
        DE.create_extra_tensors(self)
        LIVE_DENDRITE_MODULES.add(self)
        self.clear_candidate_queues()
        from arborlib.cascade import guard_fast_path

        guard_fast_path(self)  # never called itself: keeps a transformer layer's fused path off

    # -- queues of the batched candidate step -------------------------------------------
    def clear_candidate_queues(self) -> None:
        """Forgets every queued candidate output and captured error."""
        # tag of a forward pass -> stacked candidate output (with graph) / neurons' error
        self.candidate_outputs: Dict[int, torch.Tensor] = {}
        self.candidate_errors: Dict[int, torch.Tensor] = {}
        # tag -> neuron dimension of that forward: a layer may see inputs of two ranks in one step
        self.candidate_nodes: Dict[int, int] = {}
        self._next_tag = 0

    def queue_candidate_output(self, stacked: torch.Tensor, node: Optional[int] = None) -> Optional[int]:
        """Queues the stacked candidate output of one forward pass; returns its tag, or None
        when no gradient can follow (grad mode off, or an output that needs none)."""
        if not (torch.is_grad_enabled() and stacked.requires_grad):
            return None
        tag = self._next_tag
        self._next_tag += 1
        self.candidate_outputs[tag] = stacked
        if node is not None:
            self.candidate_nodes[tag] = node
        return tag

    def capture_error(self, grad: torch.Tensor, tag: int) -> None:
        """Backward hook: the neurons' error of the forward pass tagged ``tag``."""
        if tag in self.candidate_outputs:
            # A second backward over the same forward (retain_graph): errors add up, as gradients do.
            earlier = self.candidate_errors.get(tag)
            self.candidate_errors[tag] = grad.detach() if earlier is None else earlier + grad.detach()

    def release_unconsumed(self) -> None:
        """At ``zero_grad``: drops what the optimizer step did not consume, keeping only the
        newest output whose backward has not come yet (forward, zero_grad, backward, step)."""
        errors, outputs = self.candidate_errors, self.candidate_outputs
        waiting = [tag for tag in outputs if tag not in errors]
        kept = {max(waiting): outputs[max(waiting)]} if waiting else {}
        errors.clear()
        outputs.clear()
        outputs.update(kept)
        nodes = {tag: self.candidate_nodes[tag] for tag in kept if tag in self.candidate_nodes}
        self.candidate_nodes = nodes

    def __getstate__(self) -> Dict[str, Any]:
        # Queued outputs hold autograd graphs of a running step: never copy or pickle them.
        state = self.__dict__.copy()
        state["candidate_outputs"], state["candidate_errors"], state["candidate_nodes"] = {}, {}, {}
        state.pop("_arb_forward_plan", None)
        return state

    def load_tagger_values(self) -> None:
        """Snapshot of the parameter roles of this module: name -> parameter_type."""
        self.normal_learning_taggers = {
            name: getattr(p, "parameter_type", None) for name, p in self.named_parameters()
        }

    def add_dendrite(self, layer: nn.Module, weights_from_earlier: torch.Tensor) -> None:
        """Installs ``layer`` as the next dendrite, fed by earlier ones through ``weights_from_earlier``
        (shape ``[num_dendrites, out_channels]``)."""
        import arborlib.dendrite_engine as DE

        self.layers.append(layer)
        self.dendrites_to_dendrites.append(nn.Parameter(weights_from_earlier.detach().clone()))
        DE.set_dendrite_parameters(layer)
        self.dendrites_to_dendrites[-1].parameter_type = "dendrite"
        self.num_dendrites += 1
        self.num_cycles += 1

    def drop_candidates(self) -> None:
        self.candidate_module = nn.ModuleList()
        ref = self.dendrites_to_dendrites[0]
        self.dendrites_to_candidates = nn.ParameterList(
            nn.Parameter(torch.zeros(self.num_dendrites, self.out_channels, device=ref.device, dtype=ref.dtype))
            for _ in range(len(self.dendrite_values))
        )

    def create_candidates(self, template: nn.Module) -> None:
        """One fresh candidate per slot, shaped like ``template`` (the wrapped layer)."""
        candidates = [fresh_copy(template) for _ in self.dendrite_values]
        self.drop_candidates()
        self.candidate_module = nn.ModuleList(candidates)

    def installed_outputs(self, view_tuple: List[int], *args: Any, **kwargs: Any) -> List[torch.Tensor]:
        """Activated outputs of the installed dendrites, each fed by the earlier ones."""
        if self.num_dendrites == 0:
            return []
        import arborlib.dendrite_engine as DE
        from arborlib.cascade import dendrite_cascade

        args2, kwargs2 = DE.preprocess_ab(*args, **kwargs)
        raw = [layer(*args2, **kwargs2) for layer in self.layers]
        weights, act = self.dendrites_to_dendrites, GAR.pc.get_arb_forward_function()
        return dendrite_cascade(raw, lambda k, j: weights[k + 1][j].view(view_tuple), act)


def _layer_shape(layer: nn.Module, name: str = ""):
    """(out_channels, neuron dimension, output dimensions with -1 for free sizes)."""
    layout = layout_of(layer)
    if layout is None:
        known = ", ".join(sorted(t.__name__ for t in LAYER_LAYOUTS))
        raise TypeError(
            f"cannot wrap {type(layer).__name__}{f' (layer {name})' if name else ''}: wrappable layers are {known}; "
            "arborai.modules_arborai.register_layer_type tells how to find another affine layer's neurons"
        )
    if next(layer.parameters(), None) is None:
        raise TypeError(f"cannot wrap {type(layer).__name__}{f' (layer {name})' if name else ''}: it has no parameters")
    out_channels = int(layout.neurons(layer))
    if layout.last_dim:
        return out_channels, 1, [-1, out_channels]
    spatial = layer.weight.dim() - 2 if isinstance(getattr(layer, "weight", None), torch.Tensor) else 0
    return out_channels, 1, [-1, out_channels] + [-1] * spatial


def _scaled(hook, scale: float):
    """``hook`` fed ``scale`` times the gradient: this process's share of the neurons' error."""
    return hook if scale == 1.0 else (lambda grad: hook(grad * scale))


def _after_load(neuron: "ARBNeuronModule", incompatible_keys) -> None:
    """Under torch.__future__.set_swap_module_params_on_conversion(True) a load swaps new tensors
    into the parameters, their attributes included: the roles are set again, and the stacked
    candidate forward drops the weights it holds."""
    neuron.tag_roles()
    neuron.dendrite_module.__dict__.pop("_arb_forward_plan", None)


class ARBNeuronModule(nn.Module):
    """A wrapped layer: its own output plus the weighted outputs of its installed dendrites."""

    # This process's share of the neurons' error: 1 / world size when several processes train
    # one network (their loss is the mean of the ranks' losses); set by the training driver.
    error_scale: float = 1.0

    def __init__(self, main_module: nn.Module, name: str) -> None:
        super().__init__()
        out_channels, node_index, output_dims = _layer_shape(main_module, name)
        param = next(main_module.parameters())
        self.main_module = main_module
        self.name = name
        self.out_channels = out_channels
        self.register_buffer("this_node_index", torch.tensor(node_index))
        self._output_dimensions = list(output_dims)
        self._node = node_index
        self.module_config = ModuleConfig(param.device, param.dtype)
        self.processor = None
        self.dendrite_module = DendriteModule(
            name, out_channels, node_index, output_dims, param.device, param.dtype
        )
        # One entry; its rows are the weights from each installed dendrite to the neurons.
        self.dendrites_to_top = nn.ParameterList(
            [nn.Parameter(torch.zeros(0, out_channels, device=param.device, dtype=param.dtype))]
        )
        self._register_load_state_dict_pre_hook(self._grow_for_state_dict)
        self.register_load_state_dict_post_hook(_after_load)

    def __getattr__(self, name: str) -> Any:
        """Reads that the neuron module cannot answer go to the wrapped layer (``weight``,
        ``in_features``, ...), so code that inspects the layer keeps working; writes stay here."""
        try:
            return super().__getattr__(name)
        except AttributeError:
            # Dunder probes (copy, pickle) are about this object; before unpickling has restored
            # the state there is no wrapped layer to ask.
            main = self.__dict__.get("_modules", {}).get("main_module")
            if main is None or (name.startswith("__") and name.endswith("__")):
                raise
        try:
            return getattr(main, name)
        except AttributeError:
            raise AttributeError(f"'{type(self).__name__}' object (layer {self.__dict__.get('name')}) has no "
                                 f"attribute '{name}', nor has the {type(main).__name__} it wraps") from None

    def install_dendrite(self, slot: int, top_weights: Optional[torch.Tensor] = None) -> None:
        """Installs candidate ``slot`` as a dendrite with output weights ``top_weights`` (one per
        neuron; zero by default, so the network's output is unchanged until they train)."""
        dm = self.dendrite_module
        k = dm.num_dendrites
        dm.add_dendrite(dm.candidate_module[slot], dm.dendrites_to_candidates[slot][:k])
        row = torch.zeros(self.out_channels) if top_weights is None else top_weights.detach()
        self._append_top_row(row)

    def grow_dendrites(self, count: int) -> None:
        """Adds freshly initialised dendrites (output weights zero) until there are ``count``."""
        dm = self.dendrite_module
        while dm.num_dendrites < count:
            top = self.dendrites_to_top[-1]
            dm.add_dendrite(fresh_copy(self.main_module), top.new_zeros(dm.num_dendrites, self.out_channels))
            self._append_top_row(top.new_zeros(1, self.out_channels))

    def _append_top_row(self, row: torch.Tensor) -> None:
        old = self.dendrites_to_top[-1].detach()
        self.dendrites_to_top[-1] = nn.Parameter(torch.cat([old, row.reshape(1, -1).to(old)]))
        self.dendrites_to_top[-1].parameter_type = "neuron"

    def tag_roles(self) -> None:
        """Tags every parameter of this wrapped layer with its role (``parameter_type``)."""
        import arborlib.dendrite_engine as DE

        dm = self.dendrite_module
        DE.set_neuron_parameters(self.main_module)
        DE.set_neuron_parameters(self.dendrites_to_top)
        DE.set_dendrite_parameters(dm.layers)
        DE.set_dendrite_parameters(dm.dendrites_to_dendrites)
        DE.set_candidate_parameters(dm.candidate_module)
        DE.set_candidate_parameters(dm.dendrites_to_candidates)
        for name in ("candidate_to_top", "current_candidate_to_top"):
            if name in self._parameters:
                self._parameters[name].parameter_type = "candidate"
        # Placeholders the forward never reads (the first cascade entry, weights with no rows
        # yet) never train: a trainable parameter unused in forward stalls DDP's next step.
        for p in self.parameters():
            if p is dm.dendrites_to_dendrites[0] or p.numel() == 0:
                p.parameter_type = "ignored"

    def drop_live_weight(self) -> None:
        for name in ("candidate_to_top", "current_candidate_to_top"):
            self._parameters.pop(name, None)

    def _node_for(self, rank: int) -> int:
        """The neuron dimension of an output of this rank: an affine layer's last; a convolution's
        1, or 0 for an unbatched input ([C, L], [C, H, W]), which PyTorch accepts as well."""
        if layout_of(self.main_module).last_dim:
            return rank - 1
        unbatched = isinstance(self.main_module, nn.modules.conv._ConvNd) and rank == self.main_module.weight.dim() - 1
        return 0 if unbatched else 1

    def _neuron_dimension(self, out: torch.Tensor) -> int:
        """A linear layer's neurons are the last dimension of its output, whatever the input's
        rank ([N, F] or [N, T, F]); the records follow the shape actually seen."""
        # A plain int mirror of the buffer: reading the buffer would sync with a GPU every pass.
        node = self._node_for(out.dim())
        if out.dim() != len(self._output_dimensions) or node != self._node:
            self._node = node
            self.this_node_index.fill_(node)
            self._output_dimensions = [-1] * out.dim()
            self._output_dimensions[node] = self.out_channels
            for record in self.dendrite_module.dendrite_values:
                record.this_node_index = node
                record.this_output_dimensions = list(self._output_dimensions)
        return node

    def _grow_for_state_dict(self, state_dict, prefix, *args) -> None:
        """Makes this module's structure match a state dict saved after dendrites or candidates
        were added, so a freshly wrapped network can load it. A state of the same structure
        loads in place: an optimizer keeps training the very same parameters."""
        dm = self.dendrite_module
        layer_prefix = prefix + "dendrite_module.layers."
        saved = {int(k[len(layer_prefix):].split(".")[0]) for k in state_dict if k.startswith(layer_prefix)}
        cand_prefix = prefix + "dendrite_module.candidate_module."
        candidates = {k[len(cand_prefix):].split(".")[0] for k in state_dict if k.startswith(cand_prefix)}
        live = prefix + "current_candidate_to_top"
        if (len(saved), len(candidates), live in state_dict) == (
            dm.num_dendrites, len(dm.candidate_module), "current_candidate_to_top" in self._parameters
        ):
            return
        if self in DRIVEN_NEURONS:
            raise RuntimeError(
                f"layer {self.name}: the state dict holds {len(saved)} dendrites and {len(candidates)} candidates "
                f"(saved in {'p' if candidates else 'n'} mode), the layer {dm.num_dendrites} and "
                f"{len(dm.candidate_module)} (in {dm.mode} mode); loading it would replace parameters that the "
                "trainer's optimizer holds. Load it with trainer.load_state_dict(state_dict): that resumes in "
                "the mode the state was saved in, with a new trainer.optimizer."
            )
        self.grow_dendrites(len(saved))
        top = state_dict.get(prefix + "dendrites_to_top.0")
        if top is not None and top.shape != self.dendrites_to_top[0].shape:
            self.dendrites_to_top[0] = nn.Parameter(torch.zeros_like(top))
            self.dendrites_to_top[0].parameter_type = "neuron"
        if candidates:
            dm.create_candidates(self.main_module)
        else:
            dm.drop_candidates()
        if live in state_dict:
            weight = nn.Parameter(torch.zeros_like(state_dict[live]))
            weight.parameter_type = "candidate"
            self.candidate_to_top = weight
            self.register_parameter("current_candidate_to_top", weight)
        else:
            self.drop_live_weight()
        self.tag_roles()

    def forward(self, *args: Any, **kwargs: Any) -> torch.Tensor:
        import arborlib.dendrite_engine as DE

        modules = self._modules
        dm = modules["dendrite_module"]
        out = modules["main_module"](*args, **kwargs)
        # The neuron dimension can only move when the output's rank does.
        node = self._node if out.dim() == len(self._output_dimensions) else self._neuron_dimension(out)
        p_mode = dm.mode == "p" and GAR.arb_tracker.member_vars["mode"] == "p"
        if not p_mode and not dm.num_dendrites:
            # n mode, nothing installed: the layer's own output, and the running mean of the
            # neurons' error, handed to the candidates at the next p phase.
            if self.training and out.requires_grad:
                DE.watch_error_average(dm, out, node, self.error_scale)
            return out
        view_tuple = [-1 if d == node else 1 for d in range(out.dim())]
        dendrite_outs: List[torch.Tensor] = []
        if dm.num_dendrites:
            dendrite_outs = dm.installed_outputs(view_tuple, *args, **kwargs)
            to_top = self.dendrites_to_top[-1]
            for k, d_out in enumerate(dendrite_outs):
                out = out + to_top[k].view(view_tuple) * d_out
        if not p_mode:
            if self.training and out.requires_grad:
                DE.watch_error_average(dm, out, node, self.error_scale)
            return out
        if dm.candidate_engine == "per_record":
            return self._per_record_candidates(dm, out, view_tuple, dendrite_outs, args, kwargs)
        stacked = DE.candidate_forward(dm, view_tuple, dendrite_outs, *args, **kwargs)
        if stacked is None:
            return out
        if self.module_config.get_learn_dendrites_live():
            out = DE.apply_live_candidate_to_output(self, out, {0: stacked.select(node, 0)})
        if self.training and GAR.pc.get_dendrite_learn_mode():
            tag = dm.queue_candidate_output(stacked, node)
            if tag is not None:
                # The neurons are frozen in p mode, so the output may not need a gradient at
                # all (e.g. the first layer): make it a leaf that does, so its error is captured.
                if not out.requires_grad:
                    out = out.detach().requires_grad_()
                # Tagged: a layer called twice pairs each output with its own error.
                out.register_hook(_scaled(functools.partial(dm.capture_error, tag=tag), self.error_scale))
        return out

    def _per_record_candidates(self, dm: DendriteModule, out: torch.Tensor, view_tuple: List[int],
                               dendrite_outs: List[torch.Tensor], args: tuple, kwargs: dict) -> torch.Tensor:
        """p mode through the per-record entry points: forward_candidates queues each candidate's
        output on its record, and filter_backward_ab the neurons' error in backward."""
        import arborlib.dendrite_engine as DE

        _, nonlinear, _ = DE.forward_candidates(dm, view_tuple, dendrite_outs, *args, **kwargs)
        if not nonlinear:
            return out
        out = DE.apply_live_candidate_to_output(self, out, nonlinear)
        if self.training and GAR.pc.get_dendrite_learn_mode() and torch.is_grad_enabled():
            if not out.requires_grad:
                out = out.detach().requires_grad_()
            records = dm.dendrite_values
            out.register_hook(_scaled(lambda grad: DE.filter_backward_ab(grad, records), self.error_scale))
        return out
