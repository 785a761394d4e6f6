# Type stubs of an extension module, written by tools/gen_stubs.py from the built module.
"""Global settings of arborlib: 26 typed defaults and the type map _TYPES."""

import collections.abc
import types
import typing

import torch

_TYPES: dict
arb_improvement_threshold: float
arb_improvement_threshold_raw: float
candidate_grad_clipping: float
candidate_graph_mode: bool
cap_at_n: bool
correlations_by_mean: bool
count_training_params: bool
debugging_backwards_nan: bool
debugging_memory_leak: bool
default_random_arb_to_candidates: bool
dendrite_graph_mode: bool
dendrite_learn_mode: bool
dendrite_update_mode: bool
doing_mean_best: int
doing_thing: int
dpp_verbose: bool
grad_sum_first: bool
graphing_current_scores: bool
initial_correlation_batches: int
learn_dendrites_live: bool
no_backward_workaround: bool
no_extra_n_modes: bool
normalized_covariance: bool
p_epochs_to_switch: int
running_average_ab: bool
variable_p: int
