#include "flow/account_info.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "runtime/logger.h"
#include "runtime/text.h"

namespace {

constexpr std::array<std::string_view, 3> kAdministratorGroups = {"sudo", "wheel", "admin"};
constexpr std::array<std::string_view, 3> kGuestGroups = {"nogroup", "guest", "guests"};
constexpr std::string_view kUserGroup = "users";
constexpr std::string_view kDomainUsers = "domain users";
// Backslash, terminator and slack: the room the caller must give beyond user and domain.
constexpr std::uint32_t kNameOverhead = 4;

bool ContainsIgnoringCase(std::string_view text, std::string_view lower_needle) {
  const auto it =
      std::search(text.begin(), text.end(), lower_needle.begin(), lower_needle.end(),
                  [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; });
  return it != text.end();
}

template <std::size_t N>
bool IsOneOf(std::string_view name, const std::array<std::string_view, N>& names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

std::uint16_t ComputeAccountType(std::uint32_t uid, const std::vector<std::uint32_t>& groups,
                                 IAccountDirectory& directory) {
  if (uid == 0) {
    return kAccountTypeAdministrators;
  }
  if (uid == directory.OverflowUid()) {
    return kAccountTypeGuests;
  }
  std::uint16_t type = uid >= directory.UidMin() ? kAccountTypeUsers : kAccountTypeNone;
  bool domain_group = false;
  for (const std::uint32_t gid : groups) {
    std::string name;
    int os_error = 0;
    if (directory.GroupName(gid, name, os_error) != kObSuccess) {
      continue;
    }
    if (!domain_group && ContainsIgnoringCase(name, kDomainUsers)) {
      domain_group = true;
    }
    if (IsOneOf(name, kAdministratorGroups)) {
      type = kAccountTypeAdministrators;
      break;
    }
    if (IsOneOf(name, kGuestGroups)) {
      type = kAccountTypeGuests;
      break;
    }
    if (name == kUserGroup) {
      type = kAccountTypeUsers;
    }
  }
  return domain_group ? static_cast<std::uint16_t>(type | kAccountTypeDomainFlag) : type;
}

OB_STATUSCODE FormatAccountName(std::uint32_t uid, IAccountDirectory& directory,
                                std::wstring& name) {
  std::string user;
  int os_error = 0;
  const OB_STATUSCODE status = directory.UserName(uid, user, os_error);
  if (status != kObSuccess) {
    OB_LOG_DEBUG("no account name for uid %u: status %d, errno %d", uid, status, os_error);
    return kObFailure;
  }
  if (user.empty()) {
    OB_LOG_DEBUG("account of uid %u has an empty name", uid);
    return kObExportNotPossible;
  }
  const std::size_t at = user.rfind('@');
  std::string domain;
  if (at != std::string::npos && at > 0 && at + 1 < user.size()) {
    domain = user.substr(at + 1);
    user.resize(at);
  } else {
    domain = directory.LocalDomain();
  }
  name = OBRuntime::Utf8ToWide(domain) + L'\\' + OBRuntime::Utf8ToWide(user);
  return kObSuccess;
}

OB_STATUSCODE CopyAccountName(const std::wstring& name, wchar_t* buffer, std::uint32_t& size) {
  // The name holds exactly one separator added by FormatAccountName, so user plus domain is
  // its length minus one.
  const std::uint32_t needed =
      static_cast<std::uint32_t>(std::max<std::size_t>(name.size(), 1) - 1) + kNameOverhead;
  if (buffer == nullptr || size < needed) {
    size = needed;
    return kObBufferTooSmall;
  }
  std::copy(name.begin(), name.end(), buffer);
  buffer[name.size()] = L'\0';
  size = static_cast<std::uint32_t>(name.size());
  return kObSuccess;
}
