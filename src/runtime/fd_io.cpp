#include "runtime/fd_io.h"

#include <unistd.h>

#include <cerrno>

namespace OBRuntime {

bool ReadAll(int fd, void* bytes, std::size_t length) {
  auto* next = static_cast<char*>(bytes);
  while (length > 0) {
    const ssize_t got = ::read(fd, next, length);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      if (got == 0) {
        errno = 0;
      }
      return false;
    }
    next += got;
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

bool WriteAll(int fd, const void* bytes, std::size_t length) {
  const auto* next = static_cast<const char*>(bytes);
  while (length > 0) {
    const ssize_t written = ::write(fd, next, length);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      if (written == 0) {
        errno = 0;
      }
      return false;
    }
    next += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace OBRuntime
