// The rules of the correlation statistics, each written once. Every rule is a template over
// the per-neuron value type: `double` for the host loops of the batched step, `at::Tensor`
// for the per-record entry points and the batched step on other devices. Pure arithmetic:
// no Python objects, no settings reads (callers pass what they read).
#pragma once

#include <ATen/ATen.h>

#include <algorithm>
#include <cmath>

namespace arbor::engine::rules {

// One spelling of the elementwise helpers for doubles and tensors.
inline double floor_at(double v, double lo) { return v < lo ? lo : v; }  // NaN stays NaN, as clamp_min
inline at::Tensor floor_at(const at::Tensor& v, double lo) { return v.clamp_min(lo); }
inline double root(double v) { return std::sqrt(v); }
inline at::Tensor root(const at::Tensor& v) { return v.sqrt(); }
inline double sign_of(double v) { return static_cast<double>((v > 0) - (v < 0)); }
inline at::Tensor sign_of(const at::Tensor& v) { return v.sign(); }
inline bool both(bool a, bool b) { return a && b; }
inline at::Tensor both(const at::Tensor& a, const at::Tensor& b) { return a.logical_and(b); }

// The flat float64 moments of K stacked candidates over C neurons, as batch_moments writes
// them: sum D [K, C], sum D^2 [K, C], sum D*P [K, C], then sum P [C], sum P^2 [C].
struct MomentsLayout {
  int64_t K, C;
  int64_t sum_d() const { return 0; }
  int64_t sum_dd() const { return K * C; }
  int64_t sum_dp() const { return 2 * K * C; }
  int64_t candidate_size() const { return 3 * K * C; }  // the three candidate sums
  int64_t sum_p() const { return 3 * K * C; }
  int64_t sum_pp() const { return 3 * K * C + C; }
  int64_t size() const { return 3 * K * C + 2 * C; }
  // A candidate sum [K, C] and an error sum [1, C] as views of the flat tensor.
  at::Tensor candidate(const at::Tensor& flat, int64_t at) const { return flat.narrow(0, at, K * C).view({K, C}); }
  at::Tensor error(const at::Tensor& flat, int64_t at) const { return flat.narrow(0, at, C).view({1, C}); }
};

// Per-neuron batch statistics: means, population spreads (clamped at 1e-8, so a constant
// candidate or error gives a finite Pearson value), the centred cross sum and Pearson.
template <class T>
struct Batch {
  T mean_d, mean_p, std_d, std_p, cross, pearson;
};

// From raw sums over n elements per neuron: sum of (D - mean D)(P - mean P) is
// sum DP - mean D * sum P; the Pearson numerator is always centred on the batch means.
template <class T, class N>
Batch<T> batch_from_sums(const T& sum_d, const T& sum_dd, const T& sum_dp, const T& sum_p, const T& sum_pp,
                         const N& n) {
  Batch<T> b;
  b.mean_d = sum_d / n;
  b.mean_p = sum_p / n;
  b.std_d = floor_at(root(floor_at(sum_dd / n - b.mean_d * b.mean_d, 0.0)), 1e-8);
  b.std_p = floor_at(root(floor_at(sum_pp / n - b.mean_p * b.mean_p, 0.0)), 1e-8);
  b.cross = sum_dp - b.mean_d * sum_p;
  b.pearson = (b.cross / n) / (b.std_p * b.std_d);
  return b;
}

// What the covariance is made of: the settings the caller read for this step.
struct CovarianceKind {
  bool running;     // centred on the running centres instead of the batch means
  bool by_mean;     // reduced by mean, else by sum
  bool normalized;  // divided by the error's spread
};

// Covariance of D and P over the batch. Centring on other values (the running averages of
// D and P) adds n * (mean D - average D)(mean P - average P) to the centred sum.
template <class T, class N, class A>
T covariance(const Batch<T>& b, const N& n, const CovarianceKind& kind, const A& average_d, const A& average_p) {
  T cov = b.cross;
  if (kind.running) cov = cov + (b.mean_d - average_d) * (b.mean_p - average_p) * n;
  if (kind.by_mean) cov = cov / n;
  if (kind.normalized) cov = cov / b.std_p;
  return cov;
}

// The candidate gradient of the summed covariance loss sum(-D * sign(cov) * (P - centre)) is
// sign * centre - sign * P. Sign and centre come from the running covariance and error
// average when running averages are on, else from this batch.
template <class T>
struct GradientTerms {
  T sign, centre;
};
template <class T>
GradientTerms<T> gradient_terms(bool running, const T& running_cov, const T& running_p, const T& batch_cov,
                                const T& batch_mean_p) {
  return running ? GradientTerms<T>{sign_of(running_cov), running_p} : GradientTerms<T>{sign_of(batch_cov), batch_mean_p};
}
// The gradient itself, `sign` and `centre` viewed to broadcast against the error `p`.
inline at::Tensor candidate_gradient(const at::Tensor& sign, const at::Tensor& centre, const at::Tensor& p) {
  return at::addcmul(sign * centre, -sign, p);
}

// The averaging rules of every running statistic: a cumulative mean over the first `done`
// batches, then new = 0.99 * old + (1 - 0.99) * value.
constexpr double kAverageFactor = 0.99;
constexpr double kAverageRest = 1.0 - kAverageFactor;  // 0.010000000000000009
template <class T, class V>
auto running_average(const T& old, const V& value) {
  return old * kAverageFactor + value * kAverageRest;
}
template <class T, class N, class V>
auto initial_average(const T& old, const N& done, const V& value) {
  return (old * done + value) / (done + 1.0);
}

// The improvement test of a best score against the reference score: relative and absolute
// margins, both strict.
template <class T>
auto beats(const T& best, const T& previous, double threshold, double threshold_raw) {
  return both(best * (1.0 - threshold) > previous, (best - threshold_raw) > previous);
}

}  // namespace arbor::engine::rules

namespace arbor::engine::math {

// Raw per-neuron sums of K stacked candidate outputs `d` (the error's shape with K inserted
// at the neuron dimension `node`) and the error `p`, accumulated in float64, as one flat
// tensor in the layout of rules::MomentsLayout.
at::Tensor batch_moments(const at::Tensor& d, const at::Tensor& p, int64_t node, int64_t K);

}  // namespace arbor::engine::math
