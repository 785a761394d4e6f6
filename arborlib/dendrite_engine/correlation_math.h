// Per-neuron statistics between a candidate's output D and the neurons' error P.
// Pure ATen: no Python objects. Reductions run over `dims` (all but the neuron
// dimension); per-neuron results have the reduced dimensions removed.
#pragma once

#include <ATen/ATen.h>

#include <vector>

namespace arbor::engine::math {

struct BatchStats {
  at::Tensor mean_d, mean_p;   // batch means, kept dims (broadcast against D and P)
  at::Tensor std_d, std_p;     // population std, clamped at 1e-8, per neuron
  at::Tensor cross;            // sum over the batch of (D - mean D)(P - mean P), per neuron
  double count;                // elements per neuron
};

// Batch means, population standard deviations and the centred cross term.
BatchStats batch_stats(const at::Tensor& d, const at::Tensor& p, at::IntArrayRef dims);

// Per-neuron vector view of a kept-dims batch mean.
at::Tensor squeezed(const at::Tensor& kept, at::IntArrayRef dims);

// Covariance of D and P, centred on the batch means, or on the given running centres
// (per-neuron vectors viewed as `view`) when `running` is set; reduced by mean or sum.
at::Tensor covariance(const BatchStats& s, at::IntArrayRef dims, at::IntArrayRef view, bool by_mean,
                      bool running, const at::Tensor& average_d, const at::Tensor& average_p);

// Pearson correlation of the batch (always centred on the batch means).
at::Tensor pearson(const BatchStats& s);

// The running-average rule of every per-neuron average: new = 0.99 * old + (1 - 0.99) * value.
constexpr double kAverageFactor = 0.99;
constexpr double kAverageRest = 1.0 - kAverageFactor;  // 0.010000000000000009
inline at::Tensor running_average(const at::Tensor& old, const at::Tensor& value) {
  return old * kAverageFactor + value * kAverageRest;
}
inline double running_average(double old, double value) { return old * kAverageFactor + value * kAverageRest; }
// The same rule, in place.
inline void running_average_(at::Tensor& average, const at::Tensor& value) {
  average.mul_(kAverageFactor).add_(value, kAverageRest);
}

// Raw per-neuron sums of K stacked candidate outputs `d` (the error's shape with K inserted
// at the neuron dimension `node`) and the error `p`, accumulated in float64, as one flat
// tensor: sum D [K, C], sum D^2 [K, C], sum D*P [K, C], sum P [C], sum P^2 [C].
at::Tensor batch_moments(const at::Tensor& d, const at::Tensor& p, int64_t node, int64_t K);

}  // namespace arbor::engine::math
