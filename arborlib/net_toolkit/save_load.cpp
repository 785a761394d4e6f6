// Saving a cleaned copy of a network as a checkpoint, and loading one back.
#include "net_toolkit.h"

#include <functional>

namespace arbor::toolkit {

namespace {

py::object blockwise_network(const py::object& net) {
  return module_named("arborlib.fused_layers").attr("blockwise_network")(net);
}
py::object refresh_net(const py::object& net) { return module_named("arborlib.slim_restore").attr("refresh_net")(net); }

void filters_changed() {
  py::module_ warnings = module_named("warnings");
  if (py::hasattr(warnings, "_filters_mutated")) warnings.attr("_filters_mutated")();
}

// Writes through `write(temporary_path)` beside `path`, then moves the file into place:
// a save that fails midway leaves an earlier checkpoint at `path` intact.
void write_atomically(const std::string& path, const std::function<void(const std::string&)>& write) {
  py::module_ os = module_named("os");
  // Created by the writer itself, so the file gets the usual permissions.
  const std::string temporary = path + ".partial." + text(os.attr("getpid")());
  try {
    write(temporary);
    os.attr("replace")(temporary, path);
  } catch (...) {
    py::error_scope keep;  // the original error stays the one raised
    try {
      os.attr("remove")(temporary);
    } catch (py::error_already_set&) {
    }
    throw;
  }
}

// Checks a state dict against the network before anything is copied, so a wrong file
// is reported with its name instead of being half loaded.
void check_matches(const py::object& net, const py::dict& loaded, const std::string& path) {
  py::dict expected = net.attr("state_dict")();
  std::string missing, unexpected, shapes;
  for (auto item : expected) {
    if (!loaded.contains(item.first)) {
      missing += (missing.empty() ? "" : ", ") + text(item.first);
      continue;
    }
    const at::Tensor want = item.second.cast<at::Tensor>();
    const at::Tensor got = loaded[item.first].cast<at::Tensor>();
    if (want.sizes() != got.sizes()) {
      shapes += (shapes.empty() ? "" : ", ") + text(item.first) + " " + text(loaded[item.first].attr("shape")) +
                " in the file, " + text(item.second.attr("shape")) + " in the network";
    }
  }
  for (auto item : loaded) {
    if (!expected.contains(item.first)) unexpected += (unexpected.empty() ? "" : ", ") + text(item.first);
  }
  if (missing.empty() && unexpected.empty() && shapes.empty()) return;
  std::string message = "load_net: " + path + " does not match the network:";
  if (!missing.empty()) message += " missing keys [" + missing + "];";
  if (!unexpected.empty()) message += " unexpected keys [" + unexpected + "];";
  if (!shapes.empty()) message += " shape mismatches [" + shapes + "];";
  throw py::value_error(message);
}

[[noreturn]] void unreadable(py::error_already_set& e, const std::string& path, const char* form) {
  py::raise_from(e, PyExc_ValueError, ("load_net: cannot read " + path + " as " + form).c_str());
  throw py::error_already_set();
}

}  // namespace

void add_future_warning() {
  py::list filters = module_named("warnings").attr("filters");
  filters.insert(0, py::make_tuple("ignore", py::none(), py::module_::import("builtins").attr("Warning"),
                                   py::none(), 0));
  filters_changed();
}

void remove_future_warning() {
  py::list filters = module_named("warnings").attr("filters");
  if (filters.empty()) throw py::index_error("remove_future_warning: the warnings filter list is empty");
  PySequence_DelItem(filters.ptr(), 0);
  filters_changed();
}

py::object clean_net(const py::object& net) {
  return refresh_net(UAR().attr("deep_copy_arb")(blockwise_network(net)));
}

void ab_save_net(const py::object& net_in, const std::string& folder, const std::string& name) {
  py::module_ os = module_named("os");
  py::object rank = os.attr("environ").attr("get")("RANK");
  if (!rank.is_none() && py::int_(rank).cast<long>() != 0) return;  // only rank 0 writes
  // Processes started without RANK (torch.multiprocessing.spawn) still share one file.
  py::module_ dist = module_named("torch.distributed");
  if (dist.attr("is_available")().cast<bool>() && dist.attr("is_initialized")().cast<bool>() &&
      dist.attr("get_rank")().cast<long>() != 0) {
    return;
  }
  py::object net = UAR().attr("deep_copy_arb")(net_in);
  if (!os.attr("path").attr("isdir")(folder).cast<bool>()) os.attr("makedirs")(folder);
  net = blockwise_network(net);
  net = UAR().attr("deep_copy_arb")(net);
  net = refresh_net(net);
  if (py::hasattr(net, "tracker_string")) py::delattr(net, "tracker_string");
  for (auto p : net.attr("parameters")()) p.attr("data") = p.attr("data").attr("contiguous")();
  const std::string path = folder + "/" + name + "_arb.pt";

  auto tied_save = [&](const std::string& target) { UAR().attr("save_model_with_weight_tying")(net, target); };
  if (setting_on("using_safe_tensors")) {
    if (setting_on("weight_tying_experimental")) {
      write_atomically(path, tied_save);
      return;
    }
    try {
      write_atomically(path, [&](const std::string& target) {
        py::module_::import("safetensors.torch").attr("save_file")(net.attr("state_dict")(), target);
      });
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_RuntimeError) || text(e.value()).find("Some tensors share memory") == std::string::npos) {
        throw;
      }
      say("Detected shared-memory tensors while saving _arb checkpoint; falling back to weight-tying-aware save.");
      write_atomically(path, tied_save);
    }
    return;
  }
  write_atomically(path,
                   [&](const std::string& target) { py::module_::import("torch").attr("save")(net, target); });
}

