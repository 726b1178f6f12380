// The PDF text path (MuPDF's parser included) over arbitrary bytes.
#include "core/common/errors.h"
#include "core/documents/pdf_text.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mosswork::fuzz::MemFile file(data, size);
  mosswork::core::documents::PdfTextOptions options;
  options.max_memory = std::size_t{256} << 20;
  options.max_store = std::size_t{16} << 20;
  options.max_text_bytes = std::size_t{16} << 20;
  // Well inside libFuzzer's time-out: a document that asks for endless work is cut off by the
  // limit and is not reported as a hang.
  options.max_time = std::chrono::seconds(2);
  try {
    mosswork::core::documents::read_pdf_page_texts(file.path(), options);
    mosswork::core::documents::is_scanned_pdf(file.path(), options);
  } catch (const mosswork::core::Error&) {
  }
  return 0;
}
