// The DOCX reader over arbitrary bytes: text or a core error, nothing else.
#include "core/common/errors.h"
#include "core/documents/docx_text.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mosswork::fuzz::MemFile file(data, size);
  mosswork::core::documents::DocxTextOptions options;
  options.max_part_size = std::size_t{8} << 20;
  try {
    mosswork::core::documents::read_docx_paragraphs(file.path(), options);
  } catch (const mosswork::core::Error&) {
  }
  return 0;
}
