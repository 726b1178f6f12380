// The local paths of a verified download, from an object key (the store's) and a document name
// (the caller's): every path stays inside the process's download tree, or the call refuses with
// InvalidArgument for exactly the documented reasons (a NUL, an absolute name, a ".." component, a
// document name that names a folder, a path too long even shortened); a name is shortened only
// when the whole path would not fit, then at a character boundary with "..." before its
// extension, and the path fits.
//
// Layout of an input (FuzzedDataProvider): the object key, then the document name (the rest);
// the key's prefix length in characters and the byte budget come from the end.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <string_view>

#include "core/common/errors.h"
#include "core/common/log.h"
#include "core/s3/verified_download.h"
#include "fuzz_support.h"

namespace core = mosswork::core;
namespace s3 = mosswork::core::s3;
using mosswork::fuzz::require;

namespace {

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xc0) == 0x80; }

bool has_dot_dot_component(std::string_view path) {
  for (std::size_t start = 0;;) {
    const std::size_t end = path.find('/', start);
    if (path.substr(start, end == std::string_view::npos ? end : end - start) == "..") return true;
    if (end == std::string_view::npos) return false;
    start = end + 1;
  }
}

// Why the names must be refused, or "" when only their length could refuse them.
const char* refusal(std::string_view key_prefix, std::string_view doc) {
  for (std::string_view name : {key_prefix, doc}) {
    if (name.find('\0') != std::string_view::npos) return "a NUL";
    if (name.starts_with('/')) return "an absolute name";
    if (has_dot_dot_component(name)) return "a '..' component";
  }
  const std::string_view last = doc.substr(doc.rfind('/') + 1);
  if (last.empty() || last == ".") return "a folder";
  return "";
}

// The first `chars` characters: a lead byte and the continuation bytes after it count as one.
std::string_view first_characters(std::string_view s, std::size_t chars) {
  std::size_t i = 0;
  for (std::size_t k = 0; k < chars && i < s.size(); ++k) {
    ++i;
    while (i < s.size() && is_continuation(s[i])) ++i;
  }
  return s.substr(0, i);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  s3::VerifiedDownloadOptions options;
  options.key_prefix_chars = in.ConsumeIntegralInRange<std::size_t>(0, 64);
  options.max_path_bytes = in.ConsumeIntegralInRange<std::size_t>(0, 400);
  const std::string key = in.ConsumeRandomLengthString(160);
  const std::string doc = in.ConsumeRemainingBytesAsString();
  const std::string unique_id = "0badc0de";

  const std::string_view key_prefix = first_characters(key, options.key_prefix_chars);
  const std::string reason = refusal(key_prefix, doc);
  core::NullLog log;
  s3::DownloadPaths p;
  try {
    p = s3::plan_download_paths(key, doc, 4242, unique_id, log, options);
  } catch (const core::InvalidArgument& e) {
    mosswork::fuzz::show("refused", e.what());
    if (!reason.empty()) return 0;
    // Refused for its length: even "..." and the extension do not fit.
    const std::string dir =
        options.root + "4242" + (key_prefix.empty() ? "" : "/") + std::string(key_prefix);
    const std::string shortest = dir + "/..." + s3::split_extension(doc).second;
    require(shortest.size() + 1 + unique_id.size() + 12 > options.max_path_bytes,
            "refused for its length only when nothing fits", e.what());
    return 0;
  }
  mosswork::fuzz::show("planned", p.temp_download_path);
  require(reason.empty(), "names that leave the tree are refused", reason);

  const std::string base = options.root + "4242";
  require(p.temp_base == base, "the tree is the root and the process id");
  for (const std::string* path :
       {&p.temp_dir, &p.lock_file, &p.local_file_path, &p.temp_download_path, &p.verify_path}) {
    require(path->starts_with(base + "/"), "every path is inside the tree", *path);
    require(!has_dot_dot_component(std::string_view(*path).substr(base.size())),
            "no path climbs out of the tree", *path);
  }
  require(p.lock_file == p.temp_dir + ".lock", "the lock is the directory's sibling");
  require(p.temp_download_path == p.local_file_path + "." + unique_id + ".downloading" &&
              p.verify_path == p.local_file_path + "." + unique_id + ".verify",
          "the working copies sit beside the verified one");
  require(p.temp_download_path.size() <= options.max_path_bytes, "the path fits its budget",
          p.temp_download_path);

  const auto [name, ext] = s3::split_extension(doc);
  if (!p.shortened) {
    require(p.doc_name == doc, "a name that fits is kept");
    return 0;
  }
  // Shortened only when the whole path, separator counted, would not fit.
  require(p.temp_dir.size() + 1 + doc.size() + 1 + unique_id.size() + 12 > options.max_path_bytes,
          "a name is shortened only when it does not fit", doc);
  require(p.doc_name.ends_with("..." + ext), "a shortened name keeps its extension", p.doc_name);
  const std::string_view kept =
      std::string_view(p.doc_name).substr(0, p.doc_name.size() - 3 - ext.size());
  require(name.starts_with(kept), "a shortened name starts as the name does", p.doc_name);
  require(kept.empty() || kept.size() == name.size() || !is_continuation(name[kept.size()]),
          "a name is cut between characters", p.doc_name);
  return 0;
}
