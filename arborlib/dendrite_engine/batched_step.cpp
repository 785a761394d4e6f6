// The batched candidate step: every queued (output, error) pair of every slot of every given
// layer in one call, with one autograd backward, statistics of all slots computed together
// and updated by masked tensor operations. The per-record functions stay as they are; this
// path reads and writes the same record fields, through stacked [K, ...] tensors whose rows
// the records hold as views.
#include "correlation_math.h"
#include "dendrite_engine.h"

#include <torch/csrc/autograd/autograd.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace arbor::engine {

namespace {

enum Field {
  kNormalPassAverage, kParentsAverage, kAverageD, kCorrelation, kPearson, kBatchPearson, kBest,
  kPreviousBest, kBestPearson, kIndexesOfBest, kImprovedAny, kImprovedThisEpoch, kInitialized,
  kRunningScalar, kEpochFlag, kFieldCount
};

const char* const kFieldNames[kFieldCount] = {
    "normal_pass_average_d", "parents_average_d_vector", "prev_dendrite_candidate_average",
    "prev_dendrite_candidate_correlation", "prev_dendrite_candidate_pearson", "current_batch_pearson",
    "best_score", "previous_best_score", "best_pearson_correlation", "indexes_of_best",
    "nodes_improved_any", "nodes_best_improved_this_epoch", "initialized", "running_scalar",
    "best_score_improved_this_epoch"};

using Stacks = std::array<at::Tensor, kFieldCount>;

const char* const kStacksAttr = "_arb_stacks";

py::dict instance_dict(const py::handle& obj) { return obj.attr("__dict__").cast<py::dict>(); }

bool is_row_of(const at::Tensor& t, const at::Tensor& stack, int64_t k) {
  if (!t.defined() || t.device() != stack.device() || t.scalar_type() != stack.scalar_type() ||
      t.sizes() != stack.sizes().slice(1)) {
    return false;
  }
  const char* row = static_cast<const char*>(stack.const_data_ptr()) + k * stack.stride(0) * stack.element_size();
  return t.const_data_ptr() == row;
}

// Makes the records' tensors `name` rows of one stacked tensor owned by the module, unless
// they already are; returns the stack.
at::Tensor stacked_field(const py::object& dendrite_module, const std::vector<py::dict>& buffers,
                         py::dict& held, const char* name) {
  const int64_t K = static_cast<int64_t>(buffers.size());
  at::Tensor stack = held.contains(name) ? held[name].cast<at::Tensor>() : at::Tensor();
  std::vector<at::Tensor> rows;
  bool linked = stack.defined() && stack.size(0) == K;
  for (int64_t k = 0; k < K; ++k) {
    PyObject* item = PyDict_GetItemString(buffers[k].ptr(), name);
    if (item == nullptr || !THPVariable_Check(item)) {
      throw py::attribute_error("layer " + text(dendrite_module.attr("name")) + ": value record " +
                                std::to_string(k) + " has no tensor '" + name + "'");
    }
    rows.push_back(THPVariable_Unpack(item));
    linked = linked && is_row_of(rows.back(), stack, k);
  }
  if (linked) return stack;
  // A record's tensor was replaced (reinitialised, moved, assigned): its value is the
  // newest. Statistics are kept in float32 or wider, whatever the model's dtype.
  c10::NoGradGuard no_grad;
  const auto dtype = at::promote_types(rows[0].scalar_type(), at::kFloat);
  for (auto& r : rows) r = r.detach().to(rows[0].device(), dtype);
  stack = at::stack(rows);
  held[name] = stack;
  for (int64_t k = 0; k < K; ++k) buffers[k][name] = py::cast(stack.select(0, k));
  return stack;
}

struct RecordBuffers {
  std::vector<py::dict> buffers;
  py::dict held;
  explicit RecordBuffers(const py::object& dendrite_module) {
    for (auto record : dendrite_module.attr("dendrite_values")) {
      buffers.push_back(instance_dict(record)["_buffers"].cast<py::dict>());
    }
    if (buffers.empty()) {
      throw py::value_error("layer " + text(dendrite_module.attr("name")) + " has no value records");
    }
    py::dict own = instance_dict(dendrite_module);
    if (!own.contains(kStacksAttr)) own[kStacksAttr] = py::dict();
    held = own[kStacksAttr].cast<py::dict>();
  }
};

}  // namespace

