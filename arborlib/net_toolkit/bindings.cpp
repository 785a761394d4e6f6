// Python bindings of net_toolkit.
#include "companion/companion.h"

PYBIND11_MODULE(TORCH_EXTENSION_NAME, m) {
  m.doc() = "arborlib.net_toolkit";
  arbor::import_companion(m, "MAR");
}
