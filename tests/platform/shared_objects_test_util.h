// Helpers for tests of the named shared objects: unique names, and work in a child process.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <string>

namespace orv::test {

// A name no other test (in this or another process) uses: "/<stem>.<pid>.<n>".
inline std::string UniqueShmName(const std::string& stem) {
  static std::atomic<int> counter{0};
  return "/" + stem + "." + std::to_string(::getpid()) + "." + std::to_string(counter++);
}

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

}  // namespace orv::test
