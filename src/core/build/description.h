// The package's build description: the one source of its name, author, version and module layout.
#pragma once

#include <string_view>

namespace mosswork::core::build {

inline constexpr std::string_view kDistributionName = "mosswork-utils";
inline constexpr std::string_view kAuthor = "mosswork";
// Read by pyproject.toml and CMakeLists.txt with a regular expression: keep it on one line.
inline constexpr std::string_view kVersion = "1.0.0";
inline constexpr std::string_view kPackageName = "mosswork_utils";
// Every deliverable module is built as kPackageName + "." + its name.
inline constexpr std::string_view kModulePattern = "mosswork_utils.*";
// Intermediate build directory of the description.
inline constexpr std::string_view kBuildTemp = "build";
// Data files copied into the build output after the modules are compiled.
inline constexpr std::string_view kConfigsDir = "configs";
inline constexpr std::string_view kRequirementsFile = "requirements.txt";

}  // namespace mosswork::core::build
