// The one way the modules raise and pass on Python errors from C++.
//
//   fail(kind, function, layer or owner, cause)   a new error: "init_candidates (layer fc): out_channels is 0"
//   fail_from(error, kind, function, owner, cause) the same, chained to a caught error (its __cause__)
//   raise_chained(error, kind, message)           a new error with a message of the caller's own, chained
//   raise_error(kind, message)                    a new error with a message of the caller's own
//   throw error;                                  a caught error (kept as its error_already_set, which
//                                                 holds type, value and traceback) raised again as itself
//   cause_text(error)                             a caught error as messages quote it: "TypeError: bad value"
//   let_interrupts_through(error)                 the interrupt rule, first thing in a catch block
//   pending_ordinary_error()                      the same rule for an error a C API call left pending
//
// The interrupt rule: an error that is not an ordinary Exception (KeyboardInterrupt,
// SystemExit, GeneratorExit) is never turned into another error, skipped or dropped; it
// propagates unchanged. Every helper here that handles a caught error applies it.
#pragma once

#include "common/companion.h"

#include <string>

namespace arbor {

// Call first in a catch block that wraps, skips or drops `error`.
inline void let_interrupts_through(const py::error_already_set& error) {
  if (!error.matches(PyExc_Exception)) throw error;
}

// The error a failed C API call left pending, fetched (which clears it) after the interrupt
// rule: the caller may inspect it, wrap it or drop it.
inline py::error_already_set pending_ordinary_error() {
  py::error_already_set error;
  let_interrupts_through(error);
  return error;
}

// The layer a companion object belongs to: a value record's layer_name, else a module's
// name; empty when it has neither (an ordinary error reading them counts as neither).
inline std::string layer_of(const py::handle& obj) {
  for (const char* attribute : {"layer_name", "name"}) {
    if (PyObject* value = PyObject_GetAttrString(obj.ptr(), attribute)) {
      auto held = py::reinterpret_steal<py::object>(value);
      if (PyUnicode_Check(value)) return held.cast<std::string>();
      continue;
    }
    pending_ordinary_error();
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

// Raises `kind` with `message` and `error` as its __cause__; an interrupt propagates unchanged.
[[noreturn]] inline void raise_chained(py::error_already_set& error, PyObject* kind, const std::string& message) {
  let_interrupts_through(error);
  py::raise_from(error, kind, message.c_str());
  throw py::error_already_set();
}

// Raises `kind` with the function, layer and cause, the caught error's text appended, and
// `error` as its __cause__: "init_candidates (layer fc): out_channels must be a number: ...".
[[noreturn]] inline void fail_from(py::error_already_set& error, PyObject* kind, const char* function,
                                   const py::handle& owner, const std::string& cause) {
  raise_chained(error, kind, error_text(function, layer_of(owner), cause + ": " + text(error.value())));
}

// A caught error as messages quote it: "TypeError: bad value".
inline std::string cause_text(const py::error_already_set& error) {
  return py::type::handle_of(error.value()).attr("__name__").cast<std::string>() + ": " + text(error.value());
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
