// The user logged on at the console, as flow records name it: "domain\user" and account type.
//
// The answer is read from logind on first use and kept until MarkStale (a session change) makes
// the next question read it again. A failed read is kept too: kObNotFound (-9995) when no user
// is at the console (the record leaves the name empty), kObFailure otherwise ("Unknown").
//
// Thread use: the name and type are read on the flow data channel's thread; MarkStale is called
// from the service thread and is safe from any thread. All operations are safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "common/status.h"
#include "flow/process_queries.h"

class CUserInfo {
 public:
  // The process-wide instance, created on first use, reading logind and NSS.
  static CUserInfo& GetInstance();

  CUserInfo(IConsoleUserSource& console, IAccountDirectory& accounts);
  CUserInfo(const CUserInfo&) = delete;
  CUserInfo& operator=(const CUserInfo&) = delete;

  // The logged-on user's name into buffer, size in/out as CopyAccountName (a null buffer asks
  // for the size: kObBufferTooSmall and the size). When the kept read failed, its status.
  [[nodiscard]] OB_STATUSCODE GetLoggedOnUserName(wchar_t* buffer, std::uint32_t& size);
  // The logged-on user's account type; 0 when no user was found.
  [[nodiscard]] std::uint16_t GetLoggedOnUserAccountType();
  // Makes the next question read the console user again.
  void MarkStale() noexcept { stale_.store(true, std::memory_order_release); }
  [[nodiscard]] bool IsStale() const noexcept { return stale_.load(std::memory_order_acquire); }

 private:
  // Reads the console user when stale; mutex_ held.
  void RefreshIfStale();
  [[nodiscard]] OB_STATUSCODE Read();

  IConsoleUserSource& console_;
  IAccountDirectory& accounts_;
  std::atomic<bool> stale_{true};
  std::mutex mutex_;
  std::wstring name_;                  // guarded by mutex_; valid when status_ is 0
  std::uint16_t account_type_ = 0;     // guarded by mutex_
  OB_STATUSCODE status_ = kObSuccess;  // guarded by mutex_; of the last refresh
};