py::list stack_records(const py::object& dendrite_module) {
  RecordBuffers rb(dendrite_module);
  py::list out;
  for (const char* name : kFieldNames) out.append(py::cast(stacked_field(dendrite_module, rb.buffers, rb.held, name)));
  return out;
}

namespace {

Stacks stacks_of(const py::object& dendrite_module) {
  py::list l = stack_records(dendrite_module);
  Stacks s;
  for (int i = 0; i < kFieldCount; ++i) s[i] = l[i].cast<at::Tensor>();
  return s;
}

// Settings, read once per engine call.
struct StepSettings {
  bool running, by_mean, normalized, live, verbose, report;
  double initial_batches, threshold, threshold_raw;
  StepSettings()
      : running(setting_on("running_average_ab")),
        by_mean(setting_on("correlations_by_mean")),
        normalized(setting_on("normalized_covariance")),
        live(setting_on("learn_dendrites_live")),
        verbose(setting_on("verbose")),
        report(setting_on("debugging_backwards_nan")),
        initial_batches(static_cast<double>(setting_int("initial_correlation_batches"))),
        threshold(setting_float("arb_improvement_threshold")),
        threshold_raw(setting_float("arb_improvement_threshold_raw")) {}
};

struct Pair {
  at::Tensor output, error, moments;
};

struct Layer {
  py::object module;
  std::string name;
  int64_t K = 0, C = 0, node = 0;
  Stacks stacks;
  std::vector<Pair> pairs;
  at::Tensor skipped;  // [K] bool: a pair of this step had non-finite statistics
};

std::string shape_text(at::IntArrayRef s) {
  std::string out = "[";
  for (size_t i = 0; i < s.size(); ++i) out += (i ? ", " : "") + std::to_string(s[i]);
  return out + "]";
}

// The queued pairs of one layer, oldest forward first, removed from its queues. An error
// is paired with the output of its own forward pass (same tag); an error without one, and
// outputs older than the newest pair (their backward never came), are dropped.
std::vector<Pair> take_pairs(Layer& layer) {
  py::dict outs = layer.module.attr("candidate_outputs").cast<py::dict>();
  py::dict errors = layer.module.attr("candidate_errors").cast<py::dict>();
  std::vector<Pair> pairs;
  if (errors.empty()) return pairs;
  std::vector<int64_t> tags;
  for (auto item : errors) tags.push_back(item.first.cast<int64_t>());
  std::sort(tags.begin(), tags.end());
  int64_t newest = -1;
  for (int64_t tag : tags) {
    py::int_ key(tag);
    if (!outs.contains(key)) continue;
    pairs.push_back({outs[key].cast<at::Tensor>(), errors[key].cast<at::Tensor>().detach(), {}});
    newest = tag;
  }
  PyDict_Clear(errors.ptr());
  std::vector<py::object> stale;
  for (auto item : outs) {
    if (item.first.cast<int64_t>() <= newest) stale.push_back(py::reinterpret_borrow<py::object>(item.first));
  }
  for (auto& key : stale) PyDict_DelItem(outs.ptr(), key.ptr());
  return pairs;
}

void check_pair(const Layer& layer, const Pair& pair) {
  std::vector<int64_t> expected = pair.error.sizes().vec();
  if (layer.node >= static_cast<int64_t>(expected.size()) || expected[layer.node] != layer.C) {
    throw py::value_error("candidate_step, layer " + layer.name + ": the neurons' error " +
                          shape_text(pair.error.sizes()) + " has no dimension " + std::to_string(layer.node) +
                          " of " + std::to_string(layer.C) + " neurons");
  }
  expected.insert(expected.begin() + layer.node, layer.K);
  if (pair.output.sizes() != at::IntArrayRef(expected)) {
    throw py::value_error("candidate_step, layer " + layer.name + ": stacked candidate output " +
                          shape_text(pair.output.sizes()) + " does not match the error " +
                          shape_text(pair.error.sizes()) + " with " + std::to_string(layer.K) +
                          " candidates at dimension " + std::to_string(layer.node) + " (expected " +
                          shape_text(expected) + ")");
  }
  if (pair.output.device() != pair.error.device()) {
    throw py::value_error("candidate_step, layer " + layer.name + ": candidate output on " +
                          pair.output.device().str() + ", neurons' error on " + pair.error.device().str());
  }
}

// Shape [1, .., K, C, 1, ..] of a [K, C] tensor broadcast against a stacked output.
std::vector<int64_t> slot_view(const Layer& layer, int64_t dim) {
  std::vector<int64_t> v(dim, 1);
  v[layer.node] = layer.K;
  v[layer.node + 1] = layer.C;
  return v;
}

// One pair's statistics from its (global) moments; returns the gradient of the summed
// covariance loss with respect to the stacked output, and updates the running statistics.
at::Tensor step_pair(Layer& layer, const Pair& pair, const at::Tensor& moments, const at::Tensor& count,
                     const StepSettings& set) {
  c10::NoGradGuard no_grad;
  const int64_t K = layer.K, C = layer.C;
  Stacks& st = layer.stacks;
  const auto stat_type = st[kCorrelation].scalar_type();
  const at::Tensor sum_d = moments.narrow(0, 0, K * C).view({K, C});
  const at::Tensor sum_dd = moments.narrow(0, K * C, K * C).view({K, C});
  const at::Tensor sum_dp = moments.narrow(0, 2 * K * C, K * C).view({K, C});
  const at::Tensor sum_p = moments.narrow(0, 3 * K * C, C).view({1, C});
  const at::Tensor sum_pp = moments.narrow(0, 3 * K * C + C, C).view({1, C});
  const at::Tensor n = count.clamp_min(1.0);
  const at::Tensor mean_d = sum_d / n, mean_p = sum_p / n;
  const at::Tensor std_d = (sum_dd / n - mean_d * mean_d).clamp_min(0).sqrt().clamp_min(1e-8);
  const at::Tensor std_p = (sum_pp / n - mean_p * mean_p).clamp_min(0).sqrt().clamp_min(1e-8);
  const at::Tensor cross = sum_dp - mean_d * sum_p;  // sum of (D - mean D)(P - mean P)
  const at::Tensor pearson = (cross / n) / (std_p * std_d);
  at::Tensor cov = cross;
  if (set.running) {
    const at::Tensor shift_d = mean_d - st[kAverageD].to(at::kDouble);
    const at::Tensor shift_p = mean_p - st[kParentsAverage].to(at::kDouble);
    cov = cov + shift_d * shift_p * n;
  }
  if (set.by_mean) cov = cov / n;
  if (set.normalized) cov = cov / std_p;

  // A slot learns from this pair only when its statistics are finite; a batch with fewer
  // than two elements per neuron carries no statistics and leaves them unchanged.
  const at::Tensor finite = at::isfinite(moments.narrow(0, 0, 3 * K * C).view({3, K, C})).all(2).all(0)
                                .logical_and(at::isfinite(moments.narrow(0, 3 * K * C, 2 * C)).all());
  const at::Tensor ok = finite.logical_and(count >= 2.0).view({K, 1});
  layer.skipped = layer.skipped.defined() ? layer.skipped.logical_or(finite.logical_not())
                                          : finite.logical_not();

  // Gradient of sum(-D * sign(cov) * (P - average)) with respect to D.
  at::Tensor sign, average;
  if (set.running) {
    sign = st[kCorrelation].sign();
    average = st[kParentsAverage];
  } else {
    sign = cov.sign().to(stat_type);
    average = mean_p.to(stat_type).expand({K, C});
  }
  sign = at::where(finite.view({K, 1}), sign, at::zeros({}, sign.options()));
  const auto out_type = pair.output.scalar_type();
  const std::vector<int64_t> view = slot_view(layer, pair.output.dim());
  const at::Tensor grad = at::addcmul((sign * average).to(out_type).view(view), (-sign).to(out_type).view(view),
                                      pair.error.unsqueeze(layer.node).to(out_type));

  // Running statistics, every slot at once: the initial rule (cumulative mean) while
  // `initialized` is below the setting, the 0.99 running average after.
  auto keep = [&](Field f, const at::Tensor& value) {
    st[f].copy_(at::where(ok, value.to(stat_type), st[f]));
  };
  keep(kNormalPassAverage, math::running_average(st[kNormalPassAverage].to(at::kDouble), mean_p));
  if (set.live) keep(kParentsAverage, st[kNormalPassAverage]);
  const at::Tensor done = st[kInitialized].to(at::kDouble);  // [K, 1]
  const at::Tensor initial = done < set.initial_batches;
  auto rule = [&](Field f, const at::Tensor& batch) {
    const at::Tensor old = st[f].to(at::kDouble);
    keep(f, at::where(initial, (old * done + batch) / (done + 1.0), math::running_average(old, batch)));
  };
  rule(kAverageD, mean_d);
  rule(kCorrelation, cov);
  rule(kPearson, pearson);
  keep(kBatchPearson, pearson);
  const at::Tensor start = ok.logical_and(initial);
  const at::Tensor zero = at::zeros({}, st[kBest].options());
  for (Field f : {kBest, kPreviousBest, kBestPearson}) st[f].copy_(at::where(start, zero, st[f]));
  st[kRunningScalar].copy_(at::where(start, at::ones({}, st[kRunningScalar].options()), st[kRunningScalar]));
  st[kInitialized].add_(start.to(stat_type));
  return grad;
}

std::string fixed16(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.16f", v);
  return buf;
}

// check_new_best_score for every slot of a layer at once.
void best_scores(Layer& layer, const StepSettings& set) {
  c10::NoGradGuard no_grad;
  Stacks& st = layer.stacks;
  const at::Tensor score = st[kCorrelation].abs();
  const at::Tensor rose = score > st[kBest];  // ties keep the old best
  const at::Tensor indices = rose.to(st[kBest].scalar_type());
  st[kImprovedAny].add_(indices);
  st[kBest].copy_(at::maximum(st[kBest], score));
  const at::Tensor& best = st[kBest];
  const at::Tensor& previous = st[kPreviousBest];
  const at::Tensor beat =
      ((best * (1.0 - set.threshold) > previous).logical_and((best - set.threshold_raw) > previous)).any(1);
  const at::Tensor accept = beat.logical_or(st[kInitialized].view({layer.K}) == 0).view({layer.K, 1});
  if (set.verbose) {
    // Diagnostics only: the host reads are the price of the message.
    const at::Tensor show = accept.view({layer.K}).logical_and(st[kEpochFlag].view({layer.K}) == 0).cpu();
    for (int64_t k = 0; k < layer.K; ++k) {
      if (!show[k].item<bool>()) continue;
      const int64_t at_max = (best[k] - previous[k]).abs().argmax().item<int64_t>();
      say("Score from " + fixed16(previous[k][at_max].item<double>()) + " to " +
          fixed16(best[k][at_max].item<double>()) + " for " + layer.name + " with initialized " +
          std::to_string(static_cast<long long>(st[kInitialized][k][0].item<double>())));
    }
  }
  st[kEpochFlag].copy_(at::where(accept, at::ones({}, st[kEpochFlag].options()), st[kEpochFlag]));
  st[kIndexesOfBest].copy_(at::where(accept, indices, st[kIndexesOfBest]));
  st[kImprovedThisEpoch].add_(at::where(accept, indices, at::zeros({}, indices.options())));
  st[kPreviousBest].copy_(at::where(accept, at::maximum(best, previous), previous));
  st[kBestPearson].copy_(
      at::where(accept, at::maximum(st[kBestPearson], st[kPearson].abs()), st[kBestPearson]));
}

// Zeroes the gradients of the candidates of skipped slots: a NaN input gives NaN
// gradients even where the loss gradient is zero.
void mask_skipped(const Layer& layer) {
  if (!layer.skipped.defined()) return;
  py::list candidates(layer.module.attr("candidate_module"));
  py::object to_candidates = layer.module.attr("dendrites_to_candidates");
  for (int64_t k = 0; k < layer.K; ++k) {
    const at::Tensor skip = layer.skipped[k];
    std::vector<at::Tensor> params;
    if (k < static_cast<int64_t>(candidates.size())) {
      for (auto p : candidates[k].attr("parameters")()) params.push_back(p.cast<at::Tensor>());
    }
    params.push_back(to_candidates[py::int_(k)].cast<at::Tensor>());
    for (auto& p : params) {
      at::Tensor g = p.grad();
      if (g.defined()) g.masked_fill_(skip, 0);
    }
  }
}

void report_skipped(const std::vector<Layer>& layers) {
  for (const auto& layer : layers) {
    if (!layer.skipped.defined()) continue;
    const at::Tensor slots = layer.skipped.nonzero().flatten().cpu();
    if (slots.numel() == 0) continue;
    py::dict own = instance_dict(layer.module);
    if (own.contains("_arb_reported_non_finite")) continue;  // reported once per layer
    own["_arb_reported_non_finite"] = true;
    std::string list;
    for (int64_t i = 0; i < slots.numel(); ++i) list += (i ? ", " : "") + std::to_string(slots[i].item<int64_t>());
    say("Layer " + layer.name + ": skipped the candidate step of slot(s) " + list +
        ": their batch statistics are not finite (NaN or inf in the candidate outputs or the neurons' "
        "errors). Later skips in this layer are not reported.");
  }
}

}  // namespace

