// Python classes made from C++: subclasses of torch.nn.Module or torch.autograd.Function
// whose methods are C++ functions. The classes are created through the base's metaclass and carry their own
// __module__/__qualname__, so pickling (torch.save of whole modules) finds them by name.
#pragma once

#include "common/companion.h"

#include <utility>

namespace arbor {

// A new subclass of `base` named `name`, set on module `m` under that name.
inline py::object make_class(py::module_& m, py::object base, const char* name, const char* doc) {
  py::object metaclass =
      py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())));
  py::dict attrs;
  attrs["__module__"] = m.attr("__name__");
  attrs["__qualname__"] = name;
  attrs["__doc__"] = doc;
  py::object cls = metaclass(name, py::make_tuple(base), attrs);
  m.attr(name) = cls;
  return cls;
}

inline py::object module_base() { return py::module_::import("torch.nn").attr("Module"); }
inline py::object function_base() { return py::module_::import("torch.autograd").attr("Function"); }

// Binds `f` (taking self first) as method `name` of `cls`. pybind11 treats a function
// record named __init__ as a constructor of its own classes, so that one is recorded
// under another name and only stored as __init__.
template <typename F, typename... Extra>
void add_method(py::object& cls, const char* name, F&& f, const Extra&... extra) {
  const bool init = std::string(name) == "__init__";
  cls.attr(name) = py::cpp_function(std::forward<F>(f), py::name(init ? "cpp__init__" : name),
                                    py::is_method(cls), extra...);
}

// Binds `f` as static method `name` of `cls` (the forward/backward of an autograd Function).
template <typename F, typename... Extra>
void add_static_method(py::object& cls, const char* name, F&& f, const Extra&... extra) {
  cls.attr(name) = module_named("builtins").attr("staticmethod")(
      py::cpp_function(std::forward<F>(f), py::name(name), extra...));
}

}  // namespace arbor
