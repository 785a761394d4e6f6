// ARBLayer: one wrapped layer after dendrite training, as a single module holding its
// dendrite layers and main layer side by side plus the packed cascade weights.
#include "fused_layers.h"

#include "common/block_forward.h"
#include "common/stand_in.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace arbor::fused {

namespace {

// Marker texts: the block's module_id, and the small values hidden in the filler rows.
const char* const kBlockMarker = "ARBLayer fused block";
const char* const kFillerMarker = "arborlib skip weights";
constexpr int64_t kFillerSeed = 0;

py::object marker_tensor(const std::string& text) {
  // Built one letter at a time, as the marker for each sub-layer is.
  std::string built;
  for (char c : text) built.push_back(c);
  return UAR().attr("string_to_tensor")(built).attr("__add__")(3);
}

// Two characters per value: (c0 + 1) / 1e4 + (c1 + 1) / 1e6; blanks and full stops skipped.
std::vector<double> marker_values(const std::string& text) {
  std::vector<double> values;
  double current = 0.0;
  int position = 0;
  for (char ch : text) {
    if (ch == ' ' || ch == '.') continue;
    const double code = static_cast<unsigned char>(ch);
    current += (code + 1) / std::pow(10.0, (position + 2) * 2);
    if (++position == 2) {
      values.push_back(current);
      current = 0.0;
      position = 0;
    }
  }
  return values;
}

// An entry of the skip-weight list as rows x columns (each value a single element).
at::Tensor as_rows(const at::Tensor& entry) {
  at::Tensor t = entry.detach();
  if (t.dim() == 0) return t.reshape({1, 1});
  if (t.dim() == 1) return t.reshape({t.size(0), 1});
  const int64_t rows = t.size(0), cols = t.size(1);
  if (t.numel() != rows * cols) {
    fail(PyExc_ValueError, "ARBLayer", std::string(),
         "skip-weight entries must hold one value per row and column, got shape " + shape_text(t.sizes()));
  }
  return t.reshape({rows, cols});
}

// Packs the list into an [n, n, size] tensor: each entry's rows copied, every other row
// filled with draws from the values' own normal distribution.
at::Tensor pack_skip_weights(const std::vector<at::Tensor>& entries) {
  const int64_t n = static_cast<int64_t>(entries.size());
  int64_t size = 1;
  std::vector<at::Tensor> flat;
  for (const auto& e : entries) {
    size = std::max<int64_t>(size, e.size(1));
    flat.push_back(e.reshape({-1}).to(at::kDouble).cpu());
  }
  const at::Tensor all = n ? at::cat(flat) : at::empty({0}, at::kDouble);
  // On the weights' own device and dtype, so inference on the GPU needs no copies.
  const at::TensorOptions options = n ? entries[0].options() : at::TensorOptions(at::kFloat);
  at::Tensor packed = at::zeros({n, n, size}, options);
  int64_t filler_rows = 0;
  for (const auto& e : entries) filler_rows += std::max<int64_t>(0, n - e.size(0));
  at::Tensor filler;
  if (filler_rows > 0) {
    if (all.numel() == 0) {
      fail(PyExc_ValueError, "ARBLayer", std::string(), "the skip-weight list holds no values to draw the filler rows from");
    }
    const double mean = all.mean().item<double>();
    const double std = all.std(/*unbiased=*/false).item<double>();
    // A private generator with a fixed seed: saving must not move the caller's numpy random
    // stream, and two saves of one network must write the same bytes.
    std::vector<double> draws = py::module_::import("numpy")
                                    .attr("random")
                                    .attr("default_rng")(kFillerSeed)
                                    .attr("normal")(mean, std, filler_rows * size)
                                    .attr("tolist")()
                                    .cast<std::vector<double>>();
    auto round = py::module_::import("builtins").attr("round");
    const std::vector<double> marks = marker_values(kFillerMarker);
    for (size_t i = 0; i < marks.size() && i < draws.size(); ++i) {
      const double rounded = round(draws[i], 2).cast<double>();
      draws[i] = rounded >= 0 ? rounded + marks[i] : rounded - marks[i];
    }
    filler = at::tensor(draws, at::kDouble).to(options);
  }
  int64_t used = 0;
  for (int64_t i = 0; i < n; ++i) {
    const at::Tensor& e = entries[i];
    const int64_t copied = std::min<int64_t>(e.size(0), n);
    if (copied > 0) packed[i].narrow(0, 0, copied).narrow(1, 0, e.size(1)).copy_(e.narrow(0, 0, copied));
    for (int64_t j = copied; j < n; ++j) {
      packed[i][j].copy_(filler.narrow(0, used, size));
      used += size;
    }
  }
  return packed;
}

void arb_layer_init(py::object self, py::object layer_array, py::object processor_array,
                    py::object dendrites_to_top, py::object dendrites_to_dendrites, py::object node_index,
                    py::object num_cycles, py::object view_tuple) {
  module_base().attr("__init__")(self);
  py::module_ torch = py::module_::import("torch");
  self.attr("layer_array") = layer_array;
  block::guard_fast_path(layer_array);
  self.attr("register_buffer")("module_id", marker_tensor(kBlockMarker));
  self.attr("register_buffer")("num_cycles", num_cycles);
  self.attr("register_buffer")("view_tuple", torch.attr("tensor")(view_tuple));
  // The forward pass reads this Python int, never the buffer (a device read per pass).
  self.attr("neuron_trailing_dims") = block::trailing_of_view(view_tuple.cast<std::vector<int64_t>>());
  for (auto layer : layer_array) layer.attr("register_buffer")("module_id", marker_tensor("ARB"));
  self.attr("processor_array") = processor_array;

  // A new list: extending the companion's dendrites_to_dendrites in place would corrupt
  // the neuron module it belongs to.
  py::object parameter_list = torch.attr("nn").attr("ParameterList");
  py::object skip = truth(dendrites_to_dendrites)
                        ? parameter_list(py::list(dendrites_to_dendrites))
                        : parameter_list(py::make_tuple(torch.attr("zeros")(1, 1, 1)));
  if (truth(dendrites_to_top)) {
    skip.attr("append")(dendrites_to_top[py::int_(-1)]);
  } else {
    skip = parameter_list();
  }
  std::vector<at::Tensor> entries;
  for (auto e : skip) entries.push_back(as_rows(e.cast<at::Tensor>()));
  at::Tensor packed;
  {
    c10::NoGradGuard no_grad;
    packed = pack_skip_weights(entries);
  }
  self.attr("original") = skip;
  py::object parameter = torch.attr("nn").attr("Parameter");
  if (packed.size(0) > 1) {
    self.attr("skip_weights") = parameter(packed.slice(0, 1).contiguous());
  } else if (packed.size(0) == 0) {
    self.attr("skip_weights") = parameter(packed);
  }  // exactly one entry: no skip weights at all
  self.attr("node_index") = node_index;
  self.attr("internal_nonlinearity") = pc().attr("get_arb_forward_function")();
}

py::object arb_layer_forward(py::object self, py::args args, py::kwargs kwargs) {
  py::object layers = self.attr("layer_array");
  py::object processors = self.attr("processor_array");
  const int64_t n = py::len(layers);
  if (n == 0) fail(PyExc_ValueError, "ARBLayer", std::string(), "layer_array is empty, there is no main layer to run");
  py::list slots;
  for (int64_t c = 0; c < n; ++c) slots.append(block::run_layer(layers, processors, c, args, kwargs, "ARBLayer"));
  std::vector<at::Tensor> outs = block::checked_outputs(slots, layers, "ARBLayer");
  at::Tensor result = outs.back();
  if (n > 1) {
    result = block::combine(outs, self.attr("skip_weights").cast<at::Tensor>(), 0, block::trailing_dims(self),
                            self.attr("internal_nonlinearity"), "ARBLayer");
  }
  py::object main_proc = block::processor_at(processors, n - 1);
  if (!main_proc.is_none()) return main_proc.attr("post")(result);
  return py::cast(result);
}

}  // namespace

void define_arb_layer(py::module_& m) {
  py::object cls = make_class(m, module_base(), "ARBLayer",
                              "A wrapped layer with its installed dendrites, fused into one module for inference.");
  add_method(cls, "__init__", &arb_layer_init, py::arg("layer_array"), py::arg("processor_array"),
             py::arg("dendrites_to_top"), py::arg("dendrites_to_dendrites"), py::arg("node_index"),
             py::arg("num_cycles"), py::arg("view_tuple"));
  add_method(cls, "forward", &arb_layer_forward);
  add_method(cls, "__getattr__", &block::main_layer_attr);
}

}  // namespace arbor::fused
