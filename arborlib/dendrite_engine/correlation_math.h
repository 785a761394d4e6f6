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

}  // namespace arbor::engine::math
