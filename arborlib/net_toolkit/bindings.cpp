// Python bindings of net_toolkit.
#include "net_toolkit.h"

namespace t = arbor::toolkit;

PYBIND11_MODULE(TORCH_EXTENSION_NAME, m) {
  using py::arg;
  m.doc() = "Checkpoints of cleaned networks, parameter counts and gradient diagnostics.";
  arbor::import_companion(m, "MAR");
  // Used at run time; imported now so a missing module shows at import.
  py::module_::import("arborlib.fused_layers");
  py::module_::import("arborlib.slim_restore");
  m.def("ab_save_net", &t::ab_save_net, arg("net"), arg("folder"), arg("name"));
  m.def("load_net", &t::load_net, arg("net"), arg("folder"), arg("name"));
  m.def("clean_net", &t::clean_net, arg("net"));
  m.def("check_state_dict", &t::check_state_dict, arg("net"), arg("state_dict"), arg("source"));
  m.def("add_future_warning", &t::add_future_warning);
  m.def("remove_future_warning", &t::remove_future_warning);
  m.def("ab_count_params", &t::ab_count_params, arg("net"));
  m.def("check_requires_grad", &t::check_requires_grad, arg("module"));
  m.def("debug_print_grad_modules", &t::debug_print_grad_modules, arg("net"), arg("depth"), arg("name_so_far"));
}
