// Replaces every fused block (found by its class name "ARBLayer") anywhere in a module
// tree by its inference wrapper. The walk reaches sequential containers and plain
// attributes, guards against self references, and skips configured paths.
#include "slim_restore.h"

namespace arbor::slim {

namespace {

bool extra_verbose() { return setting_on("extra_verbose"); }

bool is_fused_block(const py::handle& obj) {
  return py::type::of(obj).attr("__name__").cast<std::string>() == "ARBLayer";
}

std::string type_name(const py::handle& obj) { return py::type::of(obj).attr("__name__").cast<std::string>(); }

}  // namespace

py::object make_module(const py::object& module) { return self_module().attr("ModuleType")(module); }

py::object get_pretrained_arb_attr(const py::object& pretrained_dendrite, const py::object& member) {
  if (pretrained_dendrite.is_none()) return py::none();
  return py::getattr(pretrained_dendrite, member);
}

py::object get_pretrained_arb_var(const py::object& pretrained_dendrite, const py::object& submodule_id) {
  if (pretrained_dendrite.is_none()) return py::none();
  return pretrained_dendrite.attr("get_submodule")(submodule_id);
}

py::object refresh_arb(py::object net, int64_t depth, const std::string& name_so_far, py::list converted_list) {
  if (extra_verbose()) {
    say("SR calling convert on " + text(net) + " depth " + std::to_string(depth));
    say("SR calling convert on " + name_so_far + ": " + type_name(net) + ", depth " + std::to_string(depth));
  }
  if (py::type::of(net).is(self_module().attr("ModuleType"))) {
    if (extra_verbose()) {
      say("this is only being called because something in your model is pointed to twice by two different "
          "variables.  Highest thing on the list is one of the duplicates");
    }
    return net;
  }
  py::object all_members = net.attr("__dir__")();
  py::module_ nn = py::module_::import("torch.nn");
  if (py::isinstance(net, nn.attr("Sequential")) || py::isinstance(net, nn.attr("ModuleList")) ||
      PyList_Check(net.ptr())) {
    for (auto item : py::list(net.attr("named_children")())) {
      py::object submodule_id = item.cast<py::tuple>()[0];
      const std::string path = name_so_far + "[" + text(submodule_id) + "]";
      py::object child = net.attr("get_submodule")(submodule_id);
      if (!child.equal(net)) {
        converted_list.append(path);
        py::setattr(net, submodule_id, refresh_arb(child, depth + 1, path, converted_list));
      }
      if (is_fused_block(net.attr("get_submodule")(submodule_id))) {
        py::setattr(net, submodule_id, make_module(get_pretrained_arb_var(net, submodule_id)));
      }
    }
  } else {
    if (py::list(pc().attr("get_modules_to_track")()).contains(py::type::of(net))) return net;
    py::object module_class = nn.attr("Module");
    for (auto member_obj : all_members) {
      py::str member(member_obj);
      const std::optional<py::object> read = member_value(net, member);
      if (!read) continue;
      const py::object& value = *read;
      const std::string name = member.cast<std::string>();
      const std::string sub_name = name_so_far + "." + name;
      if (name == "device" || name == "dtype") continue;
      if (py::list(pc().attr("get_module_names_to_not_save")()).contains(sub_name)) continue;
      if (name_so_far.empty() && converted_list.contains(sub_name)) {
        if (extra_verbose()) say(fill("Skipping %s during save", sub_name));
        continue;
      }
      if (py::isinstance(value, module_class) || name == "layer_array") {
        converted_list.append(sub_name);
        if (!net.equal(value)) {
          py::setattr(net, member, refresh_arb(py::getattr(net, member), depth + 1, sub_name, converted_list));
        }
      }
      if (is_fused_block(py::getattr(net, member, py::none()))) {
        py::setattr(net, member, make_module(get_pretrained_arb_attr(net, member)));
      }
    }
  }
  if (is_fused_block(net)) net = make_module(net);
  return net;
}

py::object refresh_net(const py::object& pretrained_dendrite) {
  return refresh_arb(pretrained_dendrite, 0, "", py::list());
}

}  // namespace arbor::slim
