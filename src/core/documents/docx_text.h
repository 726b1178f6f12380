// Paragraph text of Word DOCX files through libzip and pugixml, as python-docx's
// Document.paragraphs / Paragraph.text give it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace mosswork::core::documents {

struct DocxTextOptions {
  // Most entries the zip container may list.
  std::size_t max_entries = 10000;
  // Largest uncompressed size of a part we read, declared or actual.
  std::size_t max_part_size = std::size_t{128} << 20;
};

// The text of each body paragraph of the main document part, in document order: direct w:p
// children of w:body only (paragraphs in tables, text boxes or revision wrappers are not
// body paragraphs). A paragraph's text is that of its w:r and w:hyperlink children (a
// hyperlink's own w:r children); a run gives w:t text, w:tab and w:ptab as "\t", w:br of type
// textWrapping (the default) and w:cr as "\n", other breaks as nothing, w:noBreakHyphen as "-".
// A missing or unreadable file throws IoError; a file that is no Word document, a part over the
// limits, or XML with a DOCTYPE throws ParseError.
std::vector<std::string> read_docx_paragraphs(const std::string& path,
                                              const DocxTextOptions& options = {});

// The paragraph texts joined with "\n", untrimmed.
std::string read_docx_text(const std::string& path, const DocxTextOptions& options = {});

}  // namespace mosswork::core::documents
