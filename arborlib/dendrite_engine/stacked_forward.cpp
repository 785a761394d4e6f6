// The candidates' forward pass for the batched step: all K candidates of a layer in one
// stacked output, the candidate index inserted just before the neuron dimension. Linear
// and convolution candidates of one shape run as a single GEMM or convolution.
#include "record_stacks.h"

#include "common/sub_layer.h"

#include <algorithm>

namespace arbor::engine {

namespace {

// ---- cutting the inputs' gradient -----------------------------------------------------

// Detached inputs: views shared by the candidates that only read them, else copies.
std::pair<py::tuple, py::dict> cut_gradient(const py::args& args, const py::kwargs& kwargs, bool killing,
                                            const std::string& layer, bool copy = false) {
  py::tuple a = killer_recursive(args, killing, copy);
  py::tuple k = killer_recursive(kwargs, killing, copy);
  if (a[1].is_none() && k[1].is_none()) {
    fail(PyExc_TypeError, "candidate_forward", layer,
         "the layer's arguments hold no tensor, so the candidates have no input to run on");
  }
  return {py::tuple(a[0]), k[0].cast<py::dict>()};
}

// ---- one GEMM or convolution for all candidates ---------------------------------------

enum class Kind { kNone, kLinear, kConv };

struct Plan {
  Kind kind = Kind::kNone;
  std::vector<int64_t> stride, padding, dilation;
  std::vector<at::Tensor> weights, biases;
};

std::vector<int64_t> ints(const py::handle& seq) {
  std::vector<int64_t> out;
  for (auto v : seq) out.push_back(v.cast<int64_t>());
  return out;
}

// Whether the candidates can run stacked, and with what; decided from the candidates alone.
Plan make_plan(const py::list& candidates) {
  Plan plan;
  const py::handle type0 = py::type::handle_of(candidates[0]);
  if (!reads_only(candidates[0], false)) return plan;
  const Kind kind = type0.is(module_named("torch.nn").attr("Linear")) ? Kind::kLinear : Kind::kConv;
  // Stacked convolutions are ungrouped and zero-padded by numbers, all with the first one's geometry.
  auto plain_conv = [](const py::handle& c) {
    return c.attr("groups").cast<int64_t>() == 1 && py::str(c.attr("padding_mode")).equal(py::str("zeros")) &&
           !py::isinstance<py::str>(c.attr("padding"));
  };
  py::object first = candidates[0];
  if (kind == Kind::kConv) {
    if (!plain_conv(first)) return plan;
    plan.stride = ints(first.attr("stride"));
    plan.padding = ints(first.attr("padding"));
    plan.dilation = ints(first.attr("dilation"));
  }
  for (auto c : candidates) {
    if (!py::type::handle_of(c).is(type0) || !reads_only(py::reinterpret_borrow<py::object>(c), false)) return plan;
    if (kind == Kind::kConv && (!plain_conv(c) || ints(c.attr("stride")) != plan.stride ||
                                ints(c.attr("padding")) != plan.padding || ints(c.attr("dilation")) != plan.dilation)) {
      return plan;
    }
    const at::Tensor w = c.attr("weight").cast<at::Tensor>();
    if (!plan.weights.empty() && w.sizes() != plan.weights[0].sizes()) return plan;
    plan.weights.push_back(w);
    py::object b = c.attr("bias");
    if (!b.is_none()) plan.biases.push_back(b.cast<at::Tensor>());
  }
  if (!plan.biases.empty() && plan.biases.size() != plan.weights.size()) return plan;
  plan.kind = kind;
  return plan;
}

// The plan is kept on the module beside the candidate list it was made for, and remade
// when that list is replaced (new candidates at every p phase).
Plan plan_for(const py::object& dendrite_module, const py::list& candidates) {
  py::object list_obj = dendrite_module.attr("candidate_module");
  py::dict own = instance_dict(dendrite_module);
  if (own.contains("_arb_forward_plan")) {
    py::tuple held = own["_arb_forward_plan"].cast<py::tuple>();
    if (held[0].ptr() == list_obj.ptr() && held[1].cast<size_t>() == candidates.size()) {
      return {static_cast<Kind>(held[2].cast<int>()), ints(held[3]), ints(held[4]), ints(held[5]),
              held[6].cast<std::vector<at::Tensor>>(), held[7].cast<std::vector<at::Tensor>>()};
    }
  }
  Plan plan = make_plan(candidates);
  own["_arb_forward_plan"] = py::make_tuple(list_obj, candidates.size(), static_cast<int>(plan.kind), plan.stride,
                                            plan.padding, plan.dilation, plan.weights, plan.biases);
  return plan;
}

// All candidates at once; undefined when the layout does not allow it.
at::Tensor run_stacked(const Plan& plan, const at::Tensor& x, int64_t node, int64_t K) {
  const at::Tensor w = at::cat(plan.weights, 0);
  const at::Tensor b = plan.biases.empty() ? at::Tensor() : at::cat(plan.biases, 0);
  if (plan.kind == Kind::kLinear) {
    if (node != x.dim() - 1) return {};
    at::Tensor y = at::linear(x, w, b);
    std::vector<int64_t> shape = y.sizes().vec();
    const int64_t C = shape.back() / K;
    shape.back() = K;
    shape.push_back(C);
    return y.view(shape);
  }
  const int64_t spatial = static_cast<int64_t>(plan.stride.size());
  if (node != 1 || (x.dim() != spatial + 2)) return {};
  at::Tensor y = at::convolution(x, w, b, plan.stride, plan.padding, plan.dilation, false,
                                 std::vector<int64_t>(spatial, 0), 1);
  std::vector<int64_t> shape = y.sizes().vec();
  shape[1] /= K;
  shape.insert(shape.begin() + 1, K);
  return y.view(shape);
}

// ---- candidates one by one (other layer types, processors) ------------------------------

// A candidate that may write into its inputs (a processor, a hook, another layer type) gets
// copies of its own, so neither the network nor the next candidate sees what it wrote.
at::Tensor run_each(const py::object& dendrite_module, const py::list& candidates, const py::args& raw_args,
                    const py::kwargs& raw_kwargs, bool killing, const py::tuple& views, const py::dict& kwarg_views,
                    int64_t node, const std::string& layer) {
  const bool processing = !py::object(dendrite_module.attr("candidate_processors")).equal(py::list());
  std::vector<at::Tensor> outs;
  for (size_t i = 0; i < candidates.size(); ++i) {
    auto [args, kwargs] = reads_only(candidates[i], processing)
                              ? std::make_pair(views, kwarg_views)
                              : cut_gradient(raw_args, raw_kwargs, killing, layer, /*copy=*/true);
    const auto [pre, post] = processors_of(dendrite_module, static_cast<int64_t>(i), processing);
    const py::object result = run_sub_layer(candidates[i], pre, post, args, kwargs, "candidate_forward", layer,
                                            "the pre_d processor of candidate " + std::to_string(i));
    if (!THPVariable_Check(result.ptr())) {
      fail(PyExc_TypeError, "candidate_forward", layer,
           "candidate " + std::to_string(i) + " returned " + type_name(result) + ", expected a tensor");
    }
    outs.push_back(THPVariable_Unpack(result.ptr()));
  }
  return at::stack(outs, node);
}

}  // namespace

py::object candidate_forward(const py::object& dendrite_module, const std::vector<int64_t>& view_tuple,
                             const py::object& dendrite_outs, const py::args& args, const py::kwargs& kwargs) {
  if (!tracker_in_p_mode() || !py::object(dendrite_module.attr("mode")).equal(py::str("p"))) return py::none();
  const std::string layer = text(dendrite_module.attr("name"));
  const auto at_node = std::find(view_tuple.begin(), view_tuple.end(), -1);
  if (at_node == view_tuple.end()) {
    fail(PyExc_ValueError, "candidate_forward", layer, "view_tuple has no neuron dimension (-1)");
  }
  const int64_t node = at_node - view_tuple.begin();
  py::list candidates(dendrite_module.attr("candidate_module"));
  const int64_t K = static_cast<int64_t>(candidates.size());
  if (K == 0) return py::none();
  const bool killing = setting_on("candidate_graph_mode");
  auto [args2, kwargs2] = cut_gradient(args, kwargs, killing, layer);

  at::Tensor stacked;
  py::object processors = dendrite_module.attr("candidate_processors");
  if (processors.equal(py::list()) && args2.size() == 1 && kwargs2.empty() && THPVariable_Check(args2[0].ptr())) {
    const Plan plan = plan_for(dendrite_module, candidates);
    if (plan.kind != Kind::kNone) stacked = run_stacked(plan, THPVariable_Unpack(args2[0].ptr()), node, K);
  }
  if (!stacked.defined()) {
    stacked = run_each(dendrite_module, candidates, args, kwargs, killing, args2, kwargs2, node, layer);
  }

  // The cascade term: each candidate also sees the installed dendrites' outputs.
  const int64_t installed = dendrite_module.attr("num_dendrites").cast<int64_t>();
  if (installed > 0) {
    const Py_ssize_t given = PySequence_Check(dendrite_outs.ptr()) ? PySequence_Size(dendrite_outs.ptr()) : -1;
    if (given < installed) {
      fail(PyExc_ValueError, "candidate_forward", layer,
           "dendrite_outs must hold the outputs of the " + std::to_string(installed) + " installed dendrites, got " +
               (given < 0 ? type_name(dendrite_outs) : std::to_string(given) + " entries"));
    }
    std::vector<at::Tensor> outs, rows;
    for (int64_t j = 0; j < installed; ++j) {
      outs.push_back(tensor_or_fail("candidate_forward", dendrite_module,
                                    "entry " + std::to_string(j) + " of dendrite_outs", dendrite_outs[py::int_(j)]));
    }
    for (auto w : py::list(dendrite_module.attr("dendrites_to_candidates"))) {
      const at::Tensor t = tensor_or_fail("candidate_forward", dendrite_module, "a dendrites_to_candidates entry", w);
      if (t.dim() != 2 || t.size(0) < installed || (!rows.empty() && t.size(1) != rows[0].size(1))) {
        fail(PyExc_ValueError, "candidate_forward", layer,
             "a dendrites_to_candidates entry " + shape_text(t.sizes()) + " does not hold one row per installed " +
                 "dendrite (" + std::to_string(installed) + ") of equal width");
      }
      rows.push_back(t.narrow(0, 0, installed));
    }
    const at::Tensor weights = at::stack(rows);  // [K, installed, C]
    std::vector<int64_t> view(stacked.dim(), 1);
    view[node] = K;
    view[node + 1] = weights.size(2);
    for (int64_t j = 0; j < installed; ++j) {
      stacked = stacked + weights.select(1, j).view(view) * (killing ? outs[j].detach() : outs[j]).unsqueeze(node);
    }
  }
  return pc().attr("get_arb_forward_function")()(stacked);
}

}  // namespace arbor::engine
