// Best-score bookkeeping per neuron: a candidate's score is the magnitude of its running
// covariance with the neuron's error; the reference score moves only on a significant rise.
#include "dendrite_engine.h"

#include <algorithm>
#include <cctype>

namespace arbor::engine {

namespace {

at::Tensor improvement(const at::Tensor& new_score, const at::Tensor& old_score) {
  const double threshold = setting_float("arb_improvement_threshold");
  return rules::beats(new_score, old_score, threshold, setting_float("arb_improvement_threshold_raw"));
}

bool device_stalled(std::string message) {
  std::transform(message.begin(), message.end(), message.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return message.find("timeout") != std::string::npos || message.find("launch") != std::string::npos;
}

}  // namespace

py::tuple new_best(const py::object& saved_values) {
  auto record = [&](const char* name) { return tensor_member("new_best", saved_values, name); };
  const at::Tensor temp_abs = record("prev_dendrite_candidate_correlation").detach().abs();
  auto [best, indices] = at::stack({record("best_score"), temp_abs}).max(0);  // ties keep the old best (index 0)
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
  say("Warning: GPU timeout detected in dendrite_score_beats_current_best, falling back to CPU-synchronized check");
  return py::bool_(improvement(new_score, old_score).cpu().any().item<bool>());
}

void check_new_best_score(const py::object& saved_values) {
  auto record = [&](const char* name) { return tensor_member("check_new_best_score", saved_values, name); };
  const auto [new_best_score, best_indices] = new_best(saved_values).cast<std::pair<at::Tensor, at::Tensor>>();
  at::Tensor best_score = record("best_score");
  // The indices count only when some score rose: a factor on the device, not a host read.
  record("nodes_improved_any").add_(best_indices * (new_best_score > best_score).any());
  best_score.copy_(new_best_score);
  at::Tensor previous = record("previous_best_score");
  const py::object beat_best = dendrite_score_beats_current_best(best_score, previous);
  const at::Tensor fresh = record("initialized").reshape({-1})[0] == 0;
  at::Tensor flag = record("best_score_improved_this_epoch");
  // One host read: 0 not accepted, 1 accepted, 2 accepted and the epoch's first message due.
  const at::Tensor accept =
      THPVariable_Check(beat_best.ptr()) ? THPVariable_Unpack(beat_best.ptr()).logical_or(fresh)
                                         : (truth(beat_best) ? at::ones_like(fresh) : fresh);
  const int64_t verdict = (accept.to(at::kLong) * (1 + (flag[0] == 0).to(at::kLong))).item<int64_t>();
  if (verdict == 0) return;

  if (verdict == 2 && setting_on("verbose")) {
    say_new_best(best_score, previous, text(saved_values.attr("layer_name")), record("initialized").item<double>());
  }
  flag.narrow(0, 0, 1).copy_(at::ones({1}, at::kLong));
  const at::Tensor indexes = record("indexes_of_best").copy_(best_indices);
  record("nodes_best_improved_this_epoch").add_(indexes);
  previous.copy_(at::maximum(best_score, previous).detach());
  at::Tensor best_pearson = record("best_pearson_correlation");
  best_pearson.copy_(at::maximum(best_pearson, record("prev_dendrite_candidate_pearson").abs()).detach());
}

}  // namespace arbor::engine
