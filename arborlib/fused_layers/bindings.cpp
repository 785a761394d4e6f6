// Python bindings of fused_layers.
#include "companion/companion.h"

PYBIND11_MODULE(TORCH_EXTENSION_NAME, m) {
  m.doc() = "arborlib.fused_layers";
  arbor::import_companion(m, "AR");
}
