// Lock-file exclusion between threads and processes, the polling time-out, release on every way
// out, and a lock file deleted while someone waits for it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "core/common/errors.h"
#include "core/files/file_lock.h"
#include "support/temp_dir.h"

using namespace mosswork::core;
using files::FileLock;
using files::FileLockOptions;
using mosswork::test::open_fd_count;
using mosswork::test::ScratchDir;
using namespace std::chrono_literals;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

FileLockOptions quick(std::chrono::duration<double> timeout) {
  FileLockOptions options;
  options.timeout = timeout;
  options.poll_interval = 20ms;
  return options;
}

ino_t inode_of(const std::string& path) {
  struct stat st{};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_ino;
}

// A child process that takes the lock, reports through a pipe, holds it for `hold`, and exits.
pid_t hold_in_child(const std::string& path, std::chrono::milliseconds hold) {
  int ready[2];
  EXPECT_EQ(::pipe(ready), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    {
      FileLock lock(path, quick(1s));
      char byte = 'x';
      if (::write(ready[1], &byte, 1) != 1) ::_exit(2);
      std::this_thread::sleep_for(hold);
    }
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  EXPECT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  return pid;
}

void reap(pid_t pid) {
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace

TEST(FileLock, ProcessHoldingForTwoAndAHalfSecondsIsWaitedOutOnTheFourthAttempt) {
  ScratchDir dir;
  std::string path = dir.file("job.lock");
  pid_t child = hold_in_child(path, 2500ms);
  auto start = std::chrono::steady_clock::now();
  {
    FileLock lock(path);  // default time-out and one-second polling
    EXPECT_EQ(lock.attempts(), 4);
    double waited = seconds_since(start);
    EXPECT_GE(waited, 2.9);
    EXPECT_LT(waited, 3.9);
  }
  reap(child);
}

TEST(FileLock, HeldThroughoutTimesOutWithTheTextAndLeaksNoDescriptor) {
  ScratchDir dir;
  std::string path = dir.file("busy.lock");
  pid_t child = hold_in_child(path, 3500ms);
  int fds_before = open_fd_count();
  FileLockOptions options;
  options.timeout = 2s;
  options.timeout_text = "2";
  auto start = std::chrono::steady_clock::now();
  try {
    FileLock lock(path, options);
    FAIL() << "lock taken while another process held it";
  } catch (const Timeout& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to acquire lock on " + path + " after 2 seconds");
  }
  double waited = seconds_since(start);
  EXPECT_GE(waited, 2.0);
  EXPECT_LT(waited, 2.9);
  EXPECT_EQ(open_fd_count(), fds_before);
  reap(child);
}

TEST(FileLock, TimeoutTextFallsBackToTheShortestNumber) {
  ScratchDir dir;
  std::string path = dir.file("t.lock");
  FileLock holder(path);
  try {
    FileLock lock(path, quick(0.05s));
    FAIL() << "second handle in the same process was not excluded";
  } catch (const Timeout& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to acquire lock on " + path + " after 0.05 seconds");
  }
}

TEST(FileLock, ThreadsOfOneProcessExcludeEachOther) {
  ScratchDir dir;
  std::string path = dir.file("counter.lock");
  std::string counter = dir.file("counter");
  std::ofstream(counter) << 0;
  std::atomic<int> inside{0}, overlaps{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        FileLock lock(path, quick(10s));
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
        int value = 0;
        std::ifstream(counter) >> value;
        std::this_thread::sleep_for(1ms);
        std::ofstream(counter) << value + 1;
        inside.fetch_sub(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  int value = 0;
  std::ifstream(counter) >> value;
  EXPECT_EQ(value, 40);
  EXPECT_EQ(overlaps.load(), 0);
}

TEST(FileLock, ErrorInTheBodyReleasesTheLock) {
  ScratchDir dir;
  std::string path = dir.file("body.lock");
  int fds_before = open_fd_count();
  EXPECT_THROW(
      {
        FileLock lock(path);
        throw std::runtime_error("body failed");
      },
      std::runtime_error);
  EXPECT_EQ(open_fd_count(), fds_before);
  FileLock again(path, quick(0s));
  EXPECT_EQ(again.attempts(), 1);
}

TEST(FileLock, OpeningEmptiesTheFileAndLeavesItOnDisk) {
  ScratchDir dir;
  std::string path = dir.file("content.lock");
  std::ofstream(path) << "left over";
  {
    FileLock lock(path);
  }
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
}

TEST(FileLock, OpenFailureIsRaisedAtOnceWithoutRetrying) {
  ScratchDir dir;
  std::string path = dir.file("missing-dir/x.lock");
  auto start = std::chrono::steady_clock::now();
  try {
    FileLock lock(path);
    FAIL() << "opened a lock file in a missing directory";
  } catch (const IoError& e) {
    EXPECT_EQ(e.error_number(), ENOENT);
    EXPECT_EQ(e.path(), path);
  }
  EXPECT_LT(seconds_since(start), 0.5);
}

// The holder deletes the lock file and a newcomer locks a fresh one at the same path before the
// holder lets go: the waiter must not then believe it holds the lock on the orphaned file.
TEST(FileLock, WaiterDoesNotHoldAnOrphanedFileWhileANewcomerHoldsTheFreshOne) {
  ScratchDir dir;
  std::string path = dir.file("race.lock");
  auto first = std::make_unique<FileLock>(path);
  std::atomic<bool> acquired{false};
  ino_t waiter_inode = 0;
  std::thread waiter([&] {
    FileLock lock(path, quick(5s));
    acquired = true;
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) waiter_inode = st.st_ino;
  });
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  auto newcomer = std::make_unique<FileLock>(path, quick(0s));
  ino_t fresh = inode_of(path);
  first.reset();
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(acquired.load())
      << "waiter locked the deleted file while the newcomer held the path";
  newcomer.reset();
  waiter.join();
  EXPECT_TRUE(acquired.load());
  EXPECT_EQ(waiter_inode, fresh);
}
