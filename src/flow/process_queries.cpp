#include "flow/process_queries.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/account_lookup.h"
#include "platform/console_session.h"

LinuxProcessQueries& LinuxProcessQueries::Instance() {
  static LinuxProcessQueries instance;
  return instance;
}

OB_STATUSCODE LinuxProcessQueries::Stat(std::uint32_t pid, orv::platform::ProcStat& out,
                                        int& os_error) {
  return orv::platform::ReadProcStat(pid, out, os_error);
}

OB_STATUSCODE LinuxProcessQueries::Credentials(std::uint32_t pid,
                                               orv::platform::ProcCredentials& out, int& os_error) {
  return orv::platform::ReadProcCredentials(pid, out, os_error);
}

OB_STATUSCODE LinuxProcessQueries::ImagePath(std::uint32_t pid, std::string& path, int& os_error) {
  return orv::platform::ReadProcExePath(pid, path, os_error);
}

OB_STATUSCODE LinuxProcessQueries::WorkingDirectory(std::uint32_t pid, std::string& path,
                                                    int& os_error) {
  return orv::platform::ReadProcWorkingDirectory(pid, path, os_error);
}

OB_STATUSCODE LinuxProcessQueries::CommandLine(std::uint32_t pid, std::vector<std::string>& argv,
                                               int& os_error) {
  return orv::platform::ReadProcCommandLine(pid, argv, os_error);
}

OB_STATUSCODE LinuxProcessQueries::MappedFiles(std::uint32_t pid, std::vector<std::string>& paths,
                                               int& os_error) {
  return orv::platform::ReadProcMappedFiles(pid, paths, os_error);
}

OB_STATUSCODE LinuxProcessQueries::OpenFiles(std::uint32_t pid, std::string_view extension,
                                             std::vector<std::string>& paths, int& os_error) {
  return orv::platform::ReadProcOpenFiles(pid, extension, paths, os_error);
}

std::wstring LinuxProcessQueries::ImageFile(std::uint32_t pid) {
  return L"/proc/" + std::to_wstring(pid) + L"/exe";
}

// Paths are resolved with the process's root as "/", symbolic links included (RESOLVE_IN_ROOT);
// kernels without openat2 get the plain /proc/<pid>/root prefix, whose absolute links resolve in
// the agent's root instead.
OBRuntime::UniqueFd LinuxProcessQueries::OpenInProcess(std::uint32_t pid, const std::string& path) {
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  const std::string root = "/proc/" + std::to_string(pid) + "/root";
  const OBRuntime::UniqueFd root_fd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!root_fd.valid()) {
    return OBRuntime::UniqueFd();
  }
  open_how how{};
  how.flags = kFlags;
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
  const long fd = ::syscall(SYS_openat2, root_fd.get(), path.c_str(), &how, sizeof how);
  if (fd >= 0 || errno != ENOSYS) {
    return OBRuntime::UniqueFd(static_cast<int>(fd));
  }
  return OBRuntime::UniqueFd(::open((root + "/" + path).c_str(), kFlags));
}

LinuxAccountDirectory& LinuxAccountDirectory::Instance() {
  static LinuxAccountDirectory instance;
  return instance;
}

LinuxAccountDirectory::LinuxAccountDirectory()
    : uid_min_(orv::platform::ReadUidMin()), overflow_uid_(orv::platform::ReadOverflowUid()) {}

OB_STATUSCODE LinuxAccountDirectory::UserName(std::uint32_t uid, std::string& name, int& os_error) {
  return orv::platform::LookupUserName(uid, name, os_error);
}

OB_STATUSCODE LinuxAccountDirectory::GroupName(std::uint32_t gid, std::string& name,
                                               int& os_error) {
  return orv::platform::LookupGroupName(gid, name, os_error);
}

OB_STATUSCODE LinuxAccountDirectory::UserGroups(std::uint32_t uid, std::vector<std::uint32_t>& gids,
                                                int& os_error) {
  return orv::platform::LookupUserGroups(uid, gids, os_error);
}

std::uint32_t LinuxAccountDirectory::UidMin() { return uid_min_; }

std::uint32_t LinuxAccountDirectory::OverflowUid() { return overflow_uid_; }

std::string LinuxAccountDirectory::LocalDomain() { return orv::platform::ShortHostName(); }

LogindConsoleUserSource& LogindConsoleUserSource::Instance() {
  static LogindConsoleUserSource instance;
  return instance;
}

OB_STATUSCODE LogindConsoleUserSource::ConsoleUser(std::uint32_t& uid, int& os_error) {
  return orv::platform::GetConsoleUser(uid, os_error);
}
