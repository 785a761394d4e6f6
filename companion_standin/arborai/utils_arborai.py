"""Network utilities the add-on calls: text markers, copies, state-dict loading, and
checkpoints that keep tied weights tied."""
from __future__ import annotations

import copy
import json
import os
from typing import Any, Dict, Mapping

import torch
from torch import nn

from .modules_arborai import strip_first_forward_hooks

WEIGHT_TYING_KEY = "weight_tying"
EXTRA_STATE_KEY = "__extra_state__"  # no module attribute is named so


def string_to_tensor(text: str) -> torch.Tensor:
    """The character codes of ``text`` as a 1-D int64 tensor."""
    return torch.tensor([ord(c) for c in text], dtype=torch.int64)


def tensor_to_string(codes: torch.Tensor) -> str:
    """Inverse of :func:`string_to_tensor`."""
    return "".join(chr(int(c)) for c in codes.tolist())


def deep_copy_arb(net: nn.Module) -> nn.Module:
    """An independent deep copy of ``net``; ``net`` itself is not changed.

    Value records drop their queued candidate outputs and errors when copied (they carry
    autograd graphs that cannot be copied and belong to the running step only), and the copy
    drops the wrapped network's first-forward report (it belongs to the training network).
    """
    net = copy.deepcopy(net)
    strip_first_forward_hooks(net)
    return net


def load_net_from_dict(net: nn.Module, state_dict: Mapping[str, torch.Tensor]) -> nn.Module:
    """Loads ``state_dict`` into ``net`` (strictly) and returns ``net``."""
    net.load_state_dict(state_dict)
    return net


def _storage_key(t: torch.Tensor):
    return (t.device, t.untyped_storage().data_ptr(), t.storage_offset(), tuple(t.shape), t.stride())


def _extra_state_text(extra: Dict[str, Any]) -> str:
    """The modules' extra state (the state dict's non-tensor entries) as JSON text, for a
    metadata entry; refuses values that would not come back as they were."""
    for name, value in extra.items():
        try:
            same = json.loads(json.dumps(value)) == value
        except (TypeError, ValueError):
            same = False
        if not same:
            raise ValueError(
                f"{name}: extra state of type {type(value).__name__} cannot be stored in a safetensors checkpoint "
                "(only JSON values: dicts with str keys, lists, str, numbers, bool, None); "
                "save in the whole-module form (GAR.pc.set_using_safe_tensors(False))"
            )
    return json.dumps(extra, sort_keys=True)


def save_model_with_weight_tying(net: nn.Module, path: str) -> None:
    """Writes ``net``'s state dict as safetensors, storing each tied tensor once.

    The metadata key "weight_tying" maps every dropped name to the name that was kept.
    Tensors that overlap in memory without being the same view are stored as copies.
    Modules' extra state (``get_extra_state``) is stored as JSON text in the uint8 tensor
    "__extra_state__".
    """
    from safetensors.torch import save_file

    tensors: Dict[str, torch.Tensor] = {}
    tied: Dict[str, str] = {}
    extra: Dict[str, Any] = {}
    kept_by_view: Dict[tuple, str] = {}
    storages: Dict[tuple, int] = {}
    for name, t in net.state_dict().items():
        if not isinstance(t, torch.Tensor):
            extra[name] = t
            continue
        key = _storage_key(t)
        if key in kept_by_view:
            tied[name] = kept_by_view[key]
            continue
        kept_by_view[key] = name
        skey = (t.device, t.untyped_storage().data_ptr())
        storages[skey] = storages.get(skey, 0) + 1
        tensors[name] = t
    for name, t in list(tensors.items()):
        # Another kept tensor shares this storage (a different view): store a copy.
        if storages[(t.device, t.untyped_storage().data_ptr())] > 1 or not t.is_contiguous():
            tensors[name] = t.detach().clone().contiguous()
        else:
            tensors[name] = t.detach()
    if extra:
        # A tensor, not a second metadata entry: safetensors writes metadata in hash order, and
        # two saves of one network must give the same bytes.
        tensors[EXTRA_STATE_KEY] = torch.tensor(list(_extra_state_text(extra).encode()), dtype=torch.uint8)
    save_file(tensors, path, metadata={WEIGHT_TYING_KEY: json.dumps(tied, sort_keys=True)})


def _json_object(path: str, what: str, text) -> Dict[str, Any]:
    try:
        value = json.loads(text)
    except ValueError as error:  # JSONDecodeError and undecodable bytes alike
        raise ValueError(f"{path}: corrupt {what} ({error})") from error
    if not isinstance(value, dict):
        raise ValueError(f"{path}: corrupt {what} (a JSON object expected, got {type(value).__name__})")
    return value


def load_model_with_weight_tying(net: nn.Module, path: str) -> nn.Module:
    """Reads a file written by :func:`save_model_with_weight_tying` into ``net``; returns ``net``."""
    from safetensors import safe_open
    from safetensors.torch import load_file

    import arborlib.net_toolkit as NT  # lazily: arborlib imports this module while initialising

    if not os.path.isfile(path):
        raise FileNotFoundError(f"no checkpoint at {path}")
    try:
        with safe_open(path, framework="pt") as f:
            metadata = f.metadata() or {}
        tensors: Dict[str, Any] = load_file(path)
    except Exception as error:  # the reader's own error type says little about which file
        raise ValueError(f"{path}: not a readable safetensors file ({error})") from error
    if WEIGHT_TYING_KEY not in metadata:
        raise ValueError(f"{path}: not a weight-tying checkpoint (no '{WEIGHT_TYING_KEY}' metadata)")
    tied = _json_object(path, f"'{WEIGHT_TYING_KEY}' metadata", metadata[WEIGHT_TYING_KEY])
    for dropped, kept in tied.items():
        if not isinstance(kept, str) or kept not in tensors:
            raise ValueError(f"{path}: tied tensor {dropped!r} refers to {kept!r}, which the file lacks")
        tensors[dropped] = tensors[kept]
    if EXTRA_STATE_KEY in tensors:
        tensors.update(_json_object(path, "extra state", bytes(tensors.pop(EXTRA_STATE_KEY).tolist())))
    NT.check_state_dict(net, tensors, path)
    net.load_state_dict(tensors)
    return net
