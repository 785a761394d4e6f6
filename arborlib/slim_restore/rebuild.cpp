// Replaces every fused block (found by its class name "ARBLayer") anywhere in a module
// tree by its inference wrapper. The walk (common/module_walk.h) enters each module
// once; configured paths and tracked classes are skipped.
#include "slim_restore.h"

#include "common/module_walk.h"

namespace arbor::slim {

namespace {

bool extra_verbose() { return setting_on("extra_verbose"); }

bool is_fused_block(const py::handle& obj) {
  return py::type::of(obj).attr("__name__").cast<std::string>() == "ARBLayer";
}

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

namespace {

// Fused blocks become wrappers, after their own members were walked. Paths are "[child]" in
// a sequential container (or list) and ".member" elsewhere.
struct Rebuild {
  ModuleWalk walk;
  py::list converted_list;

  py::object module(const py::object& net, int64_t depth, const std::string& name_so_far) {
    return walk.once(net, [&]() -> py::object {
      if (extra_verbose()) {
        say("SR calling convert on " + text(net) + " depth " + std::to_string(depth));
        say("SR calling convert on " + name_so_far + ": " + type_name(net) + ", depth " +
            std::to_string(depth));
      }
      if (py::type::of(net).is(self_module().attr("ModuleType"))) {
        if (extra_verbose()) {
          say("this is only being called because something in your model is pointed to twice by two different "
              "variables.  Highest thing on the list is one of the duplicates");
        }
        return net;
      }
      if (is_module_sequence(net) || PyList_Check(net.ptr())) {
        for_each_child(net, [&](const py::object& id, const py::object& child) {
          const std::string path = name_so_far + "[" + text(id) + "]";
          if (!child.is(net)) converted_list.append(path);
          slot(net, id, child, depth, path);
        });
      } else if (py::list(pc().attr("get_modules_to_track")()).contains(py::type::of(net))) {
        return net;
      } else {
        py::object module_class = module_named("torch.nn").attr("Module");
        for_each_member(net, [&](const py::str& member, const py::object& value) {
          const std::string name = member.cast<std::string>();
          const std::string sub_name = name_so_far + "." + name;
          if (name == "device" || name == "dtype") return;
          if (py::list(pc().attr("get_module_names_to_not_save")()).contains(sub_name)) return;
          if (name_so_far.empty() && converted_list.contains(sub_name)) {
            if (extra_verbose()) say(fill("Skipping %s during save", sub_name));
            return;
          }
          if (py::isinstance(value, module_class) || name == "layer_array") {
            converted_list.append(sub_name);
            slot(net, member, value, depth, sub_name);
          } else if (is_fused_block(value)) {
            replace_slot(net, member, value, wrapped(value));
          }
        });
      }
      return is_fused_block(net) ? make_module(net) : net;
    });
  }

  // A block left as it is by its own visit (a tracked class) is wrapped here; an ancestor
  // reached again is left alone, so a back reference stays what it was.
  py::object wrapped(const py::object& block) { return walk.active(block) ? block : make_module(block); }

  void slot(const py::object& net, const py::handle& key, const py::object& value, int64_t depth,
            const std::string& path) {
    py::object now = value.is(net) ? value : module(value, depth + 1, path);
    if (is_fused_block(now)) now = wrapped(now);
    replace_slot(net, key, value, now);
  }
};

}  // namespace

py::object refresh_arb(py::object net, int64_t depth, const std::string& name_so_far, py::list converted_list) {
  Rebuild rebuild{ModuleWalk(), converted_list};
  return rebuild.module(net, depth, name_so_far);
}

py::object refresh_net(const py::object& pretrained_dendrite) {
  return refresh_arb(pretrained_dendrite, 0, "", py::list());
}

}  // namespace arbor::slim
