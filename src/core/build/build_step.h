// The step the package's build runs after its modules are compiled: copy the data files.
#pragma once

#include <filesystem>

namespace mosswork::core::build {

struct BuildStep {
  // Output directory of the build; the data files land here unless the build is in place.
  std::filesystem::path build_lib;
  // True when the modules were built inside the source tree.
  bool inplace = false;
  // The directory that holds the package's sources and data files.
  std::filesystem::path root_dir;

  std::filesystem::path target_dir() const { return inplace ? root_dir : build_lib; }
};

struct BuildStepResult {
  std::size_t configs_files = 0;  // files copied from the configs tree
  bool requirements_copied = false;
};

// Copies the "configs" tree and "requirements.txt" from root_dir into target_dir().
BuildStepResult run_build_step(const BuildStep& step);

}  // namespace mosswork::core::build
