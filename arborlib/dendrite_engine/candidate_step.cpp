// The batched candidate step: every queued (output, error) pair of every slot of every given
// layer in one call, with one autograd backward, statistics of all slots computed together
// from the flat moments, through the rules that the per-record entry points use as well.
#include "record_stacks.h"

#include <ATen/Dispatch.h>
#include <torch/csrc/autograd/autograd.h>

#include <algorithm>
#include <cmath>

namespace arbor::engine {

namespace {

// Settings, read once per engine call.
struct StepSettings {
  rules::CovarianceKind kind{setting_on("running_average_ab"), setting_on("correlations_by_mean"),
                             setting_on("normalized_covariance")};
  bool live = setting_on("learn_dendrites_live"), verbose = setting_on("verbose"),
       report = setting_on("debugging_backwards_nan");
  double initial_batches = static_cast<double>(setting_int("initial_correlation_batches")),
         threshold = setting_float("arb_improvement_threshold"),
         threshold_raw = setting_float("arb_improvement_threshold_raw");
};

struct Pair {
  at::Tensor output, error, moments, count;  // count: the elements per neuron, [1] float64
  int64_t node = 0;  // the neuron dimension of this pair's forward (the input's rank can differ)
};

struct Layer {
  py::object module;
  std::string name;
  int64_t K = 0, C = 0, node = 0;  // node: the records' neuron dimension (of the latest forward)
  Stacks stacks;
  std::vector<Pair> pairs;
  at::Tensor skipped;  // [K] bool: a pair of this step had non-finite statistics (set by every layer's first pair)
  bool on_host = false;  // CPU tensors: the statistics run as plain loops, no tensor ops
};

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
  // The neuron dimension of each forward, where the companion records it.
  const py::object nodes = py::getattr(layer.module, "candidate_nodes", py::none());
  const bool have_nodes = PyDict_Check(nodes.ptr());
  int64_t newest = -1;
  for (int64_t tag : tags) {
    py::int_ key(tag);
    if (!outs.contains(key)) continue;
    const int64_t node = have_nodes && nodes.contains(key) ? nodes[key].cast<int64_t>() : layer.node;
    pairs.push_back({outs[key].cast<at::Tensor>(), errors[key].cast<at::Tensor>().detach(), {}, {}, node});
    newest = tag;
  }
  PyDict_Clear(errors.ptr());
  for (auto key : py::list(outs)) {  // a copy of the keys: the dict shrinks as we go
    if (key.cast<int64_t>() > newest) continue;
    PyDict_DelItem(outs.ptr(), key.ptr());
    if (have_nodes && PyDict_DelItem(nodes.ptr(), key.ptr()) != 0) PyErr_Clear();
  }
  return pairs;
}

void check_pair(const Layer& layer, const Pair& pair) {
  std::vector<int64_t> expected = pair.error.sizes().vec();
  if (pair.node < 0 || pair.node >= static_cast<int64_t>(expected.size()) || expected[pair.node] != layer.C) {
    fail(PyExc_ValueError, "candidate_step", layer.name,
         "the neurons' error " + shape_text(pair.error.sizes()) + " has no dimension " +
             std::to_string(pair.node) + " of " + std::to_string(layer.C) + " neurons");
  }
  expected.insert(expected.begin() + pair.node, layer.K);
  if (pair.output.sizes() != at::IntArrayRef(expected)) {
    fail(PyExc_ValueError, "candidate_step", layer.name,
         "stacked candidate output " + shape_text(pair.output.sizes()) + " does not match the error " +
             shape_text(pair.error.sizes()) + " with " + std::to_string(layer.K) + " candidates at dimension " +
             std::to_string(pair.node) + " (expected " + shape_text(expected) + ")");
  }
  if (pair.output.device() != pair.error.device()) {
    fail(PyExc_ValueError, "candidate_step", layer.name,
         "candidate output on " + pair.output.device().str() + ", neurons' error on " + pair.error.device().str());
  }
}

// A pair's gradient from [K, C] signs and centres, viewed [1, .., K, C, 1, ..] against its output.
at::Tensor pair_gradient(const Layer& layer, const Pair& pair, const at::Tensor& sign, const at::Tensor& centre) {
  std::vector<int64_t> view(pair.output.dim(), 1);
  view[pair.node] = layer.K;
  view[pair.node + 1] = layer.C;
  const auto type = pair.output.scalar_type();
  return rules::candidate_gradient(sign.to(type).view(view), centre.to(type).view(view),
                                   pair.error.unsqueeze(pair.node).to(type));
}

// ---- one step body, on two representations --------------------------------------------
// On CPU tensors the body runs per slot and neuron on doubles (small per-neuron vectors:
// dozens of tiny tensor ops would cost more than the arithmetic); elsewhere once, on [K, C]
// tensors in float64. A cell reads a field and writes it where a mask holds.

inline double pick(bool c, double a, double b) { return c ? a : b; }
inline at::Tensor pick(const at::Tensor& c, const at::Tensor& a, const at::Tensor& b) { return at::where(c, a, b); }
inline double larger(double a, double b) { return std::max(a, b); }
inline at::Tensor larger(const at::Tensor& a, const at::Tensor& b) { return at::maximum(a, b); }
inline double magnitude(double v) { return std::abs(v); }
inline at::Tensor magnitude(const at::Tensor& v) { return v.abs(); }
inline double indicator(bool c) { return c ? 1.0 : 0.0; }
inline at::Tensor indicator(const at::Tensor& c) { return c.to(at::kDouble); }

template <typename T>
struct HostCell {  // neuron c of slot k
  T* const* f;
  int64_t i;
  double get(Field field) const { return static_cast<double>(f[field][i]); }
  void set(Field field, double v, bool where = true) const {
    if (where) f[field][i] = static_cast<T>(v);
  }
};

struct TensorCells {  // every neuron of every slot
  Stacks& st;
  at::Tensor get(Field field) const { return st[field].to(at::kDouble); }
  void set(Field field, const at::Tensor& v, const at::Tensor& where) const {
    st[field].copy_(at::where(where, v.to(st[field].scalar_type()), st[field]));
  }
  void set(Field field, const at::Tensor& v) const { st[field].copy_(v); }
};

// The running statistics after one pair where `ok`: the initial rule (cumulative mean) while
// `initialized` is below the setting, the 0.99 running average after.
template <class Cell, class V, class B>
void fold_statistics(const Cell& cell, const rules::Batch<V>& b, const V& cov, const B& ok, const B& initial,
                     const V& done, const V& zero, const StepSettings& set) {
  cell.set(kNormalPassAverage, rules::running_average(cell.get(kNormalPassAverage), b.mean_p), ok);
  if (set.live) cell.set(kParentsAverage, cell.get(kNormalPassAverage), ok);
  auto fold = [&](Field f, const V& batch) {
    const V old = cell.get(f);
    cell.set(f, pick(initial, rules::initial_average(old, done, batch), rules::running_average(old, batch)), ok);
  };
  fold(kAverageD, b.mean_d);
  fold(kCorrelation, cov);
  fold(kPearson, b.pearson);
  cell.set(kBatchPearson, b.pearson, ok);
  const B start = rules::both(ok, initial);
  for (Field f : {kBest, kPreviousBest, kBestPearson}) cell.set(f, zero, start);
}

// check_new_best_score's two halves: the best score follows every rise (returns the rise
// and whether it beats the reference), and an accepted check moves the reference.
template <class Cell, class V>
auto raise_best(const Cell& cell, const StepSettings& set) {
  const V score = magnitude(cell.get(kCorrelation)), best = cell.get(kBest);
  const V rose = indicator(score > best);  // ties keep the old best
  cell.set(kImprovedAny, cell.get(kImprovedAny) + rose);
  cell.set(kBest, larger(best, score));
  return std::make_pair(rose, rules::beats(cell.get(kBest), cell.get(kPreviousBest), set.threshold, set.threshold_raw));
}
template <class Cell, class V, class B>
void accept_best(const Cell& cell, const V& rose, const B& accept) {
  cell.set(kIndexesOfBest, rose, accept);
  cell.set(kImprovedThisEpoch, cell.get(kImprovedThisEpoch) + rose, accept);
  cell.set(kPreviousBest, larger(cell.get(kBest), cell.get(kPreviousBest)), accept);
  cell.set(kBestPearson, larger(cell.get(kBestPearson), magnitude(cell.get(kPearson))), accept);
}

template <typename T>
struct Rows {
  T* f[kFieldCount];
  int64_t C;
  explicit Rows(Stacks& st) : C(st[kCorrelation].size(1)) {
    for (int i = 0; i < kFieldCount; ++i) f[i] = st[i].data_ptr<T>();
  }
  HostCell<T> cell(int64_t k, int64_t c) const { return {f, k * C + c}; }
  T& one(Field field, int64_t k) { return f[field][k]; }
};

template <typename T>
at::Tensor step_pair_host(Layer& layer, const Pair& pair, const StepSettings& set) {
  const int64_t K = layer.K, C = layer.C;
  const double* m = pair.moments.const_data_ptr<double>();
  const double count = pair.count.const_data_ptr<double>()[0];
  Rows<T> r(layer.stacks);
  at::Tensor signs = at::empty({K, C}, layer.stacks[kCorrelation].options());
  at::Tensor centres = at::empty({K, C}, signs.options());
  T* sign_of = signs.data_ptr<T>();
  T* centre_of = centres.data_ptr<T>();
  const rules::MomentsLayout layout{K, C};
  const double *sum_d = m + layout.sum_d(), *sum_dd = m + layout.sum_dd(), *sum_dp = m + layout.sum_dp();
  const double *sum_p = m + layout.sum_p(), *sum_pp = m + layout.sum_pp();
  bool p_finite = true;
  for (int64_t c = 0; c < 2 * C; ++c) p_finite = p_finite && std::isfinite(sum_p[c]);
  const double n = std::max(count, 1.0);
  if (!layer.skipped.defined()) layer.skipped = at::zeros({K}, at::kBool);
  bool* skipped = layer.skipped.data_ptr<bool>();
  for (int64_t k = 0; k < K; ++k) {
    bool finite = p_finite;
    for (int64_t i = k * C; i < (k + 1) * C && finite; ++i) {
      finite = std::isfinite(sum_d[i]) && std::isfinite(sum_dd[i]) && std::isfinite(sum_dp[i]);
    }
    if (!finite) skipped[k] = true;
    const bool ok = finite && count >= 2.0;
    const double done = static_cast<double>(r.one(kInitialized, k));
    const bool initial = done < set.initial_batches;
    for (int64_t c = 0; c < C; ++c) {
      const int64_t i = k * C + c;
      const HostCell<T> cell = r.cell(k, c);
      const auto b = rules::batch_from_sums(sum_d[i], sum_dd[i], sum_dp[i], sum_p[c], sum_pp[c], n);
      const double cov = rules::covariance(b, n, set.kind, cell.get(kAverageD), cell.get(kParentsAverage));
      // Sign from the running covariance (before this pair's update) or the batch's.
      const auto g = rules::gradient_terms(set.kind.running, cell.get(kCorrelation), cell.get(kParentsAverage), cov,
                                           b.mean_p);
      sign_of[i] = static_cast<T>(finite ? g.sign : 0.0);
      centre_of[i] = static_cast<T>(g.centre);
      fold_statistics(cell, b, cov, ok, initial, done, 0.0, set);
    }
    if (ok && initial) {
      r.one(kRunningScalar, k) = 1;
      r.one(kInitialized, k) += 1;
    }
  }
  return pair_gradient(layer, pair, signs, centres);
}

// The same step on [K, C] tensors.
at::Tensor step_pair(Layer& layer, const Pair& pair, const StepSettings& set) {
  c10::NoGradGuard no_grad;
  const at::Tensor& moments = pair.moments;
  const int64_t K = layer.K, C = layer.C;
  Stacks& st = layer.stacks;
  const TensorCells cells{st};
  const rules::MomentsLayout layout{K, C};
  const at::Tensor n = pair.count.clamp_min(1.0);
  const rules::Batch<at::Tensor> b = rules::batch_from_sums(
      layout.candidate(moments, layout.sum_d()), layout.candidate(moments, layout.sum_dd()),
      layout.candidate(moments, layout.sum_dp()), layout.error(moments, layout.sum_p()),
      layout.error(moments, layout.sum_pp()), n);
  const at::Tensor cov = rules::covariance(b, n, set.kind, cells.get(kAverageD), cells.get(kParentsAverage));

  // A slot learns from this pair only when its statistics are finite; a batch with fewer
  // than two elements per neuron carries no statistics and leaves them unchanged.
  const at::Tensor finite =
      at::isfinite(moments.narrow(0, 0, layout.candidate_size()).view({3, K, C})).all(2).all(0).logical_and(
          at::isfinite(moments.narrow(0, layout.sum_p(), 2 * C)).all());
  const at::Tensor ok = finite.logical_and(pair.count >= 2.0).view({K, 1});
  layer.skipped = layer.skipped.defined() ? layer.skipped.logical_or(finite.logical_not()) : finite.logical_not();

  const auto g = rules::gradient_terms(set.kind.running, cells.get(kCorrelation), cells.get(kParentsAverage), cov,
                                      b.mean_p.expand({K, C}));
  const at::Tensor sign = at::where(finite.view({K, 1}), g.sign, at::zeros({}, g.sign.options()));
  const at::Tensor grad = pair_gradient(layer, pair, sign, g.centre);

  const at::Tensor done = cells.get(kInitialized);  // [K, 1]
  const at::Tensor initial = done < set.initial_batches;
  fold_statistics(cells, b, cov, ok, initial, done, at::zeros({}, done.options()), set);
  const at::Tensor start = ok.logical_and(initial);
  cells.set(kRunningScalar, at::ones({}, done.options()), start);
  st[kInitialized].add_(start.to(st[kInitialized].scalar_type()));
  return grad;
}

// check_new_best_score for every slot of a layer: per neuron on the host, or all at once.
template <typename T>
void best_scores_host(Layer& layer, const StepSettings& set) {
  const int64_t K = layer.K, C = layer.C;
  Rows<T> r(layer.stacks);
  std::vector<double> rose(C);
  for (int64_t k = 0; k < K; ++k) {
    bool beat = false;
    for (int64_t c = 0; c < C; ++c) {
      const auto [up, beats] = raise_best<HostCell<T>, double>(r.cell(k, c), set);
      rose[c] = up;
      beat = beat || beats;
    }
    const bool accept = beat || r.one(kInitialized, k) == 0;
    if (accept && set.verbose && r.one(kEpochFlag, k) == 0) {
      say_new_best(layer.stacks[kBest][k], layer.stacks[kPreviousBest][k], layer.name, r.one(kInitialized, k));
    }
    if (accept) r.one(kEpochFlag, k) = 1;
    for (int64_t c = 0; c < C; ++c) accept_best(r.cell(k, c), rose[c], accept);
  }
}

void best_scores(Layer& layer, const StepSettings& set) {
  c10::NoGradGuard no_grad;
  Stacks& st = layer.stacks;
  const TensorCells cells{st};
  const auto [rose, beats] = raise_best<TensorCells, at::Tensor>(cells, set);
  const at::Tensor accept = beats.any(1).logical_or(st[kInitialized].view({layer.K}) == 0).view({layer.K, 1});
  if (set.verbose) {
    // Diagnostics only: the host reads are the price of the message.
    const at::Tensor show = accept.view({layer.K}).logical_and(st[kEpochFlag].view({layer.K}) == 0).cpu();
    for (int64_t k = 0; k < layer.K; ++k) {
      if (!show[k].item<bool>()) continue;
      say_new_best(st[kBest][k], st[kPreviousBest][k], layer.name, st[kInitialized][k][0].item<double>());
    }
  }
  cells.set(kEpochFlag, at::ones({}, rose.options()), accept);
  accept_best(cells, rose, accept);
}

// Zeroes the gradients of the candidates of skipped slots: a NaN input gives NaN
// gradients even where the loss gradient is zero.
void mask_skipped(const Layer& layer) {
  py::list candidates(layer.module.attr("candidate_module"));
  py::object to_candidates = layer.module.attr("dendrites_to_candidates");
  for (int64_t k = 0; k < layer.K; ++k) {
    auto mask = [skip = layer.skipped[k]](const py::handle& p) {
      at::Tensor g = p.cast<at::Tensor>().grad();
      if (g.defined()) g.masked_fill_(skip, 0);
    };
    if (k < static_cast<int64_t>(candidates.size())) {
      for (auto p : candidates[k].attr("parameters")()) mask(p);
    }
    mask(to_candidates[py::int_(k)]);
  }
}

void report_skipped(const std::vector<Layer>& layers) {
  for (const auto& layer : layers) {
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
  // Off only to test the tensor-op path (the one other devices take) on the CPU.
  const bool host_loops = module_named("arborlib.dendrite_engine").attr("_testing").attr("host_statistics").cast<bool>();
  std::vector<Layer> layers;
  for (auto m : dendrite_modules) {
    Layer layer;
    layer.module = py::reinterpret_borrow<py::object>(m);
    if (!py::object(layer.module.attr("mode")).equal(py::str("p"))) continue;
    layer.node = node_index(layer.module.attr("dendrite_values")[py::int_(0)], "candidate_step");
    layer.pairs = take_pairs(layer);
    if (layer.pairs.empty()) continue;
    layer.name = text(layer.module.attr("name"));
    layer.stacks = stacks_of(layer.module);
    layer.K = layer.stacks[kCorrelation].size(0);
    layer.C = layer.stacks[kCorrelation].size(1);
    const auto stat_type = layer.stacks[kCorrelation].scalar_type();
    layer.on_host = host_loops && layer.stacks[kCorrelation].device().is_cpu() &&
                    (stat_type == at::kFloat || stat_type == at::kDouble);
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
        pair.moments = math::batch_moments(pair.output.detach(), pair.error, pair.node, layer.K);
        pair.count = at::full({1}, static_cast<double>(pair.error.numel() / layer.C), pair.moments.options());
        parts.push_back(pair.moments);
        counts.push_back(pair.count);
      }
    }
  }
  if (!reduce.is_none()) {
    parts.insert(parts.end(), counts.begin(), counts.end());
    at::Tensor flat = at::cat(parts);
    const py::object reduced = reduce(flat);
    if (!reduced.is_none()) {
      // A reduce that returns the sum instead of writing it in place: the returned tensor holds it.
      const bool is_tensor = THPVariable_Check(reduced.ptr());
      const at::Tensor summed = is_tensor ? THPVariable_Unpack(reduced.ptr()) : at::Tensor();
      if (!is_tensor || summed.sizes() != flat.sizes()) {
        fail(PyExc_TypeError, "candidate_step", std::string(),
             "reduce must sum its tensor " + shape_text(flat.sizes()) +
                 " in place and return None, or return the summed tensor of that shape; got " +
                 (is_tensor ? shape_text(summed.sizes()) : type_name(reduced)));
      }
      flat = summed.to(flat.options());
    }
    // Each pair reads its sums back from the reduced tensor.
    int64_t offset = 0, index = flat.numel() - static_cast<int64_t>(counts.size());
    for (auto& layer : layers) {
      for (auto& pair : layer.pairs) {
        pair.moments = flat.narrow(0, offset, pair.moments.numel());
        offset += pair.moments.numel();
        pair.count = flat.narrow(0, index++, 1);
      }
    }
  }

