#include "flow/process_queries.h"

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
