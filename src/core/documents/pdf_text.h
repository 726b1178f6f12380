// Plain text of PDF files through MuPDF, as PyMuPDF's default page.get_text() gives it, and the
// check for a PDF without any text layer.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace mosswork::core::documents {

struct PdfTextOptions {
  // Ceiling on the memory MuPDF may allocate for one document; a file needing more is refused.
  std::size_t max_memory = std::size_t{1} << 30;
  // MuPDF's cache of decoded resources (fonts, images), part of max_memory.
  std::size_t max_store = std::size_t{64} << 20;
  // Ceiling on the extracted text of the whole document.
  std::size_t max_text_bytes = std::size_t{256} << 20;
  // Wall-clock ceiling on reading one document. A small file can ask for unbounded work (forms
  // that draw each other ten times over, page trees that share their branches); past this a
  // file is refused. Ordinary documents take a few milliseconds a page.
  std::chrono::milliseconds max_time = std::chrono::minutes(5);
};

// Each page's text in page order: the characters of every text line (in the page's reading
// order as MuPDF groups it, ligatures and white space preserved, characters outside the page
// box dropped), each line ended by "\n" unless it ended with one or had no character.
// A missing or unreadable file throws IoError; a file MuPDF cannot parse, or one over the
// options' limits, throws ParseError (with MuPDF's message; the text and time limits name
// themselves).
std::vector<std::string> read_pdf_page_texts(const std::string& path,
                                             const PdfTextOptions& options = {});

// The page texts run together, with leading and trailing white space removed.
std::string read_pdf_text(const std::string& path, const PdfTextOptions& options = {});

// True when no page yields a single character (a document without pages included). Stops at
// the first page with text. Errors as read_pdf_page_texts; callers that treat an unreadable
// file as "not scanned" catch them.
bool is_scanned_pdf(const std::string& path, const PdfTextOptions& options = {});

}  // namespace mosswork::core::documents
