// A child process started by a test: forked, optionally adjusted, then exec'd; killed with its
// whole process group (a shell's own children too) and reaped when the object goes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/wait.h"

namespace orv::test {

class ChildProcess {
 public:
  // Starts path with argv; in_child runs in the child between fork and exec (keep it to
  // async-signal-safe calls: chdir, setuid...). The child exits with 127 when exec fails.
  ChildProcess(const std::string& path, const std::vector<std::string>& argv,
               const std::function<void()>& in_child = {}) {
    std::vector<char*> raw;
    for (const std::string& argument : argv) {
      raw.push_back(const_cast<char*>(argument.c_str()));
      expected_command_line_ += argument;
      expected_command_line_ += '\0';
    }
    raw.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      if (in_child) {
        in_child();
      }
      ::execv(path.c_str(), raw.data());
      ::_exit(127);
    }
  }
  ~ChildProcess() { KillAndReap(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }

  // Waits (up to 10 s) until the child runs the new image with its arguments in place. The exe
  // link changes early in exec, before the arguments and mappings are set up, so it alone does
  // not tell that exec finished.
  [[nodiscard]] bool WaitForExec() const {
    const std::string own = ImageOf("/proc/self/exe");
    const std::string proc = "/proc/" + std::to_string(pid_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string image = ImageOf(proc + "/exe");
      if (!image.empty() && image != own && ReadAll(proc + "/cmdline") == expected_command_line_) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  // Waits (up to within) for the child to end by itself and reaps it: its exit status, 128 +
  // signal when a signal ended it, -1 when it still runs.
  [[nodiscard]] int WaitExit(
      std::chrono::steady_clock::duration within = std::chrono::seconds(60)) {
    int status = 0;
    if (pid_ <= 0 ||
        !WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, within)) {
      return -1;
    }
    pid_ = -1;  // reaped: nothing left to kill
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  void KillAndReap() {
    if (pid_ > 0) {
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
  }

  static std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  static std::string ImageOf(const std::string& link) {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink(link.c_str(), buffer, sizeof(buffer));
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
  }

 private:
  pid_t pid_ = -1;
  std::string expected_command_line_;  // argv as /proc/<pid>/cmdline shows it
};

// Runs body in a forked child and returns its exit status (128 + signal when killed). The child
// only runs body and _exits, so the parent's threads are not needed there.
inline int RunInChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::_exit(body());
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// RunInChild as uid and gid 65534 (nobody), for checks of what another account may do; 126 when
// the child cannot take that identity.
inline int RunInChildAsNobody(const std::function<int()>& body) {
  return RunInChild([&] {
    return ::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0 ? 126
                                                                                          : body();
  });
}

}  // namespace orv::test
