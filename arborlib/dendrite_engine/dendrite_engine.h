// The p-mode machinery: value registries, candidate forward pass, gradient killing,
// error capture, correlation statistics, the cascade-correlation loss, best scores
// and mode switches. Records (dendrite modules, value records, neuron modules) are
// the companion's Python objects, read and written by attribute name.
#pragma once

#include <ATen/ATen.h>
#include <c10/core/GradMode.h>

#include "common/companion.h"
#include "common/errors.h"
#include "statistics_rules.h"

#include <cstdio>
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
// The neuron dimension `this_node_index` of a record or neuron module (an int or a buffer).
int64_t node_index(const py::object& owner, const char* function);

// Builds NON_LIVE_SKIP_VALUES and, when doing_thing is on, DENDRITE_SINGLE_VALUES.
void init_name_lists(py::module_& m);

// Index of the per-device queue slot: 0 on the CPU, else the device's index.
inline int64_t device_slot(const at::Device& device) {
  return device.is_cpu() ? 0 : static_cast<int64_t>(device.index());
}

// ---- gradient killing -------------------------------------------------------
// Makes the autograd.Function subclass `Killer` and sets it on the module.
void define_killer(py::module_& m);
py::object grad_killer(const py::object& inp);
// (structure with killed tensors, device of the last tensor found or None); `copy` false:
// detached views instead of copies (the batched forward, which only reads them).
py::tuple killer_recursive(const py::object& in_vals, bool killing, bool copy = true);
// Whether a candidate only reads its inputs, so that detached views may stand for copies.
bool reads_only(const py::object& candidate, bool processing);
py::tuple preprocess_ab(const py::args& args, const py::kwargs& kwargs);

// ---- candidate forward pass ---------------------------------------------------
py::tuple forward_candidates(const py::object& dendrite_module, const std::vector<int64_t>& view_tuple,
                             py::object dendrite_outs, const py::args& args, const py::kwargs& kwargs);
at::Tensor add_dendrite_inputs(const py::object& dendrite_module, int64_t i, at::Tensor candidate_outs,
                               const py::object& outs, const std::vector<int64_t>& view_tuple,
                               const py::object& device);
void check_dendrite_outs(const py::object& values, int64_t device_index);
py::object apply_live_candidate_to_output(const py::object& neuron_module, const py::object& out,
                                          const py::dict& candidate_nonlinear_outs);
// Candidate i's (pre_d, post_d) processors; (None, None) when the layer runs without them.
inline std::pair<py::object, py::object> processors_of(const py::object& dendrite_module, int64_t i,
                                                       bool processing) {
  if (!processing) return {py::none(), py::none()};
  const py::object p = dendrite_module.attr("candidate_processors")[py::int_(i)];
  return {p.attr("pre_d"), p.attr("post_d")};
}

// ---- backward error capture and zeroing ----------------------------------------
void filter_backward_ab(const at::Tensor& val, const py::object& values);
void apply_ab_zero(const py::object& self);

// ---- correlation statistics ----------------------------------------------------
at::Tensor get_current_covariance(const at::Tensor& dendrite_outs, const at::Tensor& new_neuron_error,
                                  const std::vector<int64_t>& math_tuple,
                                  const std::vector<int64_t>& view_tuple, const py::object& values);
at::Tensor covariance_loss(const at::Tensor& current_cov, const at::Tensor& error,
                           const at::Tensor& average_error, const at::Tensor& output);
void update_running_averages(const at::Tensor& new_neuron_error, const at::Tensor& dendrite_outs,
                             const py::object& loss, const py::object& values,
                             const std::vector<int64_t>& math_tuple, int64_t full_mult, const at::Tensor& covariance);
void update_saved_values_averages_initial(const py::object& saved_values, const at::Tensor& dendrite_outs,
                                          const at::Tensor& covariance, const py::object& loss,
                                          const py::object& last_parent_d, const std::vector<int64_t>& math_tuple);
void update_saved_values_averages(const py::object& saved_values, const at::Tensor& dendrite_outs,
                                  const at::Tensor& covariance, const py::object& loss,
                                  const py::object& last_parent_d, const std::vector<int64_t>& math_tuple);
void print_correlation_values(const py::object& values, const py::object& dendrite_outs,
                              const py::object& covariance, const py::object& loss, const py::object& new_neuron_error);

