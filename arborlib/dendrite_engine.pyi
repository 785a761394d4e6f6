# Type stubs of an extension module, written by tools/gen_stubs.py from the built module.
"""p-mode machinery: candidates, error capture, correlation statistics, mode switches."""

import collections.abc
import types
import typing

import torch

GAR: types.ModuleType
class Killer(torch.autograd.Function):
    @staticmethod
    def forward(ctx: typing.Any, inp: typing.Any) -> typing.Any: ...
    @staticmethod
    def backward(ctx: typing.Any, grad_out: torch.Tensor) -> torch.Tensor: ...
MAR: types.ModuleType
NON_LIVE_SKIP_VALUES: list
UAR: types.ModuleType
def add_dendrite_inputs(dendrite_module: typing.Any, i: typing.SupportsInt | typing.SupportsIndex, candidate_outs: torch.Tensor, outs: typing.Any, view_tuple: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], device: typing.Any) -> torch.Tensor: ...
def apply_ab_grads(self: typing.Any) -> None: ...
def apply_ab_zero(self: typing.Any) -> None: ...
def apply_live_candidate_to_output(neuron_module: typing.Any, out: typing.Any, candidate_nonlinear_outs: dict) -> typing.Any: ...
def candidate_forward(dendrite_module: typing.Any, view_tuple: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], dendrite_outs: typing.Any, *args, **kwargs) -> typing.Any:
    """All candidates of a layer in one pass: the activated outputs stacked on a new dimension just before the neuron dimension (one GEMM or convolution for Linear/Conv candidates of one shape). The inputs' gradient is cut once. Returns None outside p mode."""
def candidate_step(dendrite_modules: collections.abc.Iterable, reduce: typing.Any = None) -> None:
    """One candidate step for every queued (output, error) pair of every given dendrite module. Pairs come from `candidate_outputs` and `candidate_errors` (dicts keyed by the forward's tag): each error is paired with the output of its own forward pass. All slots and layers share one autograd backward; statistics, running averages and best scores of all slots are updated with masked tensor operations. A slot whose batch statistics are not finite skips the step (no gradient, no update) and is reported once per layer; a batch with fewer than two elements per neuron leaves the statistics unchanged. At most one host read: the combined non-finite flag, when debugging_backwards_nan is on. reduce: optional callable for distributed training. Every batch moment of the call (per slot and neuron: sums of D, D^2, D*P; per neuron: sums of P, P^2; the elements per neuron of every pair) is gathered into ONE flat float64 tensor, and reduce(flat) is called exactly once, before any statistic is formed; it must sum the tensor in place across processes. Every batch statistic, gradient scale, running average and best score is then computed from the global sums. Contract: summing the candidates' parameter gradients across processes afterwards gives exactly the gradient of one process that saw the concatenated batch, and the running averages and best scores equal that process's."""
def check_dendrite_outs(values: typing.Any, device_index: typing.SupportsInt | typing.SupportsIndex) -> None: ...
def check_new_best_score(saved_values: typing.Any) -> None: ...
def covariance_loss(current_cov: torch.Tensor, error: torch.Tensor, average_error: torch.Tensor, output: torch.Tensor) -> torch.Tensor: ...
def create_extra_tensors(dendrite_module: typing.Any) -> None: ...
def dendrite_score_beats_current_best(new_score: torch.Tensor, old_score: torch.Tensor) -> typing.Any:
    """Returns if any neurons new score is better than the old score by the required percentage and raw amount. Tries fast GPU version first, falls back to CPU-synchronized version on timeout."""
def filter_backward_ab(val: torch.Tensor, values: typing.Any) -> None: ...
def forward_candidates(dendrite_module: typing.Any, view_tuple: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], dendrite_outs: typing.Any, *args, **kwargs) -> tuple:
    """the main forward function to process dendrite candidates"""
def get_cc_loss(dendrite_values: typing.Any) -> tuple: ...
def get_current_covariance(dendrite_outs: torch.Tensor, new_neuron_error: torch.Tensor, math_tuple: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], view_tuple: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], values: typing.Any = None) -> torch.Tensor: ...
def get_tuples_and_mult(val: torch.Tensor, values: typing.Any) -> tuple:
    """uses this_node_index to create returned values"""
