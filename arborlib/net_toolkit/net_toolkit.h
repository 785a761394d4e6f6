// Whole-network utilities: checkpoints of cleaned networks, parameter counts and
// gradient diagnostics.
#pragma once

#include <ATen/ATen.h>

#include "common/companion.h"

namespace arbor::toolkit {

void ab_save_net(const py::object& net, const std::string& folder, const std::string& name);
py::object load_net(const py::object& net, const std::string& folder, const std::string& name);
py::object clean_net(const py::object& net);
// Raises a ValueError naming `source` unless `state_dict` has exactly the network's keys and
// shapes; checked before anything is copied, so a wrong file never half loads the network.
void check_state_dict(const py::object& net, const py::dict& state_dict, const std::string& source);
void add_future_warning();
void remove_future_warning();

int64_t ab_count_params(const py::object& net);
bool check_requires_grad(const py::object& module);
void debug_print_grad_modules(const py::object& net, int64_t depth, const std::string& name_so_far);

}  // namespace arbor::toolkit
