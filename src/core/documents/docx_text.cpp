// DOCX package reading: bounded zip part extraction, relationship and content-type lookup,
// and the paragraph text rules of python-docx.
#include "core/documents/docx_text.h"

#include <zip.h>

#include <cerrno>
#include <memory>
#include <pugixml.hpp>
#include <string_view>

#include "core/common/errors.h"

namespace mosswork::core::documents {
namespace {

constexpr std::string_view kWordNs = "http://schemas.openxmlformats.org/wordprocessingml/2006/main";
constexpr std::string_view kOfficeDocumentRel =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument";
constexpr std::string_view kMainContentType =
    "application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml";

struct ZipClose {
  void operator()(zip_t* archive) const noexcept { zip_discard(archive); }
};
struct ZipFileClose {
  void operator()(zip_file_t* file) const noexcept { zip_fclose(file); }
};
struct ZipErrorFini {
  void operator()(zip_error_t* error) const noexcept {
    zip_error_fini(error);
    delete error;
  }
};

// The one translation of libzip's errors: system failures stay IoError, the rest means the
// file is not a usable zip container.
[[noreturn]] void throw_zip_error(zip_error_t* error, const std::string& path) {
  std::string message = zip_error_strerror(error);
  if (zip_error_code_zip(error) == ZIP_ER_NOENT) throw IoError(ENOENT, "cannot open", path);
  if (zip_error_code_zip(error) == ZIP_ER_OPEN && zip_error_system_type(error) == ZIP_ET_SYS)
    throw IoError(zip_error_code_system(error), "cannot open", path);
  throw ParseError("cannot read " + path + ": " + message);
}

class Package {
 public:
  Package(const std::string& path, const DocxTextOptions& options)
      : path_(path), options_(options) {
    int code = 0;
    archive_.reset(zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code));
    if (!archive_) {
      int system_error = errno;  // zip_error_init_with_code reads errno for system failures
      std::unique_ptr<zip_error_t, ZipErrorFini> error(new zip_error_t);
      errno = system_error;
      zip_error_init_with_code(error.get(), code);
      throw_zip_error(error.get(), path);
    }
    zip_int64_t entries = zip_get_num_entries(archive_.get(), 0);
    if (entries < 0 || static_cast<std::uint64_t>(entries) > options.max_entries)
      throw ParseError(path + " has too many zip entries (" + std::to_string(entries) + ")");
  }

  bool has(const std::string& name) const {
    return zip_name_locate(archive_.get(), name.c_str(), 0) >= 0;
  }

  // The part's bytes; refuses parts whose declared or actual size passes the ceiling.
  std::string read(const std::string& name) const {
    zip_int64_t index = zip_name_locate(archive_.get(), name.c_str(), 0);
    if (index < 0) throw ParseError(path_ + " has no part " + name);
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive_.get(), static_cast<zip_uint64_t>(index), 0, &st) != 0)
      throw_zip_error(zip_get_error(archive_.get()), path_);
    if (!(st.valid & ZIP_STAT_SIZE) || st.size > options_.max_part_size)
      throw ParseError("part " + name + " of " + path_ + " is too large");
    std::unique_ptr<zip_file_t, ZipFileClose> file(
        zip_fopen_index(archive_.get(), static_cast<zip_uint64_t>(index), 0));
    if (!file) throw_zip_error(zip_get_error(archive_.get()), path_);
    std::string data;
    data.reserve(static_cast<std::size_t>(st.size));
    char buffer[65536];
    for (;;) {
      zip_int64_t n = zip_fread(file.get(), buffer, sizeof buffer);
      if (n < 0) throw_zip_error(zip_file_get_error(file.get()), path_);
      if (n == 0) break;
      data.append(buffer, static_cast<std::size_t>(n));
      // The declared size may lie; never hold more than the ceiling.
      if (data.size() > st.size || data.size() > options_.max_part_size)
        throw ParseError("part " + name + " of " + path_ + " expands beyond its size");
    }
    if (data.size() != st.size)
      throw ParseError("part " + name + " of " + path_ + " is shorter than declared");
    return data;
  }

  // Parses an XML part; DOCTYPE declarations (entity tricks) are refused outright.
  void parse(const std::string& name, pugi::xml_document& doc) const {
    std::string data = read(name);
    unsigned flags = pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_comments |
                     pugi::parse_pi | pugi::parse_doctype;
    pugi::xml_parse_result result = doc.load_buffer(data.data(), data.size(), flags);
    if (!result)
      throw ParseError("part " + name + " of " + path_ +
                       " is not well-formed XML: " + result.description());
    for (pugi::xml_node node : doc.children())
      if (node.type() == pugi::node_doctype)
        throw ParseError("part " + name + " of " + path_ + " declares a DOCTYPE");
  }

 private:
  std::string path_;
  DocxTextOptions options_;
  std::unique_ptr<zip_t, ZipClose> archive_;
};

std::string_view prefix_of(std::string_view qualified) {
  auto colon = qualified.find(':');
  return colon == std::string_view::npos ? std::string_view{} : qualified.substr(0, colon);
}

std::string_view local_of(std::string_view qualified) {
  auto colon = qualified.find(':');
  return colon == std::string_view::npos ? qualified : qualified.substr(colon + 1);
}

// The namespace a prefix is bound to at `node`, from the nearest declaration in scope.
std::string_view namespace_of(pugi::xml_node node, std::string_view prefix) {
  std::string declaration = prefix.empty() ? "xmlns" : "xmlns:" + std::string(prefix);
  for (; node && node.type() == pugi::node_element; node = node.parent()) {
    pugi::xml_attribute attribute = node.attribute(declaration.c_str());
    if (attribute) return attribute.value();
  }
  return {};
}

