// Python bindings of slim_restore.
#include "companion/companion.h"

PYBIND11_MODULE(TORCH_EXTENSION_NAME, m) {
  m.doc() = "arborlib.slim_restore";
  arbor::import_companion(m, "MAR");
}
