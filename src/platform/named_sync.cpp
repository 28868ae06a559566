#include "platform/named_sync.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <utility>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

#include "platform/file_lock.h"
#include "platform/trusted_shm.h"

namespace OBPlatform {
namespace internal {
namespace {

// "VOB1": marks a payload that its first opener finished initialising. Written last, under the
// exclusive flock that every opener takes, so no opener ever sees a half-initialised object.
constexpr std::uint32_t kInitialisedMagic = 0x31424F56;
constexpr int kMaxOpenAttempts = 64;

struct ObjectHeader {
  std::uint32_t magic;
  std::uint32_t payload_size;
};
constexpr std::size_t kPayloadOffset = 64;  // keeps the pthread objects cache-line aligned
static_assert(sizeof(ObjectHeader) <= kPayloadOffset);

}  // namespace

int SharedObjectMapping::Open(const std::string& name, std::size_t payload_size,
                              Initialiser initialise) {
  Close();
  const std::size_t size = kPayloadOffset + payload_size;
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    OBRuntime::UniqueFd fd;
    bool created = false;
    if (const int error = OpenTrustedSharedObject(name, fd, created); error != 0) {
      return error;
    }
    if (const int error = FlockWithin(fd.get(), LOCK_EX, kFileLockWait); error != 0) {
      return error;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
      return errno;
    }
    if (status.st_nlink == 0) {
      continue;  // removed while we waited for the lock
    }
    if (status.st_size != 0 && status.st_size != static_cast<off_t>(size)) {
      return EPROTO;
    }
    if (status.st_size == 0 && ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
      return errno;
    }
    void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (view == MAP_FAILED) {
      return errno;
    }
    auto* header = static_cast<ObjectHeader*>(view);
    void* payload = static_cast<char*>(view) + kPayloadOffset;
    int error = 0;
    if (header->magic != kInitialisedMagic || header->payload_size != payload_size) {
      error = initialise(payload);
      if (error == 0) {
        header->payload_size = static_cast<std::uint32_t>(payload_size);
        header->magic = kInitialisedMagic;
      }
    }
    ::flock(fd.get(), LOCK_UN);
    if (error != 0) {
      ::munmap(view, size);
      return error;
    }
    fd_ = std::move(fd);
    view_ = view;
    view_size_ = size;
    payload_ = payload;
    return 0;
  }
  return EAGAIN;
}

void SharedObjectMapping::Close() {
  if (view_ != nullptr) {
    ::munmap(view_, view_size_);
  }
  view_ = nullptr;
  payload_ = nullptr;
  view_size_ = 0;
  fd_.Reset();
}

}  // namespace internal

namespace {

struct MutexObject {
  pthread_mutex_t mutex;
};

// The event holds no lock: a peer that stops or dies at any point can never keep a waiter or a
// setter waiting longer than its own time-out. Waiters sleep on the generation word (a futex).
struct EventObject {
  std::atomic<std::uint32_t> signalled;
  // Counts every Set, so that a waiter notices a pulse whose reset came before it woke up.
  std::atomic<std::uint32_t> generation;
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

int InitRobustMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attributes;
  int error = pthread_mutexattr_init(&attributes);
  if (error != 0) {
    return error;
  }
  error = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  if (error == 0) {
    error = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  }
  if (error == 0) {
    // Error checking makes an unlock by a non-owner fail instead of corrupting the mutex.
    error = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  }
  if (error == 0) {
    error = pthread_mutex_init(mutex, &attributes);
  }
  pthread_mutexattr_destroy(&attributes);
  return error;
}

int InitMutexObject(void* payload) {
  return InitRobustMutex(&static_cast<MutexObject*>(payload)->mutex);
}

int InitEventObject(void* payload) {
  auto* event = static_cast<EventObject*>(payload);
  event->signalled.store(0);
  event->generation.store(0);
  return 0;
}

timespec DeadlineAfter(clockid_t clock, std::chrono::milliseconds timeout) {
  timespec now{};
  ::clock_gettime(clock, &now);
  const auto total = std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec) +
                     std::chrono::duration_cast<std::chrono::nanoseconds>(timeout);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(total);
  return timespec{static_cast<time_t>(seconds.count()),
                  static_cast<long>((total - seconds).count())};
}

