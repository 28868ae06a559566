#include "platform/account_lookup.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>

namespace orv::platform {
namespace {

// Entries with many members need more than sysconf's suggestion; the buffer grows up to this.
constexpr std::size_t kMaxEntryBuffer = std::size_t{1024} * 1024;
constexpr std::uint32_t kDefaultUidMin = 1000;
constexpr std::uint32_t kDefaultOverflowUid = 65534;
constexpr int kMaxGroups = 65536;

// Calls a *_r lookup with a growing buffer. The lookup returns 0 with a null result when there
// is no entry; ERANGE asks for a larger buffer.
template <typename Entry, typename Lookup>
OB_STATUSCODE LookupEntry(Lookup lookup, std::string& name, std::uint32_t* primary_gid,
                          int& os_error) {
  std::string buffer(1024, '\0');
  while (true) {
    Entry entry{};
    Entry* result = nullptr;
    const int error = lookup(&entry, buffer.data(), buffer.size(), &result);
    if (error == ERANGE && buffer.size() < kMaxEntryBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    // Some NSS modules report "no entry" as ENOENT, ESRCH, EBADF or EPERM (getpwnam_r(3)).
    if (result == nullptr && (error == 0 || error == ENOENT || error == ESRCH)) {
      os_error = 0;
      return kObNotFound;
    }
    if (result == nullptr) {
      os_error = error;
      return kObFailure;
    }
    if constexpr (requires { entry.pw_name; }) {
      name = entry.pw_name != nullptr ? entry.pw_name : "";
      if (primary_gid != nullptr) {
        *primary_gid = entry.pw_gid;
      }
    } else {
      name = entry.gr_name != nullptr ? entry.gr_name : "";
    }
    os_error = 0;
    return kObSuccess;
  }
}

OB_STATUSCODE LookupPasswd(std::uint32_t uid, std::string& name, std::uint32_t* primary_gid,
                           int& os_error) {
  return LookupEntry<passwd>(
      [uid](passwd* entry, char* buffer, std::size_t size, passwd** result) {
        return ::getpwuid_r(uid, entry, buffer, size, result);
      },
      name, primary_gid, os_error);
}

}  // namespace

OB_STATUSCODE LookupUserName(std::uint32_t uid, std::string& name, int& os_error) {
  return LookupPasswd(uid, name, nullptr, os_error);
}

OB_STATUSCODE LookupGroupName(std::uint32_t gid, std::string& name, int& os_error) {
  return LookupEntry<group>(
      [gid](group* entry, char* buffer, std::size_t size, group** result) {
        return ::getgrgid_r(gid, entry, buffer, size, result);
      },
      name, nullptr, os_error);
}

OB_STATUSCODE LookupUserGroups(std::uint32_t uid, std::vector<std::uint32_t>& gids, int& os_error) {
  std::string name;
  std::uint32_t primary = 0;
  const OB_STATUSCODE status = LookupPasswd(uid, name, &primary, os_error);
  if (status != kObSuccess) {
    return status;
  }
  std::vector<gid_t> found(64);
  int count = static_cast<int>(found.size());
  // getgrouplist puts the primary group into the list and reports the count needed when the
  // array is too small.
  while (::getgrouplist(name.c_str(), primary, found.data(), &count) < 0) {
    if (count <= static_cast<int>(found.size()) || count > kMaxGroups) {
      os_error = ERANGE;
      return kObFailure;
    }
    found.resize(static_cast<std::size_t>(count));
  }
  gids.assign({primary});
  for (int index = 0; index < count; ++index) {
    if (found[static_cast<std::size_t>(index)] != primary) {
      gids.push_back(found[static_cast<std::size_t>(index)]);
    }
  }
  os_error = 0;
  return kObSuccess;
}

std::uint32_t ParseUidMin(std::string_view login_defs) {
  std::istringstream lines{std::string(login_defs)};
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string key;
    std::string value;
    if (!(words >> key >> value) || key != "UID_MIN") {
      continue;
    }
    std::uint32_t uid_min = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), uid_min);
    return (error == std::errc() && end == value.data() + value.size()) ? uid_min : kDefaultUidMin;
  }
  return kDefaultUidMin;
}

std::uint32_t ReadUidMin() {
  std::ifstream file("/etc/login.defs");
  if (!file) {
    return kDefaultUidMin;
  }
  std::ostringstream text;
  text << file.rdbuf();
  return ParseUidMin(text.str());
}

std::uint32_t ReadOverflowUid() {
  std::ifstream file("/proc/sys/kernel/overflowuid");
  std::uint32_t uid = kDefaultOverflowUid;
  if (!(file >> uid)) {
    return kDefaultOverflowUid;
  }
  return uid;
}

std::string ShortHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') {
    return "localhost";
  }
  std::string host(name);
  return host.substr(0, host.find('.'));
}

}  // namespace orv::platform
