// Python bindings of fused_layers.
#include "fused_layers.h"

namespace f = arbor::fused;

PYBIND11_MODULE(TORCH_EXTENSION_NAME, m) {
  using py::arg;
  m.doc() = "Conversion of a trained dendrite network into fused block layers.";
  arbor::import_companion(m, "AR");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("torch") = py::module_::import("torch");
  m.attr("np") = py::module_::import("numpy");
  f::define_arb_layer(m);
  m.def("blockwise_network", &f::blockwise_network, arg("net"));
  m.def("optimize_module", &f::optimize_module, arg("net"), arg("depth"), arg("name_so_far"),
        arg("converted_list"));
  m.def("convert_to_arb_layer_block", &f::convert_to_arb_layer_block, arg("pretrained_dendrite"));
  m.def("unWrap_params", &f::unWrap_params, arg("model"));
  m.def("get_pretrained_arb_attr", &f::get_pretrained_arb_attr, arg("pretrained_dendrite"), arg("member"));
  m.def("get_pretrained_arb_var", &f::get_pretrained_arb_var, arg("pretrained_dendrite"),
        arg("submodule_id"));
}
