"""Plain-PyTorch export of a network with dendrites.

``to_torch(net)`` turns the training network (wrapped layers), its ``blockwise_network`` form
or a cleaned or loaded network into an ``nn.Module`` made of torch operations only: it runs
without arborlib's extensions or the companion, pickles with ``torch.save``, and is visible to
``torch.compile(fullgraph=True)`` and ``torch.export``. This module imports no extension.

Each wrapped layer becomes a :class:`DendriteBlock`. For Linear and (ungrouped) Conv layers the
main layer and its dendrites run as one layer whose outputs are concatenated along the neuron
dimension (one GEMM or convolution); the dendrite activations and the cascade then work on its
slices. Candidates of a p phase are not part of the export, only installed dendrites.
"""
from __future__ import annotations

import copy
import functools
from typing import Callable, List, Optional, Sequence

import torch
from torch import nn

from .cascade import dendrite_cascade, guard_fast_path

__all__ = ["DendriteBlock", "dendrite_cascade", "guard_fast_path", "save_portable", "to_torch"]

# Class names of the three forms of a wrapped layer (the classes themselves live in the
# companion and in the extensions, which this module must not import).
TRAINING_FORM = "ARBNeuronModule"
FUSED_FORM = "ARBLayer"
CLEANED_FORM = "ARBModulePyThread"
FUSABLE = (nn.Linear, nn.Conv1d, nn.Conv2d, nn.Conv3d)


class DendriteBlock(nn.Module):
    """One wrapped layer with its installed dendrites, in torch operations.

    ``layers`` holds either one layer whose output concatenates the main layer's neurons and
    each dendrite's (``fused``), or the main layer followed by the dendrite layers. The output
    is ``main + sum_k top_weights[k] * a_k`` with ``a`` the activated dendrite cascade.

    A fused Linear computes the transposed product, [neurons, rows] = W x^T: its slices are
    then contiguous blocks, which the elementwise cascade runs on much faster than on the
    strided column slices of x W^T. The result is returned as a transposed view (no copy).
    """

    def __init__(
        self,
        layers: Sequence[nn.Module],
        fused: bool,
        neuron_dim: int,
        cascade_weights: torch.Tensor,
        top_weights: torch.Tensor,
        activation: Callable[[torch.Tensor], torch.Tensor],
    ) -> None:
        super().__init__()
        self.layers = nn.ModuleList(layers)
        self.fused = fused
        self.transposed = fused and isinstance(layers[0], nn.Linear)
        self.neuron_dim = neuron_dim  # negative: counted from the end, so any input rank works
        self.num_dendrites = top_weights.size(0)
        self.neurons = top_weights.size(1)
        # Per-neuron rows viewed as [C, 1, ..., 1] once here, not at every forward.
        tail = (1,) * (1 if self.transposed else -neuron_dim - 1)
        self.cascade_weights = nn.Parameter(cascade_weights.reshape(*cascade_weights.shape, *tail))
        self.top_weights = nn.Parameter(top_weights.reshape(*top_weights.shape, *tail))
        self.activation = activation
        guard_fast_path(self.layers)

    def __getattr__(self, name: str):
        """Reads the block cannot answer go to the layer it stands for (``weight``, ``in_features``,
        ...); of a fused layer, ``weight`` and ``bias`` are the main layer's slices."""
        try:
            return super().__getattr__(name)
        except AttributeError:
            layers = self.__dict__.get("_modules", {}).get("layers")
            if layers is None or (name.startswith("__") and name.endswith("__")):
                raise
        main, fused = layers[0], self.__dict__.get("fused")
        if fused and name in ("weight", "bias"):
            value = getattr(main, name)
            value = None if value is None else value[: self.neurons]
            return value.t() if name == "weight" and self.__dict__.get("transposed_affine") else value
        if fused and name in ("out_features", "out_channels"):
            return self.neurons
        if self.__dict__.get("transposed_affine") and name in ("nf", "nx"):
            return self.neurons if name == "nf" else main.in_features
        try:
            return getattr(main, name)
        except AttributeError:
            raise AttributeError(f"'DendriteBlock' object has no attribute '{name}', nor has the "
                                 f"{type(main).__name__} it stands for") from None

    def extra_repr(self) -> str:
        return f"dendrites={self.num_dendrites}, neuron_dim={self.neuron_dim}, fused={self.fused}"

    def forward(self, *args, **kwargs) -> torch.Tensor:
        if self.transposed:
            linear = self.layers[0]
            x = args[0] if args else kwargs["input"]
            rows = x.reshape(-1, x.size(-1)).t()
            if linear.bias is None:
                product = torch.mm(linear.weight, rows)
            else:
                product = torch.addmm(linear.bias.unsqueeze(1), linear.weight, rows)
            parts = product.split(self.neurons, dim=0)
        elif self.fused:
            parts = self.layers[0](*args, **kwargs).split(self.neurons, dim=self.neuron_dim)
        else:
            parts = [layer(*args, **kwargs) for layer in self.layers]
        out = parts[0]
        weights = self.cascade_weights
        acts = dendrite_cascade(parts[1:], lambda k, j: weights[k, j], self.activation)
        top = self.top_weights
        for k, act in enumerate(acts):
            out = torch.addcmul(out, top[k], act)
        if self.transposed:
            return out.t().reshape(*x.shape[:-1], self.neurons)
        return out


