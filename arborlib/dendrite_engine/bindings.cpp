// Python bindings of the dendrite engine.
#include "dendrite_engine.h"

namespace e = arbor::engine;

PYBIND11_MODULE(TORCH_EXTENSION_NAME, m) {
  using py::arg;
  m.doc() = "p-mode machinery: candidates, error capture, correlation statistics, mode switches.";
  arbor::import_companion(m, "MAR");

  m.def("update_dendrite_tensor_values", &e::update_dendrite_tensor_values,
        arg("DENDRITE_TENSOR_VALUES"));
  m.def("update_dendrite_single_values", &e::update_dendrite_single_values,
        arg("DENDRITE_SINGLE_VALUES"));
  m.def("update_value_tracker_arrays", &e::update_value_tracker_arrays,
        arg("VALUE_TRACKER_ARRAYS"));
  m.def("create_extra_tensors", &e::create_extra_tensors, arg("dendrite_module"));
  m.def("get_tuples_and_mult", &e::get_tuples_and_mult, "uses this_node_index to create returned values",
        arg("val"), arg("values"));

  e::define_killer(m);
  m.def("grad_killer", &e::grad_killer, "Kills the gradient for the input tensor but keeps forward",
        arg("inp"));
  m.def("killer_recursive", &e::killer_recursive,
        "Kills the gradient of every tensor inside a nested structure; returns (structure, device)",
        arg("in_vals"), arg("killing"));
  m.def("preprocess_ab", &e::preprocess_ab, "Applies killer to args and kwargs");

  m.def("forward_candidates", &e::forward_candidates,
        "the main forward function to process dendrite candidates", arg("dendrite_module"),
        arg("view_tuple"), arg("dendrite_outs"));
  m.def("add_dendrite_inputs", &e::add_dendrite_inputs, arg("dendrite_module"), arg("i"),
        arg("candidate_outs"), arg("outs"), arg("view_tuple"), arg("device"));
  m.def("check_dendrite_outs", &e::check_dendrite_outs, arg("values"), arg("device_index"));
  m.def("apply_live_candidate_to_output", &e::apply_live_candidate_to_output, arg("neuron_module"),
        arg("out"), arg("candidate_nonlinear_outs"));

  m.def("filter_backward_ab", &e::filter_backward_ab, arg("val"), arg("values"));
  m.def("apply_ab_zero", &e::apply_ab_zero, arg("self"));

  e::init_name_lists(m);
}
