"""The run's configuration object ``pc`` and tracker ``arb_tracker``.

Both are one per process, shared by every network and trainer in it. Settings are read when
they are used, so a change applies to every network at once; the exception is the candidate
count, which a layer keeps from when it was wrapped (a change while a layer is in its p phase
is refused). The tracker's mode is "p" while any trainer is in p mode.

Every setting of ``arborlib.arbor_settings`` is offered as ``pc.get_<name>()`` and
``pc.set_<name>(value)``; setters check the value against the table's ``_TYPES``.
A few companion-side settings (candidate count, verbosity, activation, checkpoint
format, module lists) are offered the same way.
"""
from __future__ import annotations

from typing import Any, Callable, Dict, List

import torch

# Called as check(count, action) before the candidate count changes; each raises to refuse it.
# The code that owns the candidate slots registers here (modules_arborai: the layers' slots).
CANDIDATE_COUNT_CHECKS: List[Callable[[int, str], None]] = []

# Companion-side settings: name -> default. Types are checked against the default's type,
# except where a setter is written out below.
_COMPANION_DEFAULTS: Dict[str, Any] = {
    "global_candidates": 1,
    "verbose": False,
    "extra_verbose": False,
    "using_safe_tensors": True,
    "weight_tying_experimental": False,
}


def _type_name(t: type) -> str:
    return t.__name__


def _check(name: str, expected: type, value: Any) -> Any:
    """Returns ``value`` if it is of ``expected`` type, else raises a TypeError."""
    ok = isinstance(value, expected)
    if expected is int and isinstance(value, bool):
        ok = False  # True/False are ints to Python, but a bool here is a mistake
    if expected is float and isinstance(value, int) and not isinstance(value, bool):
        return float(value)
    if not ok:
        raise TypeError(
            f"set_{name}: setting '{name}' expects {_type_name(expected)}, "
            f"got {type(value).__name__} ({value!r})"
        )
    return value


class ArborConfig:
    """Configuration object: one getter and one setter per setting.

    The table's defaults are loaded from ``arborlib.arbor_settings`` on first use (not at
    import, since arborlib imports this module while initialising).
    """

    def __init__(self) -> None:
        self._values: Dict[str, Any] = dict(_COMPANION_DEFAULTS)
        self._types: Dict[str, type] = {k: type(v) for k, v in _COMPANION_DEFAULTS.items()}
        self._table_loaded = False
        self._arb_forward_function: Callable[[torch.Tensor], torch.Tensor] = torch.relu
        self._module_names_to_not_save: List[str] = []
        self._modules_to_track: List[Any] = []
        self._module_ids_to_track: List[str] = []

    # -- the settings table -------------------------------------------------------
    def _load_table(self) -> None:
        if self._table_loaded:
            return
        import arborlib.arbor_settings as table

        for name, expected in table._TYPES.items():
            self._types[name] = expected
            self._values.setdefault(name, getattr(table, name))
        self._table_loaded = True
        # Install real methods so later lookups skip __getattr__ (settings are read on hot paths).
        for name in table._TYPES:
            self._install(name)
        for name in _COMPANION_DEFAULTS:
            self._install(name)

    def _install(self, name: str) -> None:
        cls = type(self)
        if not hasattr(cls, "get_" + name):
            setattr(cls, "get_" + name, lambda self, _n=name: self._get(_n))
        if not hasattr(cls, "set_" + name):
            setattr(cls, "set_" + name, lambda self, value, _n=name: self._set(_n, value))

    def _get(self, name: str) -> Any:
        return self._values[name]

    def _set(self, name: str, value: Any) -> None:
        self._values[name] = _check(name, self._types[name], value)

    def __getattr__(self, attr: str) -> Any:
        # Only reached before the table is loaded (or for unknown names).
        if attr.startswith(("get_", "set_")) and not self.__dict__.get("_table_loaded", True):
            self._load_table()
            return getattr(self, attr)
        raise AttributeError(f"{type(self).__name__} has no attribute {attr!r}")

    def setting_names(self) -> List[str]:
        """All names with a getter and a setter."""
        self._load_table()
        return list(self._types)

    def reset(self) -> None:
        """Back to the defaults (the table's and the companion's)."""
        self.__init__()
        self._load_table()

    # -- companion-side settings with their own rules -------------------------------
    def get_global_candidates(self) -> int:
        return self._values["global_candidates"]

    def set_global_candidates(self, value: int) -> None:
        value = _check("global_candidates", int, value)
        if value < 0:
            raise ValueError(f"set_global_candidates: expected a count >= 0, got {value}")
        if value != self._values["global_candidates"]:
            for check in CANDIDATE_COUNT_CHECKS:
                check(value, f"set_global_candidates({value})")
        self._values["global_candidates"] = value

    def get_arb_forward_function(self) -> Callable[[torch.Tensor], torch.Tensor]:
        """The activation applied to candidate and dendrite outputs."""
        return self._arb_forward_function

    def set_arb_forward_function(self, fn: Callable[[torch.Tensor], torch.Tensor]) -> None:
        if not callable(fn):
            raise TypeError(f"set_arb_forward_function: expected a callable, got {type(fn).__name__}")
        self._arb_forward_function = fn

    def get_module_names_to_not_save(self) -> List[str]:
        return self._module_names_to_not_save

    def set_module_names_to_not_save(self, names: List[str]) -> None:
        self._module_names_to_not_save = list(names)

    def get_modules_to_track(self) -> List[Any]:
        return self._modules_to_track

    def set_modules_to_track(self, modules: List[Any]) -> None:
        self._modules_to_track = list(modules)

    def get_module_ids_to_track(self) -> List[str]:
        return self._module_ids_to_track

    def append_module_ids_to_track(self, ids: List[str]) -> None:
        """Names of layers that must not be wrapped (and get no dendrites)."""
        self._module_ids_to_track.extend(ids)


class ArborTracker:
    """The run's tracker; ``member_vars["mode"]`` is "n" or "p" for the whole run."""

    def __init__(self) -> None:
        self.member_vars: Dict[str, Any] = {"mode": "n"}


pc = ArborConfig()
arb_tracker = ArborTracker()
