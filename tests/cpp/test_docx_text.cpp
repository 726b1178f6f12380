// DOCX paragraph text against python-docx's Paragraph.text on fixtures python-docx writes, and
// hostile packages (zip bombs, lying sizes, entity tricks) refused quickly.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/common/errors.h"
#include "core/documents/docx_text.h"
#include "support/python_peer.h"
#include "support/temp_dir.h"

using namespace mosswork::core;
using documents::DocxTextOptions;
using documents::read_docx_paragraphs;
using documents::read_docx_text;
using mosswork::test::open_fd_count;
using mosswork::test::run_python;
using mosswork::test::ScratchDir;

namespace {

// Writes fixtures into argv[1], then prints python-docx's paragraph texts of the good ones.
constexpr const char* kFixtures = R"PY(
import sys, os, json, struct, zipfile, copy
import docx
from docx.enum.text import WD_BREAK
from docx.oxml import OxmlElement, parse_xml
from docx.oxml.ns import qn, nsdecls
d = sys.argv[1]

doc = docx.Document()
p = doc.add_paragraph("plain ")
p.add_run("bold").bold = True
p.add_run("\tafter tab")
r = p.add_run("line")
r.add_break()
r.add_text("next line")
r.add_break(WD_BREAK.PAGE)
r.add_text("after page break")
r.add_break(WD_BREAK.COLUMN)
doc.add_paragraph("")
doc.add_paragraph("  spaces kept at both ends  ")
doc.add_paragraph("中文段落，知识库。混合 text 和 English")
p = doc.add_paragraph("cr:")
for tag in ("w:cr", "w:noBreakHyphen", "w:ptab", "w:tab"):
    p.runs[0]._r.append(OxmlElement(tag))
p.runs[0]._r.append(parse_xml('<w:t %s>&lt;escaped&gt; &amp; &#233;</w:t>' % nsdecls("w")))
p = doc.add_paragraph("link: ")
link = parse_xml('<w:hyperlink %s><w:r><w:t>inside link</w:t></w:r><w:r><w:tab/></w:r></w:hyperlink>' % nsdecls("w"))
p._p.append(link)
# runs wrapped in revision marks are not direct children: python-docx leaves them out
p._p.append(parse_xml('<w:ins %s w:id="1" w:author="a"><w:r><w:t>inserted</w:t></w:r></w:ins>' % nsdecls("w")))
table = doc.add_table(rows=1, cols=1)
table.cell(0, 0).text = "in a table, not a body paragraph"
doc.add_paragraph("after table")
doc.save(d + "/rich.docx")

doc = docx.Document()
for t in ("first", "", "third"):
    doc.add_paragraph(t)
doc.save(d + "/three.docx")

docx.Document().save(d + "/blank.docx")

# The same document with a prefix other than "w" for the wordprocessing namespace.
def members():
    with zipfile.ZipFile(d + "/three.docx") as z:
        return [(n, z.read(n)) for n in z.namelist()]

def rewrite(name, member, data):
    with zipfile.ZipFile(d + "/" + name, "w", zipfile.ZIP_DEFLATED) as out:
        for n, original in members():
            out.writestr(n, data if n == member else original)

body = dict(members())["word/document.xml"].decode()
rewrite("prefix.docx", "word/document.xml",
        body.replace("xmlns:w=", "xmlns:wx=").replace("<w:", "<wx:").replace("</w:", "</wx:").replace(" w:", " wx:"))

expected = {}
for name in ("rich.docx", "three.docx", "blank.docx", "prefix.docx"):
    expected[name] = [p.text for p in docx.Document(os.path.join(d, name)).paragraphs]

head = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
xxe = head + '<!DOCTYPE w:document [<!ENTITY xxe SYSTEM "file:///etc/passwd">]>' + body[body.index("<w:document"):].replace("first", "&xxe;")
rewrite("xxe.docx", "word/document.xml", xxe)
lol = head + '<!DOCTYPE w:document [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;"><!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;">]>' + body[body.index("<w:document"):].replace("first", "&c;&c;&c;")
rewrite("laughs.docx", "word/document.xml", lol)
# 40 MiB of white space inside the body: some 40 KiB on disk
bomb = body.replace("first", "first" + " " * (40 << 20))
rewrite("bomb.docx", "word/document.xml", bomb)
rewrite("broken-xml.docx", "word/document.xml", body[: len(body) // 2])
ct = dict(members())["[Content_Types].xml"].decode().replace("wordprocessingml.document.main+xml", "spreadsheetml.sheet.main+xml")
rewrite("not-word.docx", "[Content_Types].xml", ct)

# A member whose headers declare 1000 bytes but whose data inflates to 2 MiB.
big = body.replace("first", "x" * (2 << 20)).encode()
rewrite("liar.docx", "word/document.xml", big)
raw = bytearray(open(d + "/liar.docx", "rb").read())
for sig, size_at in ((b"PK\x03\x04", 22), (b"PK\x01\x02", 24)):
    at = raw.find(sig)
    while at >= 0:
        name_len = struct.unpack_from("<H", raw, at + (26 if sig == b"PK\x03\x04" else 28))[0]
        name_at = at + (30 if sig == b"PK\x03\x04" else 46)
        if raw[name_at:name_at + name_len] == b"word/document.xml":
            struct.pack_into("<I", raw, at + size_at, 1000)
        at = raw.find(sig, at + 4)
open(d + "/liar.docx", "wb").write(raw)

with zipfile.ZipFile(d + "/nodoc.docx", "w") as out:
    out.writestr("hello.txt", "not a document")
open(d + "/garbage.docx", "wb").write(os.urandom(3000))
print(json.dumps(expected))
)PY";

class DocxText : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new ScratchDir();
    try {
      expected_ =
          new nlohmann::json(nlohmann::json::parse(run_python(kFixtures, {dir_->file("")})));
    } catch (const std::exception& e) {
      setup_error_ = new std::string(e.what());
    }
  }
  // A fixture failure (no interpreter, no python-docx) fails every test rather than skipping.
  void SetUp() override {
    if (setup_error_) FAIL() << "fixtures: " << *setup_error_;
  }
  static void TearDownTestSuite() {
    delete expected_;
    delete setup_error_;
    delete dir_;
  }
  static std::string path(const std::string& name) { return dir_->file(name); }

