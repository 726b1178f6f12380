// Plain file and directory-tree copies used by the package's build step.
#pragma once

#include <filesystem>

namespace mosswork::core::files {

// Copies source_dir/path to destination_dir/path, overwriting. A missing source is skipped
// (returns false). Copying a file onto itself is a no-op. Other failures throw IoError; when the
// destination folder is missing (or is no folder), its path is the error's path.
bool copy_file(const std::filesystem::path& path, const std::filesystem::path& source_dir,
               const std::filesystem::path& destination_dir);

// Mirrors the tree src_dir/path into dst_dir/path, top-down: each directory is created one
// level at a time and each file is copied with copy_file. A missing tree copies nothing.
// Symbolic links to directories are not followed. Returns the number of files copied.
std::size_t deep_copy_file(const std::filesystem::path& path, const std::filesystem::path& src_dir,
                           const std::filesystem::path& dst_dir);

}  // namespace mosswork::core::files
