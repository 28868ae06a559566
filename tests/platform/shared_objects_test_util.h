// Helpers for tests of the named shared objects: unique names, and work in a child process.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <string>

#include "support/child_process.h"

namespace orv::test {

// A name no other test (in this or another process) uses: "/<stem>.<pid>.<n>".
inline std::string UniqueShmName(const std::string& stem) {
  static std::atomic<int> counter{0};
  return "/" + stem + "." + std::to_string(::getpid()) + "." + std::to_string(counter++);
}

}  // namespace orv::test