  static void expect_same_as_python_docx(const std::string& name) {
    SCOPED_TRACE(name);
    auto peer = expected_->at(name).get<std::vector<std::string>>();
    EXPECT_EQ(read_docx_paragraphs(path(name)), peer);
    std::string joined;
    for (std::size_t i = 0; i < peer.size(); ++i) joined += (i ? "\n" : "") + peer[i];
    EXPECT_EQ(read_docx_text(path(name)), joined);
  }

  // Hostile input must fail fast with ParseError.
  static void expect_refused(const std::string& name, const DocxTextOptions& options = {}) {
    SCOPED_TRACE(name);
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(read_docx_text(path(name), options), ParseError);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
  }

  static ScratchDir* dir_;
  static nlohmann::json* expected_;
  static std::string* setup_error_;
};

ScratchDir* DocxText::dir_ = nullptr;
nlohmann::json* DocxText::expected_ = nullptr;
std::string* DocxText::setup_error_ = nullptr;

}  // namespace

TEST_F(DocxText, RunsTabsBreaksLinksAndCjkMatchPythonDocx) {
  expect_same_as_python_docx("rich.docx");
  auto paragraphs = read_docx_paragraphs(path("rich.docx"));
  ASSERT_GE(paragraphs.size(), 2u);
  EXPECT_EQ(paragraphs[0], "plain bold\tafter tabline\nnext lineafter page break");
  EXPECT_EQ(paragraphs[1], "");
}

TEST_F(DocxText, EmptyMiddleParagraphGivesTwoLineFeeds) {
  expect_same_as_python_docx("three.docx");
  EXPECT_EQ(read_docx_text(path("three.docx")), "first\n\nthird");
}

TEST_F(DocxText, BlankDocumentAndOtherNamespacePrefix) {
  expect_same_as_python_docx("blank.docx");
  expect_same_as_python_docx("prefix.docx");
}

TEST_F(DocxText, EntityTricksAreRefused) {
  expect_refused("xxe.docx");
  expect_refused("laughs.docx");
}

TEST_F(DocxText, ZipBombsAndLyingSizesAreRefused) {
  DocxTextOptions ceiling;
  ceiling.max_part_size = 16 << 20;
  expect_refused("bomb.docx", ceiling);
  expect_refused("liar.docx", ceiling);
  expect_refused("liar.docx");
  DocxTextOptions few;
  few.max_entries = 3;
  expect_refused("three.docx", few);
}

TEST_F(DocxText, BrokenAndForeignPackagesRaise) {
  int fds_before = open_fd_count();
  expect_refused("broken-xml.docx");
  expect_refused("not-word.docx");
  expect_refused("nodoc.docx");
  expect_refused("garbage.docx");
  try {
    read_docx_text(path("missing.docx"));
    FAIL() << "read a missing file";
  } catch (const IoError& e) {
    EXPECT_EQ(e.error_number(), ENOENT);
  }
  EXPECT_EQ(open_fd_count(), fds_before);
}
