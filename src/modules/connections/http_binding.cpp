// Python face of the HTTP clients: each family in a file of its own.
#include "modules/connections/http_binding.h"

namespace mosswork::connections {

void bind_http(pybind11::module_& m) {
  bind_transport(m);
  bind_s3(m);
  bind_opensearch(m);
  bind_vexlo(m);
}

}  // namespace mosswork::connections