int TimedLock(pthread_mutex_t* mutex, std::chrono::milliseconds timeout) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer does not intercept pthread_mutex_clocklock and would then miss the
  // ordering the mutex gives; its builds take the wall-clock variant instead. Its interceptor
  // records only plain successes, so an inherited (EOWNERDEAD) lock is announced by hand.
  const timespec deadline = DeadlineAfter(CLOCK_REALTIME, timeout);
  const int result = pthread_mutex_timedlock(mutex, &deadline);
  if (result == EOWNERDEAD) {
    __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
    __tsan_mutex_post_lock(mutex, __tsan_mutex_try_lock, 0);
  }
  return result;
#else
  const timespec deadline = DeadlineAfter(CLOCK_MONOTONIC, timeout);
  return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
#endif
}

void WakeAll(std::atomic<std::uint32_t>& word) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE, INT_MAX, nullptr,
            nullptr, 0);
}

// Sleeps while word holds expected, at most until deadline (CLOCK_MONOTONIC); wakes early on
// any change, a signal or spuriously, which callers treat alike.
void SleepWhile(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                const timespec& deadline) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_BITSET, expected,
            &deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

bool Passed(const timespec& deadline) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > deadline.tv_sec ||
         (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

}  // namespace

int NamedMutex::Open(const std::string& name) {
  return mapping_.Open(name, sizeof(MutexObject), InitMutexObject);
}

NamedLockResult NamedMutex::Lock(std::chrono::milliseconds timeout, int& error) {
  auto* object = static_cast<MutexObject*>(mapping_.payload());
  if (object == nullptr) {
    error = EBADF;
    return NamedLockResult::kFailed;
  }
  error = TimedLock(&object->mutex, timeout);
  switch (error) {
    case 0:
      return NamedLockResult::kOwned;
    case ETIMEDOUT:
      return NamedLockResult::kTimedOut;
    case EOWNERDEAD:
      error = pthread_mutex_consistent(&object->mutex);
      if (error != 0) {
        pthread_mutex_unlock(&object->mutex);
        return NamedLockResult::kFailed;
      }
      return NamedLockResult::kRecovered;
    default:
      return NamedLockResult::kFailed;
  }
}

int NamedMutex::Unlock() {
  auto* object = static_cast<MutexObject*>(mapping_.payload());
  if (object == nullptr) {
    return EBADF;
  }
  return pthread_mutex_unlock(&object->mutex);
}

int NamedEvent::Open(const std::string& name) {
  return mapping_.Open(name, sizeof(EventObject), InitEventObject);
}

int NamedEvent::Set() {
  auto* event = static_cast<EventObject*>(mapping_.payload());
  if (event == nullptr) {
    return EBADF;
  }
  event->signalled.store(1);
  event->generation.fetch_add(1);
  WakeAll(event->generation);
  return 0;
}

int NamedEvent::Reset() {
  auto* event = static_cast<EventObject*>(mapping_.payload());
  if (event == nullptr) {
    return EBADF;
  }
  event->signalled.store(0);
  return 0;
}

NamedWaitResult NamedEvent::Wait(std::chrono::milliseconds timeout, int& error) {
  auto* event = static_cast<EventObject*>(mapping_.payload());
  if (event == nullptr) {
    error = EBADF;
    return NamedWaitResult::kFailed;
  }
  error = 0;
  const timespec deadline = DeadlineAfter(CLOCK_MONOTONIC, timeout);
  const std::uint32_t generation = event->generation.load();
  for (;;) {
    if (event->signalled.load() != 0 || event->generation.load() != generation) {
      return NamedWaitResult::kSignalled;
    }
    if (Passed(deadline)) {
      return NamedWaitResult::kTimedOut;
    }
    SleepWhile(event->generation, generation, deadline);
  }
}

}  // namespace OBPlatform
