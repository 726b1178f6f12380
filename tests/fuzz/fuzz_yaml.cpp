// The plugin list's YAML loader over arbitrary text.
#include <string_view>

#include "core/common/errors.h"
#include "core/plugins/yaml_value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    mosswork::core::plugins::parse_yaml(
        std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const mosswork::core::Error&) {
  }
  return 0;
}
