#include "trust/inter_process_sync.h"

#include <chrono>
#include <thread>
#include <utility>

#include "runtime/logger.h"

namespace {

constexpr std::chrono::milliseconds kLockTimeout{1000};
constexpr std::chrono::milliseconds kPulseLength{1};

}  // namespace

CInterProcessSync::CInterProcessSync(std::int32_t role, SYNC_OBJECT_KIND kind, bool& ok,
                                     OBPlatform::VpnStateObjectNames names)
    : role_(role), kind_(kind), names_(std::move(names)) {
  ok = kind_ == SYNC_OBJECT_MUTEX ? initLock() : initEvent();
}

CInterProcessSync::~CInterProcessSync() { CloseHandles(); }

bool CInterProcessSync::initLock() {
  auto mutex = std::make_unique<OBPlatform::NamedMutex>();
  if (const int error = mutex->Open(names_.lock); error != 0) {
    OB_LOG_ERROR("Unable to create the lock - %d", error);
    return false;
  }
  mutex_ = std::move(mutex);
  return true;
}

bool CInterProcessSync::initEvent() {
  if (event_ != nullptr) {
    return true;
  }
  auto event = std::make_unique<OBPlatform::NamedEvent>();
  if (const int error = event->Open(names_.event); error != 0) {
    OB_LOG_ERROR("Unable to fetch the named event - %d", error);
    return false;
  }
  event_ = std::move(event);
  return true;
}

bool CInterProcessSync::Lock() {
  if (mutex_ == nullptr) {
    OB_LOG_ERROR("Synchronization primitive not initialized");
    return false;
  }
  int error = 0;
  switch (mutex_->Lock(kLockTimeout, error)) {
    case OBPlatform::NamedLockResult::kOwned:
      return true;
    case OBPlatform::NamedLockResult::kRecovered:
      OB_LOG_WARN("Recovered the lock from a process that ended while holding it");
      return true;
    case OBPlatform::NamedLockResult::kTimedOut:
      return false;
    case OBPlatform::NamedLockResult::kFailed:
      break;
  }
  OB_LOG_ERROR("WaitForSingleObject failed - %d", error);
  return false;
}

bool CInterProcessSync::Unlock() {
  if (mutex_ == nullptr) {
    OB_LOG_ERROR("Synchronization primitive not initialized");
    return false;
  }
  if (const int error = mutex_->Unlock(); error != 0) {
    OB_LOG_ERROR("Unable to release the lock - %d", error);
    return false;
  }
  return true;
}

bool CInterProcessSync::Wait(std::uint32_t timeout_ms) {
  if (event_ == nullptr) {
    OB_LOG_ERROR("Synchronization primitive not initialized");
    return false;
  }
  int error = 0;
  switch (event_->Wait(std::chrono::milliseconds(timeout_ms), error)) {
    case OBPlatform::NamedWaitResult::kSignalled:
      return true;
    case OBPlatform::NamedWaitResult::kTimedOut:
      return false;
    case OBPlatform::NamedWaitResult::kFailed:
      break;
  }
  OB_LOG_ERROR("WaitForSingleObject failed - %d", error);
  return false;
}

bool CInterProcessSync::Signal() {
  if (event_ == nullptr) {
    OB_LOG_ERROR("Synchronization primitive not initialized");
    return false;
  }
  if (const int error = event_->Set(); error != 0) {
    OB_LOG_ERROR("Unable to set the named event - %d", error);
    return false;
  }
  return true;
}

bool CInterProcessSync::SignalAll() {
  if (!Signal()) {
    return false;
  }
  std::this_thread::sleep_for(kPulseLength);
  if (const int error = event_->Reset(); error != 0) {
    OB_LOG_ERROR("Unable to reset the named event - %d", error);
    return false;
  }
  return true;
}

void CInterProcessSync::CloseHandles() {
  mutex_.reset();
  event_.reset();
}
