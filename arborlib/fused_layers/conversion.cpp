// Converts a trained network in place: every neuron module of the companion becomes
// one fused block (ARBLayer). The walk reaches modules in sequential containers and in
// plain attributes, guards against self references and skips configured paths.
#include "fused_layers.h"

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
  py::list view_tuple;
  for (size_t dim = 0; dim < py::len(first.attr("this_output_dimensions")); ++dim) {
    view_tuple.append(static_cast<int64_t>(dim) == node_index ? -1 : 1);
  }
  py::object sequential = py::module_::import("torch.nn").attr("Sequential");
  return module_named("arborlib.fused_layers")
      .attr("ARBLayer")(sequential(*layer_array), processor_array, pretrained_dendrite.attr("dendrites_to_top"),
                        dm.attr("dendrites_to_dendrites"), pretrained_dendrite.attr("this_node_index"),
                        dm.attr("num_cycles"), view_tuple);
}

py::object optimize_module(py::object net, int64_t depth, const std::string& name_so_far,
                           py::list converted_list) {
  py::object all_members = net.attr("__dir__")();
  py::module_ nn = py::module_::import("torch.nn");
  if (py::isinstance(net, nn.attr("Sequential")) || py::isinstance(net, nn.attr("ModuleList"))) {
    for (auto item : py::list(net.attr("named_children")())) {
      py::object submodule_id = item.cast<py::tuple>()[0];
      const std::string path = name_so_far + "[" + text(submodule_id) + "]";
      py::object child = net.attr("get_submodule")(submodule_id);
      if (is_neuron_module(child)) {
        if (extra_verbose()) say(fill("Seq sub is ARB so optimizing: %s", path));
        py::setattr(net, submodule_id, convert_to_arb_layer_block(child));
      } else if (!net.equal(child)) {
        converted_list.append(path);
        py::setattr(net, submodule_id, optimize_module(child, depth + 1, path, converted_list));
      } else if (extra_verbose()) {
        say(fill("%s is a self pointer so skipping", path));
      }
    }
    return net;
  }
  py::object module_class = nn.attr("Module");
  for (auto member_obj : all_members) {
    py::str member(member_obj);
    const std::optional<py::object> read = member_value(net, member);
    if (!read) continue;  // a property that fails to compute is not a submodule
    const py::object& value = *read;
    const std::string sub_name = name_so_far + "." + member.cast<std::string>();
    if (py::list(pc().attr("get_module_names_to_not_save")()).contains(sub_name) ||
        converted_list.contains(sub_name)) {
      if (extra_verbose()) say(fill("Skipping %s during save", sub_name));
      continue;
    }
    if (is_neuron_module(value)) {
      if (extra_verbose()) say(fill("Sub is in conversion list so initiating optimization for: %s", sub_name));
      py::setattr(net, member, convert_to_arb_layer_block(value));
    } else if (py::isinstance(value, module_class)) {
      if (!net.equal(value)) {
        converted_list.append(sub_name);
        py::setattr(net, member, optimize_module(value, depth + 1, sub_name, converted_list));
      } else if (extra_verbose()) {
        say(fill("%s is a self pointer so skipping", sub_name));
      }
    }
  }
  return net;
}

py::object blockwise_network(const py::object& net) { return optimize_module(net, 0, "", py::list()); }

}  // namespace arbor::fused
