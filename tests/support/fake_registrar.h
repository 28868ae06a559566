// An export-status registrar for tests of the exporter and the cache engine: one observer, a
// trust the test sets, and the notification the agent would send.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>

#include "common/export_status.h"
#include "support/wait.h"

namespace orv::test {

class FakeRegistrar : public IExportStatusRegistrar {
 public:
  explicit FakeRegistrar(bool trusted = false) : trusted_(trusted) {}

  OB_STATUSCODE RegisterForExportStatusChange(IExportStatusObserver* observer) override {
    const std::lock_guard lock(mutex_);
    observer_ = observer;
    return kObSuccess;
  }
  OB_STATUSCODE DeRegisterForExportStatusChange(IExportStatusObserver* /*observer*/) override {
    const std::lock_guard lock(mutex_);
    observer_ = nullptr;
    return kObSuccess;
  }
  int IsTrusted(bool* trusted) override {
    *trusted = trusted_;
    return trusted_ ? 1 : 2;
  }

  // Sets the trust and tells the registered observer, if any.
  void SetTrusted(bool trusted) {
    const std::lock_guard lock(mutex_);
    notifyLocked(trusted);
  }
  // As SetTrusted, after waiting (up to 10 s) for an observer that registers on its own thread.
  void SetTrustedOnceRegistered(bool trusted) {
    (void)WaitUntil(
        [this] {
          const std::lock_guard lock(mutex_);
          return observer_ != nullptr;
        },
        std::chrono::seconds(10));
    SetTrusted(trusted);
  }

 private:
  void notifyLocked(bool trusted) {
    trusted_ = trusted;
    if (observer_ != nullptr) {
      observer_->OnExportStatusChange(trusted ? IExportStatusObserver::EXPORT_ENABLED
                                              : IExportStatusObserver::EXPORT_DISABLED);
    }
  }

  std::mutex mutex_;
  IExportStatusObserver* observer_ = nullptr;
  std::atomic<bool> trusted_;
};

}  // namespace orv::test