def grad_killer(inp: typing.Any) -> typing.Any:
    """Kills the gradient for the input tensor but keeps forward"""
host_statistics: bool
def init_candidates(dendrite_module: typing.Any, j: typing.SupportsInt | typing.SupportsIndex) -> None: ...
def killer_recursive(in_vals: typing.Any, killing: bool) -> tuple:
    """Kills the gradient of every tensor inside a nested structure; returns (structure, device)"""
def load_tagger_values(neuron_module: typing.Any) -> None: ...
def new_best(saved_values: typing.Any) -> tuple:
    """This function checks if the new correlation is better than the previous best and returns the updated best score and indexes of best scores"""
def preprocess_ab(*args, **kwargs) -> tuple:
    """Applies killer to args and kwargs"""
def print_correlation_values(values: typing.Any, dendrite_outs: typing.Any, covariance: typing.Any, loss: typing.Any, new_neuron_error: typing.Any) -> None: ...
def reinitialize_for_ab(dendrite_module: typing.Any) -> None:
    """When filling from n mode to p mode this function reinitializes the dendrite module variables And copies over the accumulated averages so Cascor has access to them"""
def set_ab_mode(dendrite_module: typing.Any, mode: str) -> None: ...
def set_candidate_parameters(module: typing.Any) -> None:
    """candidate parameters train during p mode"""
def set_dendrite_parameters(module: typing.Any) -> None:
    """dendrite parameters train during n mode if learn_dendrites_live is true"""
def set_ignored_parameters(module: typing.Any) -> None:
    """ignored parameters never train"""
def set_main_parameters(module: typing.Any) -> None:
    """Initialize parameters AB by setting parameter_type for only top-level parameters"""
def set_module_n_ab(neuron_module: typing.Any) -> None: ...
def set_module_p_ab(neuron_module: typing.Any) -> None:
    """Set the module to p mode - this means the dendrites learn and the main module does not"""
def set_neuron_parameters(module: typing.Any) -> None:
    """Neuron parameters train during n mode"""
def set_parameters(module: typing.Any, parameter_type: str) -> None:
    """Initialize parameters AB by setting parameter_type for all parameters"""
def stack_records(dendrite_module: typing.Any) -> list:
    """The stacked [K, ...] statistics of a dendrite module (rows are the records' tensors)"""
def track_error_average(dendrite_module: typing.Any, grad: torch.Tensor, node: typing.SupportsInt | typing.SupportsIndex, scale: typing.SupportsFloat | typing.SupportsIndex = 1.0) -> None:
    """n mode: folds the batch mean of the neurons' error into every record's normal_pass_average_d"""
def update_dendrite_single_values(DENDRITE_SINGLE_VALUES: collections.abc.Iterable) -> list: ...
def update_dendrite_tensor_values(DENDRITE_TENSOR_VALUES: collections.abc.Iterable) -> list: ...
def update_running_averages(new_neuron_error: torch.Tensor, dendrite_outs: torch.Tensor, loss: typing.Any, values: typing.Any, math_tuple: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], full_mult: typing.SupportsInt | typing.SupportsIndex, covariance: torch.Tensor) -> None: ...
def update_saved_values_averages(saved_values: typing.Any, dendrite_outs: torch.Tensor, covariance: torch.Tensor, loss: typing.Any, last_parent_d: typing.Any, math_tuple: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]) -> None: ...
def update_saved_values_averages_initial(saved_values: typing.Any, dendrite_outs: torch.Tensor, covariance: torch.Tensor, loss: typing.Any, last_parent_d: typing.Any, math_tuple: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]) -> None: ...
def update_value_tracker_arrays(VALUE_TRACKER_ARRAYS: collections.abc.Iterable) -> list: ...
def watch_error_average(dendrite_module: typing.Any, output: torch.Tensor, node: typing.SupportsInt | typing.SupportsIndex, scale: typing.SupportsFloat | typing.SupportsIndex = 1.0) -> None:
    """n mode: registers on output a gradient hook that folds scale times its gradient into the running error average, as track_error_average does; the hook calls no Python function"""
