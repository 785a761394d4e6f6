// One way to raise a Python error from C++. The message names the function and, when it
// is known, the layer, then the cause: "init_candidates (layer fc): out_channels is 0".
// Interrupts and exits (KeyboardInterrupt, SystemExit) are never turned into other errors.
#pragma once

#include "common/companion.h"

#include <string>

namespace arbor {

// The layer a companion object belongs to: a value record's layer_name, else a module's
// name; empty when it has neither.
inline std::string layer_of(const py::handle& obj) {
  for (const char* attribute : {"layer_name", "name"}) {
    if (PyObject* value = PyObject_GetAttrString(obj.ptr(), attribute)) {
      auto held = py::reinterpret_steal<py::object>(value);
      if (PyUnicode_Check(value)) return held.cast<std::string>();
      continue;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
  }
  return {};
}

inline std::string error_text(const char* function, const std::string& layer, const std::string& cause) {
  return std::string(function) + (layer.empty() ? "" : " (layer " + layer + ")") + ": " + cause;
}

// Raises `kind` with a message composed by the caller (one that names its own source).
[[noreturn]] inline void raise_error(PyObject* kind, const std::string& message) {
  PyErr_SetString(kind, message.c_str());
  throw py::error_already_set();
}

// Raises `kind` (PyExc_ValueError, PyExc_TypeError, ...) with the function, layer and cause.
[[noreturn]] inline void fail(PyObject* kind, const char* function, const std::string& layer,
                              const std::string& cause) {
  raise_error(kind, error_text(function, layer, cause));
}

// Same, with the layer read from a companion object (record, dendrite or neuron module).
[[noreturn]] inline void fail(PyObject* kind, const char* function, const py::handle& owner,
                              const std::string& cause) {
  fail(kind, function, layer_of(owner), cause);
}

// Raises `kind` with `error` as its __cause__; an interrupt in `error` propagates unchanged.
[[noreturn]] inline void fail_from(py::error_already_set& error, PyObject* kind, const char* function,
                                   const py::handle& owner, const std::string& cause) {
  if (!error.matches(PyExc_Exception)) throw error;
  const std::string message = error_text(function, layer_of(owner), cause + ": " + text(error.value()));
  py::raise_from(error, kind, message.c_str());
  throw py::error_already_set();
}

inline std::string type_name(const py::handle& obj) {
  return py::type::of(obj).attr("__name__").cast<std::string>();
}

// A shape as messages show it: "[8, 4]".
inline std::string shape_text(at::IntArrayRef sizes) {
  std::string out = "[";
  for (size_t i = 0; i < sizes.size(); ++i) out += (i ? ", " : "") + std::to_string(sizes[i]);
  return out + "]";
}

// `value` as a tensor; `what` says which value it is ("best_score", "the layer's output").
inline at::Tensor tensor_or_fail(const char* function, const py::handle& owner, const std::string& what,
                                 const py::handle& value) {
  if (!THPVariable_Check(value.ptr())) {
    fail(PyExc_TypeError, function, owner, what + " must be a tensor, got " + type_name(value));
  }
  return THPVariable_Unpack(value.ptr());
}

// Tensor attribute `name` of a companion record; a missing attribute is the usual AttributeError.
inline at::Tensor tensor_member(const char* function, const py::handle& record, const char* name) {
  return tensor_or_fail(function, record, name, record.attr(name));
}

// Bounds C++ recursion over Python structures by the interpreter's recursion limit, so that
// deep nesting raises RecursionError instead of overflowing the C stack.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) throw py::error_already_set();
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace arbor
