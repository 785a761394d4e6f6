"""Network utilities the add-on calls: text markers, copies, state-dict loading, and
checkpoints that keep tied weights tied."""
from __future__ import annotations

import copy
import json
import os
from typing import Dict, Mapping

import torch
from torch import nn

WEIGHT_TYING_KEY = "weight_tying"


def string_to_tensor(text: str) -> torch.Tensor:
    """The character codes of ``text`` as a 1-D int64 tensor."""
    return torch.tensor([ord(c) for c in text], dtype=torch.int64)


def tensor_to_string(codes: torch.Tensor) -> str:
    """Inverse of :func:`string_to_tensor`."""
    return "".join(chr(int(c)) for c in codes.tolist())


def deep_copy_arb(net: nn.Module) -> nn.Module:
    """An independent deep copy of ``net``; ``net`` itself is not changed.

    Value records drop their queued candidate outputs and errors when copied (they carry
    autograd graphs that cannot be copied and belong to the running step only).
    """
    return copy.deepcopy(net)


def load_net_from_dict(net: nn.Module, state_dict: Mapping[str, torch.Tensor]) -> nn.Module:
    """Loads ``state_dict`` into ``net`` (strictly) and returns ``net``."""
    net.load_state_dict(state_dict)
    return net


def _storage_key(t: torch.Tensor):
    return (t.device, t.untyped_storage().data_ptr(), t.storage_offset(), tuple(t.shape), t.stride())


def save_model_with_weight_tying(net: nn.Module, path: str) -> None:
    """Writes ``net``'s state dict as safetensors, storing each tied tensor once.

    The metadata key "weight_tying" maps every dropped name to the name that was kept.
    Tensors that overlap in memory without being the same view are stored as copies.
    """
    from safetensors.torch import save_file

    tensors: Dict[str, torch.Tensor] = {}
    tied: Dict[str, str] = {}
    kept_by_view: Dict[tuple, str] = {}
    storages: Dict[tuple, int] = {}
    for name, t in net.state_dict().items():
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
    save_file(tensors, path, metadata={WEIGHT_TYING_KEY: json.dumps(tied, sort_keys=True)})


def load_model_with_weight_tying(net: nn.Module, path: str) -> nn.Module:
    """Reads a file written by :func:`save_model_with_weight_tying` into ``net``; returns ``net``."""
    from safetensors import safe_open
    from safetensors.torch import load_file

    if not os.path.isfile(path):
        raise FileNotFoundError(f"no checkpoint at {path}")
    try:
        with safe_open(path, framework="pt") as f:
            metadata = f.metadata() or {}
        tensors = load_file(path)
    except Exception as error:  # the reader's own error type says little about which file
        raise ValueError(f"{path}: not a readable safetensors file ({error})") from error
    if WEIGHT_TYING_KEY not in metadata:
        raise ValueError(f"{path}: not a weight-tying checkpoint (no '{WEIGHT_TYING_KEY}' metadata)")
    for dropped, kept in json.loads(metadata[WEIGHT_TYING_KEY]).items():
        if kept not in tensors:
            raise ValueError(f"{path}: tied tensor {dropped!r} refers to {kept!r}, which the file lacks")
        tensors[dropped] = tensors[kept]
    check_state_dict(net, tensors, path)
    net.load_state_dict(tensors)
    return net


def check_state_dict(net: nn.Module, tensors: Mapping[str, torch.Tensor], source: str) -> None:
    """Raises a ValueError naming ``source`` unless ``tensors`` has exactly ``net``'s keys and
    shapes; checked before loading, so a wrong file never half-loads the network."""
    expected = net.state_dict()
    missing = sorted(set(expected) - set(tensors))
    unexpected = sorted(set(tensors) - set(expected))
    shapes = [
        f"{k} {tuple(tensors[k].shape)} in the file, {tuple(v.shape)} in the network"
        for k, v in expected.items()
        if k in tensors and tensors[k].shape != v.shape
    ]
    if missing or unexpected or shapes:
        raise ValueError(
            f"{source} does not match the network: missing {missing}, unexpected {unexpected}, shapes {shapes}"
        )
