// The seams through which process, account and console-user information is read.
//
// Production uses the Linux implementations (/proc, NSS, logind); tests substitute fakes to
// drive reused process ids, account databases and session changes. Statuses follow
// platform/process_query.h: kObNotFound when the process or entry does not exist, kObFailure
// otherwise, os_error holding the errno behind a failure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "platform/process_query.h"
#include "runtime/unique_fd.h"

class IProcessQueries {
 public:
  virtual ~IProcessQueries() = default;
  [[nodiscard]] virtual OB_STATUSCODE Stat(std::uint32_t pid, orv::platform::ProcStat& out,
                                           int& os_error) = 0;
  [[nodiscard]] virtual OB_STATUSCODE Credentials(std::uint32_t pid,
                                                  orv::platform::ProcCredentials& out,
                                                  int& os_error) = 0;
  [[nodiscard]] virtual OB_STATUSCODE ImagePath(std::uint32_t pid, std::string& path,
                                                int& os_error) = 0;
  [[nodiscard]] virtual OB_STATUSCODE WorkingDirectory(std::uint32_t pid, std::string& path,
                                                       int& os_error) = 0;
  [[nodiscard]] virtual OB_STATUSCODE CommandLine(std::uint32_t pid, std::vector<std::string>& argv,
                                                  int& os_error) = 0;
  [[nodiscard]] virtual OB_STATUSCODE MappedFiles(std::uint32_t pid,
                                                  std::vector<std::string>& paths,
                                                  int& os_error) = 0;
  [[nodiscard]] virtual OB_STATUSCODE OpenFiles(std::uint32_t pid, std::string_view extension,
                                                std::vector<std::string>& paths, int& os_error) = 0;
  // The file whose contents are the process image, for hashing. Reading it through the
  // process (not through its path) hashes what runs even when the path was replaced.
  [[nodiscard]] virtual std::wstring ImageFile(std::uint32_t pid) = 0;
  // Opens for hashing a file the process names (a script, an archive) as the process sees it:
  // inside its own root and mount namespace, so neither a private /tmp nor a container's file
  // system is mistaken for the agent's. An invalid descriptor when it cannot be opened.
  [[nodiscard]] virtual OBRuntime::UniqueFd OpenInProcess(std::uint32_t pid,
                                                          const std::string& path) = 0;
};

class IAccountDirectory {
 public:
  virtual ~IAccountDirectory() = default;
  [[nodiscard]] virtual OB_STATUSCODE UserName(std::uint32_t uid, std::string& name,
                                               int& os_error) = 0;
  [[nodiscard]] virtual OB_STATUSCODE GroupName(std::uint32_t gid, std::string& name,
                                                int& os_error) = 0;
  // Primary group first, then the supplementary groups.
  [[nodiscard]] virtual OB_STATUSCODE UserGroups(std::uint32_t uid,
                                                 std::vector<std::uint32_t>& gids,
                                                 int& os_error) = 0;
  [[nodiscard]] virtual std::uint32_t UidMin() = 0;
  [[nodiscard]] virtual std::uint32_t OverflowUid() = 0;
  // The name local accounts are qualified with (the short host name).
  [[nodiscard]] virtual std::string LocalDomain() = 0;
};

class IConsoleUserSource {
 public:
  virtual ~IConsoleUserSource() = default;
  // See orv::platform::GetConsoleUser.
  [[nodiscard]] virtual OB_STATUSCODE ConsoleUser(std::uint32_t& uid, int& os_error) = 0;
};

// /proc. Stateless; safe from any thread.
class LinuxProcessQueries : public IProcessQueries {
 public:
  // The process-wide instance.
  static LinuxProcessQueries& Instance();

  // IProcessQueries
  OB_STATUSCODE Stat(std::uint32_t pid, orv::platform::ProcStat& out, int& os_error) override;
  OB_STATUSCODE Credentials(std::uint32_t pid, orv::platform::ProcCredentials& out,
                            int& os_error) override;
  OB_STATUSCODE ImagePath(std::uint32_t pid, std::string& path, int& os_error) override;
  OB_STATUSCODE WorkingDirectory(std::uint32_t pid, std::string& path, int& os_error) override;
  OB_STATUSCODE CommandLine(std::uint32_t pid, std::vector<std::string>& argv,
                            int& os_error) override;
  OB_STATUSCODE MappedFiles(std::uint32_t pid, std::vector<std::string>& paths,
                            int& os_error) override;
  OB_STATUSCODE OpenFiles(std::uint32_t pid, std::string_view extension,
                          std::vector<std::string>& paths, int& os_error) override;
  std::wstring ImageFile(std::uint32_t pid) override;
  OBRuntime::UniqueFd OpenInProcess(std::uint32_t pid, const std::string& path) override;
};

// NSS and the system's account settings. UID_MIN and the overflow uid are read once, at
// construction; names are looked up on every call (the caller caches results per process).
// Safe from any thread.
class LinuxAccountDirectory : public IAccountDirectory {
 public:
  // The process-wide instance.
  static LinuxAccountDirectory& Instance();
  LinuxAccountDirectory();

  // IAccountDirectory
  OB_STATUSCODE UserName(std::uint32_t uid, std::string& name, int& os_error) override;
  OB_STATUSCODE GroupName(std::uint32_t gid, std::string& name, int& os_error) override;
  OB_STATUSCODE UserGroups(std::uint32_t uid, std::vector<std::uint32_t>& gids,
                           int& os_error) override;
  std::uint32_t UidMin() override;
  std::uint32_t OverflowUid() override;
  std::string LocalDomain() override;

 private:
  const std::uint32_t uid_min_;
  const std::uint32_t overflow_uid_;
};

// logind. Stateless; safe from any thread.
class LogindConsoleUserSource : public IConsoleUserSource {
 public:
  static LogindConsoleUserSource& Instance();

  // IConsoleUserSource
  OB_STATUSCODE ConsoleUser(std::uint32_t& uid, int& os_error) override;
};
