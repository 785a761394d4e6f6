// Whole-network utilities: checkpoints of cleaned networks, parameter counts and
// gradient diagnostics.
#pragma once

#include <ATen/ATen.h>

#include "companion/companion.h"

namespace arbor::toolkit {

void ab_save_net(const py::object& net, const std::string& folder, const std::string& name);
py::object load_net(const py::object& net, const std::string& folder, const std::string& name);
py::object clean_net(const py::object& net);
void add_future_warning();
void remove_future_warning();

int64_t ab_count_params(const py::object& net);
bool check_requires_grad(const py::object& module);
void debug_print_grad_modules(const py::object& net, int64_t depth, const std::string& name_so_far);

}  // namespace arbor::toolkit
