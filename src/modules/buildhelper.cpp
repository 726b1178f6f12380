// The package's build helper: its build description and the step that copies the data files.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "bridge/config.h"
#include "bridge/errors.h"
#include "core/build/build_step.h"
#include "core/build/description.h"
#include "core/files/copy.h"

namespace py = pybind11;
namespace fs = std::filesystem;
namespace build = mosswork::core::build;
namespace files = mosswork::core::files;
namespace bridge = mosswork::bridge;

#ifndef MOSSWORK_SOURCE_ROOT
#error "MOSSWORK_SOURCE_ROOT must name the directory that holds the package sources"
#endif
#ifndef MOSSWORK_MODULES
#error "MOSSWORK_MODULES must list the compiled modules, separated by ';'"
#endif

namespace {

constexpr const char* kModuleName = "mosswork_utils.buildhelper";

bool copy_file(const fs::path& path, const fs::path& source_dir, const fs::path& destination_dir) {
  py::gil_scoped_release released;
  return files::copy_file(path, source_dir, destination_dir);
}

std::size_t deep_copy_file(const fs::path& path, const fs::path& src_dir, const fs::path& dst_dir) {
  py::gil_scoped_release released;
  return files::deep_copy_file(path, src_dir, dst_dir);
}

build::BuildStepResult run_step(const build::BuildStep& step) {
  py::gil_scoped_release released;
  return build::run_build_step(step);
}

std::vector<std::string> compiled_modules() {
  std::vector<std::string> names;
  std::string all = MOSSWORK_MODULES;
  std::size_t start = 0;
  while (start <= all.size()) {
    std::size_t end = all.find(';', start);
    if (end == std::string::npos) end = all.size();
    if (end > start)
      names.push_back(std::string(build::kPackageName) + "." + all.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

py::dict setup_description(py::handle command_class) {
  py::dict ext;
  ext["name"] = std::string(build::kModulePattern);
  ext["build_temp"] = std::string(build::kBuildTemp);
  ext["modules"] = compiled_modules();
  py::dict cmdclass;
  cmdclass["build_ext"] = command_class;
  py::dict d;  // the keys in the order of the build tool's set-up call
  d["name"] = std::string(build::kDistributionName);
  d["author"] = std::string(build::kAuthor);
  d["version"] = std::string(build::kVersion);
  d["ext_modules"] = py::make_tuple(ext);
  d["cmdclass"] = cmdclass;
  return d;
}

py::dict result_dict(const build::BuildStepResult& r) {
  py::dict d;
  d["configs_files"] = r.configs_files;
  d["requirements_copied"] = r.requirements_copied;
  return d;
}

// ---- MyBuildExt: setuptools' build_ext followed by the data-file copies ---------------------

// The directory of the build script: the command's root_dir when set, else the folder of the
// distribution's script (setup() records only its base name; sys.argv[0] has the path it was
// started with), else the package's own source tree.
fs::path command_root(py::handle self) {
  py::object root = py::getattr(self, "root_dir", py::none());
  if (!root.is_none()) return root.cast<fs::path>();
  py::object script = py::getattr(self.attr("distribution"), "script_name", py::none());
  if (!script.is_none()) {
    fs::path path = script.cast<fs::path>();
    py::list argv = py::module_::import("sys").attr("argv");
    if (path.is_relative() && !argv.empty()) {
      fs::path started = argv[0].cast<fs::path>();
      if (started.filename() == path.filename()) path = started;
    }
    return fs::absolute(path).parent_path();
  }
  return MOSSWORK_SOURCE_ROOT;
}

py::dict command_run(py::object base, py::object self) {
  self.attr("ensure_finalized")();
  base.attr("run")(self);  // compiles the extensions (none: nothing to do)
  const fs::path root = command_root(self);
  fs::path target = root;
  if (!bridge::is_on(self.attr("inplace"))) {
    py::object build_lib = self.attr("build_lib");
    if (build_lib.is_none()) {
      PyErr_SetString(PyExc_ValueError, "MyBuildExt needs build_lib unless it builds in place");
      throw py::error_already_set();
    }
    target = build_lib.cast<fs::path>();
  }
  build::BuildStepResult result;
  result.configs_files = self.attr("deep_copy_file")(std::string(build::kConfigsDir), root, target)
                             .cast<std::size_t>();
  result.requirements_copied =
      self.attr("copy_file")(std::string(build::kRequirementsFile), root, target).cast<bool>();
  return result_dict(result);
}

// copy_file(path, source_dir, destination_dir) copies one file by its relative path. The base
// command's own calls, copy_file(infile, outfile, ..., level=...) (setuptools makes one to put
// in-place extensions into the source tree), go to the base command's copy_file.
py::object command_copy_file(py::object base, py::args args, py::kwargs kwargs) {
  static const char* const kNames[] = {"self", "path", "source_dir", "destination_dir"};
  bool ours = args.size() <= 4;
  for (auto item : kwargs) {
    std::string key = py::str(item.first);
    ours = ours && std::find(std::begin(kNames) + 1, std::end(kNames), key) != std::end(kNames);
  }
  ours = ours && (args.size() == 4 || kwargs.contains("destination_dir"));
  if (!ours) return base.attr("copy_file")(*args, **kwargs);
  py::object values[4];
  for (std::size_t i = 0; i < args.size(); ++i) values[i] = args[i];
  for (std::size_t i = 1; i < 4; ++i) {
    if (!kwargs.contains(kNames[i])) continue;
    if (values[i]) {
      PyErr_Format(PyExc_TypeError, "copy_file() got multiple values for argument '%s'", kNames[i]);
      throw py::error_already_set();
    }
    values[i] = kwargs[kNames[i]];
  }
  for (std::size_t i = 1; i < 4; ++i) {
    if (!values[i]) {
      PyErr_Format(PyExc_TypeError, "copy_file() missing required argument '%s'", kNames[i]);
      throw py::error_already_set();
    }
  }
  return py::bool_(copy_file(values[1].cast<fs::path>(), values[2].cast<fs::path>(),
                             values[3].cast<fs::path>()));
}

// The class is made at import: setuptools is a Python class hierarchy, so the command is a
// Python subclass of build_ext whose methods are these C++ functions.
py::object make_command_class() {
  py::object base = py::module_::import("setuptools.command.build_ext").attr("build_ext");
  py::dict ns;
  ns["__module__"] = kModuleName;
  ns["__qualname__"] = "MyBuildExt";
  ns["__doc__"] =
      "setuptools' build_ext, then the data files: the 'configs' tree and 'requirements.txt' of "
      "the build script's folder are copied into build_lib (left where they are in place).";
  ns["root_dir"] = py::none();  // the build script's folder, unless set
  py::object meta =
      py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())));
  py::object cls = meta("MyBuildExt", py::make_tuple(base), ns);
  cls.attr("run") = py::cpp_function(
      [base](py::object self) { return command_run(base, self); }, py::name("run"),
      py::is_method(cls),
      "Builds the extensions, then copies the data files; returns what it copied.");
  cls.attr("copy_file") = py::cpp_function(
      [base](py::args args, py::kwargs kwargs) { return command_copy_file(base, args, kwargs); },
      py::name("copy_file"), py::is_method(cls),
      "copy_file(self, path, source_dir, destination_dir) -> bool: copies source_dir/path to "
      "destination_dir/path, overwriting; a missing source is skipped (False).");
  cls.attr("deep_copy_file") = py::cpp_function(
      [](py::object, const fs::path& path, const fs::path& src_dir, const fs::path& dst_dir) {
        return deep_copy_file(path, src_dir, dst_dir);
      },
      py::name("deep_copy_file"), py::is_method(cls), py::arg("path"), py::arg("src_dir"),
      py::arg("dst_dir"),
      "Mirrors the tree src_dir/path into dst_dir/path; returns the number of files copied.");
  return cls;
}

// Command line of the build step, as the package's CMake build runs it:
//   --build-lib DIR | --inplace, and optionally --root-dir DIR.
// It needs no setuptools: the build environment of a wheel need not have it.
int run_main(std::optional<std::vector<std::string>> argv_opt) {
  std::vector<std::string> argv;
  if (argv_opt) {
    argv = *argv_opt;
  } else {
    auto sys_argv = py::module_::import("sys").attr("argv").cast<std::vector<std::string>>();
    argv.assign(sys_argv.begin() + (sys_argv.empty() ? 0 : 1), sys_argv.end());
  }
  build::BuildStep step;
  step.root_dir = MOSSWORK_SOURCE_ROOT;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& a = argv[i];
    auto value = [&](const char* flag) {
      if (i + 1 >= argv.size()) throw py::value_error(std::string(flag) + " needs a directory");
      return fs::path(argv[++i]);
    };
    if (a == "--build-lib") {
      step.build_lib = value("--build-lib");
    } else if (a == "--root-dir") {
      step.root_dir = value("--root-dir");
    } else if (a == "--inplace") {
      step.inplace = true;
    } else {
      throw py::value_error("unknown argument: " + a +
                            " (expected --build-lib DIR, --inplace, --root-dir DIR)");
    }
  }
  run_step(step);
  return 0;
}

}  // namespace

