// PDF text against PyMuPDF's page.get_text() on fixtures PyMuPDF writes, the scanned-PDF check,
// and files MuPDF must refuse without crashing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/common/errors.h"
#include "core/documents/pdf_text.h"
#include "core/documents/text_trim.h"
#include "support/python_peer.h"
#include "support/temp_dir.h"

using namespace mosswork::core;
using documents::is_scanned_pdf;
using documents::read_pdf_page_texts;
using documents::read_pdf_text;
using mosswork::test::open_fd_count;
using mosswork::test::run_python;
using mosswork::test::ScratchDir;

namespace {

// Writes the fixture PDFs into the folder named by argv[1].
constexpr const char* kMakeFixtures = R"PY(
import sys, pymupdf as fitz
d = sys.argv[1]
# Newer PyMuPDF releases print MuPDF's own errors to standard output, which carries the JSON.
fitz.TOOLS.mupdf_display_errors(False)

doc = fitz.open()
p = doc.new_page()
p.insert_text((72, 72), "  First page, line one\nline two with  two spaces\n   indented")
p.insert_text((72, 300), "A second block far below")
p = doc.new_page()
p.insert_text((72, 72), "Page two: back\\slash & ligature-free text")
p.insert_text((-40, 200), "half outside the page box")
p = doc.new_page(width=300, height=200)
p.insert_text((20, 50), "third page   ")
doc.save(d + "/three.pdf")

doc = fitz.open()
p = doc.new_page()
p.insert_text((72, 72), "中文测试：知识库文档", fontname="china-s")
p.insert_text((72, 120), "第二行 文本", fontname="china-s")
p.insert_text((72, 160), "Latin after CJK")
doc.save(d + "/cjk.pdf")

pix = fitz.Pixmap(fitz.csRGB, fitz.IRect(0, 0, 16, 16), False)
pix.clear_with(200)
png = pix.tobytes("png")
doc = fitz.open()
for _ in range(2):
    p = doc.new_page()
    p.insert_image(fitz.Rect(50, 50, 300, 300), stream=png)
doc.save(d + "/images.pdf")

doc = fitz.open()
p = doc.new_page()
p.insert_image(fitz.Rect(50, 50, 300, 300), stream=png)
p = doc.new_page()
p.insert_text((72, 72), " ")
doc.save(d + "/space.pdf")

doc = fitz.open()
p = doc.new_page()
p.set_rotation(90)
p.insert_text((72, 72), "rotated page text")
p.insert_text((72, 100), "vertical", rotate=90)
doc.save(d + "/rotated.pdf")

doc = fitz.open(d + "/three.pdf")
raw = doc.tobytes()
open(d + "/truncated.pdf", "wb").write(raw[: len(raw) // 2])
)PY";

// What PyMuPDF makes of each fixture, as JSON on standard output.
constexpr const char* kExpected = R"PY(
import json, os
out = {}
for name in sorted(os.listdir(d)):
    path = os.path.join(d, name)
    try:
        doc = fitz.open(path)
        pages = [page.get_text() for page in doc]
        doc.close()
        out[path] = {"pages": pages, "text": "".join(pages).strip(),
                     "scanned": not any(len(t) > 0 for t in pages)}
    except Exception as e:
        out[path] = {"error": str(e)}
print(json.dumps(out))
)PY";

class PdfText : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new ScratchDir();
    std::string folder = dir_->file("");
    folder.pop_back();  // no trailing slash, so the keys are the paths path() gives
    try {
      expected_ = new nlohmann::json(
          nlohmann::json::parse(run_python(std::string(kMakeFixtures) + kExpected, {folder})));
    } catch (const std::exception& e) {
      setup_error_ = new std::string(e.what());
    }
  }
  // A fixture failure (no interpreter, no PyMuPDF) fails every test rather than skipping.
  void SetUp() override {
    if (setup_error_) FAIL() << "fixtures: " << *setup_error_;
  }
  static void TearDownTestSuite() {
    delete expected_;
    delete setup_error_;
    delete dir_;
  }
  static std::string path(const std::string& name) { return dir_->file(name); }
  // The fixtures are made once per test process (ctest runs every test in its own).
  static const nlohmann::json& expected(const std::string& name) {
    return expected_->at(path(name));
  }

  // Page texts, joined text and the scanned verdict must equal PyMuPDF's byte for byte.
  static void expect_same_as_pymupdf(const std::string& name) {
    SCOPED_TRACE(name);
    const auto& peer = expected(name);
    ASSERT_FALSE(peer.contains("error")) << peer.dump();
    EXPECT_EQ(read_pdf_page_texts(path(name)), peer.at("pages").get<std::vector<std::string>>());
    EXPECT_EQ(read_pdf_text(path(name)), peer.at("text").get<std::string>());
    EXPECT_EQ(is_scanned_pdf(path(name)), peer.at("scanned").get<bool>());
  }

  // A PDF of the given objects, numbered from 1 (the first is the catalogue), with its xref.
  static void write_pdf(const std::string& file, const std::vector<std::string>& objects) {
    std::string pdf = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (const std::string& object : objects) {
      offsets.push_back(pdf.size());
      pdf += std::to_string(offsets.size()) + " 0 obj\n" + object + "\nendobj\n";
    }
    std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (auto o : offsets) {
      char line[32];
      std::snprintf(line, sizeof line, "%010zu 00000 n \n", o);
      pdf += line;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
           " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    std::ofstream(file, std::ios::binary) << pdf;
  }

  // Reading the file under a limit of 300 ms fails with the limit's text soon after it.
  static void expect_cut_off(const std::string& file) {
    documents::PdfTextOptions limited;
    limited.max_time = std::chrono::milliseconds(300);
    for (bool scanned_check : {false, true}) {
      SCOPED_TRACE(file + (scanned_check ? ", scanned check" : ", text"));
      const int fds = open_fd_count();
      const auto started = std::chrono::steady_clock::now();
      try {
        if (scanned_check) {
          is_scanned_pdf(file, limited);
        } else {
          read_pdf_text(file, limited);
        }
        ADD_FAILURE() << "read a file whose work has no bound";
      } catch (const ParseError& e) {
        EXPECT_EQ(std::string(e.what()), "text of " + file + " not read within 300 ms");
      }
      const auto took = std::chrono::steady_clock::now() - started;
      EXPECT_GE(took, std::chrono::milliseconds(300));
      EXPECT_LT(took, std::chrono::seconds(2));
      EXPECT_EQ(open_fd_count(), fds);
    }
  }

  static ScratchDir* dir_;
  static nlohmann::json* expected_;
  static std::string* setup_error_;
};