def _class_name(module: nn.Module) -> str:
    return type(module).__name__


def _without_marker(layer: nn.Module, memo: Optional[dict] = None) -> nn.Module:
    """A copy of a sub-layer without the fused block's marker buffer; ``memo`` is the network
    copy's, so that a parameter tied to one elsewhere in the network stays tied in the copy."""
    layer = copy.deepcopy(layer, {} if memo is None else memo)
    layer._buffers.pop("module_id", None)
    return layer


def _companion_activation() -> Callable[[torch.Tensor], torch.Tensor]:
    import arborai.globals_arborai as GAR  # only forms that need the companion get here

    return GAR.pc.get_arb_forward_function()


def _no_processors(name: str, processors: Sequence) -> None:
    if any(p is not None for p in processors):
        raise ValueError(
            f"to_torch: {name} has input/output processors; their code is the companion's own and "
            "cannot be exported as torch operations"
        )


def _parts(block: nn.Module, name: str, companion: Callable[[], Callable[[torch.Tensor], torch.Tensor]]):
    """(main layer, dendrite layers, cascade weights [D, D, C], top weights [D, C], activation,
    trailing dimension count) of one wrapped layer in any of its three forms; ``companion()``
    gives the companion's activation, which the training and cleaned forms use."""
    kind = _class_name(block)
    if kind == TRAINING_FORM:
        dm = block.dendrite_module
        _no_processors(name, [block.processor, *dm.processors])
        dendrites = list(dm.layers)
        top = block.dendrites_to_top[-1].detach()
        cascade = top.new_zeros(len(dendrites), len(dendrites), top.size(1))
        for k in range(1, len(dendrites)):
            cascade[k, :k] = dm.dendrites_to_dendrites[k + 1].detach()
        record = dm.dendrite_values[0]
        trailing = len(record.this_output_dimensions) - 1 - int(record.this_node_index)
        activation = companion() if dendrites else None
        return block.main_module, dendrites, cascade, top, activation, trailing
    layers = list(block.layer_array)
    _no_processors(name, block.processor_array)
    main, dendrites = layers[-1], layers[:-1]
    count = len(dendrites)
    trailing = getattr(block, "neuron_trailing_dims", None)
    if trailing is None:  # a block unpickled from an older file
        view = [int(v) for v in block.view_tuple.tolist()]
        trailing = len(view) - 1 - view.index(-1)
    if count == 0:
        return main, dendrites, torch.zeros(0, 0, 0), torch.zeros(0, 0), None, trailing
    # Position k of the packed weights: rows j < k weight the earlier outputs into output k;
    # the fused block's entry 0 is position 0, the wrapper's entry 0 is position 1.
    packed = block.skip_weights.detach()
    offset = 0 if kind == FUSED_FORM else 1
    cascade = packed.new_zeros(count, count, packed.size(2))
    for k in range(1, count):
        cascade[k, :k] = packed[k - offset, :k]
    top = packed[count - offset, :count]
    activation = block.internal_nonlinearity if kind == FUSED_FORM else companion()
    return main, dendrites, cascade, top, activation, trailing


def _same_layout(main: nn.Module, other: nn.Module) -> bool:
    if type(other) is not type(main) or other.weight.shape != main.weight.shape:
        return False
    if (other.bias is None) != (main.bias is None):
        return False
    if isinstance(main, nn.Linear):
        return True
    keys = ("stride", "padding", "dilation", "groups", "padding_mode", "output_padding", "transposed")
    return all(getattr(other, k) == getattr(main, k) for k in keys)


def _transposed_affine(layer: nn.Module) -> bool:
    """An affine layer that keeps its weight as [in, out] (``transformers``' ``Conv1D``)."""
    weight = getattr(layer, "weight", None)
    return (type(layer).__name__ == "Conv1D" and isinstance(weight, torch.Tensor) and weight.dim() == 2
            and weight.size(1) == getattr(layer, "nf", None) and not layer._forward_hooks
            and not layer._forward_pre_hooks)


def _as_linear(layer: nn.Module) -> nn.Module:
    """The nn.Linear that a transposed affine layer computes (x W + b = x (W^T)^T + b)."""
    weight, bias = layer.weight.detach(), layer.bias
    linear = nn.Linear(weight.size(0), weight.size(1), bias=bias is not None, device=weight.device,
                       dtype=weight.dtype)
    with torch.no_grad():
        linear.weight.copy_(weight.t())
        if bias is not None:
            linear.bias.copy_(bias)
    return linear


