// The datastore module: Redis helpers, the verified object download and document reading over the
// clients that connections publishes.
#include <pybind11/pybind11.h>

#include "bridge/errors.h"
#include "core/build/description.h"
#include "modules/datastore/documents.h"
#include "modules/datastore/redis_access.h"

namespace py = pybind11;

PYBIND11_MODULE(datastore, m) {
  m.doc() = "Data-store helpers: JSON values in Redis hashes, keys, sets, locks, retry counters, "
            "task accounting and the metric-query cache step; the verified object download, the "
            "file lock and file MD5; document text and full-text fetches.";
  m.attr("__version__") = std::string(mosswork::core::build::kVersion);
  mosswork::bridge::install_error_translator();
  py::module_ connections = py::module_::import("mosswork_utils.connections");
  for (const char* name : {"r", "r_master", "r_slaver", "redis_cluster", "config",
                           "minio_client", "opensearch_client"}) {
    m.attr(name) = connections.attr(name);
  }
  mosswork::datastore::RedisAccess access(connections);
  mosswork::datastore::bind_values(m, access);
  mosswork::datastore::bind_keys(m, access);
  mosswork::datastore::bind_retry(m, access);
  mosswork::datastore::bind_tasks(m, access);
  mosswork::datastore::bind_metric_cache(m);
  mosswork::datastore::bind_files(m);
  mosswork::datastore::bind_download(m);
  mosswork::datastore::bind_documents(m);
}
