// The lock-file context file_lock and the file digest calculate_file_md5.
#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>

#include "bridge/errors.h"
#include "bridge/text.h"
#include "core/files/file_lock.h"
#include "core/files/md5.h"
#include "modules/datastore/redis_access.h"

namespace py = pybind11;
using mosswork::bridge::Domain;
using mosswork::bridge::released;
namespace files = mosswork::core::files;

namespace mosswork::datastore {
namespace {

// The context file_lock returns: entering waits for the lock with the GIL released; leaving
// unlocks and closes, and lets any error of the body through.
class FileLockContext {
 public:
  FileLockContext(std::string path, files::FileLockOptions options)
      : path_(std::move(path)), options_(std::move(options)) {}

  void enter() {
    if (lock_) throw py::value_error("this file_lock is already held; enter it once at a time");
    lock_ = released(Domain::kGeneric,
                     [&] { return std::make_unique<files::FileLock>(path_, options_); });
  }
  bool exit() {
    lock_.reset();
    return false;
  }

 private:
  std::string path_;
  files::FileLockOptions options_;
  std::unique_ptr<files::FileLock> lock_;
};

}  // namespace

void bind_files(py::module_& m) {
  py::class_<FileLockContext>(m, "_FileLock",
                              "An exclusive lock on a lock file, held while the with-body runs.")
      .def("__enter__", [](FileLockContext& c) { c.enter(); })
      .def("__exit__", [](FileLockContext& c, py::args) { return c.exit(); });

  m.def(
      "file_lock",
      [](py::object lock_file, py::object timeout) {
        files::FileLockOptions options;
        // A number as the caller gave it; its text is the one the time-out error shows.
        options.timeout = std::chrono::duration<double>(py::float_(timeout).cast<double>());
        options.timeout_text = py::str(timeout).cast<std::string>();
        return FileLockContext(bridge::fs_path(lock_file), std::move(options));
      },
      py::arg("lock_file"), py::arg("timeout") = 30,
      "Waits for an exclusive flock on lock_file, polling once a second up to timeout seconds; "
      "raises TimeoutError when it is not had in time.");

  m.def(
      "calculate_file_md5",
      [](py::object file_path) {
        std::string path = bridge::fs_path(file_path);
        return released(Domain::kGeneric, [&] { return files::calculate_file_md5(path); });
      },
      py::arg("file_path"), "The MD5 of the file's bytes as 32 lower-case hex digits.");
}

}  // namespace mosswork::datastore
