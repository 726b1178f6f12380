// The step the package's build runs after its modules are compiled: copy the data files.
#include "core/build/build_step.h"

#include "core/build/description.h"
#include "core/common/errors.h"
#include "core/files/copy.h"

namespace mosswork::core::build {

BuildStepResult run_build_step(const BuildStep& step) {
  if (step.root_dir.empty()) throw InvalidArgument("build step needs the source directory");
  if (!step.inplace && step.build_lib.empty()) {
    throw InvalidArgument("build step needs build_lib unless it builds in place");
  }
  const auto target = step.target_dir();
  BuildStepResult result;
  result.configs_files = files::deep_copy_file(std::string(kConfigsDir), step.root_dir, target);
  result.requirements_copied =
      files::copy_file(std::string(kRequirementsFile), step.root_dir, target);
  return result;
}

}  // namespace mosswork::core::build
