// Record stacking: the batched engine keeps each statistics field of a layer's K value
// records as one [K, ...] tensor whose rows the records hold as their buffers, so every slot
// is updated by one tensor op (or one loop) and the records still read their own rows.
#pragma once

#include "dendrite_engine.h"

#include <array>

namespace arbor::engine {

enum Field {
  kNormalPassAverage, kParentsAverage, kAverageD, kCorrelation, kPearson, kBatchPearson, kBest,
  kPreviousBest, kBestPearson, kIndexesOfBest, kImprovedAny, kImprovedThisEpoch, kInitialized,
  kRunningScalar, kEpochFlag, kFieldCount
};

extern const char* const kFieldNames[kFieldCount];

using Stacks = std::array<at::Tensor, kFieldCount>;

// The records' `_buffers` dicts of a dendrite module, and the dict in the module holding the
// stacks. Hidden like the pybind11 objects it holds (no -Wattributes visibility warning).
struct __attribute__((visibility("hidden"))) RecordBuffers {
  py::object module;
  std::vector<py::dict> buffers;
  py::dict held;
  explicit RecordBuffers(const py::object& dendrite_module);
  // Makes the records' tensors `name` rows of one stacked tensor owned by the module, unless
  // they already are; returns the stack.
  at::Tensor stacked_field(const char* name);
};

// The module's stacked statistics, one [K, ...] tensor per record field, whose rows the
// records hold; re-stacked from the records where one was replaced.
Stacks stacks_of(const py::object& dendrite_module);

inline py::dict instance_dict(const py::handle& obj) { return obj.attr("__dict__").cast<py::dict>(); }

}  // namespace arbor::engine
