// The candidates' forward pass in p mode: each candidate runs on gradient-free copies
// of the layer's inputs plus the cascade term from the installed dendrites, and its
// activated output is queued (with its graph) for the loss step.
#include "dendrite_engine.h"

#include "common/sub_layer.h"

namespace arbor::engine {

namespace {

// Prints the failing processor's traceback and our explanation, then raises a
// RuntimeError chained to the original error so the caller sees a failure; an interrupt
// passes through unchanged.
[[noreturn]] void processor_failed(py::error_already_set& e, const py::object& dendrite_module,
                                   const std::string& first_line, const char* line3, const char* line4) {
  let_interrupts_through(e);
  // An error raised here in C++ (a pre_d result of the wrong size) has no traceback.
  const py::object trace = e.trace() ? py::reinterpret_borrow<py::object>(e.trace()) : py::none();
  py::module_::import("traceback")
      .attr("print_exception")(e.type(), e.value(), trace, py::arg("limit") = py::none(),
                               py::arg("chain") = true);
  say(first_line);
  say("You must check how this is defined and ensure that it is properly");
  say(line3);
  say(line4);
  fail_from(e, PyExc_RuntimeError, "forward_candidates", dendrite_module, first_line);
}

void report_stale_outputs(const py::object& dendrite_module) {
  py::object first = dendrite_module.attr("dendrite_values")[py::int_(0)];
  const size_t outs = queue(first, "dendrite_outs", 0).size();
  const size_t errors = queue(first, "current_parent_d", 0).size();
  say(fill("%s is in backwards graph multiple times.", text(dendrite_module.attr("name"))));
  say("This will cause a memory leak unless it is a recurrent layer.");
  say("Dendrite outs and neuron errors are currently stacked (" + std::to_string(outs) + "/" +
      std::to_string(errors) + ") times");
  say("If this is coming up before a memory leak that happens anywhere other than the first batch of an epoch you NEED to debug this.");
  say("Check the Memory Leak section of the debugging MD file.");
  say("If this is just being printed but there is not a memory leak you can set GAR.pc.set_debugging_memory_leak(False)");
  say("If you don't have any recurrent layers you can also clear this by in a more memory efficient way by setting GAR.pc.set_no_backward_workaround(True)");
  say("If you set GAR.pc.set_no_backward_workaround(True) and it causes a IndexError: list index out of range error, that means you do have a recurrent layer");
  say("If this comes up just once or twice and not every single batch you are likely using\n"
      "a library or method that sometime does forwards and backwards without optimizer.step()\n"
      "In this cases we now handle this properly and you can just set GAR.pc.set_debugging_memory_leak(False)");
}

// Extremes of every floating tensor of the dicts (NaN and +-inf survive min and max), so the
// verdict over all of them is one pass per tensor and one host read.
void add_extremes(const py::dict& outs, std::vector<at::Tensor>& extremes) {
  c10::NoGradGuard no_grad;
  for (auto item : outs) {
    const at::Tensor t = item.second.cast<at::Tensor>();
    if (t.numel() == 0 || !at::isFloatingType(t.scalar_type())) continue;  // aminmax refuses empty tensors
    auto [low, high] = at::aminmax(t.detach());
    extremes.push_back(at::stack({low, high}).to(at::kDouble));
  }
}

}  // namespace

// Whether a candidate only reads its inputs: a plain Linear or convolution with no forward
// hooks of its own or global ones, run without processors. Such a candidate may be given
// detached views instead of copies: nothing it runs can write into the network's tensors,
// and a layer's input is never changed in place before backward in a network that trains
// (the layer's own weight gradient needs it unchanged in n mode).
bool reads_only(const py::object& candidate, bool processing) {
  if (processing) return false;
  const py::module_ torch_nn = module_named("torch.nn"), hooks = module_named("torch.nn.modules.module");
  const py::handle type = py::type::handle_of(candidate);
  bool plain = false;
  for (const char* name : {"Linear", "Conv1d", "Conv2d", "Conv3d"}) plain = plain || type.is(torch_nn.attr(name));
  if (!plain) return false;
  for (const char* name : {"_forward_hooks", "_forward_pre_hooks"}) {
    if (py::len(candidate.attr(name)) != 0 || py::len(hooks.attr(("_global" + std::string(name)).c_str())) != 0) {
      return false;
    }
  }
  return true;
}

at::Tensor add_dendrite_inputs(const py::object& dendrite_module, int64_t i, at::Tensor candidate_outs,
                               const py::object& outs, const std::vector<int64_t>& view_tuple,
                               const py::object& device) {
  const int64_t num_dendrites = dendrite_module.attr("num_dendrites").cast<int64_t>();
  if (num_dendrites == 0) return candidate_outs;
  const at::Device dev = device.cast<at::Device>();
  const at::Tensor weights = dendrite_module.attr("dendrites_to_candidates")[py::int_(i)].cast<at::Tensor>();
  const bool flat = view_tuple.size() == 1 && view_tuple[0] == 1;
  for (int64_t in_index = 0; in_index < num_dendrites; ++in_index) {
    at::Tensor w = weights.select(0, in_index);
    if (!flat) w = w.view(view_tuple);
    candidate_outs = candidate_outs.to(dev) + w.to(dev) * outs[py::int_(in_index)].cast<at::Tensor>();
  }
  return candidate_outs;
}

namespace {

struct CutInputs {
  py::tuple args;
  py::dict kwargs;
  py::object device;
};

// Gradient-free copies (or, for a candidate that only reads them, views) of the layer's
// inputs and of the installed dendrites' outputs.
CutInputs cut_inputs(const py::object& dendrite_module, py::object& dendrite_outs, const py::args& args,
                     const py::kwargs& kwargs, bool copy) {
  const bool killing = setting_on("candidate_graph_mode");
  py::tuple a = killer_recursive(args, killing, copy);
  py::tuple k = killer_recursive(kwargs, killing, copy);
  dendrite_outs = killer_recursive(dendrite_outs, killing, copy)[0];
  py::object device = a[1].is_none() ? k[1] : a[1];
  if (device.is_none()) {
    fail(PyExc_TypeError, "forward_candidates", dendrite_module,
         "the layer's arguments hold no tensor, so the candidates have no input (and no device) to run on");
  }
  return {a[0], k[0], device};
}

// Candidate i on its inputs, through the user's pre_d/post_d processors when configured.
py::object run_candidate(const py::object& dendrite_module, long i, const py::object& candidate, bool processing,
                         bool plain, CutInputs in) {
  // A plain candidate already in place skips `.to(device)`, a walk over the module in Python.
  auto in_place = [&](const char* name) {
    const py::object p = candidate.attr(name);
    return p.is_none() || p.cast<at::Tensor>().device() == in.device.cast<at::Device>();
  };
  if (!plain || !in_place("weight") || !in_place("bias")) candidate.attr("to")(in.device);
  const std::string name = text(dendrite_module.attr("name"));
  auto report = [&](const char* stage, py::error_already_set& e) {
    if (std::string(stage) == "pre") {
      processor_failed(e, dendrite_module, "Your candidate pre_d processor for " + name + " caused this error",
                       "accepting inputs to the ARBModule and returning what will then be",
                       "the input to the dendrite module");
    }
    processor_failed(e, dendrite_module, "Your post_d processor for " + name + " caused this error",
                     "accepting outputs from the dendrite module and returning the",
                     "single tensor to be combined with the neurons output tensor");
  };
  const auto [pre, post] = processors_of(dendrite_module, i, processing);
  py::object result =
      run_sub_layer(candidate, pre, post, in.args, in.kwargs, "forward_candidates", name, "pre_d", report);
  tensor_or_fail("forward_candidates", dendrite_module,
                 std::string(processing ? "the post_d result" : "the output") + " of candidate " + std::to_string(i),
                 result);
  return result;
}

// Queues candidate i's activated output for the loss step, with the stale-output checks.
void queue_output(const py::object& dendrite_module, long i, const at::Tensor& activated) {
  // No gradient can follow (grad mode off, e.g. a validation pass in train() mode): a queued
  // output would never be consumed, and would be paired with a later batch's error.
  if (!c10::GradMode::is_enabled() || !activated.requires_grad()) return;
  py::object values = dendrite_module.attr("dendrite_values")[py::int_(i)];
  py::list outs = queue(values, "dendrite_outs", device_slot(activated.device()));
  if (setting_on("debugging_memory_leak") && !outs.empty()) {
    if (!setting_on("no_backward_workaround")) {
      report_stale_outputs(dendrite_module);
    } else {
      if (setting_on("verbose")) say(fill("%s clearing values in workaround", text(values.attr("layer_name"))));
      PySequence_DelItem(outs.ptr(), static_cast<Py_ssize_t>(outs.size()) - 1);
    }
  }
  if (!setting_on("dendrite_learn_mode")) return;
  if (setting_on("extra_verbose")) say(fill("%s appending dendrite_outs", text(values.attr("layer_name"))));
  outs.append(activated);
  if ((setting_on("extra_verbose") || setting_on("verbose")) && at::isnan(activated).any().item<bool>()) {
    say("got candidate out nan");
    debugger_stop();
  }
}

void report_non_finite_outputs(const py::object& dendrite_module, const py::dict& outs,
                               const py::dict& nonlinear) {
  if (!setting_on("debugging_backwards_nan")) return;
  // candidate_non_zeroed holds copies of the activated outputs: the same verdict.
  std::vector<at::Tensor> extremes;
  add_extremes(outs, extremes);
  add_extremes(nonlinear, extremes);
  if (extremes.empty()) return;
  const at::Device device = extremes.front().device();
  for (auto& e : extremes) e = e.to(device);
  if (at::isfinite(at::cat(extremes)).all().item<bool>()) return;
  say(fill("Got a NaN or inf in candidate outputs in layer %s", text(dendrite_module.attr("name"))));
  say("Try using GAR.pc.set_candidate_grad_clipping(1.0) to prevent large candidate gradients");
  debugger_stop();
}

}  // namespace

py::tuple forward_candidates(const py::object& dendrite_module, const std::vector<int64_t>& view_tuple,
                             py::object dendrite_outs, const py::args& args, const py::kwargs& kwargs) {
  py::dict candidate_outs, candidate_nonlinear_outs, candidate_non_zeroed;
  const long n = global_candidates();
  for (long i = 0; i < n; ++i) {
    if (!tracker_in_p_mode() || !py::object(dendrite_module.attr("mode")).equal(py::str("p"))) continue;
    const py::int_ key(i);
    // "not equal to []", as the companion sets it
    const bool processing = !py::object(dendrite_module.attr("candidate_processors")).equal(py::list());
    const py::object candidate = dendrite_module.attr("candidate_module")[key];
    const bool plain = reads_only(candidate, processing);
    const CutInputs in = cut_inputs(dendrite_module, dendrite_outs, args, kwargs, /*copy=*/!plain);
    const py::object result = run_candidate(dendrite_module, i, candidate, processing, plain, in);
    const at::Tensor pre_activation =
        add_dendrite_inputs(dendrite_module, i, result.cast<at::Tensor>(), dendrite_outs, view_tuple, in.device);
    candidate_outs[key] = pre_activation;
    const at::Device dev = in.device.cast<at::Device>();
    const at::Tensor activated = pc().attr("get_arb_forward_function")()(pre_activation).cast<at::Tensor>().to(dev);
    candidate_nonlinear_outs[key] = activated;
    if (dendrite_module.attr("training").cast<bool>()) queue_output(dendrite_module, i, activated);
    candidate_non_zeroed[key] = activated.detach().clone().to(dev);
  }
  report_non_finite_outputs(dendrite_module, candidate_outs, candidate_nonlinear_outs);
  return py::make_tuple(candidate_outs, candidate_nonlinear_outs, candidate_non_zeroed);
}

void check_dendrite_outs(const py::object& values, int64_t device_index) {
  if (queue(values, "dendrite_outs", device_index).empty()) {
    say(fill("Dendrite does not have output Value for layer %s", text(values.attr("layer_name"))));
    say("This can be caused by your model being in eval mode when you call loss.backwards()");
    debugger_stop();
  }
}

py::object apply_live_candidate_to_output(const py::object& neuron_module, const py::object& out,
                                          const py::dict& candidate_nonlinear_outs) {
  if (!neuron_module.attr("module_config").attr("get_learn_dendrites_live")().cast<bool>()) return out;
  py::object live = py::getattr(neuron_module, "current_candidate_to_top", py::none());
  if (live.is_none() || candidate_nonlinear_outs.empty()) return out;
  at::Tensor to_top = live.cast<at::Tensor>().select(0, 0);
  const at::Tensor first = candidate_nonlinear_outs[py::int_(0)].cast<at::Tensor>();
  const int64_t node = node_index(neuron_module, "apply_live_candidate_to_output");
  for (int64_t dim = 0; dim < first.dim(); ++dim) {
    if (dim != node) to_top = to_top.unsqueeze(dim);
  }
  const at::Tensor o = out.cast<at::Tensor>();
  return py::cast(o + first.detach().to(o.device()) * to_top.to(o.device()));
}

}  // namespace arbor::engine
