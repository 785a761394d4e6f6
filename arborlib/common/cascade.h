// The dendrite cascade shared by the fused block and its threaded wrapper: with the
// layer results r_0 .. r_{n-1} (dendrites first, the main layer last), position k gets
// r_k + sum_{j<k} w(k, j) * out_j, and every dendrite position is passed through the
// activation f. w(k, j) is a per-neuron row, viewed so that it broadcasts along the
// neuron dimension of the output.
#pragma once

#include <ATen/ATen.h>

#include <functional>
#include <vector>

namespace arbor {

// `row(k, j)` returns the weight row for contribution j -> k; `view` shapes it.
inline at::Tensor combine_cascade(std::vector<at::Tensor>& outs,
                                  const std::function<at::Tensor(int64_t, int64_t)>& row,
                                  at::IntArrayRef view,
                                  const std::function<at::Tensor(const at::Tensor&)>& activation) {
  const int64_t n = static_cast<int64_t>(outs.size());
  at::Tensor current;
  for (int64_t k = 0; k < n; ++k) {
    current = outs[k];
    if (n > 1) {
      for (int64_t j = 0; j < k; ++j) {
        current = current + row(k, j).view(view).to(current.device()) * outs[j];
      }
      if (k < n - 1) current = activation(current);
    }
    outs[k] = current;
  }
  return current;
}

}  // namespace arbor