def _fused_layer(main: nn.Module, dendrites: List[nn.Module]) -> Optional[nn.Module]:
    """One layer computing the main layer and every dendrite, or None when they cannot share one."""
    if _transposed_affine(main) and all(_transposed_affine(d) and d.weight.shape == main.weight.shape
                                        for d in dendrites):
        main, dendrites = _as_linear(main), [_as_linear(d) for d in dendrites]
    if type(main) not in FUSABLE or (not isinstance(main, nn.Linear) and main.groups != 1):
        return None
    if not all(_same_layout(main, d) for d in dendrites) or main._forward_hooks or main._forward_pre_hooks:
        return None
    layers = [main, *dendrites]
    fused = _without_marker(main)
    with torch.no_grad():
        fused.weight = nn.Parameter(torch.cat([layer.weight for layer in layers]))
        if main.bias is not None:
            fused.bias = nn.Parameter(torch.cat([layer.bias for layer in layers]))
    if isinstance(fused, nn.Linear):
        fused.out_features = fused.weight.size(0)
    else:
        fused.out_channels = fused.weight.size(0)
    return fused


def export_block(block: nn.Module, name: str = "", activation=None, memo: Optional[dict] = None,
                 tied: frozenset = frozenset(), companion=_companion_activation) -> DendriteBlock:
    """The :class:`DendriteBlock` of one wrapped layer (training, fused or cleaned form).
    ``memo`` and ``tied`` (ids of parameters the network holds more than once) come from
    :func:`to_torch`: a main layer with a tied parameter is copied through the network's memo
    and not fused, so the tie survives. ``companion`` returns the companion's activation
    (``to_torch`` looks it up once)."""
    if activation is not None:
        companion = lambda: None  # noqa: E731 - a given activation needs no companion
    main, dendrites, cascade, top, own_activation, trailing = _parts(block, name or _class_name(block), companion)
    if isinstance(main, nn.Linear):
        trailing = 0  # neurons are the last dimension whatever the input's rank
    is_tied = any(id(p) in tied for p in main.parameters())
    fused = _fused_layer(main, dendrites) if dendrites and not is_tied else None
    layers = [fused] if fused is not None else [_without_marker(m, memo) for m in [main, *dendrites]]
    block = DendriteBlock(layers, fused is not None, -1 - trailing, cascade.clone(), top.clone(),
                          activation or own_activation)
    if fused is not None and _transposed_affine(main):
        block.transposed_affine = True  # reads of weight, nf and nx answer as the layer it stands for
    return block


def _is_block(module: nn.Module) -> bool:
    return _class_name(module) in (TRAINING_FORM, FUSED_FORM, CLEANED_FORM)


def to_torch(net: nn.Module, activation: Optional[Callable[[torch.Tensor], torch.Tensor]] = None) -> nn.Module:
    """A copy of ``net`` in torch operations only; ``net`` itself is left unchanged.

    ``activation`` replaces the dendrite nonlinearity the network was trained with (by default
    the companion's ``get_arb_forward_function()``); it must be picklable for ``torch.save``.
    """
    # Looked up once, and only if a block needs it: the companion is not imported otherwise.
    companion = functools.cache(_companion_activation)
    if _is_block(net):
        return export_block(net, activation=activation, companion=companion)
    # Each block is replaced wherever the copy meets it: deepcopy takes it from the memo, which
    # the blocks' own copies share, so tied weights stay tied.
    memo, done = {}, []
    seen, tied = set(), set()
    for _, p in net.named_parameters(remove_duplicate=False):
        (tied if id(p) in seen else seen).add(id(p))
    for path, module in net.named_modules():
        if _is_block(module) and not any(path.startswith(p + ".") for p in done):
            memo[id(module)] = export_block(module, path, activation, memo, frozenset(tied), companion)
            done.append(path)
    exported = copy.deepcopy(net, memo)
    exported.__dict__.pop("tracker_string", None)  # the companion's run state, not the model's
    for module in exported.modules():  # the companion's hooks (first-forward report) stay behind
        for hooks in (module._forward_hooks, module._forward_pre_hooks):
            for k in [k for k, hook in hooks.items() if type(hook).__module__.startswith("arborai")]:
                del hooks[k]
    for path, module in exported.named_modules():
        origin = type(module).__module__
        if origin.startswith("arborai") or (origin.startswith("arborlib") and origin != __name__):
            raise TypeError(
                f"to_torch: {path or 'the network'} is a {type(module).__name__} from {origin}, "
                "which has no plain torch form"
            )
    return exported


def save_portable(net: nn.Module, path: str, example_inputs, dynamic_shapes=None,
                  activation: Optional[Callable[[torch.Tensor], torch.Tensor]] = None):
    """Writes ``net`` (any of its forms, in eval mode) as a ``torch.export`` program, which
    ``torch.export.load(path).module()`` runs where only torch is installed: no arborlib, no
    companion, no pickled classes. ``example_inputs``: a tensor or a tuple of the forward's
    positional arguments; ``dynamic_shapes`` as ``torch.export.export`` takes it. Returns the
    program."""
    inputs = (example_inputs,) if isinstance(example_inputs, torch.Tensor) else tuple(example_inputs)
    program = torch.export.export(to_torch(net, activation).eval(), inputs, dynamic_shapes=dynamic_shapes,
                                  strict=False)
    torch.export.save(program, path)
    return program
