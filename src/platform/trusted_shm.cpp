#include "platform/trusted_shm.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/logger.h"

namespace OBPlatform::internal {
namespace {

// Each retry means someone created or removed the name between two of our calls.
constexpr int kMaxOpenAttempts = 64;

bool Trusted(const struct stat& status) {
  return S_ISREG(status.st_mode) && (status.st_uid == 0 || status.st_uid == ::geteuid()) &&
         (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

int OpenTrustedSharedObject(const std::string& name, OBRuntime::UniqueFd& fd, bool& created) {
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    fd.Reset(::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.valid()) {
      created = true;
      return 0;
    }
    if (errno != EEXIST) {
      return errno;
    }
    fd.Reset(::shm_open(name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0));
    if (!fd.valid()) {
      if (errno == ENOENT) {
        continue;  // removed meanwhile: create it
      }
      if (errno != EACCES && errno != ELOOP) {
        return errno;
      }
    }
    struct stat status {};
    const int stat_result =
        fd.valid() ? ::fstat(fd.get(), &status) : ::lstat(("/dev/shm" + name).c_str(), &status);
    if (stat_result != 0) {
      return errno;
    }
    if (fd.valid() && Trusted(status)) {
      created = false;
      return 0;
    }
    fd.Reset();
    OB_LOG_WARN("Shared object %s (uid %u, mode %o) is not this agent's; replacing it",
                name.c_str(), static_cast<unsigned>(status.st_uid),
                static_cast<unsigned>(status.st_mode & 07777));
    if (::shm_unlink(name.c_str()) != 0 && errno != ENOENT) {
      const int error = errno;
      OB_LOG_ERROR("Cannot remove the shared object %s: errno %d", name.c_str(), error);
      return error;
    }
  }
  return EAGAIN;
}

}  // namespace OBPlatform::internal