bool is_element(pugi::xml_node node, std::string_view ns, std::string_view local) {
  if (node.type() != pugi::node_element) return false;
  std::string_view name = node.name();
  return local_of(name) == local && namespace_of(node, prefix_of(name)) == ns;
}

// The value of the attribute `local` in namespace `ns`, if present.
const char* attribute_in(pugi::xml_node node, std::string_view ns, std::string_view local) {
  for (pugi::xml_attribute attribute : node.attributes()) {
    std::string_view name = attribute.name();
    std::string_view prefix = prefix_of(name);
    if (prefix.empty() || prefix == "xmlns") continue;  // unprefixed attributes have no namespace
    if (local_of(name) == local && namespace_of(node, prefix) == ns) return attribute.value();
  }
  return nullptr;
}

// Text before the first child that is not character data, as an XML tree gives it.
void append_leading_text(std::string& out, pugi::xml_node node) {
  for (pugi::xml_node child : node.children()) {
    if (child.type() != pugi::node_pcdata && child.type() != pugi::node_cdata) break;
    out += child.value();
  }
}

void append_run(std::string& out, pugi::xml_node run) {
  for (pugi::xml_node child : run.children()) {
    if (child.type() != pugi::node_element) continue;
    if (is_element(child, kWordNs, "t")) {
      append_leading_text(out, child);
    } else if (is_element(child, kWordNs, "tab") || is_element(child, kWordNs, "ptab")) {
      out += '\t';
    } else if (is_element(child, kWordNs, "br")) {
      const char* type = attribute_in(child, kWordNs, "type");
      if (!type || std::string_view(type) == "textWrapping") out += '\n';
    } else if (is_element(child, kWordNs, "cr")) {
      out += '\n';
    } else if (is_element(child, kWordNs, "noBreakHyphen")) {
      out += '-';
    }
  }
}

std::string paragraph_text(pugi::xml_node paragraph) {
  std::string text;
  for (pugi::xml_node child : paragraph.children()) {
    if (is_element(child, kWordNs, "r")) {
      append_run(text, child);
    } else if (is_element(child, kWordNs, "hyperlink")) {
      for (pugi::xml_node run : child.children())
        if (is_element(run, kWordNs, "r")) append_run(text, run);
    }
  }
  return text;
}

// Resolves a relationship target against the package root: "word/document.xml",
// "/word/document.xml" and "./word/../word/document.xml" name the same member.
std::string member_name(std::string_view target) {
  std::vector<std::string_view> segments;
  while (!target.empty()) {
    auto slash = target.find('/');
    std::string_view segment = target.substr(0, slash);
    target = slash == std::string_view::npos ? std::string_view{} : target.substr(slash + 1);
    if (segment.empty() || segment == ".") continue;
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
      continue;
    }
    segments.push_back(segment);
  }
  std::string name;
  for (auto segment : segments) {
    if (!name.empty()) name += '/';
    name += segment;
  }
  return name;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (auto& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// The content type [Content_Types].xml gives the member: its override, else its extension's.
std::string content_type_of(const Package& package, const std::string& path,
                            const std::string& member) {
  pugi::xml_document types;
  package.parse("[Content_Types].xml", types);
  std::string part_name = lower("/" + member);
  std::string extension = lower(member.substr(member.rfind('.') + 1));
  std::string by_default;
  for (pugi::xml_node node : types.document_element().children()) {
    std::string_view local = local_of(node.name());
    if (local == "Override" && lower(node.attribute("PartName").value()) == part_name)
      return node.attribute("ContentType").value();
    if (local == "Default" && lower(node.attribute("Extension").value()) == extension)
      by_default = node.attribute("ContentType").value();
  }
  if (by_default.empty()) throw ParseError(path + " gives no content type for " + member);
  return by_default;
}

}  // namespace

std::vector<std::string> read_docx_paragraphs(const std::string& path,
                                              const DocxTextOptions& options) {
  Package package(path, options);
  pugi::xml_document relationships;
  package.parse("_rels/.rels", relationships);
  std::string main;
  for (pugi::xml_node node : relationships.document_element().children()) {
    if (local_of(node.name()) == "Relationship" &&
        std::string_view(node.attribute("Type").value()) == kOfficeDocumentRel &&
        std::string_view(node.attribute("TargetMode").value()) != "External") {
      main = member_name(node.attribute("Target").value());
      break;
    }
  }
  if (main.empty()) throw ParseError(path + " has no main document part");
  std::string type = content_type_of(package, path, main);
  if (type != kMainContentType)
    throw ParseError("file '" + path + "' is not a Word file, content type is '" + type + "'");

  pugi::xml_document document;
  package.parse(main, document);
  pugi::xml_node root = document.document_element();
  pugi::xml_node body;
  for (pugi::xml_node child : root.children())
    if (is_element(child, kWordNs, "body")) {
      body = child;
      break;
    }
  if (!is_element(root, kWordNs, "document") || !body)
    throw ParseError(path + " has no document body");
  std::vector<std::string> paragraphs;
  for (pugi::xml_node child : body.children())
    if (is_element(child, kWordNs, "p")) paragraphs.push_back(paragraph_text(child));
  return paragraphs;
}

std::string read_docx_text(const std::string& path, const DocxTextOptions& options) {
  std::string text;
  bool first = true;
  for (auto& paragraph : read_docx_paragraphs(path, options)) {
    if (!first) text += '\n';
    text += paragraph;
    first = false;
  }
  return text;
}

}  // namespace mosswork::core::documents
