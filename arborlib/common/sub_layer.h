// The one way a sub-layer runs through its processor, shared by the candidates' forward
// passes (per record and stacked) and the fused block's dendrites: `pre` adapts the inputs
// and returns (args, kwargs), `post` adapts the output; either may be None.
#pragma once

#include "common/errors.h"

#include <string>
#include <utility>

namespace arbor {

// The (args, kwargs) pair that the `pre` processor named `what` returned.
inline std::pair<py::tuple, py::dict> processed_inputs(const py::object& pair, const char* function,
                                                       const std::string& layer, const std::string& what) {
  if (!(PyTuple_Check(pair.ptr()) || PyList_Check(pair.ptr())) || py::len(pair) != 2) {
    fail(PyExc_ValueError, function, layer, what + " must return a pair (args, kwargs), got " + type_name(pair));
  }
  return {py::tuple(pair[py::int_(0)]), py::dict(pair[py::int_(1)])};
}

// A failing processor, before its error propagates: (stage "pre" or "post", the error).
struct PassOn {
  void operator()(const char*, py::error_already_set&) const {}
};

// `call` (the sub-layer, or its bound `forward` where its module hooks must not run) on the
// inputs through the processors. `what` names the processor in errors; `on_error` sees a
// failing processor first (to report it) and may raise instead.
template <class OnError = PassOn>
py::object run_sub_layer(const py::object& call, const py::object& pre, const py::object& post, py::tuple args,
                         py::dict kwargs, const char* function, const std::string& layer, const std::string& what,
                         OnError&& on_error = {}) {
  if (!pre.is_none()) {
    try {
      std::tie(args, kwargs) = processed_inputs(pre(*args, **kwargs), function, layer, what);
    } catch (py::error_already_set& e) {
      on_error("pre", e);
      throw;
    }
  }
  py::object out = call(*args, **kwargs);
  if (post.is_none()) return out;
  try {
    return post(out);
  } catch (py::error_already_set& e) {
    on_error("post", e);
    throw;
  }
}

}  // namespace arbor