  std::vector<at::Tensor> outputs, grads;
  for (auto& layer : layers) {
    const auto type = layer.stacks[kCorrelation].scalar_type();
    for (auto& pair : layer.pairs) {
      if (layer.on_host) {
        AT_DISPATCH_FLOATING_TYPES(type, "candidate_step",
                                   [&] { grads.push_back(step_pair_host<scalar_t>(layer, pair, set)); });
      } else {
        grads.push_back(step_pair(layer, pair, set));
      }
      outputs.push_back(pair.output);
    }
    if (layer.on_host) {
      AT_DISPATCH_FLOATING_TYPES(type, "candidate_step", [&] { best_scores_host<scalar_t>(layer, set); });
    } else {
      best_scores(layer, set);
    }
  }
  {
    // The autograd engine runs without the GIL; it takes it back for any Python hooks.
    py::gil_scoped_release no_gil;
    torch::autograd::backward(outputs, grads);
  }
  bool any_skipped = false;
  std::vector<at::Tensor> flags;
  for (const auto& layer : layers) {
    if (layer.on_host) {  // the host loops' own flags: read in place, no tensor op
      const bool* skipped = layer.skipped.const_data_ptr<bool>();
      any_skipped = any_skipped || std::any_of(skipped, skipped + layer.K, [](bool s) { return s; });
    } else {
      flags.push_back(layer.skipped.any().view({1}));
    }
  }
  // Device layers: the one host read of the step, or, without the report, mask every step.
  if (!flags.empty()) any_skipped = any_skipped || !set.report || at::cat(flags).any().item<bool>();
  if (any_skipped) {
    for (const auto& layer : layers) mask_skipped(layer);
    if (set.report) report_skipped(layers);
  }
}

}  // namespace arbor::engine
