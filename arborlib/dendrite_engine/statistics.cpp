// Correlation statistics between candidate outputs and neuron errors, kept per neuron
// on the value records: the batch covariance and Pearson correlation, the covariance
// loss, and the running averages with their initial and regular rules.
#include "correlation_math.h"
#include "dendrite_engine.h"

#include "common/errors.h"

namespace arbor::engine {

namespace {

void report_non_finite(const at::Tensor& cov, const py::object& values) {
  if (at::isfinite(cov).all().item<bool>()) return;
  const std::string layer = text(values.attr("layer_name"));
  say("Covariance contains NaN values.");
  say(fill("For layer: %s", layer));
  say("Try not adding dendrites here with GAR.pc.append_module_ids_to_track(['" + layer + "'])");
  debugger_stop();
}

// As Python prints a tensor's shape: "torch.Size([8, 4])".
std::string printed_shape(const at::Tensor& t) { return text(py::cast(t).attr("shape")); }

}  // namespace

at::Tensor covariance_from_stats(const math::BatchStats& s, const std::vector<int64_t>& math_tuple,
                                 const std::vector<int64_t>& view_tuple, const py::object& values) {
  const bool running = setting_on("running_average_ab");
  at::Tensor average_d, average_p;
  if (running) {
    average_p = field(values, "parents_average_d_vector");
    average_d = field(values, "prev_dendrite_candidate_average");
  }
  at::Tensor cov = math::covariance(s, math_tuple, view_tuple, setting_on("correlations_by_mean"), running,
                                    average_d, average_p);
  values.attr("current_batch_pearson") = math::pearson(s);
  if (setting_on("normalized_covariance")) cov = cov / s.std_p;
  report_non_finite(cov, values);
  return cov;
}

at::Tensor get_current_covariance(const at::Tensor& dendrite_outs, const at::Tensor& new_neuron_error,
                                  const std::vector<int64_t>& math_tuple,
                                  const std::vector<int64_t>& view_tuple, const py::object& values) {
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
  c10::NoGradGuard no_grad;
  const math::BatchStats s = math::batch_stats(dendrite_outs.detach(), new_neuron_error.detach(), math_tuple);
  return covariance_from_stats(s, math_tuple, view_tuple, values);
}

at::Tensor covariance_loss(const at::Tensor& current_cov, const at::Tensor& error,
                           const at::Tensor& average_error, const at::Tensor& output) {
  return (-output * current_cov.sign()) * (error - average_error);
}

namespace {

// The two averaging rules, on the per-neuron batch mean of the candidate output.
void initial_rule(const py::object& saved_values, const at::Tensor& mean_d, const at::Tensor& covariance) {
  c10::NoGradGuard no_grad;
  const at::Tensor n = field(saved_values, "initialized");
  at::Tensor average = field(saved_values, "prev_dendrite_candidate_average");
  at::Tensor correlation = field(saved_values, "prev_dendrite_candidate_correlation");
  at::Tensor pearson = field(saved_values, "prev_dendrite_candidate_pearson");
  const at::Tensor batch_pearson = field(saved_values, "current_batch_pearson");
  average.copy_((average * n + mean_d) / (n + 1.0));
  correlation.copy_((correlation * n + covariance.detach()) / (n + 1.0));
  pearson.copy_((pearson * n + batch_pearson.detach()) / (n + 1.0));
  for (const char* name : {"best_score", "previous_best_score", "best_pearson_correlation"}) {
    field(saved_values, name).mul_(0);
  }
  field(saved_values, "running_scalar").fill_(1.0);
  field(saved_values, "initialized").add_(1.0);
}

void regular_rule(const py::object& saved_values, const at::Tensor& mean_d, const at::Tensor& covariance) {
  c10::NoGradGuard no_grad;
  at::Tensor average = field(saved_values, "prev_dendrite_candidate_average");
  average.copy_(math::running_average(average.detach(), mean_d));
  // New storage for the same tensor objects (no in-place copy).
  at::Tensor correlation = field(saved_values, "prev_dendrite_candidate_correlation");
  correlation.set_data(math::running_average(correlation.detach(), covariance.detach()).clone());
  at::Tensor pearson = field(saved_values, "prev_dendrite_candidate_pearson");
  pearson.set_data(
      math::running_average(pearson.detach(), field(saved_values, "current_batch_pearson").detach()).clone());
}

}  // namespace

void running_averages_from_means(const at::Tensor& new_neuron_error, const at::Tensor& batch_sum_p,
                                 const at::Tensor& batch_mean_d, const py::object& values,
                                 const std::vector<int64_t>& math_tuple, int64_t full_mult,
                                 const at::Tensor& covariance) {
  c10::NoGradGuard no_grad;
  try {
    at::Tensor average = field(values, "normal_pass_average_d");
    const at::Tensor sum_p =
        batch_sum_p.defined() ? batch_sum_p : new_neuron_error.detach().sum(math_tuple);
    average.copy_(math::running_average(average, sum_p / static_cast<double>(full_mult)));
    if (setting_on("dpp_verbose")) {
      say("no error with");
      say(printed_shape(new_neuron_error));
      say(text(values.attr("this_node_index")));
      say(text(py::cast(math_tuple)));
      say(std::to_string(full_mult));
    }
  } catch (const std::exception& e) {
    // An interrupt is the user's, not a shape error: let it through unchanged.
    if (auto* python = dynamic_cast<const py::error_already_set*>(&e)) {
      if (!python->matches(PyExc_Exception)) throw;
    }
    // Report, stop for the debugger, then fail loudly: this layer's statistics would be
    // wrong from here on.
    say(e.what());
    say(fill("Error with type shape in %s", text(values.attr("layer_name"))));
    say(printed_shape(new_neuron_error));
    say(text(values.attr("this_node_index")));
    say(text(py::cast(math_tuple)));
    say(std::to_string(full_mult));
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
  const at::Tensor& mean_d = batch_mean_d;
  if (field(values, "initialized").item<double>() <
      static_cast<double>(setting_int("initial_correlation_batches"))) {
    initial_rule(values, mean_d, covariance);
  } else {
    regular_rule(values, mean_d, covariance);
  }
}

void update_running_averages(const at::Tensor& new_neuron_error, const at::Tensor& dendrite_outs,
                             const py::object& /*loss*/, const py::object& values,
                             const std::vector<int64_t>& math_tuple, int64_t full_mult,
                             const at::Tensor& covariance) {
  c10::NoGradGuard no_grad;
  running_averages_from_means(new_neuron_error, at::Tensor(), dendrite_outs.detach().mean(math_tuple), values,
                              math_tuple, full_mult, covariance);
}

void update_saved_values_averages_initial(const py::object& saved_values, const at::Tensor& dendrite_outs,
                                          const at::Tensor& covariance, const py::object& /*loss*/,
                                          const py::object& /*last_parent_d*/,
                                          const std::vector<int64_t>& math_tuple) {
  c10::NoGradGuard no_grad;
  initial_rule(saved_values, dendrite_outs.detach().mean(math_tuple), covariance);
}

void update_saved_values_averages(const py::object& saved_values, const at::Tensor& dendrite_outs,
                                  const at::Tensor& covariance, const py::object& /*loss*/,
                                  const py::object& /*last_parent_d*/, const std::vector<int64_t>& math_tuple) {
  c10::NoGradGuard no_grad;
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
