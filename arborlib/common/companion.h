// The interface to the companion package (arborai), shared by all five modules.
//
// Header-only on purpose: every extension gets its own copy, so nothing here may
// hold mutable state. Python objects are never kept in C++ globals (they would be
// destroyed after the interpreter is gone); companion modules are looked up in
// sys.modules at each use, and settings are read through their getters at each use,
// so a value changed by a setter takes effect at the next read.
#pragma once

#include <torch/csrc/autograd/python_variable.h>
#include <torch/csrc/utils/pybind.h>

#include <string>

namespace arbor {

namespace py = pybind11;

// sys.modules lookup first: cheaper than the import machinery on hot paths.
inline py::module_ module_named(const char* name) {
  if (PyObject* mod = PyImport_GetModule(py::str(name).ptr())) {
    return py::reinterpret_steal<py::module_>(mod);
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  return py::module_::import(name);
}

inline py::module_ GAR() { return module_named("arborai.globals_arborai"); }
inline py::module_ MAR() { return module_named("arborai.modules_arborai"); }
inline py::module_ UAR() { return module_named("arborai.utils_arborai"); }

// The run's configuration object.
inline py::object pc() { return GAR().attr("pc"); }

// Value of a setting, read through its getter now.
inline py::object setting(const char* name) {
  return pc().attr((std::string("get_") + name).c_str())();
}

// Truth of a value as `if value:` sees it; an error of its __bool__ (a tensor of several
// elements, say) is raised, not left pending.
inline bool truth(const py::handle& value) {
  const int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

// Truth of a setting (int settings such as doing_thing count as on when non-zero).
inline bool setting_on(const char* name) { return truth(setting(name)); }

inline long setting_int(const char* name) { return setting(name).cast<long>(); }
inline double setting_float(const char* name) { return setting(name).cast<double>(); }

// Number of candidate slots per layer.
inline long global_candidates() { return setting_int("global_candidates"); }

// True when the run's tracker says "p".
inline bool tracker_in_p_mode() {
  py::object mode = GAR().attr("arb_tracker").attr("member_vars")["mode"];
  return mode.equal(py::str("p"));
}

// Stop in the interactive debugger, then carry on (PYTHONBREAKPOINT=0 disables it).
inline void debugger_stop() { module_named("sys").attr("breakpointhook")(); }

// Printed through Python so that redirected or captured stdout sees it.
inline void say(const std::string& line) { py::print(line); }

// "%s"-style message with one argument.
inline std::string fill(std::string fmt, const std::string& arg) {
  auto at = fmt.find("%s");
  if (at != std::string::npos) fmt.replace(at, 2, arg);
  return fmt;
}

// Text of any Python value, as str() gives it.
inline std::string text(py::handle obj) { return py::str(obj).cast<std::string>(); }

// Called first in every module's init: torch must be loaded for the tensor caster,
// then the companion modules are imported by name and kept as module attributes.
inline void import_companion(py::module_& m, const char* modules_alias = "MAR") {
  py::module_::import("torch");
  m.attr("GAR") = py::module_::import("arborai.globals_arborai");
  m.attr(modules_alias) = py::module_::import("arborai.modules_arborai");
  m.attr("UAR") = py::module_::import("arborai.utils_arborai");
}

}  // namespace arbor