ScratchDir* PdfText::dir_ = nullptr;
nlohmann::json* PdfText::expected_ = nullptr;
std::string* PdfText::setup_error_ = nullptr;

}  // namespace

TEST_F(PdfText, ThreePagesRunTogetherAndTrimmedOnlyAtTheEnds) {
  expect_same_as_pymupdf("three.pdf");
  std::string text = read_pdf_text(path("three.pdf"));
  EXPECT_EQ(text.rfind("First page", 0), 0u) << text;
  EXPECT_NE(text.find("line two with  two spaces"), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 10), "third page") << text;
  EXPECT_EQ(read_pdf_page_texts(path("three.pdf")).size(), 3u);
}

TEST_F(PdfText, CjkTextComesOutAsUtf8) {
  expect_same_as_pymupdf("cjk.pdf");
  EXPECT_NE(read_pdf_text(path("cjk.pdf")).find("中文测试"), std::string::npos);
}

TEST_F(PdfText, RotatedPageAndVerticalText) { expect_same_as_pymupdf("rotated.pdf"); }

TEST_F(PdfText, ImageOnlyPagesAreScannedAndASingleSpaceIsNot) {
  expect_same_as_pymupdf("images.pdf");
  EXPECT_TRUE(is_scanned_pdf(path("images.pdf")));
  EXPECT_EQ(read_pdf_text(path("images.pdf")), "");
  expect_same_as_pymupdf("space.pdf");
  EXPECT_FALSE(is_scanned_pdf(path("space.pdf")));
  EXPECT_EQ(read_pdf_text(path("space.pdf")), "");
}