PYBIND11_MODULE(buildhelper, m) {
  mosswork::bridge::install_error_translator();
  m.doc() = "The build description of mosswork-utils and the step that copies its data files.";
  m.attr("__version__") = std::string(build::kVersion);

  m.def("copy_file", &copy_file, py::arg("path"), py::arg("source_dir"), py::arg("destination_dir"),
        "Copies source_dir/path to destination_dir/path, overwriting; a missing source is "
        "skipped. Returns whether a file was copied.");
  m.def("deep_copy_file", &deep_copy_file, py::arg("path"), py::arg("src_dir"), py::arg("dst_dir"),
        "Mirrors the tree src_dir/path into dst_dir/path; returns the number of files copied.");
  m.def("main", &run_main, py::arg("argv") = py::none(),
        "Runs the build step with command-line arguments (default: sys.argv[1:]).");

  py::object cls;
  try {
    cls = make_command_class();
  } catch (py::error_already_set& e) {
    // Without setuptools the copies and main() still serve the CMake build; the command and
    // the description, which are setuptools' things, say what they miss when asked for.
    if (!e.matches(PyExc_ModuleNotFoundError)) throw;
    std::string missing = py::str(e.value());
    m.def("__getattr__", [missing](const std::string& name) -> py::object {
      if (name == "MyBuildExt" || name == "setup_description") {
        PyErr_SetString(PyExc_ModuleNotFoundError,
                        (name + " needs setuptools, which cannot be imported: " + missing).c_str());
      } else {
        PyErr_SetString(
            PyExc_AttributeError,
            ("module 'mosswork_utils.buildhelper' has no attribute '" + name + "'").c_str());
      }
      throw py::error_already_set();
    });
    return;
  }
  m.attr("MyBuildExt") = cls;
  m.attr("setup_description") = setup_description(cls);
}
