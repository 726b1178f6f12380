// The datastore module: Redis helpers, the verified object download and document reading over the
// clients that connections publishes.
#include <pybind11/pybind11.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bridge/asyncio.h"
#include "bridge/errors.h"
#include "core/build/description.h"
#include "modules/datastore/documents.h"
#include "modules/datastore/lazy_names.h"
#include "modules/datastore/redis_access.h"
#include "modules/datastore/vexlo_access.h"

namespace py = pybind11;

namespace mosswork::datastore {
namespace {

using Maker = std::function<py::object()>;

// Filled while the module initialises, then handed to __getattr__ and emptied. Never destroyed:
// makers left by a failed initialisation must not be released after the interpreter is gone.
std::vector<std::pair<std::string, Maker>>& pending() {
  static auto* makers = new std::vector<std::pair<std::string, Maker>>();
  return *makers;
}

}  // namespace

void publish_lazily(const char* name, Maker make) { pending().emplace_back(name, std::move(make)); }

void install_lazy_names(py::module_& m) {
  auto makers = std::make_shared<std::map<std::string, Maker>>(pending().begin(), pending().end());
  pending().clear();
  py::module_ self = m;
  m.def("__getattr__", [self, makers](const std::string& name) -> py::object {
    py::str key(name);
    PyObject* dict = PyModule_GetDict(self.ptr());
    if (PyObject* made = PyDict_GetItemWithError(dict, key.ptr())) {
      return py::reinterpret_borrow<py::object>(made);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    auto it = makers->find(name);
    if (it == makers->end()) {
      throw py::attribute_error("module '" + self.attr("__name__").cast<std::string>() +
                                "' has no attribute '" + name + "'");
    }
    // A copy: making may release the GIL (an import), and another thread may finish first.
    Maker make = it->second;
    py::object value = make();
    // The first value stored wins, so that every caller sees one object.
    PyObject* kept = PyDict_SetDefault(dict, key.ptr(), value.ptr());
    if (!kept) throw py::error_already_set();
    makers->erase(name);
    return py::reinterpret_borrow<py::object>(kept);
  });
  m.def("__dir__", [self, makers]() {
    py::list names = py::list(py::reinterpret_borrow<py::dict>(PyModule_GetDict(self.ptr())));
    for (const auto& entry : *makers) names.append(py::str(entry.first));
    names.attr("sort")();
    return names;
  });
  py::list published;
  for (auto item : py::reinterpret_borrow<py::dict>(PyModule_GetDict(m.ptr()))) {
    if (!item.first.cast<std::string>().starts_with("_")) published.append(item.first);
  }
  for (const auto& entry : *makers) published.append(py::str(entry.first));
  m.attr("__all__") = published;
}

}  // namespace mosswork::datastore

PYBIND11_MODULE(datastore, m) {
  m.doc() =
      "Data-store helpers: JSON values in Redis hashes, keys, sets, locks, retry counters, "
      "task accounting and the metric-query cache step; the verified object download, the "
      "file lock and file MD5; document text and full-text fetches; vector-database collections, "
      "upserts, queries, scrolls and payload updates.";
  m.attr("__version__") = std::string(mosswork::core::build::kVersion);
  mosswork::bridge::install_error_translator();
  py::module_ connections = py::module_::import("mosswork_utils.connections");
  for (const char* name : {"r", "r_master", "r_slaver", "redis_cluster", "config", "minio_client",
                           "opensearch_client", "vexlo_client"}) {
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
  mosswork::bridge::aio::bind_coroutine_type(m);
  mosswork::datastore::bind_vector_collections(m);
  mosswork::datastore::bind_vector_search(m);
  mosswork::datastore::install_lazy_names(m);
}
