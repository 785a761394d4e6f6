// Record stacking for the batched engine (see record_stacks.h).
#include "record_stacks.h"

namespace arbor::engine {

extern const char* const kFieldNames[kFieldCount] = {
    "normal_pass_average_d", "parents_average_d_vector", "prev_dendrite_candidate_average",
    "prev_dendrite_candidate_correlation", "prev_dendrite_candidate_pearson", "current_batch_pearson",
    "best_score", "previous_best_score", "best_pearson_correlation", "indexes_of_best",
    "nodes_improved_any", "nodes_best_improved_this_epoch", "initialized", "running_scalar",
    "best_score_improved_this_epoch"};

namespace {

const char* const kStacksAttr = "_arb_stacks";

bool is_row_of(const at::Tensor& t, const at::Tensor& stack, int64_t k) {
  if (!t.defined() || t.device() != stack.device() || t.scalar_type() != stack.scalar_type() ||
      t.sizes() != stack.sizes().slice(1)) {
    return false;
  }
  const char* row = static_cast<const char*>(stack.const_data_ptr()) + k * stack.stride(0) * stack.element_size();
  return t.const_data_ptr() == row;
}

// The dict `obj.__dict__[key]`, or null (borrowed).
PyObject* own_dict_item(PyObject* obj, const char* key) {
  PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
  if (dict == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* item = PyDict_GetItemString(dict, key);
  Py_DECREF(dict);  // the object keeps its __dict__ and the item alive
  return item != nullptr && PyDict_Check(item) ? item : nullptr;
}

}  // namespace

at::Tensor RecordBuffers::stacked_field(const char* name) {
  const int64_t K = static_cast<int64_t>(buffers.size());
  at::Tensor stack = held.contains(name) ? held[name].cast<at::Tensor>() : at::Tensor();
  std::vector<at::Tensor> rows;
  bool linked = stack.defined() && stack.size(0) == K;
  for (int64_t k = 0; k < K; ++k) {
    PyObject* item = PyDict_GetItemString(buffers[k].ptr(), name);
    if (item == nullptr || !THPVariable_Check(item)) {
      fail(PyExc_AttributeError, "stack_records", module,
           "value record " + std::to_string(k) + " has no tensor '" + name + "'");
    }
    rows.push_back(THPVariable_Unpack(item));
    linked = linked && is_row_of(rows.back(), stack, k);
  }
  if (linked) return stack;
  // A record's tensor was replaced (reinitialised, moved, assigned): its value is the
  // newest. Statistics are kept in float32 or wider, whatever the model's dtype.
  c10::NoGradGuard no_grad;
  for (int64_t k = 1; k < K; ++k) {
    if (rows[k].sizes() != rows[0].sizes()) {
      fail(PyExc_ValueError, "stack_records", module,
           std::string("value record ") + std::to_string(k) + "'s '" + name + "' has shape " +
               shape_text(rows[k].sizes()) + ", record 0's " + shape_text(rows[0].sizes()));
    }
  }
  const auto dtype = at::promote_types(rows[0].scalar_type(), at::kFloat);
  for (auto& r : rows) r = r.detach().to(rows[0].device(), dtype);
  stack = at::stack(rows);
  held[name] = stack;
  for (int64_t k = 0; k < K; ++k) buffers[k][name] = py::cast(stack.select(0, k));
  return stack;
}

RecordBuffers::RecordBuffers(const py::object& dendrite_module) : module(dendrite_module) {
  // The records of a module's ModuleList straight from the modules' dicts: this runs in
  // every n-mode forward, where nn.Module.__getattr__ and ModuleList.__iter__ cost more
  // than the update itself.
  PyObject* modules = own_dict_item(dendrite_module.ptr(), "_modules");
  PyObject* list = modules ? PyDict_GetItemString(modules, "dendrite_values") : nullptr;
  PyObject* records = list ? own_dict_item(list, "_modules") : nullptr;
  if (records != nullptr) {
    PyObject *key, *record;
    Py_ssize_t pos = 0;
    while (PyDict_Next(records, &pos, &key, &record)) {
      PyObject* held_buffers = own_dict_item(record, "_buffers");
      if (held_buffers == nullptr) {
        fail(PyExc_AttributeError, "stack_records", dendrite_module, "a value record has no _buffers dict");
      }
      buffers.push_back(py::reinterpret_borrow<py::dict>(held_buffers));
    }
  } else {
    for (auto record : dendrite_module.attr("dendrite_values")) {
      buffers.push_back(instance_dict(record)["_buffers"].cast<py::dict>());
    }
  }
  if (buffers.empty()) {
    fail(PyExc_ValueError, "stack_records", dendrite_module, "the layer has no value records");
  }
  py::dict own = instance_dict(dendrite_module);
  if (!own.contains(kStacksAttr)) own[kStacksAttr] = py::dict();
  held = own[kStacksAttr].cast<py::dict>();
}

Stacks stacks_of(const py::object& dendrite_module) {
  RecordBuffers rb(dendrite_module);
  Stacks s;
  for (int i = 0; i < kFieldCount; ++i) s[i] = rb.stacked_field(kFieldNames[i]);
  return s;
}

}  // namespace arbor::engine
