// The package's build helper: its build description and the step that copies the data files.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bridge/errors.h"
#include "core/build/build_step.h"
#include "core/build/description.h"
#include "core/files/copy.h"

namespace py = pybind11;
namespace fs = std::filesystem;
namespace build = mosswork::core::build;
namespace files = mosswork::core::files;

#ifndef MOSSWORK_SOURCE_ROOT
#error "MOSSWORK_SOURCE_ROOT must name the directory that holds the package sources"
#endif
#ifndef MOSSWORK_MODULES
#error "MOSSWORK_MODULES must list the compiled modules, separated by ';'"
#endif

namespace {

// The build command: build_lib is the build output, inplace builds into the source tree.
struct MyBuildExt {
  std::optional<fs::path> build_lib;
  bool inplace = false;
  fs::path root_dir = MOSSWORK_SOURCE_ROOT;

  build::BuildStepResult run() const {
    build::BuildStep step;
    step.build_lib = build_lib.value_or(fs::path());
    step.inplace = inplace;
    step.root_dir = root_dir;
    py::gil_scoped_release released;
    return build::run_build_step(step);
  }
};

bool copy_file(const fs::path& path, const fs::path& source_dir, const fs::path& destination_dir) {
  py::gil_scoped_release released;
  return files::copy_file(path, source_dir, destination_dir);
}

std::size_t deep_copy_file(const fs::path& path, const fs::path& src_dir, const fs::path& dst_dir) {
  py::gil_scoped_release released;
  return files::deep_copy_file(path, src_dir, dst_dir);
}

std::vector<std::string> compiled_modules() {
  std::vector<std::string> names;
  std::string all = MOSSWORK_MODULES;
  std::size_t start = 0;
  while (start <= all.size()) {
    std::size_t end = all.find(';', start);
    if (end == std::string::npos) end = all.size();
    if (end > start) names.push_back(std::string(build::kPackageName) + "." + all.substr(start, end - start));
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

// Command line of the build step, as the package's build runs it:
//   --build-lib DIR | --inplace, and optionally --root-dir DIR.
int run_main(std::optional<std::vector<std::string>> argv_opt) {
  std::vector<std::string> argv;
  if (argv_opt) {
    argv = *argv_opt;
  } else {
    auto sys_argv = py::module_::import("sys").attr("argv").cast<std::vector<std::string>>();
    argv.assign(sys_argv.begin() + (sys_argv.empty() ? 0 : 1), sys_argv.end());
  }
  MyBuildExt cmd;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& a = argv[i];
    auto value = [&](const char* flag) {
      if (i + 1 >= argv.size()) throw py::value_error(std::string(flag) + " needs a directory");
      return fs::path(argv[++i]);
    };
    if (a == "--build-lib") {
      cmd.build_lib = value("--build-lib");
    } else if (a == "--root-dir") {
      cmd.root_dir = value("--root-dir");
    } else if (a == "--inplace") {
      cmd.inplace = true;
    } else {
      throw py::value_error("unknown argument: " + a +
                            " (expected --build-lib DIR, --inplace, --root-dir DIR)");
    }
  }
  cmd.run();
  return 0;
}

}  // namespace

PYBIND11_MODULE(buildhelper, m) {
  mosswork::bridge::install_error_translator();
  m.doc() = "The build description of mosswork-utils and the step that copies its data files.";
  m.attr("__version__") = std::string(build::kVersion);

  auto cls = py::class_<MyBuildExt>(m, "MyBuildExt", py::dynamic_attr(),
                                    "The build command: after the modules are compiled, copies the "
                                    "'configs' tree and 'requirements.txt' into the build output "
                                    "(or leaves them in the source tree for an in-place build).")
                 .def(py::init([](std::optional<fs::path> build_lib, bool inplace,
                                  std::optional<fs::path> root_dir) {
                        MyBuildExt c;
                        c.build_lib = std::move(build_lib);
                        c.inplace = inplace;
                        if (root_dir) c.root_dir = *root_dir;
                        return c;
                      }),
                      py::arg("build_lib") = py::none(), py::arg("inplace") = false,
                      py::arg("root_dir") = py::none())
                 .def_readwrite("build_lib", &MyBuildExt::build_lib)
                 .def_readwrite("inplace", &MyBuildExt::inplace)
                 .def_readwrite("root_dir", &MyBuildExt::root_dir)
                 .def(
                     "run", [](const MyBuildExt& c) { return result_dict(c.run()); },
                     "Copies the data files into the target directory; returns what it copied.")
                 .def_static("copy_file", &copy_file, py::arg("path"), py::arg("source_dir"),
                             py::arg("destination_dir"))
                 .def_static("deep_copy_file", &deep_copy_file, py::arg("path"),
                             py::arg("src_dir"), py::arg("dst_dir"));

  m.def("copy_file", &copy_file, py::arg("path"), py::arg("source_dir"),
        py::arg("destination_dir"),
        "Copies source_dir/path to destination_dir/path, overwriting; a missing source is "
        "skipped. Returns whether a file was copied.");
  m.def("deep_copy_file", &deep_copy_file, py::arg("path"), py::arg("src_dir"), py::arg("dst_dir"),
        "Mirrors the tree src_dir/path into dst_dir/path; returns the number of files copied.");
  m.attr("setup_description") = setup_description(cls);
  m.def("main", &run_main, py::arg("argv") = py::none(),
        "Runs the build step with command-line arguments (default: sys.argv[1:]).");
}
