// Python bindings of the dendrite engine.
#include "dendrite_engine.h"

namespace e = arbor::engine;

PYBIND11_MODULE(TORCH_EXTENSION_NAME, m) {
  using py::arg;
  m.doc() = "p-mode machinery: candidates, error capture, correlation statistics, mode switches.";
  arbor::import_companion(m, "MAR");

  m.def("update_dendrite_tensor_values", &e::update_dendrite_tensor_values, arg("DENDRITE_TENSOR_VALUES"));
  m.def("update_dendrite_single_values", &e::update_dendrite_single_values, arg("DENDRITE_SINGLE_VALUES"));
  m.def("update_value_tracker_arrays", &e::update_value_tracker_arrays, arg("VALUE_TRACKER_ARRAYS"));
  m.def("create_extra_tensors", &e::create_extra_tensors, arg("dendrite_module"));
  m.def("get_tuples_and_mult", &e::get_tuples_and_mult, "uses this_node_index to create returned values",
        arg("val"), arg("values"));

  e::define_killer(m);
  m.def("grad_killer", &e::grad_killer, "Kills the gradient for the input tensor but keeps forward", arg("inp"));
  m.def("killer_recursive", [](const py::object& in_vals, bool killing) { return e::killer_recursive(in_vals, killing); },
        "Kills the gradient of every tensor inside a nested structure; returns (structure, device)",
        arg("in_vals"), arg("killing"));
  m.def("preprocess_ab", &e::preprocess_ab, "Applies killer to args and kwargs");

  m.def("forward_candidates", &e::forward_candidates, "the main forward function to process dendrite candidates",
        arg("dendrite_module"), arg("view_tuple"), arg("dendrite_outs"));
  m.def("add_dendrite_inputs", &e::add_dendrite_inputs, arg("dendrite_module"), arg("i"),
        arg("candidate_outs"), arg("outs"), arg("view_tuple"), arg("device"));
  m.def("check_dendrite_outs", &e::check_dendrite_outs, arg("values"), arg("device_index"));
  m.def("apply_live_candidate_to_output", &e::apply_live_candidate_to_output, arg("neuron_module"),
        arg("out"), arg("candidate_nonlinear_outs"));

  m.def("filter_backward_ab", &e::filter_backward_ab, arg("val"), arg("values"));
  m.def("apply_ab_zero", &e::apply_ab_zero, arg("self"));

  m.def("get_current_covariance", &e::get_current_covariance, arg("dendrite_outs"),
        arg("new_neuron_error"), arg("math_tuple"), arg("view_tuple"), arg("values") = py::none());
  m.def("covariance_loss", &e::covariance_loss, arg("current_cov"), arg("error"), arg("average_error"), arg("output"));
  m.def("update_running_averages", &e::update_running_averages, arg("new_neuron_error"),
        arg("dendrite_outs"), arg("loss"), arg("values"), arg("math_tuple"), arg("full_mult"), arg("covariance"));
  m.def("update_saved_values_averages_initial", &e::update_saved_values_averages_initial,
        arg("saved_values"), arg("dendrite_outs"), arg("covariance"), arg("loss"), arg("last_parent_d"),
        arg("math_tuple"));
  m.def("update_saved_values_averages", &e::update_saved_values_averages, arg("saved_values"),
        arg("dendrite_outs"), arg("covariance"), arg("loss"), arg("last_parent_d"), arg("math_tuple"));
  m.def("print_correlation_values", &e::print_correlation_values, arg("values"), arg("dendrite_outs"),
        arg("covariance"), arg("loss"), arg("new_neuron_error"));

  m.def("get_cc_loss", &e::get_cc_loss, arg("dendrite_values"));
  m.def("apply_ab_grads", &e::apply_ab_grads, arg("self"));

  m.def("candidate_forward", &e::candidate_forward,
        "All candidates of a layer in one pass: the activated outputs stacked on a new dimension\n"
        "just before the neuron dimension (one GEMM or convolution for Linear/Conv candidates of one\n"
        "shape). The inputs' gradient is cut once. Returns None outside p mode.",
        arg("dendrite_module"), arg("view_tuple"), arg("dendrite_outs"));
  m.def("candidate_step", &e::candidate_step,
        "One candidate step for every queued (output, error) pair of every given dendrite module.\n\n"
        "Pairs come from `candidate_outputs` and `candidate_errors` (dicts keyed by the forward's\n"
        "tag): each error is paired with the output of its own forward pass. All slots and layers\n"
        "share one autograd backward; statistics, running averages and best scores of all slots are\n"
        "updated with masked tensor operations. A slot whose batch statistics are not finite skips\n"
        "the step (no gradient, no update) and is reported once per layer; a batch with fewer than\n"
        "two elements per neuron leaves the statistics unchanged. At most one host read: the\n"
        "combined non-finite flag, when debugging_backwards_nan is on.\n\n"
        "reduce: optional callable for distributed training. Every batch moment of the call (per\n"
        "slot and neuron: sums of D, D^2, D*P; per neuron: sums of P, P^2; the elements per\n"
        "neuron of every pair) is gathered into ONE flat float64 tensor, and reduce(flat) is\n"
        "called exactly once, before any statistic is formed; it must sum the tensor in place\n"
        "across processes and return None, or return the summed tensor. Every batch statistic,\n"
        "gradient scale, running average and best score is then computed from the global sums. Contract: summing the candidates' parameter\n"
        "gradients across processes afterwards gives exactly the gradient of one process that saw\n"
        "the concatenated batch, and the running averages and best scores equal that process's.",
        arg("dendrite_modules"), arg("reduce") = py::none());
  // Internal, for tests only: off runs the batched step's tensor-op path (the one other
  // devices take) on the CPU too.
  m.def_submodule("_testing", "Internal switches for the test suite; not part of the interface.")
      .attr("host_statistics") = true;
  m.def("watch_error_average", &e::watch_error_average,
        "n mode: registers on output a gradient hook that folds scale times its gradient into the\n"
        "running error average of every value record (normal_pass_average_d); the hook calls no Python function",
        arg("dendrite_module"), arg("output"), arg("node"), arg("scale") = 1.0);

  m.def("new_best", &e::new_best,
        "This function checks if the new correlation is better than the previous best\n"
        "and returns the updated best score and indexes of best scores",
        arg("saved_values"));
  m.def("dendrite_score_beats_current_best", &e::dendrite_score_beats_current_best,
        "Returns if any neurons new score is better than the old score by the required percentage and raw amount.\n"
        "Tries fast GPU version first, falls back to CPU-synchronized version on timeout.",
        arg("new_score"), arg("old_score"));
  m.def("check_new_best_score", &e::check_new_best_score, arg("saved_values"));

  m.def("set_parameters", &e::set_parameters,
        "Initialize parameters AB by setting parameter_type for all parameters", arg("module"),
        arg("parameter_type"));
  m.def("set_main_parameters", &e::set_main_parameters,
        "Initialize parameters AB by setting parameter_type for only top-level parameters", arg("module"));
  const struct { const char* name; const char* role; const char* doc; } roles[] = {
      {"set_neuron_parameters", "neuron", "Neuron parameters train during n mode"},
      {"set_dendrite_parameters", "dendrite", "dendrite parameters train during n mode if learn_dendrites_live is true"},
      {"set_candidate_parameters", "candidate", "candidate parameters train during p mode"},
      {"set_ignored_parameters", "ignored", "ignored parameters never train"},
  };
  for (const auto& r : roles) {
    m.def(r.name, [role = std::string(r.role)](const py::object& module) { e::set_parameters(module, role); }, r.doc, arg("module"));
  }
  m.def("set_module_n_ab", &e::set_module_n_ab, arg("neuron_module"));
  m.def("set_module_p_ab", &e::set_module_p_ab,
        "Set the module to p mode - this means the dendrites learn and the main module does not",
        arg("neuron_module"));
  m.def("load_tagger_values", &e::load_tagger_values, arg("neuron_module"));
  m.def("init_candidates", &e::init_candidates, arg("dendrite_module"), arg("j"));
  m.def("set_ab_mode", &e::set_ab_mode, arg("dendrite_module"), arg("mode"));
  m.def("reinitialize_for_ab", &e::reinitialize_for_ab,
        "When filling from n mode to p mode this function reinitializes the dendrite module variables\n"
        "And copies over the accumulated averages so Cascor has access to them",
        arg("dendrite_module"));

  e::init_name_lists(m);
}
