// Python bindings of slim_restore.
#include "slim_restore.h"

namespace s = arbor::slim;

PYBIND11_MODULE(TORCH_EXTENSION_NAME, m) {
  using py::arg;
  m.doc() = "Rebuilding fused blocks into (optionally threaded) inference wrappers.";
  arbor::import_companion(m, "MAR");
  s::define_module_thread(m);
  m.attr("ModuleType") = m.attr("ARBModulePyThread");
  m.attr("doing_threading") = false;
  m.attr("loaded_full_print") = false;
  m.def("refresh_net", &s::refresh_net, arg("pretrained_dendrite"));
  m.def("refresh_arb", &s::refresh_arb, arg("net"), arg("depth"), arg("name_so_far"), arg("converted_list"));
  m.def("make_module", &s::make_module, arg("module"));
  m.def("get_pretrained_arb_attr", &s::get_pretrained_arb_attr, arg("pretrained_dendrite"), arg("member"));
  m.def("get_pretrained_arb_var", &s::get_pretrained_arb_var, arg("pretrained_dendrite"), arg("submodule_id"));
}
