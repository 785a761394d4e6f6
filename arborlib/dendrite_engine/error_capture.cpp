// The neurons' errors (output gradients) captured in backward, and the clearing of
// the per-device queues when gradients are zeroed.
#include "dendrite_engine.h"

namespace arbor::engine {

void filter_backward_ab(const at::Tensor& val, const py::object& values) {
  if (tracker_in_p_mode()) {
    c10::NoGradGuard no_grad;
    const long n = global_candidates();
    const int64_t slot = device_slot(val.device());
    // One detached tensor, shared by every candidate slot.
    const py::object error = py::cast(val.detach());
    py::object shared_earlier, summed;
    for (long i = 0; i < n; ++i) {
      py::object record = values[py::int_(i)];
      const std::string layer = text(record.attr("layer_name"));
      py::list errors = queue(record, "current_parent_d", slot);
      const size_t outputs = queue(record, "dendrite_outs", slot).size();
      if (outputs > 0 && errors.size() >= outputs) {
        // No output waits for an error: a further backward over the same forward
        // (retain_graph). Its error adds to that forward's, as gradients add up.
        if (setting_on("dendrite_learn_mode")) {
          const Py_ssize_t last = static_cast<Py_ssize_t>(errors.size()) - 1;
          py::object earlier = errors[last];
          if (!earlier.is(shared_earlier)) {  // the slots share one error, and so one sum
            shared_earlier = earlier;
            summed = py::cast(earlier.cast<at::Tensor>() + val.detach());
          }
          errors[last] = summed;
        }
        continue;
      }
      if (setting_on("debugging_memory_leak") && !errors.empty()) {
        say(fill("%s called backward but didn't clear the previous error.\n"
                 "This can cause a memory leak.\n"
                 "If it is, make sure you are calling optimizer.step() and zero_grad() each iteration.\n"
                 "You may need to reduce the total batches in gradient accumulation if this is intentional.\n",
                 layer));
        say("Dendrite outs and neuron errors are currently stacked (" +
            std::to_string(queue(record, "dendrite_outs", 0).size()) + "/" +
            std::to_string(queue(record, "current_parent_d", 0).size()) + ") times");
      }
      if (setting_on("dendrite_learn_mode")) {
        if (setting_on("extra_verbose")) say(fill("%s appending parent d and setting device", layer));
        errors.append(error);
        record.attr("device") = slot;
      }
    }
  }
  if (setting_on("extra_verbose")) {
    say(fill("%s completing backward", text(values[py::int_(0)].attr("layer_name"))));
  }
}

void apply_ab_zero(const py::object& self) {
  py::object values = self.attr("dendrite_values")[py::int_(0)];
  py::object d = py::getattr(values, "device", py::none());
  if (d.is_none()) return;
  if (setting_on("extra_verbose")) say("clearing out values in zero_grad");
  const int64_t slot = d.cast<int64_t>();
  py::list errors = queue(values, "current_parent_d", slot);
  py::list outs = queue(values, "dendrite_outs", slot);
  std::string cleared;
  if (!errors.empty() && errors.size() <= outs.size()) {
    cleared.append(errors.size(), '1').append(outs.size(), '2');
    // A forward ran after the last backward: keep its (newest) output for that backward.
    const bool keep_newest = errors.size() < outs.size();
    py::object newest = outs[outs.size() - 1];
    PySequence_DelSlice(errors.ptr(), 0, PY_SSIZE_T_MAX);
    PySequence_DelSlice(outs.ptr(), 0, PY_SSIZE_T_MAX);
    if (keep_newest) {
      outs.append(newest);
      if (setting_on("verbose")) say(fill("%s retaining::dendrite_outs", text(values.attr("layer_name"))));
    }
  }
  if (setting_on("verbose")) {
    say(text(values.attr("layer_name")) + " cleared:: " + cleared);
    say("dendrite_outs and current_parent_d lenghts are now: " + std::to_string(outs.size()) + "/" +
        std::to_string(errors.size()));
  }
}

}  // namespace arbor::engine
