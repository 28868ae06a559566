// Named mutex and named manual-reset event shared between processes, in the manner of Windows
// named kernel objects.
//
// Each lives in a small POSIX shared memory object of its own. The mutex is a process-shared,
// robust pthread mutex: when its owner dies, the next locker gets it with kRecovered and the
// mutex is consistent again, so a crashed writer never wedges the others; it is only ever waited
// for with a time-out. The event is lock-free: a flag and a generation counter (a futex word), so
// a peer stopped at any point cannot hold up a waiter past its time-out, and a pulse (set, short
// pause, reset) wakes every process that was waiting even when the flag is already cleared by the
// time a waiter runs. Objects are initialised under an exclusive flock by whichever process opens
// them first, so two processes starting at once are safe; only objects owned by root or this
// account that others cannot write are used (see trusted_shm.h); they are never removed here (the
// owner of the data they guard removes them, see SharedMemoryBlock). Waits use CLOCK_MONOTONIC.
//
// An object is opened and closed by one thread; the operations in between are safe from any
// thread of any process that opened the same name.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "runtime/unique_fd.h"

namespace OBPlatform {

namespace internal {

// One small shared memory object whose payload is initialised once, by its first opener.
class SharedObjectMapping {
 public:
  using Initialiser = int (*)(void* payload);

  SharedObjectMapping() = default;
  ~SharedObjectMapping() { Close(); }
  SharedObjectMapping(const SharedObjectMapping&) = delete;
  SharedObjectMapping& operator=(const SharedObjectMapping&) = delete;

  // Creates or opens name holding payload_size bytes; the first opener runs initialise on the
  // zeroed payload. EPROTO when the object exists with another size. 0 or an errno value.
  [[nodiscard]] int Open(const std::string& name, std::size_t payload_size, Initialiser initialise);
  void Close();
  [[nodiscard]] void* payload() const noexcept { return payload_; }

 private:
  OBRuntime::UniqueFd fd_;
  void* view_ = nullptr;
  std::size_t view_size_ = 0;
  void* payload_ = nullptr;
};

}  // namespace internal

enum class NamedLockResult {
  kOwned,
  kRecovered,  // owned; the previous owner died holding it and the mutex was made consistent
  kTimedOut,
  kFailed,
};

enum class NamedWaitResult { kSignalled, kTimedOut, kFailed };

class NamedMutex {
 public:
  // Creates or opens the mutex kept in the shm object name ("/name"); 0 or an errno value.
  [[nodiscard]] int Open(const std::string& name);
  void Close() { mapping_.Close(); }
  [[nodiscard]] bool is_open() const noexcept { return mapping_.payload() != nullptr; }

  // Waits at most timeout for the mutex; on kFailed, error holds the pthread error (EDEADLK when
  // this thread owns it already, EBADF when not open).
  [[nodiscard]] NamedLockResult Lock(std::chrono::milliseconds timeout, int& error);
  // Releases the mutex; 0, or EPERM when this thread does not own it.
  int Unlock();

 private:
  internal::SharedObjectMapping mapping_;
};

class NamedEvent {
 public:
  // Creates (not signalled) or opens the event kept in the shm object name; 0 or an errno value.
  [[nodiscard]] int Open(const std::string& name);
  void Close() { mapping_.Close(); }
  [[nodiscard]] bool is_open() const noexcept { return mapping_.payload() != nullptr; }

  // Signals the event and wakes every waiter; 0 or an errno value.
  int Set();
  // Clears the signalled flag; 0 or an errno value.
  int Reset();
  // Waits at most timeout for the event to be signalled, or to be set at least once during the
  // wait (a pulse); on kFailed, error holds the pthread error.
  [[nodiscard]] NamedWaitResult Wait(std::chrono::milliseconds timeout, int& error);

 private:
  internal::SharedObjectMapping mapping_;
};

}  // namespace OBPlatform
