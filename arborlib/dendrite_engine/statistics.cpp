// Correlation statistics between candidate outputs and neuron errors, kept per neuron
// on the value records: the batch covariance and Pearson correlation, the covariance
// loss, and the running averages with their initial and regular rules.
#include "dendrite_engine.h"

#include <cmath>

namespace arbor::engine {

namespace {

// The neuron dimension: the one dimension `math_tuple` (increasing) leaves out.
int64_t neuron_dim(const at::Tensor& p, const std::vector<int64_t>& math_tuple, const py::object& values) {
  const int64_t dim = p.dim(), size = static_cast<int64_t>(math_tuple.size());
  bool ok = size == dim - 1;
  for (int64_t i = 0; ok && i < size; ++i) ok = math_tuple[i] < dim && (i == 0 || math_tuple[i] > math_tuple[i - 1]);
  if (!ok) {
    fail(PyExc_ValueError, "correlation statistics", values,
         "math_tuple " + shape_text(math_tuple) + " must list every dimension of the " + std::to_string(dim) +
             "-dimensional error but the neuron dimension, in increasing order");
  }
  int64_t node = 0;
  while (node < size && math_tuple[node] == node) ++node;
  return node;
}

// The two averaging rules, on the per-neuron batch mean of the candidate output.
void initial_rule(const py::object& saved_values, const at::Tensor& mean_d, const at::Tensor& covariance) {
  c10::NoGradGuard no_grad;
  const at::Tensor n = field(saved_values, "initialized");
  auto fold = [&](const char* name, const at::Tensor& batch) {
    at::Tensor t = field(saved_values, name);
    t.copy_(rules::initial_average(t, n, batch.detach()));
  };
  fold("prev_dendrite_candidate_average", mean_d);
  fold("prev_dendrite_candidate_correlation", covariance);
  fold("prev_dendrite_candidate_pearson", field(saved_values, "current_batch_pearson"));
  for (const char* name : {"best_score", "previous_best_score", "best_pearson_correlation"}) {
    field(saved_values, name).mul_(0);
  }
  field(saved_values, "running_scalar").fill_(1.0);
  field(saved_values, "initialized").add_(1.0);
}

void regular_rule(const py::object& saved_values, const at::Tensor& mean_d, const at::Tensor& covariance) {
  c10::NoGradGuard no_grad;
  at::Tensor average = field(saved_values, "prev_dendrite_candidate_average");
  average.copy_(rules::running_average(average.detach(), mean_d));
  // New storage for the same tensor objects (no in-place copy), in the record's dtype.
  auto renew = [&](const char* name, const at::Tensor& batch) {
    at::Tensor t = field(saved_values, name);
    t.set_data(rules::running_average(t.detach(), batch.detach()).to(t.scalar_type()).clone());
  };
  renew("prev_dendrite_candidate_correlation", covariance);
  renew("prev_dendrite_candidate_pearson", field(saved_values, "current_batch_pearson"));
}

}  // namespace

RecordBatch record_batch(const at::Tensor& d, const at::Tensor& p, const std::vector<int64_t>& math_tuple,
                         const py::object& values) {
  c10::NoGradGuard no_grad;
  const int64_t node = neuron_dim(p, math_tuple, values);
  const int64_t C = p.size(node);
  const rules::MomentsLayout layout{1, C};
  const at::Tensor m = math::batch_moments(d.detach(), p.detach(), node, 1);
  const double n = C == 0 ? 0.0 : static_cast<double>(p.numel() / C);
  auto sum = [&](int64_t at) { return m.narrow(0, at, C); };
  return {rules::batch_from_sums(sum(layout.sum_d()), sum(layout.sum_dd()), sum(layout.sum_dp()),
                                 sum(layout.sum_p()), sum(layout.sum_pp()), n), n};
}

at::Tensor record_covariance(const RecordBatch& batch, const py::object& values, at::ScalarType dtype) {
  c10::NoGradGuard no_grad;
  rules::CovarianceKind kind{setting_on("running_average_ab"), false, false};
  at::Tensor average_d, average_p;
  if (kind.running) {
    average_p = field(values, "parents_average_d_vector").detach().to(at::kDouble);
    average_d = field(values, "prev_dendrite_candidate_average").detach().to(at::kDouble);
  }
  kind.by_mean = setting_on("correlations_by_mean");
  values.attr("current_batch_pearson") = batch.b.pearson.to(dtype);
  kind.normalized = setting_on("normalized_covariance");
  return rules::covariance(batch.b, batch.n, kind, average_d, average_p).to(dtype);
}

void report_non_finite_covariance(const py::object& values) {
  const std::string layer = text(values.attr("layer_name"));
  say("Covariance contains NaN values.");
  say(fill("For layer: %s", layer));
  say("Try not adding dendrites here with GAR.pc.append_module_ids_to_track(['" + layer + "'])");
  debugger_stop();
}

at::Tensor get_current_covariance(const at::Tensor& dendrite_outs, const at::Tensor& new_neuron_error,
                                  const std::vector<int64_t>& math_tuple,
                                  const std::vector<int64_t>& /*view_tuple*/, const py::object& values) {
  if (values.is_none()) {
    fail(PyExc_TypeError, "get_current_covariance", std::string(), "values (the value record) is required");
  }
  // Mismatched shapes would broadcast into a covariance of the wrong neurons.
  if (dendrite_outs.sizes() != new_neuron_error.sizes() || dendrite_outs.device() != new_neuron_error.device()) {
    fail(PyExc_ValueError, "get_current_covariance", values,
         "the candidate output (shape " + shape_text(dendrite_outs.sizes()) + " on " + dendrite_outs.device().str() +
             ") and the neurons' error (shape " + shape_text(new_neuron_error.sizes()) + " on " +
             new_neuron_error.device().str() + ") must have the same shape and device");
  }
  const at::Tensor cov = record_covariance(record_batch(dendrite_outs, new_neuron_error, math_tuple, values), values,
                                           dendrite_outs.scalar_type());
  if (!at::isfinite(cov).all().item<bool>()) report_non_finite_covariance(values);
  return cov;
}

at::Tensor covariance_loss(const at::Tensor& current_cov, const at::Tensor& error,
                           const at::Tensor& average_error, const at::Tensor& output) {
  return (-output * current_cov.sign()) * (error - average_error);
}

void running_averages_from_means(const at::Tensor& new_neuron_error, const at::Tensor& batch_sum_p,
                                 const at::Tensor& batch_mean_d, const py::object& values,
                                 const std::vector<int64_t>& math_tuple, int64_t full_mult,
                                 const at::Tensor& covariance, double initialized) {
  c10::NoGradGuard no_grad;
  // The shape diagnostics, printed on request and after a failed update.
  auto say_shapes = [&](const std::string& heading) {
    say(heading);
    say(text(py::cast(new_neuron_error).attr("shape")));  // as Python prints it: "torch.Size([8, 4])"
    say(text(values.attr("this_node_index")));
    say(text(py::cast(math_tuple)));
    say(std::to_string(full_mult));
  };
  try {
    at::Tensor average = field(values, "normal_pass_average_d");
    const at::Tensor sum_p = batch_sum_p.defined() ? batch_sum_p : new_neuron_error.detach().sum(math_tuple);
    average.copy_(rules::running_average(average, sum_p / static_cast<double>(full_mult)));
    if (setting_on("dpp_verbose")) say_shapes("no error with");
  } catch (const std::exception& e) {
    // An interrupt is the user's, not a shape error: let it through unchanged.
    if (auto* python = dynamic_cast<const py::error_already_set*>(&e)) let_interrupts_through(*python);
    // Report, stop for the debugger, then fail loudly: this layer's statistics would be
    // wrong from here on.
    say(e.what());
    say_shapes(fill("Error with type shape in %s", text(values.attr("layer_name"))));
    debugger_stop();
    // The printed heading already names the layer.
    fail(PyExc_ValueError, "normal_pass_average_d update", std::string(),
         "Error with type shape in " + text(values.attr("layer_name")) + ": " + e.what());
  }
  if (setting_on("learn_dendrites_live")) {
    at::Tensor parents = field(values, "parents_average_d_vector");
    parents.copy_(field(values, "normal_pass_average_d").detach().clone());
    parents.set_requires_grad(false);
  }
  if (std::isnan(initialized)) initialized = field(values, "initialized").item<double>();
  if (initialized < static_cast<double>(setting_int("initial_correlation_batches"))) {
    initial_rule(values, batch_mean_d, covariance);
  } else {
    regular_rule(values, batch_mean_d, covariance);
  }
}

void update_running_averages(const at::Tensor& new_neuron_error, const at::Tensor& dendrite_outs,
                             const py::object& /*loss*/, const py::object& values,
                             const std::vector<int64_t>& math_tuple, int64_t full_mult, const at::Tensor& covariance) {
  running_averages_from_means(new_neuron_error, at::Tensor(), dendrite_outs.detach().mean(math_tuple), values,
                              math_tuple, full_mult, covariance, std::nan(""));
}

void update_saved_values_averages_initial(const py::object& saved_values, const at::Tensor& dendrite_outs,
                                          const at::Tensor& covariance, const py::object& /*loss*/,
                                          const py::object& /*last_parent_d*/, const std::vector<int64_t>& math_tuple) {
  initial_rule(saved_values, dendrite_outs.detach().mean(math_tuple), covariance);
}

void update_saved_values_averages(const py::object& saved_values, const at::Tensor& dendrite_outs,
                                  const at::Tensor& covariance, const py::object& /*loss*/,
                                  const py::object& /*last_parent_d*/, const std::vector<int64_t>& math_tuple) {
  regular_rule(saved_values, dendrite_outs.detach().mean(math_tuple), covariance);
}

void print_correlation_values(const py::object& values, const py::object& dendrite_outs,
                              const py::object& covariance, const py::object& loss,
                              const py::object& new_neuron_error) {
  say("Correlation Values:");
  py::print("Last Dendrite Outs:", dendrite_outs);
  py::print("New Neuron Error:", new_neuron_error);
  py::print("Current Correlations:", covariance);
  py::print("Loss:", loss);
  py::print("Initialized:", values.attr("initialized"));
  for (const py::object& t : {dendrite_outs, covariance, loss, new_neuron_error}) {
    if (at::isnan(t.cast<at::Tensor>()).any().item<bool>()) {
      say("got a nan in correlation function");
      debugger_stop();
      break;
    }
  }
}

}  // namespace arbor::engine
