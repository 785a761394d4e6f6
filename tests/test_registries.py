import subprocess
import sys
import types

import pytest
import torch

import arborai.globals_arborai as GAR
import arborai.modules_arborai as MAR
import arborlib.dendrite_engine as DE

ENGINE_TENSOR_NAMES = [
    "prev_dendrite_candidate_correlation", "covariance_for_parallel", "best_score",
    "previous_best_score", "prev_dendrite_candidate_average", "main_grad_average_for_scaling",
    "candidate_grad_average_for_scaling", "indexes_of_best", "nodes_best_improved_this_epoch",
    "nodes_improved_any", "parents_average_d_vector", "normal_pass_average_d",
    "epoch_start_best_score", "prev_dendrite_candidate_pearson", "best_pearson_correlation",
]
ENGINE_SINGLE_NAMES = ["breaking", "locked", "best_score_improved_this_epoch", "running_scalar"]


@pytest.mark.parametrize(
    "extender, given, appended",
    [
        (DE.update_dendrite_tensor_values, ["mine"], ENGINE_TENSOR_NAMES),
        (DE.update_dendrite_single_values, ["a", "b"], ENGINE_SINGLE_NAMES),
        (DE.update_value_tracker_arrays, [], ["current_parent_d"]),
        (DE.update_value_tracker_arrays, ["dendrite_outs"], ["current_parent_d"]),
    ],
)
def test_extenders_append_without_touching_argument(extender, given, appended):
    before = list(given)
    out = extender(given)
    assert out == before + appended
    assert given == before and out is not given


def test_extenders_take_keyword_names():
    assert DE.update_value_tracker_arrays(VALUE_TRACKER_ARRAYS=("x",)) == ["x", "current_parent_d"]


def test_default_import_lists():
    assert DE.NON_LIVE_SKIP_VALUES == ["normal_pass_average_d"]
    assert not hasattr(DE, "DENDRITE_SINGLE_VALUES")


@pytest.mark.slow
def test_import_with_doing_thing_on():
    code = (
        "import arborai.globals_arborai as G; G.pc.set_doing_thing(1);"
        "import arborlib.dendrite_engine as DE, arborai.modules_arborai as M;"
        "print(DE.NON_LIVE_SKIP_VALUES); print(DE.DENDRITE_SINGLE_VALUES);"
        "G.pc.set_doing_thing(0);"  # later changes do not matter
        "import torch; r = M.ValueRecord(3, 'x', 1, [-1, 3]);"
        "print(r.normal_pass_max_mean_act.shape, r.parent_max_mean_act.shape)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    assert lines[0] == "['normal_pass_average_d', 'normal_pass_max_mean_act']"
    assert lines[1] == str(MAR.BASE_SINGLE_VALUES + ["normal_pass_max_mean_act", "parent_max_mean_act"])
    assert lines[2] == "torch.Size([1]) torch.Size([1])"


@pytest.mark.parametrize(
    "shape, node_index, expected",
    [
        ([32, 64, 8, 8], 1, ([0, 2, 3], [1, -1, 1, 1], 2048)),
        ([16, 10], 1, ([0], [1, -1], 16)),
        ([5], 0, ([], [-1], 1)),
        ([4, 6], 3, ([0, 1], [1, 1], 24)),
        ([7, 5, 3], 2, ([0, 1], [1, 1, -1], 35)),
        ([2, 3], torch.tensor(1), ([0], [1, -1], 2)),
    ],
)
def test_get_tuples_and_mult(shape, node_index, expected):
    values = types.SimpleNamespace(this_node_index=node_index)
    out = DE.get_tuples_and_mult(torch.zeros(shape), values)
    assert out == expected
    assert type(out) is tuple and type(out[0]) is list and type(out[2]) is int


def test_create_extra_tensors_resets_and_reads_setting():
    module = torch.nn.Module()
    GAR.pc.set_default_random_arb_to_candidates(True)
    DE.create_extra_tensors(module)
    assert module.random_arb_to_candidates is True
    module.current_recurrent_pass_tensors.append(1)
    module.normal_learning_taggers["k"] = 1
    GAR.pc.set_default_random_arb_to_candidates(False)
    DE.create_extra_tensors(dendrite_module=module)
    assert module.current_recurrent_pass_tensors == []
    assert module.current_recurrent_pass_candidate_tensors == []
    assert module.normal_learning_taggers == {}
    assert module.random_arb_to_candidates is False


def test_records_carry_every_registered_name():
    GAR.pc.set_global_candidates(3)
    neuron = MAR.ARBNeuronModule(torch.nn.Conv2d(2, 5, 3), "conv")
    dm = neuron.dendrite_module
    assert len(dm.dendrite_values) == 3 and len(dm.dendrites_to_candidates) == 3
    assert dm.current_recurrent_pass_tensors == [] and dm.random_arb_to_candidates is False
    for rec in dm.dendrite_values:
        for name in DE.update_dendrite_tensor_values(MAR.BASE_TENSOR_VALUES):
            assert getattr(rec, name).shape == (5,)
        for name in MAR.get_DENDRITE_SINGLE_VALUES():
            assert getattr(rec, name).shape == (1,)
        rec.locked[0] = 1  # single values are written by index
        assert rec.dendrite_outs == [[]] * MAR.device_slots()
        assert rec.current_parent_d == [[]] * MAR.device_slots()
        assert rec.device is None and rec.layer_name == "conv"
        assert rec.this_node_index == 1 and rec.this_output_dimensions == [-1, 5, -1, -1]
    # queues are per record, never shared
    dm.dendrite_values[0].dendrite_outs[0].append(1)
    assert dm.dendrite_values[1].dendrite_outs[0] == []
    assert set(MAR.get_DENDRITE_SINGLE_VALUES()) >= set(ENGINE_SINGLE_NAMES + ["initialized"])
    reinit = MAR.get_DENDRITE_REINIT_VALUES()
    assert "normal_pass_average_d" in reinit and "parents_average_d_vector" not in reinit


def test_wrapping_unsupported_layer_is_a_clear_error():
    with pytest.raises(TypeError, match="ReLU"):
        MAR.ARBNeuronModule(torch.nn.ReLU(), "act")
