// Bounded flock: the shared objects' lifetime and initialisation protocol holds a file lock only
// for moments, so a lock held longer belongs to something else and must not hang the caller.
#pragma once

#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace OBPlatform::internal {

inline constexpr std::chrono::milliseconds kFileLockWait{1000};

// flock(fd, operation | LOCK_NB) retried until it succeeds or timeout passes; 0, ETIMEDOUT, or
// another errno value. A zero timeout tries once (EWOULDBLOCK when held).
[[nodiscard]] inline int FlockWithin(int fd, int operation, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto pause = std::chrono::microseconds(100);
  for (;;) {
    if (::flock(fd, operation | LOCK_NB) == 0) {
      return 0;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EWOULDBLOCK) {
      return errno;
    }
    if (timeout.count() == 0) {
      return EWOULDBLOCK;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return ETIMEDOUT;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(10000));
  }
}

}  // namespace OBPlatform::internal
