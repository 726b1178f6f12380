// Verified download of one stored object into the calling process's own local tree: checked by
// size and MD5, made twice before it is committed, serialised per key prefix by a file lock.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "core/common/log.h"
#include "core/s3/s3_client.h"

namespace mosswork::core::s3 {

struct VerifiedDownloadOptions {
  // Root of every per-process tree; the process id is appended as it stands.
  std::string root = "/tmp/minio_downloads/";
  // Characters (code points) of the object key that name the object's directory.
  std::size_t key_prefix_chars = 32;
  // Longest temporary download path, in UTF-8 bytes.
  std::size_t max_path_bytes = 255;
  // Download attempts before giving up.
  int max_attempts = 3;
  // Pause after a failed attempt.
  std::chrono::duration<double> retry_pause{1.0};
  // How long to wait for the object's lock file.
  std::chrono::duration<double> lock_timeout{30.0};
  // Pause between two attempts to take the lock.
  std::chrono::duration<double> lock_poll_interval{1.0};
  // What the metadata request fails with when no client is given (the store is not configured).
  std::string missing_client_text = "the object store is not configured";
};

// The names one call works with, all derived from its arguments.
struct DownloadPaths {
  std::string temp_base;           // root + process id
  std::string temp_dir;            // temp_base joined with the key's first characters
  std::string lock_file;           // temp_dir + ".lock", a sibling of temp_dir
  std::string doc_name;            // the file name, shortened to fit when it had to be
  bool shortened = false;          // whether doc_name was shortened
  std::string local_file_path;     // temp_dir joined with doc_name: the verified copy
  std::string temp_download_path;  // local_file_path + "." + unique id + ".downloading"
  std::string verify_path;         // local_file_path + "." + unique id + ".verify"
};

// Works out the paths without touching the disk. Names that would leave the process's tree (an
// absolute name, a ".." component, a NUL character, in the key's prefix or in doc_name) throw
// InvalidArgument, and so does a doc_name that names no file (empty, or ending in "/" or "/.").
// A doc_name with sub-folders ("scans/p1.pdf") places the copy in those sub-folders of temp_dir.
// A doc_name too long for the byte budget is cut at a character boundary with
// "..." before its extension (logged as a warning); when even that does not fit, the error is
// logged and InvalidArgument("Path length exceeds system limit") thrown.
DownloadPaths plan_download_paths(const std::string& object_name, const std::string& doc_name,
                                  pid_t process_id, const std::string& unique_id, Log& log,
                                  const VerifiedDownloadOptions& options = {});

// Downloads bucket/object_name to the planned local path and returns that path once the copy
// there is verified (reused when a copy of an earlier call still matches); nullopt when the
// object could not be read, every attempt failed, or the lock was not had in time and no copy
// of the right size exists. Only plan_download_paths' errors (and failures of the final
// clean-up other than file-system errors) reach the caller; everything else is logged. A null
// client fails like a store error at the metadata request.
//
// A copy is good when its size is the store's, its MD5 is the etag (single-part objects), and a
// second copy has the same MD5 (every object): so a file committed is one whole version of the
// object, and an object replaced between the copies makes the attempt fail.
//
// The object's lock is held from the metadata request to the end of the clean-up, and the lock
// file is only ever deleted by its holder, so that together with FileLock's check of the locked
// inode no two callers work on one directory at once. On the way out every folder left empty
// goes: the document name's sub-folders and the object's directory (by the lock's holder), the
// key's folders above it up to the process's folder, and that one when this call made it.
std::optional<std::string> download_verified(S3Client* client, const std::string& bucket,
                                             const std::string& object_name,
                                             const std::string& doc_name, Log& log,
                                             const VerifiedDownloadOptions& options = {});

// The split os.path.splitext makes: the last extension of the final path component with its
// dot (leading dots of that component do not start one), and the rest.
std::pair<std::string, std::string> split_extension(const std::string& name);

}  // namespace mosswork::core::s3