void candidate_step(const py::iterable& dendrite_modules, const py::object& reduce) {
  if (!tracker_in_p_mode()) return;
  const StepSettings set;
  std::vector<Layer> layers;
  for (auto m : dendrite_modules) {
    Layer layer;
    layer.module = py::reinterpret_borrow<py::object>(m);
    if (!py::object(layer.module.attr("mode")).equal(py::str("p"))) continue;
    layer.pairs = take_pairs(layer);
    if (layer.pairs.empty()) continue;
    layer.name = text(layer.module.attr("name"));
    layer.stacks = stacks_of(layer.module);
    layer.K = layer.stacks[kCorrelation].size(0);
    layer.C = layer.stacks[kCorrelation].size(1);
    py::object first = layer.module.attr("dendrite_values")[py::int_(0)];
    layer.node = py::int_(first.attr("this_node_index")).cast<int64_t>();
    for (const auto& pair : layer.pairs) check_pair(layer, pair);
    layers.push_back(std::move(layer));
  }
  if (layers.empty()) return;

  // Every batch moment of the call in one flat float64 tensor, so that one collective can
  // sum it across processes; the element counts ride along.
  std::vector<at::Tensor> parts, counts;
  {
    c10::NoGradGuard no_grad;
    for (auto& layer : layers) {
      for (auto& pair : layer.pairs) {
        pair.moments = math::batch_moments(pair.output.detach(), pair.error, layer.node, layer.K);
        parts.push_back(pair.moments);
        counts.push_back(at::full({1}, static_cast<double>(pair.error.numel() / layer.C),
                                  pair.moments.options()));
      }
    }
  }
  at::Tensor flat, count_flat;
  if (!reduce.is_none()) {
    parts.insert(parts.end(), counts.begin(), counts.end());
    flat = at::cat(parts);
    reduce(flat);
    count_flat = flat.narrow(0, flat.numel() - static_cast<int64_t>(counts.size()), counts.size());
  }

  std::vector<at::Tensor> outputs, grads;
  size_t index = 0;
  int64_t offset = 0;
  for (auto& layer : layers) {
    for (auto& pair : layer.pairs) {
      const int64_t size = pair.moments.numel();
      const at::Tensor moments = flat.defined() ? flat.narrow(0, offset, size) : pair.moments;
      const at::Tensor count = count_flat.defined() ? count_flat.narrow(0, index, 1) : counts[index];
      offset += size;
      ++index;
      grads.push_back(step_pair(layer, pair, moments, count, set));
      outputs.push_back(pair.output);
    }
    best_scores(layer, set);
  }
  {
    // The autograd engine runs without the GIL; it takes it back for any Python hooks.
    py::gil_scoped_release no_gil;
    torch::autograd::backward(outputs, grads);
  }
  bool any_skipped = true;  // unknown without a host read: mask every step
  if (set.report) {
    std::vector<at::Tensor> flags;
    for (const auto& layer : layers) flags.push_back(layer.skipped.any().view({1}));
    any_skipped = at::cat(flags).any().item<bool>();  // the one host read of the step
  }
  if (any_skipped) {
    for (const auto& layer : layers) mask_skipped(layer);
    if (set.report) report_skipped(layers);
  }
}

void track_error_average(const py::object& dendrite_module, const at::Tensor& grad, int64_t node) {
  c10::NoGradGuard no_grad;
  // Batches without elements carry no error to average.
  if (grad.numel() == 0) return;
  RecordBuffers rb(dendrite_module);
  at::Tensor averages = stacked_field(dendrite_module, rb.buffers, rb.held, kFieldNames[kNormalPassAverage]);
  std::vector<int64_t> dims;
  for (int64_t d = 0; d < grad.dim(); ++d) {
    if (d != node) dims.push_back(d);
  }
  math::running_average_(averages, grad.detach().mean(dims).to(averages.scalar_type()));
}

}  // namespace arbor::engine
