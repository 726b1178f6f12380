// Plain file and directory-tree copies used by the package's build step.
#include "core/files/copy.h"

#include <algorithm>
#include <system_error>
#include <vector>

#include "core/common/errors.h"

namespace fs = std::filesystem;

namespace mosswork::core::files {
namespace {

[[noreturn]] void fail(const std::error_code& ec, const std::string& what, const fs::path& p) {
  throw IoError(ec.value(), what, p.string());
}

}  // namespace

bool copy_file(const fs::path& path, const fs::path& source_dir, const fs::path& destination_dir) {
  const fs::path source = source_dir / path;
  const fs::path destination = destination_dir / path;
  std::error_code ec;
  if (!fs::exists(source, ec)) {
    if (ec) fail(ec, "cannot inspect", source);
    return false;
  }
  if (fs::is_directory(source, ec))
    fail(std::make_error_code(std::errc::is_a_directory), "cannot copy", source);
  // The copy creates the file, never its folder: a missing folder is named as the culprit.
  const fs::path folder = destination.parent_path();
  if (!folder.empty()) {
    const fs::file_status status = fs::status(folder, ec);
    const std::string copying = "cannot copy '" + source.string() + "'";
    if (status.type() == fs::file_type::not_found) {
      fail(std::make_error_code(std::errc::no_such_file_or_directory),
           copying + ": the destination folder is missing", folder);
    }
    if (ec) fail(ec, copying + ": cannot inspect the destination folder", folder);
    if (status.type() != fs::file_type::directory) {
      fail(std::make_error_code(std::errc::not_a_directory),
           copying + ": the destination is not a folder", folder);
    }
  }
  // An in-place build copies the data files onto themselves: nothing to do.
  if (fs::exists(destination, ec) && fs::equivalent(source, destination, ec)) return true;
  fs::copy_file(source, destination, fs::copy_options::overwrite_existing, ec);
  if (ec) fail(ec, "cannot copy '" + source.string() + "' to", destination);
  return true;
}

std::size_t deep_copy_file(const fs::path& path, const fs::path& src_dir, const fs::path& dst_dir) {
  std::size_t copied = 0;
  std::error_code ec;
  const fs::path top = src_dir / path;
  if (!fs::is_directory(top, ec)) return 0;

  // Directories in top-down order, each relative to src_dir.
  std::vector<fs::path> pending{path};
  while (!pending.empty()) {
    const fs::path rel = pending.front();
    pending.erase(pending.begin());
    const fs::path destination = dst_dir / rel;
    if (!fs::is_directory(destination, ec)) {
      if (!fs::create_directory(destination, ec) && ec) fail(ec, "cannot create", destination);
    }
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(src_dir / rel, ec), end; !ec && it != end; it.increment(ec)) {
      entries.push_back(*it);
    }
    if (ec) fail(ec, "cannot list", src_dir / rel);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
      return a.path().filename() < b.path().filename();
    });
    std::vector<fs::path> subdirs;
    for (const auto& entry : entries) {
      const fs::path name = entry.path().filename();
      if (entry.is_symlink(ec) && entry.is_directory(ec)) continue;
      if (entry.is_directory(ec)) {
        subdirs.push_back(rel / name);
      } else if (copy_file(name, src_dir / rel, destination)) {
        ++copied;
      }
    }
    pending.insert(pending.begin(), subdirs.begin(), subdirs.end());
  }
  return copied;
}

}  // namespace mosswork::core::files
