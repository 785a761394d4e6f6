// A fused block and its inference wrapper stand in for the layer they replaced: attribute
// reads that the block cannot answer go to its main layer (the last of layer_array), so code
// that inspects that layer (MultiheadAttention reading out_proj.weight, a model checking
// projection.weight.dtype) keeps working. Writes stay on the block.
#pragma once

#include "common/errors.h"
#include "common/pyclass.h"

#include <string>

namespace arbor::block {

// __getattr__ of both block classes (called only after the normal lookup failed).
inline py::object main_layer_attr(py::object self, py::str name) {
  py::object main;
  try {
    return module_base().attr("__getattr__")(self, name);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_AttributeError)) throw;
    const std::string member = name.cast<std::string>();
    // Dunder probes (copy, pickle) are about the block itself; while unpickling, before the
    // state is back, there is no main layer to ask.
    const bool dunder = member.size() > 4 && member.rfind("__", 0) == 0 &&
                        member.compare(member.size() - 2, 2, "__") == 0;
    py::dict state = self.attr("__dict__");
    if (dunder || !state.contains("_modules")) throw;
    py::dict modules = state["_modules"];
    if (!modules.contains("layer_array") || py::len(modules["layer_array"]) == 0) throw;
    main = modules["layer_array"][py::int_(-1)];
  }
  if (PyObject* value = PyObject_GetAttr(main.ptr(), name.ptr())) return py::reinterpret_steal<py::object>(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  raise_error(PyExc_AttributeError, "'" + type_name(self) + "' object has no attribute '" + name.cast<std::string>() +
                                        "', nor has the " + type_name(main) + " it stands for");
}

// The fused inference path of a transformer encoder layer reads its sublayers' weights and
// would skip the dendrites; a hook on layer_array, which no one calls, keeps it off
// (arborlib.export.guard_fast_path).
inline void guard_fast_path(const py::object& layer_array) {
  module_named("arborlib.export").attr("guard_fast_path")(layer_array);
}

}  // namespace arbor::block
