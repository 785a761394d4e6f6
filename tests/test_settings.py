import re

import pytest
import torch

import arborai.globals_arborai as GAR
import arborlib.arbor_settings as S

# name, type, default: the table, in definition order
TABLE = [
    ("debugging_memory_leak", bool, True),
    ("debugging_backwards_nan", bool, True),
    ("count_training_params", bool, False),
    ("no_backward_workaround", bool, False),
    ("dpp_verbose", bool, False),
    ("variable_p", int, 142),
    ("correlations_by_mean", bool, True),
    ("normalized_covariance", bool, True),
    ("grad_sum_first", bool, True),
    ("default_random_arb_to_candidates", bool, False),
    ("candidate_grad_clipping", float, 0.0),
    ("arb_improvement_threshold", float, 0.1),
    ("arb_improvement_threshold_raw", float, 1e-4),
    ("doing_mean_best", int, 0),
    ("p_epochs_to_switch", int, 2),
    ("cap_at_n", bool, False),
    ("graphing_current_scores", bool, False),
    ("doing_thing", int, 0),
    ("learn_dendrites_live", bool, False),
    ("no_extra_n_modes", bool, False),
    ("initial_correlation_batches", int, 100),
    ("running_average_ab", bool, True),
    ("candidate_graph_mode", bool, True),
    ("dendrite_graph_mode", bool, True),
    ("dendrite_learn_mode", bool, True),
    ("dendrite_update_mode", bool, True),
]


@pytest.mark.parametrize("name, typ, default", TABLE)
def test_default_and_type(name, typ, default):
    value = getattr(S, name)
    assert type(value) is typ  # 0 is not False, 0.0 is not 0
    assert value == default
    assert S._TYPES[name] is typ
    assert getattr(GAR.pc, "get_" + name)() == default


def test_module_defines_exactly_the_table_in_order():
    public = [n for n in vars(S) if not n.startswith("_")]
    assert public == [name for name, _, _ in TABLE]


def test_types_are_grouped_bool_int_float():
    types = list(S._TYPES.values())
    assert len(types) == 26
    assert types == [bool] * 18 + [int] * 5 + [float] * 3
    assert list(S._TYPES)[:3] == ["debugging_memory_leak", "debugging_backwards_nan", "count_training_params"]
    assert list(S._TYPES)[17] == "dpp_verbose"
    assert list(S._TYPES)[18:23] == [
        "variable_p", "doing_mean_best", "p_epochs_to_switch", "doing_thing", "initial_correlation_batches"]


@pytest.mark.parametrize(
    "name, good, bad, expects",
    [
        ("verbose", True, 1, "bool"),
        ("debugging_memory_leak", False, "no", "bool"),
        ("variable_p", 7, True, "int"),
        ("variable_p", 7, 7.0, "int"),
        ("arb_improvement_threshold", 0.2, "0.2", "float"),
        ("global_candidates", 3, 2.5, "int"),
    ],
)
def test_setter_checks_type(name, good, bad, expects):
    getattr(GAR.pc, "set_" + name)(good)
    assert getattr(GAR.pc, "get_" + name)() == good
    # The message names the setter, the type it wants, then the type and value it got.
    message = rf"set_{name}\b.*\b{expects}\b.*\b{type(bad).__name__}\b.*{re.escape(repr(bad))}"
    with pytest.raises(TypeError, match=message):
        getattr(GAR.pc, "set_" + name)(bad)
    assert getattr(GAR.pc, "get_" + name)() == good  # a refused value changes nothing


def test_float_setting_accepts_int_as_float():
    GAR.pc.set_candidate_grad_clipping(1)
    assert GAR.pc.get_candidate_grad_clipping() == 1.0
    assert type(GAR.pc.get_candidate_grad_clipping()) is float


def test_reset_restores_defaults():
    GAR.pc.set_doing_thing(3)
    GAR.pc.reset()
    assert GAR.pc.get_doing_thing() == 0


def test_companion_getters_have_defaults():
    pc = GAR.pc
    assert pc.get_global_candidates() == 1
    assert pc.get_verbose() is False and pc.get_extra_verbose() is False
    assert pc.get_using_safe_tensors() is True and pc.get_weight_tying_experimental() is False
    assert pc.get_module_names_to_not_save() == [] and pc.get_modules_to_track() == []
    act = pc.get_arb_forward_function()
    x = torch.linspace(-50, 50, 11)
    y = act(x)
    assert torch.all(y.abs() <= 1) and torch.all(y[1:] >= y[:-1])  # bounded and monotone
    pc.append_module_ids_to_track([".fc1"])
    assert pc.get_module_ids_to_track() == [".fc1"]
    assert GAR.arb_tracker.member_vars["mode"] == "n"
    with pytest.raises(AttributeError):
        pc.get_no_such_setting()
