// The walk over a module tree shared by the conversion to fused blocks, the rebuilding into
// wrappers and the gradient diagnostics. The walk reaches the children of sequential
// containers and modules held in plain attributes; each user supplies only its own rule
// (what to convert, skip or print).
#pragma once

#include "common/companion.h"
#include "common/errors.h"

#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace arbor {

// What each object reached in one walk became. Every object is entered once, as
// nn.Module.modules() does: a module reached along a second path gets the first result, and
// one that refers back to an ancestor gets that ancestor unchanged (it is still being
// walked), so no walk loops, whatever attributes point where.
class ModuleWalk {
 public:
  // `visit()` produces what stands in the parent's place of `obj`; it runs the first time only.
  template <typename Visit>
  py::object once(const py::object& obj, Visit&& visit) {
    if (auto found = results_.find(obj.ptr()); found != results_.end()) return found->second;
    results_.emplace(obj.ptr(), obj);  // held here, so no other object reuses its address
    RecursionGuard guard(" while walking a module tree");
    active_.insert(obj.ptr());
    py::object result = visit();
    active_.erase(obj.ptr());
    results_[obj.ptr()] = result;
    results_.emplace(result.ptr(), result);  // a replacement is never walked again
    return result;
  }

  // True while `obj` is being visited: it is an ancestor of where the walk is now.
  bool active(const py::handle& obj) const { return active_.count(obj.ptr()) != 0; }

 private:
  std::unordered_map<PyObject*, py::object> results_;
  std::unordered_set<PyObject*> active_;
};

inline bool is_module_sequence(const py::handle& net) {
  py::module_ nn = module_named("torch.nn");
  return py::isinstance(net, nn.attr("Sequential")) || py::isinstance(net, nn.attr("ModuleList"));
}

// Member `name` of `obj`: None when it is missing (AttributeError), nothing when reading it
// raised another ordinary error (the walks skip such members). py::getattr with a default
// cannot tell the two apart: it swallows every error, interrupts included.
inline std::optional<py::object> member_value(const py::handle& obj, const py::handle& name) {
  if (PyObject* value = PyObject_GetAttr(obj.ptr(), name.ptr())) {
    return py::reinterpret_steal<py::object>(value);
  }
  if (pending_ordinary_error().matches(PyExc_AttributeError)) return py::none();
  return std::nullopt;
}

// f(name, child) for each child of a container, in order (named_children(), read through
// get_submodule).
template <typename F>
void for_each_child(const py::object& net, F&& f) {
  for (auto item : py::list(net.attr("named_children")())) {
    py::object id = item.cast<py::tuple>()[0];
    f(id, net.attr("get_submodule")(id));
  }
}

// f(member, value) for each name of net.__dir__(), in order; see member_value.
template <typename F>
void for_each_member(const py::object& net, F&& f) {
  for (auto name : py::list(net.attr("__dir__")())) {
    py::str member(name);
    if (std::optional<py::object> value = member_value(net, member)) f(member, *value);
  }
}

// Puts `now` into slot `key` of `parent` only when it is not `before`: assigning a module
// registers it as a child, so a plain attribute that keeps its value stays plain (and a
// read-only property is not written).
inline void replace_slot(const py::object& parent, const py::handle& key, const py::object& before,
                         const py::object& now) {
  if (!now.is(before)) py::setattr(parent, key, now);
}

}  // namespace arbor