// The per-record statistics on the fused moments kernel: per-neuron float64 [C] batch
// statistics of D and P over the `n` elements of each neuron.
struct RecordBatch {
  rules::Batch<at::Tensor> b;
  double n;
};
RecordBatch record_batch(const at::Tensor& d, const at::Tensor& p, const std::vector<int64_t>& math_tuple,
                         const py::object& values);
// The batch covariance in `dtype` under the settings (read now); sets current_batch_pearson.
at::Tensor record_covariance(const RecordBatch& batch, const py::object& values, at::ScalarType dtype);
// The three-line report and debugger stop of a covariance holding NaN or inf.
void report_non_finite_covariance(const py::object& values);
// `batch_sum_p`: per-neuron batch sum of the error (undefined: computed here);
// `batch_mean_d`: per-neuron batch mean of the candidate output; `initialized`: the record's
// counter when the caller has read it already, else NaN.
void running_averages_from_means(const at::Tensor& new_neuron_error, const at::Tensor& batch_sum_p,
                                 const at::Tensor& batch_mean_d, const py::object& values,
                                 const std::vector<int64_t>& math_tuple, int64_t full_mult,
                                 const at::Tensor& covariance, double initialized);

// ---- cascade-correlation loss and candidate step ---------------------------------
py::tuple get_cc_loss(const py::object& dendrite_values);
void apply_ab_grads(const py::object& self);

// ---- batched candidate step (all slots of one or more layers per call) ------------------
// All K candidates of a layer on shared, gradient-cut inputs: one tensor of the error's shape
// with K inserted at the neuron dimension, activated; None outside p mode.
py::object candidate_forward(const py::object& dendrite_module, const std::vector<int64_t>& view_tuple,
                             const py::object& dendrite_outs, const py::args& args, const py::kwargs& kwargs);
void candidate_step(const py::iterable& dendrite_modules, const py::object& reduce);
// n mode: a hook on `output` that folds its gradient into the same averages in backward,
// with the records resolved now (the hook itself runs tensor ops only).
void watch_error_average(const py::object& dendrite_module, const at::Tensor& output, int64_t node, double scale);

// ---- best scores ----------------------------------------------------------------
py::tuple new_best(const py::object& saved_values);
py::object dendrite_score_beats_current_best(const at::Tensor& new_score, const at::Tensor& old_score);
void check_new_best_score(const py::object& saved_values);
// The progress line of an accepted best score, at the neuron whose score moved most (the first on ties).
inline void say_new_best(const at::Tensor& best, const at::Tensor& previous, const std::string& layer,
                         double initialized) {
  const int64_t at_max = (best - previous).abs().argmax().item<int64_t>();
  char buf[160];
  std::snprintf(buf, sizeof buf, "Score from %.16f to %.16f for ", previous.flatten()[at_max].item<double>(),
                best.flatten()[at_max].item<double>());
  say(buf + layer + " with initialized " + std::to_string(static_cast<long long>(initialized)));
}

// ---- mode switches and parameter roles -------------------------------------------
void set_parameters(const py::object& module, const std::string& parameter_type);
void set_main_parameters(const py::object& module);
void set_module_n_ab(const py::object& neuron_module);
void set_module_p_ab(const py::object& neuron_module);
void load_tagger_values(const py::object& neuron_module);
void init_candidates(const py::object& dendrite_module, int64_t j);
void set_ab_mode(const py::object& dendrite_module, const std::string& mode);
void reinitialize_for_ab(const py::object& dendrite_module);

// A tensor attribute of a record, e.g. field(values, "best_score").
inline at::Tensor field(const py::object& record, const char* name) {
  return record.attr(name).cast<at::Tensor>();
}

// One per-device queue of a value record, e.g. queue(values, "dendrite_outs", 0).
inline py::list queue(const py::object& values, const char* name, int64_t slot) {
  py::object q = values.attr(name)[py::int_(slot)];
  if (!PyList_Check(q.ptr())) {
    fail(PyExc_TypeError, name, values, "device slot " + std::to_string(slot) + " must be a list, got " + type_name(q));
  }
  return py::reinterpret_borrow<py::list>(q);
}

}  // namespace arbor::engine
