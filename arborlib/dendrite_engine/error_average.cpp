// n mode: the running mean of the neurons' error on every value record of a layer, folded in
// by a gradient hook on the layer's output.
#include "record_stacks.h"

#include <ATen/Dispatch.h>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace arbor::engine {

namespace {

// A layer's stacked n-mode error averages [K, C], checked against the output's shape.
// Resolved with the GIL held; the hook that updates them needs none.
at::Tensor error_averages(const py::object& dendrite_module, at::IntArrayRef sizes, int64_t node) {
  at::Tensor averages = RecordBuffers(dendrite_module).stacked_field(kFieldNames[kNormalPassAverage]);
  const int64_t C = averages.size(1);
  if (node < 0 || node >= static_cast<int64_t>(sizes.size()) || sizes[node] != C) {
    fail(PyExc_ValueError, "watch_error_average", dendrite_module,
         "an output " + shape_text(sizes) + " has no dimension " + std::to_string(node) + " of " +
             std::to_string(C) + " neurons");
  }
  return averages;
}

// The per-neuron error sums over every dimension but `node`, in the averages' dtype. The
// contiguous positions after the neurons are summed first: one mean over dimensions 0, 2, 3
// at once is several times slower.
at::Tensor neuron_sums(const at::Tensor& grad, int64_t node, at::ScalarType dtype) {
  at::Tensor g = grad;
  if (node + 1 < g.dim()) g = g.flatten(node + 1).sum(node + 1, false, dtype);
  std::vector<int64_t> dims(node);
  std::iota(dims.begin(), dims.end(), 0);
  return dims.empty() ? g.to(dtype) : g.sum(dims, false, dtype);
}

// On the CPU: the guarded update in one loop over the [K, C] averages, instead of four
// dispatched ops on tensors of a few hundred elements (most of a small layer's n step).
template <class T>
void update_on_host(at::Tensor& averages, const at::Tensor& sums, double weight) {
  const int64_t C = averages.size(1), K = averages.size(0);
  const T* s = sums.const_data_ptr<T>();
  T* a = averages.data_ptr<T>();
  std::vector<T> updated(static_cast<size_t>(K * C));
  for (int64_t i = 0; i < K * C; ++i) {
    updated[i] = static_cast<T>(rules::running_average(static_cast<double>(a[i]), weight * s[i % C]));
    if (!std::isfinite(updated[i])) return;
  }
  std::copy(updated.begin(), updated.end(), a);
}

void apply_error_average(at::Tensor averages, const at::Tensor& grad, int64_t node, double scale) {
  c10::NoGradGuard no_grad;
  // Batches without elements carry no error to average.
  if (grad.numel() == 0) return;
  // Each neuron's share of the error: its mean over the batch, times the caller's scale.
  const double weight = scale * static_cast<double>(grad.size(node)) / static_cast<double>(grad.numel());
  const at::Tensor sums = neuron_sums(grad, node, averages.scalar_type());
  if (averages.is_cpu() && grad.is_cpu() && averages.is_contiguous()) {
    AT_DISPATCH_FLOATING_TYPES(averages.scalar_type(), "watch_error_average",
                               [&] { update_on_host<scalar_t>(averages, sums.contiguous(), weight); });
    return;
  }
  const at::Tensor updated = rules::running_average(averages, sums * weight);
  // A non-finite error (a NaN loss whose step the user then skips, as GradScaler does) leaves
  // the averages as they were; decided on the device, without a host read.
  // Written in place: the full overlap of out and input is safe for an elementwise op.
  at::where_out(averages, at::isfinite(updated).all(), updated, averages);
}

}  // namespace

void watch_error_average(const py::object& dendrite_module, const at::Tensor& output, int64_t node,
                         double scale) {
  if (!output.requires_grad()) {
    fail(PyExc_ValueError, "watch_error_average", dendrite_module, "the output does not require a gradient");
  }
  // The records are resolved now, with the GIL held: the hook then runs tensor ops only, and
  // backward neither takes the GIL nor calls into Python for it.
  output.register_hook([averages = error_averages(dendrite_module, output.sizes(), node), node,
                        scale](const at::Tensor& grad) {
    if (grad.defined()) apply_error_average(averages, grad, node, scale);
  });
}

}  // namespace arbor::engine
