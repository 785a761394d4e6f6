// The one way a fused block runs its sub-layers, shared by the fused block (ARBLayer) and
// its inference wrapper (ARBModulePyThread), so that both forms of a block give the same
// output. Layers 0 .. n-2 are the dendrites, layer n-1 the main layer. Processors: for a
// dendrite, `pre` adapts the block's inputs (returning (args, kwargs)) and `post` the layer's
// output; for the main layer, `pre` adapts its output before the combination and `post` the
// combined value.
#pragma once

#include <ATen/ATen.h>

#include "common/cascade.h"
#include "common/companion.h"
#include "common/errors.h"
#include "common/sub_layer.h"

#include <string>
#include <vector>

namespace arbor::block {

// Entry c of a processor list, None past its end.
inline py::object processor_at(const py::object& processors, int64_t c) {
  if (c < static_cast<int64_t>(py::len(processors))) return processors[py::int_(c)];
  return py::none();
}

// How the main layer is called: as a module (its hooks run; the fused block), or through its
// own `forward` (its module hooks do not run; the threaded wrapper). Dendrites are always
// called as modules.
enum class MainCall { kModule, kForward };

// Sub-layer c of the block, run on the block's inputs (with its processor's `pre`).
inline py::object run_layer(const py::object& layers, const py::object& processors, int64_t c, py::tuple args,
                            py::dict kwargs, const char* owner, MainCall main_call = MainCall::kModule) {
  const int64_t n = py::len(layers);
  py::object layer = layers[py::int_(c)];
  py::object proc = processor_at(processors, c);
  if (c == n - 1) {
    py::object out = main_call == MainCall::kForward ? layer.attr("forward")(*args, **kwargs) : layer(*args, **kwargs);
    return proc.is_none() ? out : proc.attr("pre")(out);
  }
  if (proc.is_none()) return layer(*args, **kwargs);
  return run_sub_layer(layer, proc.attr("pre"), proc.attr("post"), args, kwargs, owner, std::string(),
                       "the processor of dendrite " + std::to_string(c) + "'s pre");
}

// The sub-layer results as tensors, checked where they enter the combination: every one must
// have the main layer's shape, dtype and device (a [N, 1] dendrite output would otherwise
// broadcast silently against an [N, C] main output).
inline std::vector<at::Tensor> checked_outputs(const py::list& slots, const py::object& layers, const char* owner) {
  const int64_t n = py::len(slots);
  auto name = [&](int64_t c) {
    return (c == n - 1 ? std::string("the main layer") : "dendrite " + std::to_string(c)) + " (" +
           type_name(layers[py::int_(c)]) + ")";
  };
  std::vector<at::Tensor> outs;
  for (int64_t c = 0; c < n; ++c) {
    py::object slot = slots[c];
    if (!THPVariable_Check(slot.ptr())) {
      fail(PyExc_TypeError, owner, std::string(), name(c) + " returned " + type_name(slot) + ", not a tensor");
    }
    outs.push_back(THPVariable_Unpack(slot.ptr()));
  }
  const at::Tensor& main = outs.back();
  for (int64_t c = 0; c + 1 < n; ++c) {
    const at::Tensor& d = outs[c];
    if (d.sizes() != main.sizes() || d.scalar_type() != main.scalar_type() || d.device() != main.device()) {
      fail(PyExc_ValueError, owner, std::string(),
           name(c) + " gave a " + c10::toString(d.scalar_type()) + " tensor of shape " + shape_text(d.sizes()) +
               " on " + d.device().str() + ", " + name(n - 1) + " a " + c10::toString(main.scalar_type()) +
               " tensor of shape " + shape_text(main.sizes()) + " on " + main.device().str() + "; they must match");
    }
  }
  return outs;
}

// Combines checked outputs: position k gets weights[k - offset][j] for j < k. A weight row of
// C values is viewed as [C, 1, ..., 1] with `trailing` ones, so it meets the neuron dimension
// of an output of any rank (a Linear's neurons are its last dimension: trailing 0).
inline at::Tensor combine(std::vector<at::Tensor>& outs, const at::Tensor& weights, int64_t offset, int64_t trailing,
                          const py::object& activation, const char* owner) {
  const at::Tensor& main = outs.back();
  if (main.dim() <= trailing || weights.dim() != 3 || main.size(main.dim() - 1 - trailing) != weights.size(2)) {
    fail(PyExc_ValueError, owner, std::string(),
         "the cascade weights of shape " + shape_text(weights.sizes()) + " do not fit an output of shape " +
             shape_text(main.sizes()) + " whose neurons are dimension " + std::to_string(main.dim() - 1 - trailing));
  }
  std::vector<int64_t> view(trailing + 1, 1);
  view[0] = -1;
  return combine_cascade(
      outs, [&](int64_t k, int64_t j) { return weights[k - offset][j]; }, view,
      [&](const at::Tensor& t) { return activation(t).cast<at::Tensor>(); });
}

// Number of dimensions after the neuron dimension (-1) of a view such as [1, -1, 1, 1].
inline int64_t trailing_of_view(const std::vector<int64_t>& view) {
  for (size_t d = 0; d < view.size(); ++d) {
    if (view[d] == -1) return static_cast<int64_t>(view.size() - 1 - d);
  }
  fail(PyExc_ValueError, "view_tuple", std::string(), shape_text(view) + " marks no neuron dimension with -1");
}

// The block's trailing-dimension count, kept as a Python int; a block unpickled from a file
// written before it existed derives it once from its view_tuple buffer.
inline int64_t trailing_dims(const py::object& self) {
  py::object cached = py::getattr(self, "neuron_trailing_dims", py::none());
  if (!cached.is_none()) return cached.cast<int64_t>();
  const int64_t t = trailing_of_view(self.attr("view_tuple").attr("tolist")().cast<std::vector<int64_t>>());
  self.attr("neuron_trailing_dims") = t;
  return t;
}

}  // namespace arbor::block
