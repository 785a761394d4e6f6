// n mode: the running mean of the neurons' error on every value record of a layer, folded in
// by a gradient hook on the layer's output.
#include "record_stacks.h"

namespace arbor::engine {

namespace {

// Where a layer's n-mode error average goes: the stacked averages of its records and, for the
// [N, C] rule, a cached [K, N] ones matrix. Resolved with the GIL held; applying it needs none.
struct ErrorAverageTarget {
  at::Tensor averages;
  at::Tensor ones;
};

ErrorAverageTarget error_average_target(const py::object& dendrite_module, at::IntArrayRef sizes, int64_t node) {
  RecordBuffers rb(dendrite_module);
  ErrorAverageTarget target{stacked_field(dendrite_module, rb.buffers, rb.held, kFieldNames[kNormalPassAverage]), {}};
  const int64_t C = target.averages.size(1);
  if (node < 0 || node >= static_cast<int64_t>(sizes.size()) || sizes[node] != C) {
    fail(PyExc_ValueError, "watch_error_average", dendrite_module,
         "an output " + shape_text(sizes) + " has no dimension " + std::to_string(node) + " of " +
             std::to_string(C) + " neurons");
  }
  if (node == 1 && sizes.size() >= 2) {
    const int64_t K = target.averages.size(0), N = sizes[0];
    PyObject* held = PyDict_GetItemString(rb.own.ptr(), "_arb_ones");
    at::Tensor ones = held != nullptr && THPVariable_Check(held) ? THPVariable_Unpack(held) : at::Tensor();
    if (!ones.defined() || ones.size(0) != K || ones.size(1) != N || ones.device() != target.averages.device() ||
        ones.scalar_type() != target.averages.scalar_type()) {
      ones = at::ones({K, N}, target.averages.options());
      rb.own["_arb_ones"] = ones;
    }
    target.ones = ones;
  }
  return target;
}

void apply_error_average(const ErrorAverageTarget& target, const at::Tensor& grad, int64_t node, double scale) {
  c10::NoGradGuard no_grad;
  // Batches without elements carry no error to average.
  if (grad.numel() == 0) return;
  at::Tensor averages = target.averages;  // a handle: the update is in place
  at::Tensor g = grad.scalar_type() == averages.scalar_type() ? grad : grad.to(averages.scalar_type());
  if (scale != 1.0) g = g * scale;
  if (g.dim() > 2 && node == 1) {
    // [N, C, ...]: sum the contiguous positions first; a mean over dimensions 0, 2, 3 at
    // once is several times slower.
    const double positions = static_cast<double>(g.numel() / (g.size(0) * g.size(1)));
    g = g.flatten(2).sum(2) / positions;
  }
  at::Tensor updated;
  if (g.dim() == 2 && node == 1 && target.ones.defined() && target.ones.size(1) == g.size(0)) {
    // The same rule as one GEMM: 0.99 * averages + (1 - 0.99) * (ones / N) @ grad.
    updated = at::addmm(averages, target.ones, g, rules::kAverageFactor,
                        rules::kAverageRest / static_cast<double>(g.size(0)));
  } else {
    std::vector<int64_t> dims;
    for (int64_t d = 0; d < g.dim(); ++d) {
      if (d != node) dims.push_back(d);
    }
    updated = rules::running_average(averages, g.mean(dims));
  }
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
  output.register_hook([target = error_average_target(dendrite_module, output.sizes(), node), node,
                        scale](const at::Tensor& grad) {
    if (grad.defined()) apply_error_average(target, grad, node, scale);
  });
}

}  // namespace arbor::engine
