#include "correlation_math.h"

#include <cmath>

namespace arbor::engine::math {

at::Tensor squeezed(const at::Tensor& kept, at::IntArrayRef dims) {
  return dims.empty() ? kept : kept.squeeze(dims);
}

BatchStats batch_stats(const at::Tensor& d, const at::Tensor& p, at::IntArrayRef dims) {
  // Two passes (means, then centred moments): var_mean's single-pass Welford is several
  // times slower when the reduced dimensions are not contiguous (conv outputs).
  BatchStats s;
  s.mean_d = d.mean(dims, /*keepdim=*/true);
  s.mean_p = p.mean(dims, /*keepdim=*/true);
  at::Tensor centred_d = d - s.mean_d;
  const at::Tensor centred_p = p - s.mean_p;
  s.count = static_cast<double>(d.numel()) / std::max<int64_t>(s.mean_d.numel(), 1);
  const double root = std::sqrt(s.count);
  // The norm of the centred values is sqrt(count) times the population std, in one pass.
  s.std_d = (at::linalg_vector_norm(centred_d, 2, dims) / root).clamp_min(1e-8);
  s.std_p = (at::linalg_vector_norm(centred_p, 2, dims) / root).clamp_min(1e-8);
  s.cross = centred_d.mul_(centred_p).sum(dims);
  return s;
}

at::Tensor covariance(const BatchStats& s, at::IntArrayRef dims, at::IntArrayRef view, bool by_mean,
                      bool running, const at::Tensor& average_d, const at::Tensor& average_p) {
  at::Tensor sum = s.cross;
  if (running) {
    // Centring on other values adds count * (mD - aD)(mP - aP) to the centred sum.
    const at::Tensor shift_d = s.mean_d - average_d.view(view);
    const at::Tensor shift_p = s.mean_p - average_p.view(view);
    sum = sum + squeezed(shift_d * shift_p, dims) * s.count;
  }
  return by_mean ? sum / s.count : sum;
}

at::Tensor pearson(const BatchStats& s) { return (s.cross / s.count) / (s.std_p * s.std_d); }

}  // namespace arbor::engine::math
