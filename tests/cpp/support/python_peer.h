// Runs a Python snippet with the project's interpreter and returns what it printed; the tests use
// it to make fixtures and to ask the libraries a user would otherwise call for expected results.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

namespace mosswork::test {

// Runs `python -c code args...`; its standard output comes back as bytes. A missing interpreter,
// a missing module or any other failure throws, so the calling test fails rather than skips.
inline std::string run_python(const std::string& code, const std::vector<std::string>& args = {}) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> argv_text{MOSSWORK_TEST_PYTHON, "-c", code};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string output;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n > 0) {
      output.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("python peer failed (status " + std::to_string(status) +
                             ") running: " + code.substr(0, 200));
  return output;
}

}  // namespace mosswork::test
