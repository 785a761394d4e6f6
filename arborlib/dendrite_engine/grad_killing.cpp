// Copies of inputs that carry no gradient back into the network: candidates and
// dendrites read the neurons' inputs, but must not train the layers that made them.
#include "dendrite_engine.h"

#include <c10/core/DeviceGuard.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "common/pyclass.h"

namespace arbor::engine {

namespace {

py::object killer_forward(const py::object& /*ctx*/, const py::object& inp) { return inp; }

// A zero gradient of the incoming shape. Multiplying by 0 would turn an inf or NaN
// arriving from above into NaN; the killed path must contribute exactly nothing.
at::Tensor killer_backward(const py::object& /*ctx*/, const at::Tensor& grad_out) {
  return at::zeros_like(grad_out);
}

py::object killed_copy(const py::handle& tensor_obj, bool killing, bool copy) {
  if (!killing) return py::reinterpret_borrow<py::object>(tensor_obj);
  const at::Tensor t = THPVariable_Unpack(tensor_obj.ptr());
  if (!copy) return py::cast(t.detach());
  c10::OptionalDeviceGuard guard(t.device());
  // Same values and device, own storage, no history. Routing through Killer first
  // would add nothing: its graph is dropped by the detach.
  return py::cast(t.detach().clone());
}

// One walk over an argument structure. `open` holds the containers between the root and
// the current element: meeting one of them again means a container holds itself, which
// would never end; deep nesting is bounded by the interpreter's recursion limit.
struct Killing {
  bool killing, copy;
  std::vector<PyObject*> open;

  // (structure with killed tensors, device of the last tensor found or None)
  std::pair<py::object, py::object> walk(const py::object& in_vals) {
    PyObject* raw = in_vals.ptr();
    // Exact types only: subclasses of list/tuple/dict are passed through untouched.
    const bool list = PyList_CheckExact(raw), tuple = PyTuple_CheckExact(raw), dict = PyDict_CheckExact(raw);
    if (!list && !tuple && !dict) {
      if (THPVariable_Check(raw)) return {killed_copy(in_vals, killing, copy), in_vals.attr("device")};
      return {in_vals, py::none()};
    }
    if (PyObject_Length(raw) == 0) return {in_vals, py::none()};
    if (std::find(open.begin(), open.end(), raw) != open.end()) {
      fail(PyExc_ValueError, "killer_recursive", std::string(),
           std::string("the arguments hold a ") + Py_TYPE(raw)->tp_name +
               " that contains itself; pass structures without cycles");
    }
    RecursionGuard guard(" in killer_recursive");
    open.push_back(raw);
    py::object device = py::none();
    auto visit = [&](const py::object& value) {
      auto [out, found] = walk(value);
      if (!found.is_none()) device = found;
      return out;
    };
    py::object result = in_vals;
    if (list || tuple) {
      // A list is rewritten in place, a tuple rebuilt from a list copy.
      py::list items = list ? py::reinterpret_borrow<py::list>(in_vals) : py::list(in_vals);
      for (size_t index = 0; index < items.size(); ++index) items[index] = visit(items[index]);
      if (tuple) result = py::tuple(items);
    } else {
      auto items = py::reinterpret_borrow<py::dict>(in_vals);
      for (auto key : py::list(items.attr("keys")())) items[key] = visit(items[key]);
    }
    open.pop_back();
    return {result, device};
  }
};

}  // namespace

void define_killer(py::module_& m) {
  py::object killer = make_class(m, function_base(), "Killer",
                                 "Identity in forward; a zero gradient of the incoming shape in backward.");
  add_static_method(killer, "forward", &killer_forward, py::arg("ctx"), py::arg("inp"));
  add_static_method(killer, "backward", &killer_backward, py::arg("ctx"), py::arg("grad_out"));
}

py::object grad_killer(const py::object& inp) {
  return module_named("arborlib.dendrite_engine").attr("Killer").attr("apply")(inp);
}

py::tuple killer_recursive(const py::object& in_vals, bool killing, bool copy) {
  auto [out, device] = Killing{killing, copy, {}}.walk(in_vals);
  return py::make_tuple(out, device);
}

py::tuple preprocess_ab(const py::args& args, const py::kwargs& kwargs) {
  py::tuple a = killer_recursive(args, setting_on("dendrite_graph_mode"));
  py::tuple k = killer_recursive(kwargs, setting_on("dendrite_graph_mode"));
  return py::make_tuple(a[0], k[0]);
}

}  // namespace arbor::engine
