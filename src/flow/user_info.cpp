#include "flow/user_info.h"

#include <vector>

#include "flow/account_info.h"
#include "runtime/logger.h"

CUserInfo& CUserInfo::GetInstance() {
  static CUserInfo instance(LogindConsoleUserSource::Instance(), LinuxAccountDirectory::Instance());
  return instance;
}

CUserInfo::CUserInfo(IConsoleUserSource& console, IAccountDirectory& accounts)
    : console_(console), accounts_(accounts) {}

OB_STATUSCODE CUserInfo::GetLoggedOnUserName(wchar_t* buffer, std::uint32_t& size) {
  const std::lock_guard lock(mutex_);
  RefreshIfStale();
  if (status_ != kObSuccess) {
    return status_;
  }
  return CopyAccountName(name_, buffer, size);
}

std::uint16_t CUserInfo::GetLoggedOnUserAccountType() {
  const std::lock_guard lock(mutex_);
  RefreshIfStale();
  return account_type_;
}

void CUserInfo::RefreshIfStale() {
  // Cleared before reading: a session change during the read marks the result stale again.
  if (!stale_.exchange(false, std::memory_order_acq_rel)) {
    return;
  }
  name_.clear();
  account_type_ = 0;
  status_ = Read();
}

OB_STATUSCODE CUserInfo::Read() {
  std::uint32_t uid = 0;
  int os_error = 0;
  const OB_STATUSCODE status = console_.ConsoleUser(uid, os_error);
  if (status == kObNotFound) {
    OB_LOG_DEBUG("no user session active on the console");
    return kObNotFound;
  }
  if (status != kObSuccess) {
    OB_LOG_ERROR("console session cannot be read: errno %d", os_error);
    return kObFailure;
  }
  std::vector<std::uint32_t> groups;
  const OB_STATUSCODE groups_status = accounts_.UserGroups(uid, groups, os_error);
  if (groups_status != kObSuccess) {
    OB_LOG_ERROR("groups of console user %u cannot be read: status %d, errno %d", uid,
                 groups_status, os_error);
    return kObFailure;
  }
  account_type_ = ComputeAccountType(uid, groups, accounts_);
  return FormatAccountName(uid, accounts_, name_);
}
