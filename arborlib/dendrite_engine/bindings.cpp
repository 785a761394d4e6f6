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

  e::init_name_lists(m);
}
