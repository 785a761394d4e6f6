// The table of global settings: names, types and defaults. It holds no functions;
// the companion's configuration object presents each value through get_/set_.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace py = pybind11;

namespace {

struct Setting {
  const char* name;
  py::object (*make_default)();
};

template <bool V> py::object b() { return py::bool_(V); }
template <long V> py::object i() { return py::int_(V); }
py::object f0() { return py::float_(0.0); }
py::object f_threshold() { return py::float_(0.1); }
py::object f_threshold_raw() { return py::float_(1e-4); }

// Definition order: the order in which the values appear on the module.
const std::vector<Setting>& defaults() {
  static const std::vector<Setting> table = {
      {"debugging_memory_leak", b<true>},
      {"debugging_backwards_nan", b<true>},
      {"count_training_params", b<false>},
      {"no_backward_workaround", b<false>},
      {"dpp_verbose", b<false>},
      {"variable_p", i<142>},
      {"correlations_by_mean", b<true>},
      {"normalized_covariance", b<true>},
      {"grad_sum_first", b<true>},
      {"default_random_arb_to_candidates", b<false>},
      {"candidate_grad_clipping", f0},
      {"arb_improvement_threshold", f_threshold},
      {"arb_improvement_threshold_raw", f_threshold_raw},
      {"doing_mean_best", i<0>},
      {"p_epochs_to_switch", i<2>},
      {"cap_at_n", b<false>},
      {"graphing_current_scores", b<false>},
      {"doing_thing", i<0>},
      {"learn_dendrites_live", b<false>},
      {"no_extra_n_modes", b<false>},
      {"initial_correlation_batches", i<100>},
      {"running_average_ab", b<true>},
      {"candidate_graph_mode", b<true>},
      {"dendrite_graph_mode", b<true>},
      {"dendrite_learn_mode", b<true>},
      {"dendrite_update_mode", b<true>},
  };
  return table;
}

// _TYPES is keyed by type group (bools, then ints, then floats), not by definition order.
const char* const kBoolNames[] = {
    "debugging_memory_leak", "debugging_backwards_nan", "count_training_params",
    "no_backward_workaround", "correlations_by_mean", "normalized_covariance",
    "grad_sum_first", "default_random_arb_to_candidates", "cap_at_n",
    "graphing_current_scores", "learn_dendrites_live", "no_extra_n_modes",
    "running_average_ab", "candidate_graph_mode", "dendrite_graph_mode",
    "dendrite_learn_mode", "dendrite_update_mode", "dpp_verbose"};
const char* const kIntNames[] = {"variable_p", "doing_mean_best", "p_epochs_to_switch",
                                 "doing_thing", "initial_correlation_batches"};
const char* const kFloatNames[] = {"candidate_grad_clipping", "arb_improvement_threshold",
                                   "arb_improvement_threshold_raw"};

}  // namespace

PYBIND11_MODULE(TORCH_EXTENSION_NAME, m) {
  m.doc() = "Global settings of arborlib: 26 typed defaults and the type map _TYPES.";
  for (const auto& s : defaults()) m.attr(s.name) = s.make_default();

  py::dict types;
  auto builtins = py::module_::import("builtins");
  auto add_group = [&](const auto& names, const char* type_name) {
    py::object type = builtins.attr(type_name);
    for (const char* n : names) types[n] = type;
  };
  add_group(kBoolNames, "bool");
  add_group(kIntNames, "int");
  add_group(kFloatNames, "float");
  m.attr("_TYPES") = types;
}
