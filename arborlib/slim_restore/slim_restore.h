// Rebuilding a network of fused blocks into (optionally threaded) inference wrappers.
#pragma once

#include <ATen/ATen.h>

#include "common/companion.h"
#include "common/pyclass.h"

namespace arbor::slim {

// Creates the class ARBModulePyThread on module `m`.
void define_module_thread(py::module_& m);

py::object refresh_net(const py::object& pretrained_dendrite);
py::object refresh_arb(py::object net, int64_t depth, const std::string& name_so_far, py::list converted_list);
py::object make_module(const py::object& module);
py::object get_pretrained_arb_attr(const py::object& pretrained_dendrite, const py::object& member);
py::object get_pretrained_arb_var(const py::object& pretrained_dendrite, const py::object& submodule_id);

inline py::module_ self_module() { return module_named("arborlib.slim_restore"); }

}  // namespace arbor::slim
