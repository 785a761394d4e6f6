// The p-mode machinery: value registries, candidate forward pass, gradient killing,
// error capture, correlation statistics, the cascade-correlation loss, best scores
// and mode switches. Records (dendrite modules, value records, neuron modules) are
// the companion's Python objects, read and written by attribute name.
#pragma once

#include <ATen/ATen.h>

#include "companion/companion.h"

#include <string>
#include <utility>
#include <vector>

namespace arbor::engine {

// ---- registries and shape helpers -------------------------------------------
py::list update_dendrite_tensor_values(const py::iterable& names);
py::list update_dendrite_single_values(const py::iterable& names);
py::list update_value_tracker_arrays(const py::iterable& names);
void create_extra_tensors(const py::object& dendrite_module);

struct ShapeTriple {
  std::vector<int64_t> math_tuple;  // dimensions reduced over (all but the neuron one)
  std::vector<int64_t> view_tuple;  // broadcast shape of a per-neuron vector
  int64_t full_mult;                // elements per neuron
};
ShapeTriple tuples_and_mult(const at::Tensor& val, int64_t node_index);
py::tuple get_tuples_and_mult(const at::Tensor& val, const py::object& values);

// Builds NON_LIVE_SKIP_VALUES and, when doing_thing is on, DENDRITE_SINGLE_VALUES.
void init_name_lists(py::module_& m);

// Index of the per-device queue slot: 0 on the CPU, else the device's index.
inline int64_t device_slot(const at::Device& device) {
  return device.is_cpu() ? 0 : static_cast<int64_t>(device.index());
}

}  // namespace arbor::engine
