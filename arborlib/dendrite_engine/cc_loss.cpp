// The cascade-correlation loss of candidate slot 0 and the candidate step that
// consumes one queued (output, error) pair per call, oldest first.
#include "dendrite_engine.h"

#include <cmath>

namespace arbor::engine {

py::tuple get_cc_loss(const py::object& dendrite_values) {
  const py::object device = dendrite_values.attr("device");
  if (device.is_none()) {
    fail(PyExc_ValueError, "get_cc_loss", dendrite_values,
         "no error has been captured yet: run a backward pass in p mode first");
  }
  const int64_t slot = device.cast<int64_t>();
  if (queue(dendrite_values, "current_parent_d", slot).empty()) {
    fail(PyExc_ValueError, "get_cc_loss", dendrite_values, "the error queue of device slot " +
         std::to_string(slot) + " is empty: every captured error has been consumed");
  }
  check_dendrite_outs(dendrite_values, slot);
  if (queue(dendrite_values, "dendrite_outs", slot).empty()) {
    fail(PyExc_ValueError, "get_cc_loss", dendrite_values, "no candidate output is queued for device slot " +
         std::to_string(slot) + " (was the forward pass run in eval mode or without gradients?)");
  }
  // The error is a detached copy: nothing computed from it alone joins the graph.
  const at::Tensor parent_d = queue(dendrite_values, "current_parent_d", slot)[0].cast<at::Tensor>().detach().clone();
  const at::Tensor outs = queue(dendrite_values, "dendrite_outs", slot)[0].cast<at::Tensor>();
  const ShapeTriple t = tuples_and_mult(parent_d, node_index(dendrite_values, "get_cc_loss"));
  at::Tensor cov, average;
  if (setting_on("running_average_ab")) {
    cov = field(dendrite_values, "prev_dendrite_candidate_correlation");
    average = field(dendrite_values, "parents_average_d_vector");
  } else {
    average = parent_d.mean(t.math_tuple);
    cov = get_current_covariance(outs, parent_d, t.math_tuple, t.view_tuple, dendrite_values);
  }
  const at::Tensor loss = covariance_loss(cov.view(t.view_tuple), parent_d, average.view(t.view_tuple), outs);
  return py::make_tuple(loss.sum(), py::make_tuple(parent_d.clone(), outs.detach().clone(), loss.detach().clone(),
                                                   dendrite_values, py::cast(t.math_tuple), t.full_mult,
                                                   py::cast(t.view_tuple)));
}

namespace {

// The record's `initialized` counter when `cov` is finite, in one host read; NaN after the
// non-finite report (the caller then reads the counter itself, after the debugger pause).
double initialized_if_finite(const at::Tensor& cov, const py::object& values) {
  const at::Tensor n = field(values, "initialized").detach().reshape({-1})[0].to(at::kDouble);
  const double v = at::where(at::isfinite(cov).all(), n, std::nan("")).item<double>();
  // A NaN counter with a finite covariance is no report: the second read settles it.
  if (std::isnan(v) && !at::isfinite(cov).all().item<bool>()) report_non_finite_covariance(values);
  return v;
}

}  // namespace

// One candidate step. Equivalent to get_cc_loss + loss.backward() + the statistics
// update, but fused: the summed loss is sum(D * g) with g = -sign(cov) * (P - mean P),
// so its gradient with respect to D is g itself and D.backward(g) needs no loss tensor;
// the batch moments come from one pass of the fused kernel and serve the loss, the
// covariance and the running averages.
void apply_ab_grads(const py::object& self) {
  py::object values = self.attr("dendrite_values")[py::int_(0)];
  const bool extra_verbose = setting_on("extra_verbose");
  if (extra_verbose) say(fill("calling apply ab grads for %s", text(values.attr("layer_name"))));
  py::object device = py::getattr(values, "device", py::none());
  if (device.is_none()) return;
  const int64_t slot = device.cast<int64_t>();
  py::list errors = queue(values, "current_parent_d", slot);
  py::list outputs = queue(values, "dendrite_outs", slot);
  if (setting_on("extra_verbose")) {  // read again, as at every use
    say("with " + std::to_string(errors.size()) + "/" + std::to_string(outputs.size()) + " tensors");
    say("And cleared device");
  }
  if (errors.empty() || outputs.empty()) return;

  const at::Tensor outs = tensor_or_fail("apply_ab_grads", values, "the queued candidate output", outputs[0]);
  const at::Tensor parent_d = tensor_or_fail("apply_ab_grads", values, "the queued error", errors[0]).detach();
  if (outs.sizes() != parent_d.sizes() || outs.device() != parent_d.device()) {
    fail(PyExc_ValueError, "apply_ab_grads", values,
         "the queued candidate output " + shape_text(outs.sizes()) + " on " + outs.device().str() +
             " does not match the queued error " + shape_text(parent_d.sizes()) + " on " + parent_d.device().str());
  }
  const ShapeTriple t = tuples_and_mult(parent_d, node_index(values, "apply_ab_grads"));
  const bool running = setting_on("running_average_ab");
  const auto type = outs.scalar_type();
  RecordBatch batch;
  at::Tensor cov, grad;
  double initialized = std::nan("");
  {
    c10::NoGradGuard no_grad;
    batch = record_batch(outs, parent_d, t.math_tuple, values);
    rules::GradientTerms<at::Tensor> g;
    if (running) {
      g = rules::gradient_terms(true, field(values, "prev_dendrite_candidate_correlation"),
                                field(values, "parents_average_d_vector"), at::Tensor(), at::Tensor());
    } else {
      cov = record_covariance(batch, values, type);
      initialized = initialized_if_finite(cov, values);
      g = rules::gradient_terms(false, at::Tensor(), at::Tensor(), cov, batch.b.mean_p);
    }
    grad = rules::candidate_gradient(g.sign.detach().to(type).view(t.view_tuple),
                                     g.centre.detach().to(type).view(t.view_tuple), parent_d.to(type));
  }
  {
    // The autograd engine runs without the GIL; it takes it back for any Python hooks.
    py::gil_scoped_release no_gil;
    outs.backward(grad);
  }

  // Without running averages the batch covariance above is already this pair's. (The
  // statistics below guard against autograd themselves.)
  if (running) {
    cov = record_covariance(batch, values, type);
    initialized = initialized_if_finite(cov, values);
  }
  running_averages_from_means(parent_d, batch.b.mean_p * batch.n, batch.b.mean_d, values, t.math_tuple,
                              t.full_mult, cov, initialized);
  if (extra_verbose) {
    say(fill("%s applied grads and clearing first tensor", text(values.attr("layer_name"))));
    say("with " + std::to_string(errors.size()) + " tensors");
  }
  PySequence_DelItem(errors.ptr(), 0);
  PySequence_DelItem(outputs.ptr(), 0);
}

}  // namespace arbor::engine
