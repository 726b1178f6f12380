// Verified object download: path planning with the byte budget, the locked reuse check, the
// checked double copy with retries, and the clean-up on every way out.
#include "core/s3/verified_download.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "core/common/errors.h"
#include "core/common/random_token.h"
#include "core/common/unique_fd.h"
#include "core/files/file_lock.h"
#include "core/files/md5.h"
#include "core/http/streaming_response.h"

namespace mosswork::core::s3 {
namespace {

// Bytes gathered from the stream before each write and digest update.
constexpr std::size_t kCopyBuffer = 1 << 20;

struct DirCloser {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

// Byte length of one UTF-8 character starting at s[i] (a stray continuation byte counts alone).
std::size_t char_length(std::string_view s, std::size_t i) {
  std::size_t n = 1;
  while (i + n < s.size() && (static_cast<unsigned char>(s[i + n]) & 0xC0) == 0x80) ++n;
  return n;
}

// Bytes taken by the first `chars` characters of s.
std::size_t prefix_bytes(std::string_view s, std::size_t chars) {
  std::size_t i = 0;
  for (std::size_t k = 0; k < chars && i < s.size(); ++k) i += char_length(s, i);
  return i;
}

// The usual path join: one "/" between the parts; an absolute right-hand part replaces the left.
std::string join(const std::string& left, const std::string& right) {
  if (!right.empty() && right.front() == '/') return right;
  if (left.empty() || left.back() == '/') return left + right;
  return left + "/" + right;
}

// Refuses a relative name that would resolve outside the directory it is joined to.
void check_confined(const std::string& text, const char* what) {
  if (text.find('\0') != std::string::npos) {
    throw InvalidArgument(std::string(what) +
                          " would leave the download directory: it contains "
                          "a NUL character");
  }
  if (!text.empty() && text.front() == '/') {
    throw InvalidArgument(std::string(what) + " would leave the download directory: '" + text +
                          "' is an absolute path");
  }
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find('/', start);
    std::string_view part = std::string_view(text).substr(
        start, end == std::string::npos ? std::string::npos : end - start);
    if (part == "..") {
      throw InvalidArgument(std::string(what) + " would leave the download directory: '" + text +
                            "' has a '..' component");
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

// Refuses a document name that names no file: an empty one, or one whose last component is empty
// or "." (the path would be a folder). Sub-folders before the last component are allowed.
void check_names_a_file(const std::string& doc_name) {
  if (doc_name.empty()) throw InvalidArgument("document name is empty");
  std::size_t slash = doc_name.rfind('/');
  std::string_view last =
      std::string_view(doc_name).substr(slash == std::string::npos ? 0 : slash + 1);
  if (last.empty() || last == ".") {
    throw InvalidArgument("document name '" + doc_name + "' names a folder, not a file");
  }
}

// The first 8 hex digits of a fresh version-4 UUID: those are all random bits.
std::string make_unique_id() { return random_hex(4); }

// mkdir -p. A parent removed by a concurrent clean-up between two levels is made again.
void make_dirs(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  for (int round = 0;; ++round) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (!ec) return;
    if (ec.value() == ENOENT && round < 3) continue;
    throw IoError(ec.value(), "cannot create directory", path);
  }
}

// Makes the last folder of `path` (its parents with make_dirs) and tells whether this call made
// it, rather than finding it there.
bool make_dir_tracked(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) make_dirs(path.substr(0, slash));
  for (int round = 0;; ++round) {
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    if (errno == EEXIST) return false;
    if (errno == ENOENT && round < 3 && slash != std::string::npos && slash > 0) {
      make_dirs(path.substr(0, slash));
      continue;
    }
    throw IoError(errno, "cannot create directory", path);
  }
}

// The folder holding `path` ("a/b//c/" gives "a/b"); empty when there is none.
std::string parent_dir(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  path.resize(slash);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Whether `dir` lies strictly inside `top` (both as planned, without "." or ".." components).
bool strictly_inside(const std::string& dir, const std::string& top) {
  return dir.size() > top.size() + 1 && dir.compare(0, top.size(), top) == 0 &&
         dir[top.size()] == '/';
}

// Removes the empty folders from `dir` up to, not including, `top`; stops at the first that is
// not empty or cannot be removed, and (with stop_at_objects) at one that is another object's
// directory, which only a holder of its lock file beside it may remove. Removing only empty ones
// keeps every folder that holds someone's lock file or copy; a caller making a folder that is
// removed under it makes it again.
void prune_empty_dirs(std::string dir, const std::string& top, bool stop_at_objects) noexcept {
  while (strictly_inside(dir, top)) {
    if (stop_at_objects && ::access((dir + ".lock").c_str(), F_OK) == 0) return;
    if (::rmdir(dir.c_str()) != 0 && errno != ENOENT) return;
    dir = parent_dir(dir);
  }
}

UniqueFd open_for_writing(const std::string& path) {
  return open_fd(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

// Deletes a file that may not exist; other failures throw.
void remove_existing(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw_errno("cannot delete", path);
}

// Deletes a file, ignoring every file-system error.
void remove_quietly(const std::string& path) noexcept { ::unlink(path.c_str()); }

bool exists(const std::string& path, std::uint64_t* size = nullptr) {
  struct stat sb{};
  if (::stat(path.c_str(), &sb) != 0) return false;
  if (size) *size = static_cast<std::uint64_t>(sb.st_size);
  return true;
}

// Whether the directory has no entries; a directory that cannot be read throws.
bool dir_is_empty(const std::string& path) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
  if (!dir) throw_errno("cannot open directory", path);
  errno = 0;
  while (dirent* entry = ::readdir(dir.get())) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") return false;
  }
  if (errno != 0) throw_errno("cannot read directory", path);
  return true;
}

void write_all(int fd, std::string_view data, const std::string& path) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("cannot write", path);
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// One whole copy of the object into `path`: streamed piece by piece (hashed as written when
// md5 is given), flushed to the disk, closed, then the stream closed. Returns the file's size.
std::uint64_t copy_object(S3Client& client, const std::string& bucket, const std::string& key,
                          const std::string& path, files::Md5* md5) {
  http::StreamingResponse stream = client.get_object(bucket, key);
  UniqueFd fd = open_for_writing(path);
  if (!fd && errno == ENOENT) {
    // The empty folder was pruned by a failed call for an object whose key ends where ours
    // goes on; it is ours to make again.
    make_dirs(parent_dir(path));
    fd = open_for_writing(path);
  }
  if (!fd) throw_errno("cannot open", path);
  std::vector<char> buffer(kCopyBuffer);
  for (;;) {
    std::size_t n = stream.read_into(buffer.data(), buffer.size());
    if (n == 0) break;
    std::string_view piece(buffer.data(), n);
    if (md5) md5->update(piece);
    write_all(fd.get(), piece, path);
  }
  if (::fsync(fd.get()) != 0) throw_errno("cannot fsync", path);
  struct stat sb{};
  if (::fstat(fd.get(), &sb) != 0) throw_errno("cannot stat", path);
  // Closed here, not by the owner, so that a failed close is reported.
  if (::close(fd.release()) != 0 && errno != EINTR) throw_errno("cannot close", path);
  stream.close();
  return static_cast<std::uint64_t>(sb.st_size);
}

// The error's text as the service's logs show it (a store error reads as minio-py's does).
std::string error_text(const std::exception& e) {
  if (auto* s3 = dynamic_cast<const S3Error*>(&e)) {
    std::string text = "S3 operation failed; code: " + s3->code() + ", message: " + s3->message();
    if (!s3->bucket_name().empty()) text += ", bucket_name: " + s3->bucket_name();
    if (!s3->object_name().empty()) text += ", object_name: " + s3->object_name();
    return text;
  }
  return e.what();
}

// The etag with every leading and trailing double quote removed.
std::string strip_quotes(std::string_view etag) {
  while (!etag.empty() && etag.front() == '"') etag.remove_prefix(1);
  while (!etag.empty() && etag.back() == '"') etag.remove_suffix(1);
  return std::string(etag);
}

struct Call {
  S3Client* client;
  const std::string& bucket;
  const std::string& key;
  const DownloadPaths& paths;
  const std::string& process;  // the process id in decimal
  Log& log;
  const VerifiedDownloadOptions& options;

  S3Client& store() const {
    if (!client) throw Error(options.missing_client_text);
    return *client;
  }

  // Everything done under the object's lock: facts, reuse check, attempts.
  std::optional<std::string> locked() {
    const std::string& local = paths.local_file_path;
    std::uint64_t remote_size = 0;
    std::string remote_etag;
    try {
      ObjectStat stat = store().stat_object(bucket, key);
      remote_size = stat.size;
      remote_etag = strip_quotes(stat.metadata.get("ETag").value_or(stat.etag));
    } catch (const std::exception& e) {
      log.error("Failed to access object - bucket: " + bucket + ", object: " + key +
                ", error: " + error_text(e));
      return std::nullopt;
    }
    const bool multipart = remote_etag.find('-') != std::string::npos;
    log.lazy(LogLevel::kDebug, [&] {
      return "Process " + process + ": " + (multipart ? "Multipart" : "Single part") +
             " upload detected - etag: " + remote_etag + ", size: " + std::to_string(remote_size);
    });

    std::uint64_t local_size = 0;
    if (exists(local, &local_size)) {
      if (local_size == remote_size) {
        if (multipart) {
          log.lazy(LogLevel::kDebug, [&] {
            return "Process " + process + ": File exists with correct size: " + local;
          });
          return local;
        }
        if (files::calculate_file_md5(local) == remote_etag) {
          log.lazy(LogLevel::kDebug,
                   [&] { return "Process " + process + ": File exists and verified: " + local; });
          return local;
        }
      }
      log.lazy(LogLevel::kDebug, [&] {
        return "Existing file size different - local: " + std::to_string(local_size) +
               ", remote: " + std::to_string(remote_size);
      });
      remove_quietly(local);
    }

    const int attempts = options.max_attempts < 1 ? 1 : options.max_attempts;
    for (int attempt = 0;; ++attempt) {
      try {
        return attempt_once(remote_size, remote_etag, multipart);
      } catch (const std::exception& e) {
        log.warning("Download attempt " + std::to_string(attempt + 1) +
                    " failed: " + error_text(e));
        if (attempt + 1 >= attempts) throw;
        remove_existing(paths.temp_download_path);
        remove_existing(paths.verify_path);
        std::this_thread::sleep_for(options.retry_pause);
      }
    }
  }

  std::string attempt_once(std::uint64_t remote_size, const std::string& remote_etag,
                           bool multipart) {
    files::Md5 first, second;
    std::uint64_t local_size = copy_object(store(), bucket, key, paths.temp_download_path, &first);
    if (local_size != remote_size) {
      throw IntegrityMismatch("Size mismatch - local: " + std::to_string(local_size) +
                              ", remote: " + std::to_string(remote_size));
    }
    const std::string local_md5 = first.hexdigest();
    if (!multipart && local_md5 != remote_etag) {
      throw IntegrityMismatch("First MD5 mismatch - local: " + local_md5 +
                              ", remote: " + remote_etag);
    }
    // The second copy must equal the first for a multipart object too: its etag is no digest of
    // the content, so the two copies are the only check that the bytes are whole, and one
    // object version (a copy damaged on the way, or the object replaced in between, shows here).
    copy_object(store(), bucket, key, paths.verify_path, &second);
    const std::string verify_md5 = second.hexdigest();
    if (verify_md5 != local_md5) {
      throw IntegrityMismatch("Verification mismatch - first: " + local_md5 +
                              ", second: " + verify_md5);
    }
    if (::rename(paths.temp_download_path.c_str(), paths.local_file_path.c_str()) != 0) {
      throw_errno("cannot rename " + paths.temp_download_path + " to", paths.local_file_path);
    }
    if (::unlink(paths.verify_path.c_str()) != 0) throw_errno("cannot delete", paths.verify_path);
    log.lazy(LogLevel::kDebug, [&] {
      return "Process " + process +
             ": File successfully downloaded and verified: " + paths.local_file_path;
    });
    return paths.local_file_path;
  }

  // After the lock wait timed out: a copy of the store's size is good enough.
  std::optional<std::string> after_lock_timeout() noexcept {
    try {
      if (!exists(paths.local_file_path)) return std::nullopt;
      ObjectStat stat = store().stat_object(bucket, key);
      std::uint64_t local_size = 0;
      if (exists(paths.local_file_path, &local_size) && local_size == stat.size) {
        return paths.local_file_path;
      }
    } catch (const std::exception&) {
      // The probe is a courtesy; its failure leaves the result empty.
    }
    return std::nullopt;
  }

  // Temporary files go; an empty directory and the lock file go too, but only by a holder of
  // the lock: deleting a lock file someone else holds would let a newcomer lock a fresh one
  // beside him. Then the empty folders above the object's directory go, and the process's own
  // folder when this call made it.
  void clean_up(bool holding_lock, bool made_temp_base) {
    remove_quietly(paths.temp_download_path);
    remove_quietly(paths.verify_path);
    clean_up_object_dir(holding_lock);
    prune_empty_dirs(parent_dir(paths.temp_dir), paths.temp_base, true);
    if (made_temp_base) ::rmdir(paths.temp_base.c_str());
  }

  void clean_up_object_dir(bool holding_lock) {
    if (!exists(paths.lock_file)) return;
    std::optional<files::FileLock> taken;
    if (!holding_lock) {
      files::FileLockOptions once;
      once.timeout = std::chrono::duration<double>(0);
      once.poll_interval = std::chrono::milliseconds(1);
      try {
        taken.emplace(paths.lock_file, once);
      } catch (const Timeout&) {
        return;  // busy: its holder cleans up
      } catch (const IoError&) {
        return;
      }
    }
    // Sub-folders of the document name, inside the object's directory: ours while we lock it.
    prune_empty_dirs(parent_dir(paths.local_file_path), paths.temp_dir, false);
    try {
      if (!dir_is_empty(paths.temp_dir)) return;
    } catch (const IoError&) {
      return;
    }
    // The directory goes first: once the lock file is gone a newcomer may lock a fresh one and
    // make the directory again, which must then stay.
    if (::rmdir(paths.temp_dir.c_str()) != 0) return;
    ::unlink(paths.lock_file.c_str());
  }
};

// Takes the object's lock within the time-out; false when it stays busy. A failed call of
// another thread may remove the empty folder that holds the lock file between our making it and
// opening the file: then the folders are made again and the wait goes on for the time left.
bool take_lock(const DownloadPaths& paths, const VerifiedDownloadOptions& options,
               std::optional<files::FileLock>& lock) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + options.lock_timeout;
  files::FileLockOptions lock_options;
  lock_options.timeout = options.lock_timeout;
  lock_options.poll_interval = options.lock_poll_interval;
  for (int round = 0;; ++round) {
    try {
      lock.emplace(paths.lock_file, lock_options);
      return true;
    } catch (const Timeout&) {
      return false;
    } catch (const IoError& e) {
      if (e.error_number() != ENOENT || round >= 100) throw;
    }
    make_dirs(paths.temp_dir);
    lock_options.timeout = std::max(std::chrono::duration<double>(0),
                                    std::chrono::duration<double>(deadline - Clock::now()));
  }
}

}  // namespace

std::pair<std::string, std::string> split_extension(const std::string& name) {
  std::size_t slash = name.rfind('/');
  std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot < base) return {name, ""};
  // Dots that open the final component do not start an extension.
  std::size_t first_other = name.find_first_not_of('.', base);
  if (first_other == std::string::npos || first_other > dot) return {name, ""};
  return {name.substr(0, dot), name.substr(dot)};
}

DownloadPaths plan_download_paths(const std::string& object_name, const std::string& doc_name,
                                  pid_t process_id, const std::string& unique_id, Log& log,
                                  const VerifiedDownloadOptions& options) {
  const std::string prefix =
      object_name.substr(0, prefix_bytes(object_name, options.key_prefix_chars));
  check_confined(prefix, "object name");
  check_confined(doc_name, "document name");
  check_names_a_file(doc_name);

  DownloadPaths p;
  p.temp_base = options.root + std::to_string(process_id);
  p.temp_dir = join(p.temp_base, prefix);
  p.lock_file = p.temp_dir + ".lock";

  const std::string suffix = "." + unique_id + ".downloading";
  const long long base_path_bytes = static_cast<long long>(p.temp_dir.size()) + 1;
  const long long available = static_cast<long long>(options.max_path_bytes) - base_path_bytes -
                              static_cast<long long>(suffix.size());
  p.doc_name = doc_name;
  if (static_cast<long long>(doc_name.size()) > available) {
    auto [name, ext] = split_extension(doc_name);
    const long long max_name_bytes = available - static_cast<long long>(ext.size()) - 3;
    std::string truncated;
    for (std::size_t i = 0; i < name.size();) {
      std::size_t n = char_length(name, i);
      if (static_cast<long long>(truncated.size() + n) > max_name_bytes) break;
      truncated.append(name, i, n);
      i += n;
    }
    p.doc_name = truncated + "..." + ext;
    p.shortened = true;
    log.warning("File name truncated to: " + p.doc_name);
  }
  p.local_file_path = join(p.temp_dir, p.doc_name);
  p.temp_download_path = p.local_file_path + suffix;
  p.verify_path = p.local_file_path + "." + unique_id + ".verify";
  if (p.temp_download_path.size() > options.max_path_bytes) {
    log.error("Path too long even after truncation: " +
              std::to_string(p.temp_download_path.size()) + " bytes");
    throw InvalidArgument("Path length exceeds system limit");
  }
  return p;
}

std::optional<std::string> download_verified(S3Client* client, const std::string& bucket,
                                             const std::string& object_name,
                                             const std::string& doc_name, Log& log,
                                             const VerifiedDownloadOptions& options) {
  const pid_t pid = ::getpid();
  const std::string process = std::to_string(pid);
  const DownloadPaths paths =
      plan_download_paths(object_name, doc_name, pid, make_unique_id(), log, options);
  Call call{client, bucket, object_name, paths, process, log, options};

  std::optional<std::string> result;
  std::optional<files::FileLock> lock;
  bool lock_timed_out = false;
  bool made_temp_base = false;
  try {
    made_temp_base = make_dir_tracked(paths.temp_base);
    make_dirs(paths.temp_dir);
    lock_timed_out = !take_lock(paths, options, lock);
    if (lock) {
      // The previous holder may have removed the empty directory while we waited; the document
      // name's sub-folders are made here, under the lock that guards the directory's contents.
      make_dirs(parent_dir(paths.local_file_path));
      result = call.locked();
    }
  } catch (const std::exception& e) {
    log.error("Process " + process + ": Download error - bucket: " + bucket +
              ", object: " + object_name + ", error: " + error_text(e));
    result.reset();
  }
  if (lock_timed_out) {
    log.warning("Process " + process + ": Timeout waiting for lock on " + paths.lock_file);
    result = call.after_lock_timeout();
  }
  call.clean_up(lock.has_value(), made_temp_base);
  lock.reset();
  return result;
}

}  // namespace mosswork::core::s3
