// Parameter counts and the gradient diagnostics of a module tree.
#include "net_toolkit.h"

#include "common/module_walk.h"

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
    if (truth(p.attr("requires_grad"))) return true;
  }
  return false;
}

namespace {

void print_grad_modules(ModuleWalk& walk, const py::object& net, const std::string& name_so_far) {
  walk.once(net, [&] {
    say(name_so_far + ": has req grads: " + (check_requires_grad(net) ? "1" : "0"));
    if (is_module_sequence(net)) {
      for_each_child(net, [&](const py::object& id, const py::object& child) {
        print_grad_modules(walk, child, name_so_far + "." + text(id));
      });
    } else {
      py::object module_class = module_named("torch.nn").attr("Module");
      for_each_member(net, [&](const py::str& member, const py::object& value) {
        if (py::isinstance(value, module_class)) {
          print_grad_modules(walk, value, name_so_far + "." + text(member));
        }
      });
    }
    return net;
  });
}

}  // namespace

// One line per module, at the first path that reaches it (the walk enters each module once).
void debug_print_grad_modules(const py::object& net, int64_t /*depth*/, const std::string& name_so_far) {
  ModuleWalk walk;
  print_grad_modules(walk, net, name_so_far);
}

}  // namespace arbor::toolkit
