// Per-neuron batch moments of K stacked candidate outputs D and the neurons' error P, for
// the batched candidate step. Raw sums, so that they add up across processes; float64
// accumulation, so that the centred moments derived from them keep float32 accuracy.
// The column loops below are written to be vectorised; the build compiles this module at -O3.
#include "statistics_rules.h"

#include <ATen/Parallel.h>

#include <algorithm>
#include <array>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
// One build runs well on any x86-64; the loader picks the AVX2 copy where the CPU has it.
#define ARBOR_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define ARBOR_CLONES
#endif

namespace arbor::engine::math {

namespace {

constexpr int64_t kBlock = 256;  // columns whose accumulators stay in L1 while rows stream by

// Moments over all rows of the columns [j0, j1) (column j = neuron j / S, position j % S)
// of one candidate, added into per-neuron sums. `d` and `p` point at row 0, column 0.
// Only elementwise loops over columns: they vectorise without reassociating any sum.
template <bool WithP>
ARBOR_CLONES void column_moments(const float* __restrict d, const float* __restrict p, int64_t rows,
                                 int64_t d_row, int64_t p_row, int64_t j0, int64_t j1, int64_t S,
                                 double* __restrict out_d, double* __restrict out_dd,
                                 double* __restrict out_dp, double* __restrict out_p, double* __restrict out_pp) {
  double a_d[kBlock], a_dd[kBlock], a_dp[kBlock], a_p[kBlock], a_pp[kBlock];
  for (int64_t jb = j0; jb < j1; jb += kBlock) {
    const int64_t n = std::min(kBlock, j1 - jb);
    std::fill_n(a_d, n, 0.0);
    std::fill_n(a_dd, n, 0.0);
    std::fill_n(a_dp, n, 0.0);
    if (WithP) {
      std::fill_n(a_p, n, 0.0);
      std::fill_n(a_pp, n, 0.0);
    }
    for (int64_t r = 0; r < rows; ++r) {
      const float* dr = d + r * d_row + jb;
      const float* pr = p + r * p_row + jb;
      for (int64_t i = 0; i < n; ++i) {
        const double v = dr[i], q = pr[i];
        a_d[i] += v;
        a_dd[i] += v * v;
        a_dp[i] += v * q;
        if (WithP) {
          a_p[i] += q;
          a_pp[i] += q * q;
        }
      }
    }
    for (int64_t i = 0; i < n; ++i) {
      const int64_t c = (jb + i) / S;
      out_d[c] += a_d[i];
      out_dd[c] += a_dd[i];
      out_dp[c] += a_dp[i];
      if (WithP) {
        out_p[c] += a_p[i];
        out_pp[c] += a_pp[i];
      }
    }
  }
}

at::Tensor moments_cpu(const at::Tensor& d, const at::Tensor& p, int64_t R, int64_t K, int64_t C, int64_t S) {
  const at::Tensor dc = d.to(at::kFloat).contiguous();
  const at::Tensor pc = p.to(at::kFloat).contiguous();
  const rules::MomentsLayout layout{K, C};
  at::Tensor out = at::zeros({layout.size()}, d.options().dtype(at::kDouble));
  double* o = out.data_ptr<double>();
  const float* dp = dc.data_ptr<float>();
  const float* pp = pc.data_ptr<float>();
  // Tasks own whole neurons of one candidate, so no two tasks write the same sum.
  const int64_t per_task = std::max<int64_t>(1, 2 * kBlock / std::max<int64_t>(S, 1));
  const int64_t chunks = (C + per_task - 1) / per_task;
  at::parallel_for(0, K * chunks, 1, [&](int64_t begin, int64_t end) {
    for (int64_t t = begin; t < end; ++t) {
      const int64_t k = t / chunks, c0 = (t % chunks) * per_task, c1 = std::min(C, c0 + per_task);
      const float* dk = dp + k * C * S;
      double* od = o + layout.sum_d() + k * C;
      double* odd = o + layout.sum_dd() + k * C;
      double* odp = o + layout.sum_dp() + k * C;
      double* op = o + layout.sum_p();
      // Candidate 0's tasks also sum the error, which every candidate shares.
      const auto moments = k == 0 ? column_moments<true> : column_moments<false>;
      moments(dk, pp, R, K * C * S, C * S, c0 * S, c1 * S, S, od, odd, odp, op, op + C);
    }
  });
  return out;
}

}  // namespace

at::Tensor batch_moments(const at::Tensor& d, const at::Tensor& p, int64_t node, int64_t K) {
  const int64_t C = p.size(node);
  int64_t R = 1, S = 1;
  for (int64_t i = 0; i < node; ++i) R *= p.size(i);
  for (int64_t i = node + 1; i < p.dim(); ++i) S *= p.size(i);
  if (d.device().is_cpu() && d.scalar_type() != at::kDouble && p.scalar_type() != at::kDouble) {
    return moments_cpu(d, p, R, K, C, S);
  }
  // Other devices and float64: the same sums as plain ATen reductions, accumulated in float64.
  auto wide = [](const at::Tensor& t) { return at::isReducedFloatingType(t.scalar_type()) ? t.to(at::kFloat) : t; };
  const at::Tensor d4 = wide(d).reshape({R, K, C, S});
  const at::Tensor p4 = wide(p).reshape({R, 1, C, S});
  const std::array<int64_t, 2> dims{0, 3};  // an IntArrayRef of a braced list would dangle
  const auto f64 = at::kDouble;
  return at::cat({d4.sum(dims, false, f64).flatten(), (d4 * d4).sum(dims, false, f64).flatten(),
                  (d4 * p4).sum(dims, false, f64).flatten(), p4.sum(dims, false, f64).flatten(),
                  (p4 * p4).sum(dims, false, f64).flatten()});
}

}  // namespace arbor::engine::math
