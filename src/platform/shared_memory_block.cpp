#include "platform/shared_memory_block.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/file_lock.h"
#include "platform/trusted_shm.h"

namespace OBPlatform {
namespace {

// Each retry means the last detacher removed the name between our open and our lock; a few
// suffice unless processes keep attaching and detaching in a tight loop.
constexpr int kMaxOpenAttempts = 64;

int TruncateRetry(int fd, off_t size) {
  while (::ftruncate(fd, size) != 0) {
    if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

// False when the name was removed from outside and perhaps reused by someone else's block.
bool NameStillRefersTo(const std::string& name, int fd) {
  const OBRuntime::UniqueFd named(::shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0));
  struct stat ours {};
  struct stat theirs {};
  return named.valid() && ::fstat(fd, &ours) == 0 && ::fstat(named.get(), &theirs) == 0 &&
         ours.st_dev == theirs.st_dev && ours.st_ino == theirs.st_ino;
}

}  // namespace

SharedMemoryBlock::~SharedMemoryBlock() { Close(); }

int SharedMemoryBlock::Open(const std::string& name, std::size_t size,
                            std::vector<std::string> companions) {
  Close();
  if (size == 0) {
    return EINVAL;
  }
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    OBRuntime::UniqueFd fd;
    bool created_now = false;
    if (const int error = internal::OpenTrustedSharedObject(name, fd, created_now); error != 0) {
      return error;
    }
    const int exclusive = internal::FlockWithin(fd.get(), LOCK_EX, std::chrono::milliseconds(0));
    const bool alone = exclusive == 0;
    if (!alone) {
      if (exclusive != EWOULDBLOCK) {
        return exclusive;
      }
      if (const int error = internal::FlockWithin(fd.get(), LOCK_SH, internal::kFileLockWait);
          error != 0) {
        return error;
      }
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
      return errno;
    }
    if (status.st_nlink == 0) {
      continue;  // removed by its last user while we waited for the lock: open the new one
    }
    int error = 0;
    if (alone) {
      // Nobody else is attached: whatever a crashed user left behind is discarded.
      error = TruncateRetry(fd.get(), 0);
      if (error == 0) {
        error = TruncateRetry(fd.get(), static_cast<off_t>(size));
      }
      if (error == 0) {
        // The conversion is not atomic; another opener may zero-fill in the gap, which is
        // harmless because nothing has been written yet.
        error = internal::FlockWithin(fd.get(), LOCK_SH, internal::kFileLockWait);
      }
    } else if (status.st_size < static_cast<off_t>(size)) {
      error = TruncateRetry(fd.get(), static_cast<off_t>(size));
    }
    if (error != 0) {
      return error;
    }
    fd_ = std::move(fd);
    name_ = name;
    companions_ = std::move(companions);
    size_ = size;
    created_ = alone;
    return 0;
  }
  return EAGAIN;
}

int SharedMemoryBlock::Map() {
  if (!fd_.valid()) {
    return EBADF;
  }
  if (view_ != nullptr) {
    return 0;
  }
  // Mapping past the end of the object would turn every later access into SIGBUS.
  struct stat status {};
  if (::fstat(fd_.get(), &status) != 0) {
    return errno;
  }
  if (status.st_size < static_cast<off_t>(size_)) {
    return EPROTO;
  }
  void* view = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(), 0);
  if (view == MAP_FAILED) {
    return errno;
  }
  view_ = view;
  return 0;
}

int SharedMemoryBlock::Unmap() {
  if (view_ == nullptr) {
    return 0;
  }
  if (::munmap(view_, size_) != 0) {
    return errno;
  }
  view_ = nullptr;
  return 0;
}

void SharedMemoryBlock::Close() {
  (void)Unmap();
  if (!fd_.valid()) {
    return;
  }
  if (internal::FlockWithin(fd_.get(), LOCK_EX, std::chrono::milliseconds(0)) == 0 &&
      NameStillRefersTo(name_, fd_.get())) {
    // Last user. Companions go first: a process that attaches from now on waits for our lock,
    // finds the block removed and starts afresh, so it can never pair a new block with an old
    // companion.
    for (const std::string& companion : companions_) {
      ::shm_unlink(companion.c_str());
    }
    ::shm_unlink(name_.c_str());
  }
  fd_.Reset();
  companions_.clear();
  size_ = 0;
  created_ = false;
}

}  // namespace OBPlatform
