// Conversion of a trained dendrite network into fused block layers (ARBLayer).
#pragma once

#include <ATen/ATen.h>

#include "common/companion.h"
#include "common/pyclass.h"

namespace arbor::fused {

// Creates the class ARBLayer on module `m`.
void define_arb_layer(py::module_& m);

py::object blockwise_network(const py::object& net);
py::object optimize_module(py::object net, int64_t depth, const std::string& name_so_far,
                           py::list converted_list);
py::object convert_to_arb_layer_block(const py::object& pretrained_dendrite);
void unWrap_params(const py::object& model);
py::object get_pretrained_arb_attr(const py::object& pretrained_dendrite, const py::object& member);
py::object get_pretrained_arb_var(const py::object& pretrained_dendrite, const py::object& submodule_id);

}  // namespace arbor::fused