py::object load_net(const py::object& net, const std::string& folder, const std::string& name) {
  const std::string path = folder + "/" + name + ".pt";
  if (!module_named("os").attr("path").attr("isfile")(path).cast<bool>()) {
    PyErr_SetString(PyExc_FileNotFoundError, ("load_net: no checkpoint at " + path).c_str());
    throw py::error_already_set();
  }
  py::object state_dict;
  if (setting_on("using_safe_tensors")) {
    if (setting_on("weight_tying_experimental")) {
      try {
        return UAR().attr("load_model_with_weight_tying")(net, path);
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        unreadable(e, path, "a weight-tying checkpoint");
      }
    }
    try {
      py::module_ safetensors = py::module_::import("safetensors");
      py::object handle = safetensors.attr("safe_open")(path, py::arg("framework") = "pt");
      py::object opened = handle.attr("__enter__")();
      py::object metadata = opened.attr("metadata")();
      handle.attr("__exit__")(py::none(), py::none(), py::none());
      if (!metadata.is_none() && PyObject_IsTrue(metadata.ptr()) == 1 && metadata.contains("weight_tying")) {
        return UAR().attr("load_model_with_weight_tying")(net, path);
      }
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;  // the plain state-dict path below reports the file
    }
    try {
      state_dict = py::module_::import("safetensors.torch").attr("load_file")(path);
    } catch (py::error_already_set& e) {
      unreadable(e, path, "a safetensors checkpoint");
    }
  } else {
    py::module_ torch = py::module_::import("torch");
    py::object cpu = torch.attr("device")("cpu");
    // The ignore-all entry must not outlive the load, whatever happens.
    py::list filters = module_named("warnings").attr("filters");
    py::list saved(filters.attr("copy")());
    add_future_warning();
    try {
      try {
        state_dict = torch.attr("load")(path, py::arg("map_location") = cpu, py::arg("weights_only") = false)
                         .attr("state_dict")();
      } catch (py::error_already_set&) {
        // torch versions without weights_only
        state_dict = torch.attr("load")(path, py::arg("map_location") = cpu).attr("state_dict")();
      }
    } catch (py::error_already_set& e) {
      filters.attr("__setitem__")(py::slice(0, py::len(filters), 1), saved);
      filters_changed();
      unreadable(e, path, "a whole-module checkpoint");
    }
    filters.attr("__setitem__")(py::slice(0, py::len(filters), 1), saved);
    filters_changed();
  }
  check_matches(net, state_dict, path);
  return UAR().attr("load_net_from_dict")(net, state_dict);
}

}  // namespace arbor::toolkit
