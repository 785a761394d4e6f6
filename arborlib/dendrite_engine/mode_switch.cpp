// Parameter roles and the operations the companion calls around the switches between
// n mode (neurons learn) and p mode (neurons frozen, candidates learn).
#include "dendrite_engine.h"

namespace arbor::engine {

void set_parameters(const py::object& module, const std::string& parameter_type) {
  for (auto item : module.attr("named_parameters")()) {
    item.cast<py::tuple>()[1].attr("parameter_type") = parameter_type;
  }
}

void set_main_parameters(const py::object& module) {
  py::object parameter_class = py::module_::import("torch.nn").attr("Parameter");
  for (auto name_obj : py::module_::import("builtins").attr("dir")(module)) {
    const std::string name = name_obj.cast<std::string>();
    if (name.rfind("__", 0) == 0) continue;
    py::object value;
    try {
      value = module.attr(name.c_str());
    } catch (py::error_already_set& e) {
      let_interrupts_through(e);  // only ordinary errors are skipped
      continue;
    }
    if (py::isinstance(value, parameter_class)) value.attr("parameter_type") = "neuron";
  }
}

void set_module_n_ab(const py::object& /*neuron_module*/) {}

void set_module_p_ab(const py::object& neuron_module) {
  py::object config = neuron_module.attr("module_config");
  if (!truth(config.attr("get_learn_dendrites_live")())) return;
  py::module_ torch = py::module_::import("torch");
  py::object zeros = torch.attr("zeros")(py::make_tuple(1, neuron_module.attr("out_channels")),
                                         py::arg("device") = config.attr("get_device")(),
                                         py::arg("dtype") = config.attr("get_d_type")());
  neuron_module.attr("candidate_to_top") =
      torch.attr("nn").attr("Parameter")(zeros.attr("detach")().attr("clone")(), py::arg("requires_grad") = true);
  neuron_module.attr("register_parameter")("current_candidate_to_top", neuron_module.attr("candidate_to_top"));
  neuron_module.attr("current_candidate_to_top").attr("parameter_type") = "candidate";
}

void load_tagger_values(const py::object& neuron_module) {
  neuron_module.attr("dendrite_module").attr("load_tagger_values")();
}

void init_candidates(const py::object& dendrite_module, int64_t j) {
  py::object weight = dendrite_module.attr("dendrites_to_candidates")[py::int_(j)];
  // `.data` is a fresh tensor object on every access, so a mark set there would be lost
  // at once; the weight itself carries it.
  weight.attr("arb_wrapped") = true;
  if (truth(dendrite_module.attr("random_arb_to_candidates"))) {
    c10::NoGradGuard no_grad;
    const py::object out_channels = dendrite_module.attr("out_channels");
    double channels = 0;
    try {
      channels = py::float_(out_channels);
    } catch (py::error_already_set& e) {
      fail_from(e, PyExc_TypeError, "init_candidates", dendrite_module, "out_channels must be a number");
    }
    if (channels == 0) {
      fail(PyExc_ZeroDivisionError, "init_candidates", dendrite_module,
           "out_channels is 0, no standard deviation to draw with");
    }
    const std::string what = "dendrites_to_candidates[" + std::to_string(j) + "]";
    tensor_or_fail("init_candidates", dendrite_module, what, weight).normal_(0, std::sqrt(2.0 / channels));
  }
}

void set_ab_mode(const py::object& dendrite_module, const std::string& mode) {
  if (mode != "n") return;
  if (setting_on("verbose")) say("so calling all the things to add to layers");
  const long n = global_candidates();
  for (long i = 0; i < n; ++i) {
    py::object values = dendrite_module.attr("dendrite_values")[py::int_(i)];
    tensor_member("set_ab_mode", values, "locked").narrow(0, 0, 1).fill_(1);
  }
}

void reinitialize_for_ab(const py::object& dendrite_module) {
  const py::object non_live = module_named("arborlib.dendrite_engine").attr("NON_LIVE_SKIP_VALUES");
  for (auto name_obj : MAR().attr("get_DENDRITE_REINIT_VALUES")()) {
    if (non_live.contains(name_obj) && !setting_on("learn_dendrites_live")) continue;
    const std::string name = name_obj.cast<std::string>();
    // Rebound to a new zero tensor, not zeroed in place.
    dendrite_module.attr(name.c_str()) = py::object(dendrite_module.attr(name.c_str())) * py::int_(0);
  }
  auto hand_over = [&](const char* to, const char* from) {
    at::Tensor target = tensor_member("reinitialize_for_ab", dendrite_module, to);
    target.copy_(tensor_member("reinitialize_for_ab", dendrite_module, from).detach().clone());
    target.set_requires_grad(false);
  };
  if (setting_on("doing_thing")) hand_over("parent_max_mean_act", "normal_pass_max_mean_act");
  hand_over("parents_average_d_vector", "normal_pass_average_d");
}

}  // namespace arbor::engine
