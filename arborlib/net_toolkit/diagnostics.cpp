// Parameter counts and the gradient diagnostics of a module tree.
#include "net_toolkit.h"

#include <map>

namespace arbor::toolkit {

int64_t ab_count_params(const py::object& net) {
  py::object pairs;
  if (setting_on("count_training_params")) {
    pairs = net.attr("named_parameters")();
  } else {
    pairs = py::list(clean_net(UAR().attr("deep_copy_arb")(net)).attr("named_parameters")());
  }
  // One entry per storage address: tied weights count once; back references to an
  // enclosing module ("parent_module") are not counted.
  std::map<int64_t, int64_t> by_address;
  for (auto item : pairs) {
    py::tuple pair = item.cast<py::tuple>();
    if (pair[0].cast<std::string>().find("parent_module") != std::string::npos) continue;
    by_address[pair[1].attr("data_ptr")().cast<int64_t>()] = pair[1].attr("numel")().cast<int64_t>();
  }
  int64_t total = 0;
  for (const auto& entry : by_address) total += entry.second;
  return total;
}

bool check_requires_grad(const py::object& module) {
  for (auto p : module.attr("parameters")()) {
    if (PyObject_IsTrue(p.attr("requires_grad").ptr()) == 1) return true;
  }
  return false;
}

void debug_print_grad_modules(const py::object& net, int64_t depth, const std::string& name_so_far) {
  say(name_so_far + ": has req grads: " + (check_requires_grad(net) ? "1" : "0"));
  py::object all_members = net.attr("__dir__")();
  py::module_ nn = py::module_::import("torch.nn");
  if (py::isinstance(net, nn.attr("Sequential")) || py::isinstance(net, nn.attr("ModuleList"))) {
    for (auto item : py::list(net.attr("named_children")())) {
      py::object submodule_id = item.cast<py::tuple>()[0];
      py::object child = net.attr("get_submodule")(submodule_id);
      if (!child.equal(net)) debug_print_grad_modules(child, depth + 1, name_so_far + "." + text(submodule_id));
    }
    return;
  }
  py::object module_class = nn.attr("Module");
  for (auto member : all_members) {
    const std::optional<py::object> value = member_value(net, member);
    if (!value) continue;
    if (py::isinstance(*value, module_class) && !value->equal(net)) {
      debug_print_grad_modules(*value, depth + 1, name_so_far + "." + text(member));
    }
  }
}

}  // namespace arbor::toolkit
