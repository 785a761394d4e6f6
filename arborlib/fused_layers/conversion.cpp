// Converts a trained network in place: every neuron module of the companion becomes
// one fused block (ARBLayer). The walk (common/module_walk.h) enters each module once;
// configured paths are skipped.
#include "fused_layers.h"

#include "common/module_walk.h"

#include <algorithm>

namespace arbor::fused {

namespace {

bool extra_verbose() { return setting_on("extra_verbose"); }

// Exact class test: a subclass of the companion's neuron module is walked, not converted.
bool is_neuron_module(const py::handle& obj) {
  return py::type::of(obj).is(module_named("arborai.modules_arborai").attr("ARBNeuronModule"));
}

}  // namespace

py::object get_pretrained_arb_attr(const py::object& pretrained_dendrite, const py::object& member) {
  if (pretrained_dendrite.is_none()) return py::none();
  return py::getattr(pretrained_dendrite, member);
}

py::object get_pretrained_arb_var(const py::object& pretrained_dendrite, const py::object& submodule_id) {
  if (pretrained_dendrite.is_none()) return py::none();
  return pretrained_dendrite[submodule_id];
}

void unWrap_params(const py::object& model) {
  for (auto p : model.attr("parameters")()) {
    if (py::list(p.attr("__dir__")()).contains("wrapped")) py::delattr(p, "wrapped");
  }
}

py::object convert_to_arb_layer_block(const py::object& pretrained_dendrite) {
  unWrap_params(pretrained_dendrite);
  py::object dm = pretrained_dendrite.attr("dendrite_module");
  py::list layer_array, processor_array;
  py::object layers = dm.attr("layers");
  py::object processors = dm.attr("processors");
  const bool no_processors = processors.equal(py::list());
  for (size_t layer_id = 0; layer_id < py::len(layers); ++layer_id) {
    layer_array.append(layers[py::int_(layer_id)]);
    if (no_processors) {
      processor_array.append(py::none());
      continue;
    }
    py::object proc = processors[py::int_(layer_id)];
    if (!proc.is_none()) {
      proc.attr("pre") = proc.attr("pre_d");
      proc.attr("post") = proc.attr("post_d");
    }
    processor_array.append(proc);
  }
  layer_array.append(pretrained_dendrite.attr("main_module"));
  py::object proc = pretrained_dendrite.attr("processor");
  if (!proc.is_none()) {
    proc.attr("pre") = proc.attr("post_n1");
    proc.attr("post") = proc.attr("post_n2");
  }
  processor_array.append(proc);

  py::object first = dm.attr("dendrite_values")[py::int_(0)];
  const int64_t node_index = py::int_(first.attr("this_node_index")).cast<int64_t>();
  // The records describe the last output seen ([N, T, F] after a sequence batch). The block
  // keeps only the neuron dimension's distance from the end, which the rank of the input does
  // not change, and one leading dimension: the saved view_tuple is then the same whatever
  // inputs the network saw, and a checkpoint loads into a freshly wrapped network.
  const int64_t rank = py::len(first.attr("this_output_dimensions"));
  py::list view_tuple;
  for (int64_t dim = std::max<int64_t>(0, node_index - 1); dim < rank; ++dim) {
    view_tuple.append(dim == node_index ? -1 : 1);
  }
  py::object sequential = py::module_::import("torch.nn").attr("Sequential");
  return module_named("arborlib.fused_layers")
      .attr("ARBLayer")(sequential(*layer_array), processor_array, pretrained_dendrite.attr("dendrites_to_top"),
                        dm.attr("dendrites_to_dendrites"), pretrained_dendrite.attr("this_node_index"),
                        dm.attr("num_cycles"), view_tuple);
}

namespace {

// Neuron modules become fused blocks; other modules are walked. Paths are "[child]" in a
// sequential container and ".member" elsewhere.
struct Conversion {
  ModuleWalk walk;
  py::list converted_list;

  py::object neuron(const py::object& module) {
    return walk.once(module, [&] { return convert_to_arb_layer_block(module); });
  }

  py::object module(const py::object& net, const std::string& name_so_far) {
    return walk.once(net, [&] {
      if (is_module_sequence(net)) {
        for_each_child(net, [&](const py::object& id, const py::object& child) {
          slot(net, id, child, name_so_far + "[" + text(id) + "]", true);
        });
      } else {
        py::object module_class = module_named("torch.nn").attr("Module");
        for_each_member(net, [&](const py::str& member, const py::object& value) {
          const std::string sub_name = name_so_far + "." + member.cast<std::string>();
          if (py::list(pc().attr("get_module_names_to_not_save")()).contains(sub_name) ||
              converted_list.contains(sub_name)) {
            if (extra_verbose()) say(fill("Skipping %s during save", sub_name));
          } else if (is_neuron_module(value) || py::isinstance(value, module_class)) {
            slot(net, member, value, sub_name, false);
          }
        });
      }
      return net;
    });
  }

  void slot(const py::object& net, const py::handle& key, const py::object& value, const std::string& path,
            bool in_sequence) {
    if (is_neuron_module(value)) {
      if (extra_verbose()) {
        say(fill(in_sequence ? "Seq sub is ARB so optimizing: %s"
                             : "Sub is in conversion list so initiating optimization for: %s", path));
      }
      replace_slot(net, key, value, neuron(value));
    } else if (value.is(net)) {
      if (extra_verbose()) say(fill("%s is a self pointer so skipping", path));
    } else {
      converted_list.append(path);
      replace_slot(net, key, value, module(value, path));
    }
  }
};

}  // namespace

py::object optimize_module(py::object net, int64_t /*depth*/, const std::string& name_so_far,
                           py::list converted_list) {
  Conversion conversion{ModuleWalk(), converted_list};
  return conversion.module(net, name_so_far);
}

py::object blockwise_network(const py::object& net) { return optimize_module(net, 0, "", py::list()); }

}  // namespace arbor::fused
