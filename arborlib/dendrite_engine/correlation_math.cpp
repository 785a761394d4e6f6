#include "correlation_math.h"

namespace arbor::engine::math {

at::Tensor squeezed(const at::Tensor& kept, at::IntArrayRef dims) {
  return dims.empty() ? kept : kept.squeeze(dims);
}

BatchStats batch_stats(const at::Tensor& d, const at::Tensor& p, at::IntArrayRef dims) {
  BatchStats s;
  at::Tensor var_d, var_p;
  std::tie(var_d, s.mean_d) = at::var_mean(d, dims, /*correction=*/0, /*keepdim=*/true);
  std::tie(var_p, s.mean_p) = at::var_mean(p, dims, /*correction=*/0, /*keepdim=*/true);
  s.std_d = squeezed(var_d, dims).sqrt().clamp_min(1e-8);
  s.std_p = squeezed(var_p, dims).sqrt().clamp_min(1e-8);
  // sum((D - mD) * P) equals sum((D - mD)(P - mP)) because sum(D - mD) is zero; centring
  // one side keeps the cancellation error small without a second centred copy.
  s.cross = (d - s.mean_d).mul_(p).sum(dims);
  s.count = static_cast<double>(d.numel()) / std::max<int64_t>(s.cross.numel(), 1);
  return s;
}

at::Tensor covariance(const BatchStats& s, at::IntArrayRef dims, at::IntArrayRef view, bool by_mean,
                      bool running, const at::Tensor& average_d, const at::Tensor& average_p,
                      bool normalized) {
  at::Tensor sum = s.cross;
  if (running) {
    // Centring on other values adds count * (mD - aD)(mP - aP) to the centred sum.
    const at::Tensor shift_d = s.mean_d - average_d.view(view);
    const at::Tensor shift_p = s.mean_p - average_p.view(view);
    sum = sum + squeezed(shift_d * shift_p, dims) * s.count;
  }
  at::Tensor cov = by_mean ? sum / s.count : sum;
  if (normalized) cov = cov / s.std_p;
  return cov;
}

at::Tensor pearson(const BatchStats& s) { return (s.cross / s.count) / (s.std_p * s.std_d); }

}  // namespace arbor::engine::math
