// Best-score bookkeeping per neuron: a candidate's score is the magnitude of its running
// covariance with the neuron's error; the reference score moves only on a significant rise.
#include "dendrite_engine.h"

#include "common/errors.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace arbor::engine {

namespace {

at::Tensor improvement(const at::Tensor& new_score, const at::Tensor& old_score) {
  const at::Tensor percentage = new_score * (1.0 - setting_float("arb_improvement_threshold")) > old_score;
  const at::Tensor raw = (new_score - setting_float("arb_improvement_threshold_raw")) > old_score;
  return percentage.logical_and(raw);
}

bool device_stalled(std::string message) {
  std::transform(message.begin(), message.end(), message.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return message.find("timeout") != std::string::npos || message.find("launch") != std::string::npos;
}

py::object host_checked(const at::Tensor& new_score, const at::Tensor& old_score) {
  say("Warning: GPU timeout detected in dendrite_score_beats_current_best, falling back to CPU-synchronized check");
  const at::Tensor combined = improvement(new_score, old_score).cpu();
  return py::bool_(combined.any().item<bool>());
}

std::string fixed16(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.16f", v);
  return buf;
}

}  // namespace

py::tuple new_best(const py::object& saved_values) {
  auto record = [&](const char* name) { return tensor_member("new_best", saved_values, name); };
  const at::Tensor temp_abs = record("prev_dendrite_candidate_correlation").detach().abs();
  const at::Tensor stacked = at::cat({record("best_score").unsqueeze(0), temp_abs.unsqueeze(0)}, 0);
  auto [best, indices] = stacked.max(0);  // ties keep the old best (index 0)
  return py::make_tuple(best, indices);
}

py::object dendrite_score_beats_current_best(const at::Tensor& new_score, const at::Tensor& old_score) {
  // The device answer stays on the device: the caller's truth test is where the host waits.
  try {
    return py::cast(improvement(new_score, old_score).any());
  } catch (const c10::Error& e) {
    if (!device_stalled(e.what())) throw;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_RuntimeError) || !device_stalled(text(e.value()))) throw;
  }
  return host_checked(new_score, old_score);
}

void check_new_best_score(const py::object& saved_values) {
  auto record = [&](const char* name) { return tensor_member("check_new_best_score", saved_values, name); };
  py::tuple nb = new_best(saved_values);
  const at::Tensor new_best_score = nb[0].cast<at::Tensor>();
  const at::Tensor best_indices = nb[1].cast<at::Tensor>();
  at::Tensor best_score = record("best_score");
  if ((new_best_score > best_score).any().item<bool>()) {
    record("nodes_improved_any").add_(best_indices);
  }
  best_score.copy_(new_best_score);
  at::Tensor previous = record("previous_best_score");
  const py::object beat_best = dendrite_score_beats_current_best(best_score, previous);
  const double initialized = record("initialized").item<double>();
  if (!(truth(beat_best) || initialized == 0)) return;

  at::Tensor flag = record("best_score_improved_this_epoch");
  if (flag[0].item<double>() == 0 && setting_on("verbose")) {
    const at::Tensor delta = best_score - previous;
    const int64_t at_max = delta.abs().argmax().item<int64_t>();
    say("Score from " + fixed16(previous.flatten()[at_max].item<double>()) + " to " +
        fixed16(best_score.flatten()[at_max].item<double>()) + " for " + text(saved_values.attr("layer_name")) +
        " with initialized " + std::to_string(static_cast<long long>(initialized)));
  }
  flag.narrow(0, 0, 1).copy_(at::ones({1}, at::kLong));
  at::Tensor indexes = record("indexes_of_best");
  indexes.copy_(best_indices);
  record("nodes_best_improved_this_epoch").add_(indexes);
  previous.copy_(at::maximum(best_score, previous).detach());
  at::Tensor best_pearson = record("best_pearson_correlation");
  best_pearson.copy_(at::maximum(best_pearson, record("prev_dendrite_candidate_pearson").abs()).detach());
}

}  // namespace arbor::engine
