// Copies of inputs that carry no gradient back into the network: candidates and
// dendrites read the neurons' inputs, but must not train the layers that made them.
#include "dendrite_engine.h"

#include <c10/core/DeviceGuard.h>

namespace arbor::engine {

namespace {

py::object killer_forward(const py::object& /*ctx*/, const py::object& inp) { return inp; }

// A zero gradient of the incoming shape. Multiplying by 0 would turn an inf or NaN
// arriving from above into NaN; the killed path must contribute exactly nothing.
at::Tensor killer_backward(const py::object& /*ctx*/, const at::Tensor& grad_out) {
  return at::zeros_like(grad_out);
}

py::object killed_copy(const py::handle& tensor_obj, bool killing) {
  if (!killing) return py::reinterpret_borrow<py::object>(tensor_obj);
  const at::Tensor t = THPVariable_Unpack(tensor_obj.ptr());
  c10::OptionalDeviceGuard guard(t.device());
  // Same values and device, own storage, no history. Routing through Killer first
  // would add nothing: its graph is dropped by the detach.
  return py::cast(t.detach().clone());
}

// Walks a list in place; returns the device of the last tensor found (or None).
py::object walk_list(py::list& items, bool killing) {
  py::object device = py::none();
  for (size_t index = 0; index < items.size(); ++index) {
    py::tuple r = killer_recursive(items[index], killing);
    items[index] = r[0];
    if (!r[1].is_none()) device = r[1];
  }
  return device;
}

}  // namespace

void define_killer(py::module_& m) {
  py::object function_base = py::module_::import("torch.autograd").attr("Function");
  py::object metaclass = py::reinterpret_borrow<py::object>(
      reinterpret_cast<PyObject*>(Py_TYPE(function_base.ptr())));
  py::object staticmethod = py::module_::import("builtins").attr("staticmethod");
  py::dict attrs;
  attrs["__module__"] = m.attr("__name__");
  attrs["__qualname__"] = "Killer";
  attrs["__doc__"] = "Identity in forward; a zero gradient of the incoming shape in backward.";
  attrs["forward"] = staticmethod(py::cpp_function(&killer_forward, py::name("forward"),
                                                   py::arg("ctx"), py::arg("inp")));
  attrs["backward"] = staticmethod(py::cpp_function(&killer_backward, py::name("backward"),
                                                    py::arg("ctx"), py::arg("grad_out")));
  m.attr("Killer") = metaclass("Killer", py::make_tuple(function_base), attrs);
}

py::object grad_killer(const py::object& inp) {
  return module_named("arborlib.dendrite_engine").attr("Killer").attr("apply")(inp);
}

py::tuple killer_recursive(const py::object& in_vals, bool killing) {
  PyObject* raw = in_vals.ptr();
  // Exact types only: subclasses of list/tuple/dict are passed through untouched.
  if (PyList_CheckExact(raw)) {
    auto items = py::reinterpret_borrow<py::list>(in_vals);
    if (items.empty()) return py::make_tuple(in_vals, py::none());
    py::object device = walk_list(items, killing);
    return py::make_tuple(in_vals, device);
  }
  if (PyTuple_CheckExact(raw)) {
    if (PyTuple_GET_SIZE(raw) == 0) return py::make_tuple(in_vals, py::none());
    py::list items(in_vals);
    py::object device = walk_list(items, killing);
    return py::make_tuple(py::tuple(items), device);
  }
  if (PyDict_CheckExact(raw)) {
    auto dict = py::reinterpret_borrow<py::dict>(in_vals);
    if (dict.empty()) return py::make_tuple(in_vals, py::none());
    py::object device = py::none();
    py::list keys(dict.attr("keys")());
    for (auto key : keys) {
      py::tuple r = killer_recursive(dict[key], killing);
      dict[key] = r[0];
      if (!r[1].is_none()) device = r[1];
    }
    return py::make_tuple(in_vals, device);
  }
  if (THPVariable_Check(raw)) {
    return py::make_tuple(killed_copy(in_vals, killing), in_vals.attr("device"));
  }
  return py::make_tuple(in_vals, py::none());
}

py::tuple preprocess_ab(const py::args& args, const py::kwargs& kwargs) {
  py::tuple a = killer_recursive(args, setting_on("dendrite_graph_mode"));
  py::tuple k = killer_recursive(kwargs, setting_on("dendrite_graph_mode"));
  return py::make_tuple(a[0], k[0]);
}

}  // namespace arbor::engine
