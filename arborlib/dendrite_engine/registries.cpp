// Names this engine needs on every value record, the engine's own name lists,
// and the shape triple used by every per-neuron statistic.
#include "dendrite_engine.h"

namespace arbor::engine {

namespace {

// A new list: the companion's names followed by ours; the given list is left alone.
py::list extended(const py::iterable& given, std::initializer_list<const char*> ours) {
  py::list out;
  for (auto name : given) out.append(name);
  for (const char* name : ours) out.append(name);
  return out;
}

}  // namespace

py::list update_dendrite_tensor_values(const py::iterable& names) {
  return extended(names, {"prev_dendrite_candidate_correlation", "covariance_for_parallel", "best_score",
                          "previous_best_score", "prev_dendrite_candidate_average", "main_grad_average_for_scaling",
                          "candidate_grad_average_for_scaling", "indexes_of_best", "nodes_best_improved_this_epoch",
                          "nodes_improved_any", "parents_average_d_vector", "normal_pass_average_d",
                          "epoch_start_best_score", "prev_dendrite_candidate_pearson", "best_pearson_correlation"});
}

py::list update_dendrite_single_values(const py::iterable& names) {
  return extended(names, {"breaking", "locked", "best_score_improved_this_epoch", "running_scalar"});
}

py::list update_value_tracker_arrays(const py::iterable& names) {
  return extended(names, {"current_parent_d"});
}

void create_extra_tensors(const py::object& dendrite_module) {
  dendrite_module.attr("current_recurrent_pass_tensors") = py::list();
  dendrite_module.attr("current_recurrent_pass_candidate_tensors") = py::list();
  dendrite_module.attr("normal_learning_taggers") = py::dict();
  dendrite_module.attr("random_arb_to_candidates") = setting("default_random_arb_to_candidates");
}

ShapeTriple tuples_and_mult(const at::Tensor& val, int64_t node_index) {
  ShapeTriple t{{}, {}, 1};
  for (int64_t i = 0; i < val.dim(); ++i) {
    if (i == node_index) {
      t.view_tuple.push_back(-1);
    } else {
      t.full_mult *= val.size(i);
      t.math_tuple.push_back(i);
      t.view_tuple.push_back(1);
    }
  }
  return t;
}

int64_t node_index(const py::object& owner, const char* function) {
  const py::object index = owner.attr("this_node_index");
  if (THPVariable_Check(index.ptr())) {
    // A CPU buffer is read through its data pointer: no dispatched op, no host read.
    const at::Tensor t = THPVariable_Unpack(index.ptr());
    if (t.device().is_cpu() && t.numel() == 1 && t.scalar_type() == at::kLong) return *t.data_ptr<int64_t>();
  }
  try {
    return py::int_(index).cast<int64_t>();
  } catch (py::error_already_set& e) {
    fail_from(e, PyExc_TypeError, function, owner, "this_node_index must be an integer");
  }
}

py::tuple get_tuples_and_mult(const at::Tensor& val, const py::object& values) {
  ShapeTriple t = tuples_and_mult(val, node_index(values, "get_tuples_and_mult"));
  return py::make_tuple(py::cast(t.math_tuple), py::cast(t.view_tuple), t.full_mult);
}

void init_name_lists(py::module_& m) {
  py::list non_live;
  non_live.append("normal_pass_average_d");
  // Read once, at import: later changes of doing_thing do not touch these lists.
  if (setting_on("doing_thing")) {
    m.attr("DENDRITE_SINGLE_VALUES") =
        extended(MAR().attr("get_DENDRITE_SINGLE_VALUES")(), {"normal_pass_max_mean_act", "parent_max_mean_act"});
    non_live.append("normal_pass_max_mean_act");
  }
  m.attr("NON_LIVE_SKIP_VALUES") = non_live;
}

}  // namespace arbor::engine
