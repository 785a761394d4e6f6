// Saving a cleaned copy of a network as a checkpoint, and loading one back.
#include "net_toolkit.h"

#include "common/errors.h"

#include <cstdio>
#include <functional>
#include <optional>

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

// Name of the file a save writes before moving it into place: beside `path` (so the move
// stays within one file system), and, like any name in a folder, at most 255 bytes long.
std::string temporary_path(const std::string& path, const std::string& unique) {
  constexpr size_t kNameMax = 255;
  const std::string suffix = ".partial." + unique;
  const size_t start = path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1;
  const std::string base = path.substr(start);
  if (base.size() + suffix.size() <= kNameMax) return path + suffix;
  // A prefix plus a hash of the whole name, so two long names never share a temporary file.
  char hash[18];
  std::snprintf(hash, sizeof hash, "~%016zx", std::hash<std::string>{}(base));
  size_t keep = kNameMax - suffix.size() - (sizeof hash - 1);
  while (keep > 0 && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80) --keep;  // whole UTF-8 characters
  return path.substr(0, start) + base.substr(0, keep) + hash + suffix;
}

// Writes through `write(temporary_path)` beside `path`, then moves the file into place:
// a save that fails midway leaves an earlier checkpoint at `path` intact.
void write_atomically(const std::string& path, const std::function<void(const std::string&)>& write) {
  py::module_ os = module_named("os");
  // Created by the writer itself, so the file gets the usual permissions. Unique to this save:
  // two saves under one name at once (threads, processes) each write their own file, and the
  // last complete one to be moved into place wins.
  const std::string temporary =
      temporary_path(path, text(os.attr("getpid")()) + "." + text(os.attr("urandom")(6).attr("hex")()));
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

bool is_tensor(py::handle value) { return THPVariable_Check(value.ptr()); }

std::string describe(py::handle value) {
  return is_tensor(value) ? text(value.attr("shape")) : "a " + text(py::type::handle_of(value).attr("__name__"));
}

// Entries that safetensors cannot hold: the extra state of modules with get_extra_state.
bool holds_non_tensors(const py::dict& state_dict) {
  for (auto item : state_dict) {
    if (!is_tensor(item.second)) return true;
  }
  return false;
}

// Called from a catch block. The cause's own text is in the message: a traceback is not
// always printed whole.
[[noreturn]] void unreadable(py::error_already_set& e, const std::string& path, const char* form) {
  const std::string cause = "cannot read " + path + " as " + form + " (" + cause_text(e) + ")";
  raise_chained(e, PyExc_ValueError, error_text("load_net", std::string(), cause));
}

// The class a whole-module checkpoint may name, if `name` is one: a torch.nn module class, or
// one of this system's inference classes. Only modules already imported are looked at, so
// nothing is imported or run on the file's say-so.
std::optional<py::object> allowed_class(const std::string& name) {
  if (name == "arborlib.fused_layers.ARBLayer") {
    return py::object(module_named("arborlib.fused_layers").attr("ARBLayer"));
  }
  if (name == "arborlib.slim_restore.ARBModulePyThread") {
    return py::object(module_named("arborlib.slim_restore").attr("ARBModulePyThread"));
  }
  if (name == "arborlib.cascade.keep_slow_path") {  // the blocks' hook (common/stand_in.h)
    return py::object(module_named("arborlib.cascade").attr("keep_slow_path"));
  }
  const size_t dot = name.rfind('.');
  if (name.rfind("torch.nn.", 0) != 0 || dot == std::string::npos) return std::nullopt;
  py::object loaded = module_named("sys").attr("modules").attr("get")(name.substr(0, dot));
  if (loaded.is_none() || !py::hasattr(loaded, name.substr(dot + 1).c_str())) return std::nullopt;
  py::object found = loaded.attr(name.substr(dot + 1).c_str());
  const bool is_module_class = PyType_Check(found.ptr()) &&
                               PyObject_IsSubclass(found.ptr(), module_named("torch.nn").attr("Module").ptr()) == 1;
  if (!is_module_class) return std::nullopt;
  return found;
}

// torch.load restricted to plain data and the allowed classes: a whole-module file is
// unpickled, and unrestricted unpickling runs whatever code the file names.
py::object load_whole_module(const std::string& path) {
  py::module_ torch = py::module_::import("torch");
  py::module_ serialization = py::module_::import("torch.serialization");
  if (!py::hasattr(serialization, "safe_globals") || !py::hasattr(serialization, "get_unsafe_globals_in_checkpoint")) {
    fail(PyExc_ValueError, "load_net", std::string(),
         path + " is a whole-module checkpoint, which this torch version (" + text(torch.attr("__version__")) +
             ") cannot load safely; torch 2.5 or later can, or save in the safetensors form");
  }
  py::list names;
  try {
    names = serialization.attr("get_unsafe_globals_in_checkpoint")(path);  // a static scan: runs nothing
  } catch (py::error_already_set& e) {
    unreadable(e, path, "a whole-module checkpoint");
  }
  py::list allowed;
  std::string refused;
  for (auto name : names) {
    if (auto cls = allowed_class(text(name))) {
      allowed.append(*cls);
    } else {
      refused += (refused.empty() ? "" : ", ") + text(name);
    }
  }
  if (!refused.empty()) {
    fail(PyExc_ValueError, "load_net", std::string(),
        path + " names " + refused +
        ", which are neither torch.nn modules nor this system's classes; it is not loaded, because unpickling "
        "them could run code from the file. If you trust the file, allow them first with "
        "torch.serialization.add_safe_globals([" + refused + "]) (or within torch.serialization.safe_globals)");
  }
  py::object scope = serialization.attr("safe_globals")(allowed);
  scope.attr("__enter__")();
  py::object loaded;
  try {
    loaded = torch.attr("load")(path, py::arg("map_location") = torch.attr("device")("cpu"),
                                py::arg("weights_only") = true);
  } catch (py::error_already_set& e) {
    scope.attr("__exit__")(py::none(), py::none(), py::none());
    unreadable(e, path, "a whole-module checkpoint");
  }
  scope.attr("__exit__")(py::none(), py::none(), py::none());
  try {
    return loaded.attr("state_dict")();
  } catch (py::error_already_set& e) {
    unreadable(e, path, "a whole-module checkpoint");
  }
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
  if (filters.empty()) fail(PyExc_IndexError, "remove_future_warning", std::string(), "the warnings filter list is empty");
  PySequence_DelItem(filters.ptr(), 0);
  filters_changed();
}

py::object clean_net(const py::object& net) {
  return refresh_net(UAR().attr("deep_copy_arb")(blockwise_network(net)));
}

void check_state_dict(const py::object& net, const py::dict& loaded, const std::string& source) {
  py::dict expected = net.attr("state_dict")();
  std::string missing, unexpected, mismatched;
  auto add = [](std::string& list, const std::string& entry) { list += (list.empty() ? "" : ", ") + entry; };
  for (auto item : expected) {
    if (!loaded.contains(item.first)) {
      add(missing, text(item.first));
      continue;
    }
    py::object got = loaded[item.first];
    const bool same = is_tensor(item.second) && is_tensor(got)
                          ? item.second.cast<at::Tensor>().sizes() == got.cast<at::Tensor>().sizes()
                          : is_tensor(item.second) == is_tensor(got);  // extra state: any value of its own
    if (!same) {
      add(mismatched,
          text(item.first) + " " + describe(got) + " in the file, " + describe(item.second) + " in the network");
    }
  }
  for (auto item : loaded) {
    if (!expected.contains(item.first)) add(unexpected, text(item.first));
  }
  if (missing.empty() && unexpected.empty() && mismatched.empty()) return;
  std::string message = source + " does not match the network:";
  if (!missing.empty()) message += " missing keys [" + missing + "];";
  if (!unexpected.empty()) message += " unexpected keys [" + unexpected + "];";
  if (!mismatched.empty()) message += " shape mismatches [" + mismatched + "];";
  raise_error(PyExc_ValueError, message);
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
  // Buffers too: safetensors writes contiguous tensors only.
  for (auto module : net.attr("modules")()) {
    py::dict buffers = module.attr("_buffers");
    for (auto item : py::list(buffers.attr("items")())) {
      py::object buffer = item.cast<py::tuple>()[1];
      if (is_tensor(buffer) && !buffer.cast<at::Tensor>().is_contiguous()) {
        buffers[item.cast<py::tuple>()[0]] = buffer.attr("contiguous")();
      }
    }
  }
  const std::string path = folder + "/" + name + "_arb.pt";

  auto tied_save = [&](const std::string& target) { UAR().attr("save_model_with_weight_tying")(net, target); };
  if (setting_on("using_safe_tensors")) {
    if (setting_on("weight_tying_experimental")) {
      write_atomically(path, tied_save);
      return;
    }
    py::dict state_dict = net.attr("state_dict")();
    if (holds_non_tensors(state_dict)) {
      say("Detected extra state of modules while saving _arb checkpoint; falling back to weight-tying-aware save.");
      write_atomically(path, tied_save);
      return;
    }
    try {
      write_atomically(path, [&](const std::string& target) {
        py::module_::import("safetensors.torch").attr("save_file")(state_dict, target);
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
    fail(PyExc_FileNotFoundError, "load_net", std::string(), "no checkpoint at " + path);
  }
  py::object state_dict;
  if (setting_on("using_safe_tensors")) {
    if (setting_on("weight_tying_experimental")) {
      try {
        return UAR().attr("load_model_with_weight_tying")(net, path);
      } catch (py::error_already_set& e) {
        unreadable(e, path, "a weight-tying checkpoint");
      }
    }
    bool tied = false;
    try {
      py::module_ safetensors = py::module_::import("safetensors");
      py::object handle = safetensors.attr("safe_open")(path, py::arg("framework") = "pt");
      py::object opened = handle.attr("__enter__")();
      py::object metadata = opened.attr("metadata")();
      handle.attr("__exit__")(py::none(), py::none(), py::none());
      tied = !metadata.is_none() && truth(metadata) && metadata.contains("weight_tying");
    } catch (py::error_already_set& e) {
      let_interrupts_through(e);  // the plain state-dict path below reports the file
    }
    // Outside the sniffing above: a tied file that does not fit the network reports its own
    // mismatch, not the tied-away keys as missing.
    if (tied) return UAR().attr("load_model_with_weight_tying")(net, path);
    try {
      state_dict = py::module_::import("safetensors.torch").attr("load_file")(path);
    } catch (py::error_already_set& e) {
      unreadable(e, path, "a safetensors checkpoint");
    }
  } else {
    // The ignore-all entry must not outlive the load, whatever happens.
    py::list filters = module_named("warnings").attr("filters");
    py::list saved(filters.attr("copy")());
    auto restore = [&] {
      filters.attr("__setitem__")(py::slice(0, py::len(filters), 1), saved);
      filters_changed();
    };
    add_future_warning();
    try {
      state_dict = load_whole_module(path);
    } catch (...) {
      py::error_scope keep;
      restore();
      throw;
    }
    restore();
  }
  check_state_dict(net, state_dict, "load_net: " + path);
  return UAR().attr("load_net_from_dict")(net, state_dict);
}

}  // namespace arbor::toolkit