TEST_F(PdfText, DocumentWithoutPagesIsScanned) {
  // A hand-written PDF whose page tree is empty (PyMuPDF refuses to save one).
  write_pdf(path("empty.pdf"),
            {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [] /Count 0 >>"});
  EXPECT_TRUE(read_pdf_page_texts(path("empty.pdf")).empty());
  EXPECT_TRUE(is_scanned_pdf(path("empty.pdf")));
  EXPECT_EQ(read_pdf_text(path("empty.pdf")), "");
}

// Small files that ask for unbounded work: forms that each draw the next ten times, twelve
// deep (10^11 glyphs or paths on one page), and a page tree whose every node lists its one
// child ten times (10^9 pages). Both the text and the scanned check give up.
TEST_F(PdfText, WorkWithoutBoundIsCutOffAtTheTimeLimit) {
  auto stream = [](const std::string& dict, const std::string& body) {
    return "<< " + dict + " /Length " + std::to_string(body.size()) + " >>\nstream\n" + body +
           "\nendstream";
  };
  std::string ten_times;
  for (int i = 0; i < 10; ++i) ten_times += "/X Do ";
  const std::string font = "/Font << /F << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >>";
  for (std::string leaf : {"BT /F 1 Tf 10 10 Td (x) Tj ET", "0 0 m 1 1 l S"}) {
    std::vector<std::string> objects{
        "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Resources << "
        "/XObject << /X 5 0 R >> >> >>",
        stream("", "/X Do")};
    for (int level = 0; level < 12; ++level) {
      const int next = static_cast<int>(objects.size()) + 2;
      objects.push_back(stream(
          "/Type /XObject /Subtype /Form /BBox [0 0 612 792] /Resources << " +
              (level < 11 ? "/XObject << /X " + std::to_string(next) + " 0 R >>" : font) + " >>",
          level < 11 ? ten_times : leaf));
    }
    write_pdf(path("forms.pdf"), objects);
    expect_cut_off(path("forms.pdf"));
  }

  std::vector<std::string> tree{"<< /Type /Catalog /Pages 2 0 R >>"};
  long long count = 1;
  for (int level = 0; level < 9; ++level) count *= 10;
  for (int level = 0; level < 9; ++level, count /= 10) {
    const std::string child = std::to_string(tree.size() + 2) + " 0 R ";
    std::string kids;
    for (int i = 0; i < 10; ++i) kids += child;
    tree.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(count) + " >>");
  }
  tree.push_back("<< /Type /Page /MediaBox [0 0 612 792] /Contents " +
                 std::to_string(tree.size() + 2) + " 0 R >>");
  tree.push_back(stream("", "0 0 m 1 1 l S"));  // no text: the scanned check reads every page
  write_pdf(path("pages.pdf"), tree);
  expect_cut_off(path("pages.pdf"));
}

TEST_F(PdfText, TruncatedFileAgreesWithPyMuPDF) {
  // MuPDF repairs what it can; we must end where PyMuPDF ends, text or error.
  const auto& peer = expected("truncated.pdf");
  if (peer.contains("error")) {
    EXPECT_THROW(read_pdf_text(path("truncated.pdf")), ParseError);
  } else {
    expect_same_as_pymupdf("truncated.pdf");
  }
}

TEST_F(PdfText, CorruptAndMissingFilesRaiseInsteadOfCrashing) {
  int fds_before = open_fd_count();
  std::ofstream(path("garbage.pdf"), std::ios::binary) << std::string(4096, '\x9c') << "junk";
  EXPECT_THROW(read_pdf_text(path("garbage.pdf")), ParseError);
  EXPECT_THROW(is_scanned_pdf(path("garbage.pdf")), ParseError);
  std::ofstream(path("header-only.pdf"), std::ios::binary) << "%PDF-1.7\n1 0 obj\n<< /Type";
  EXPECT_THROW(read_pdf_text(path("header-only.pdf")), ParseError);
  std::ofstream(path("zero.pdf"), std::ios::binary).close();
  EXPECT_THROW(read_pdf_text(path("zero.pdf")), ParseError);
  try {
    read_pdf_text(path("missing.pdf"));
    FAIL() << "read a missing file";
  } catch (const IoError& e) {
    EXPECT_EQ(e.error_number(), ENOENT);
  }
  EXPECT_EQ(open_fd_count(), fds_before);
}

TEST_F(PdfText, MemoryCeilingTurnsIntoParseError) {
  documents::PdfTextOptions tight;
  tight.max_memory = 64 * 1024;
  tight.max_store = 16 * 1024;
  EXPECT_THROW(read_pdf_text(path("cjk.pdf"), tight), ParseError);
  documents::PdfTextOptions small_text;
  small_text.max_text_bytes = 10;
  EXPECT_THROW(read_pdf_text(path("three.pdf"), small_text), ParseError);
}

// Trimming must remove exactly what Python's str.strip() removes, no more and no less.
TEST(TextTrim, MatchesPythonStrip) {
  std::vector<std::string> samples{"",
                                   " ",
                                   "\t\n\v\f\r x \r\n",
                                   "\x1c\x1d\x1e\x1f"
                                   "a\x1f",
                                   "\u3000全角空白\u3000",
                                   "\u00a0nbsp\u0085",
                                   "\u2000\u200a\u2028\u2029\u202f\u205fz\u1680",
                                   "\u200bzero width is not space\u200b",
                                   "\ufeffbom\ufeff",
                                   "a \n b",
                                   "\x00nul\x00"};
  nlohmann::json input = samples;
  auto expected = nlohmann::json::parse(run_python(
      "import sys, json\nprint(json.dumps([s.strip() for s in json.loads(sys.argv[1])]))",
      {input.dump()}));
  ASSERT_EQ(expected.size(), samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i)
    EXPECT_EQ(documents::strip_white_space(samples[i]), expected[i].get<std::string>())
        << "sample " << i;
  // Malformed UTF-8 is never white space and is kept as it is.
  EXPECT_EQ(documents::strip_white_space(" \xff \xe3\x80"), "\xff \xe3\x80");
}
