// ARBModulePyThread: the inference form of a fused block. Every sub-layer runs on the
// block's input (optionally one thread each), then the outputs are combined as a cascade.
#include "slim_restore.h"

#include "common/block_forward.h"
#include "common/stand_in.h"

#include <memory>
#include <vector>

namespace arbor::slim {

namespace {

const char* const kOwner = "ARBModulePyThread";

void thread_init(py::object self, py::object original_module) {
  module_base().attr("__init__")(self);
  py::object skip = py::getattr(original_module, "skip_weights", py::none());
  if (!skip.is_none() && py::len(skip) > 1) {
    // A parameter of the wrapper's own (not a slice of the block's), so the trained cascade
    // weights are saved, loaded, counted and copied with it.
    const at::Tensor rest = skip.cast<at::Tensor>().detach().slice(0, 1).clone();
    self.attr("skip_weights") = py::module_::import("torch.nn").attr("Parameter")(rest);
  }
  self.attr("register_buffer")("node_index", original_module.attr("node_index").attr("clone")().attr("detach")());
  self.attr("register_buffer")("module_id", original_module.attr("module_id").attr("clone")().attr("detach")());
  self.attr("register_buffer")("num_cycles", original_module.attr("num_cycles"));
  self.attr("register_buffer")("view_tuple", original_module.attr("view_tuple"));
  self.attr("neuron_trailing_dims") = block::trailing_dims(original_module);
  // Last: once the main layer is in place, a name it has too (module_id) reads as an existing
  // attribute of this stand-in, and register_buffer would refuse it.
  self.attr("layer_array") = original_module.attr("layer_array");
  self.attr("processor_array") = original_module.attr("processor_array");
}

void process_and_forward(py::object self, py::args all, py::kwargs kwargs) {
  // (c, dendrite_outs, *inputs)
  if (all.size() < 2) fail(PyExc_TypeError, "process_and_forward", std::string(), "expects (c, dendrite_outs, *inputs)");
  const int64_t c = all[0].cast<int64_t>();
  py::tuple args = all[py::slice(2, all.size(), 1)];
  py::object slots = all[1];
  slots[py::int_(c)] =
      block::run_layer(self.attr("layer_array"), self.attr("processor_array"), c, args, kwargs, kOwner);
}

void process_and_pre(py::object self, py::args all, py::kwargs kwargs) {
  // (dendrite_outs, *inputs)
  if (all.size() < 1) fail(PyExc_TypeError, "process_and_pre", std::string(), "expects (dendrite_outs, *inputs)");
  py::tuple args = all[py::slice(1, all.size(), 1)];
  py::object layers = self.attr("layer_array");
  const int64_t n = py::len(layers);
  py::object slots = all[0];
  slots[py::int_(n - 1)] =
      block::run_layer(layers, self.attr("processor_array"), n - 1, args, kwargs, kOwner, block::MainCall::kForward);
}

// Runs every layer in a thread of its own. An error inside a thread is kept and raised
// here after all threads are joined (the thread facility would only print it), and each
// worker runs with the caller's grad mode, which is per thread.
void run_threaded(py::object self, const py::list& slots, const py::args& args, const py::kwargs& kwargs) {
  py::module_ threading = py::module_::import("threading");
  const int64_t n = py::len(slots);
  // Kept whole (type, value, traceback), so that the error raised here is the worker's own.
  auto errors = std::make_shared<std::vector<py::error_already_set>>();
  const bool grad_enabled = c10::GradMode::is_enabled();
  std::vector<py::object> threads;
  for (int64_t c = 0; c < n; ++c) {
    const bool main_layer = c == n - 1;
    py::object target = self.attr(main_layer ? "process_and_pre" : "process_and_forward");
    py::object guarded = py::cpp_function([target, errors, grad_enabled](py::args a, py::kwargs k) {
      c10::AutoGradMode mode(grad_enabled);
      try {
        target(*a, **k);
      } catch (py::error_already_set& e) {
        errors->push_back(e);  // under the GIL, which every worker holds here
      }
    });
    py::list thread_args;
    if (!main_layer) thread_args.append(c);
    thread_args.append(slots);
    for (auto a : args) thread_args.append(a);
    threads.push_back(threading.attr("Thread")(py::arg("target") = guarded, py::arg("args") = py::tuple(thread_args),
                                               py::arg("kwargs") = kwargs));
  }
  for (auto& t : threads) t.attr("start")();
  for (auto& t : threads) t.attr("join")();
  if (!errors->empty()) throw errors->front();
}

py::object thread_forward(py::object self, py::args args, py::kwargs kwargs) {
  const bool doing_multi = truth(self_module().attr("doing_threading"));
  py::object layers = self.attr("layer_array");
  const int64_t n = py::len(layers);
  if (n == 0) fail(PyExc_ValueError, kOwner, std::string(), "layer_array is empty, there is no main layer to run");
  py::list slots;
  for (int64_t c = 0; c < n; ++c) slots.append(py::none());
  if (doing_multi) {
    run_threaded(self, slots, args, kwargs);
  } else {
    py::object forward_one = self.attr("process_and_forward");
    for (int64_t c = 0; c < n - 1; ++c) forward_one(c, slots, *args, **kwargs);
    self.attr("process_and_pre")(slots, *args, **kwargs);
  }
  std::vector<at::Tensor> outs = block::checked_outputs(slots, layers, kOwner);
  at::Tensor result = outs.back();
  py::object skip = py::getattr(self, "skip_weights", py::none());
  if (n > 1 && !skip.is_none()) {
    result = block::combine(outs, skip.cast<at::Tensor>(), 1, block::trailing_dims(self),
                            pc().attr("get_arb_forward_function")(), kOwner);
  }
  py::object main_proc = block::processor_at(self.attr("processor_array"), n - 1);
  if (!main_proc.is_none()) return main_proc.attr("post")(result);
  return py::cast(result);
}

}  // namespace

void define_module_thread(py::module_& m) {
  py::object cls = make_class(m, module_base(), "ARBModulePyThread",
                              "Inference wrapper of a fused block: sub-layers run side by side (optionally "
                              "threaded), then combine as a dendrite cascade.");
  add_method(cls, "__init__", &thread_init, py::arg("original_module"));
  add_method(cls, "process_and_forward", &process_and_forward);
  add_method(cls, "process_and_pre", &process_and_pre);
  add_method(cls, "forward", &thread_forward);
  add_method(cls, "__getattr__", &block::main_layer_attr);
}

}  // namespace arbor::slim
