// Fakes for the process, account and console seams: processes and accounts held in maps, with
// call counters so tests can tell a cache hit from a read.
#pragma once

#include <cerrno>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "flow/file_hasher.h"
#include "flow/process_queries.h"

namespace orv::test {

struct FakeProcess {
  orv::platform::ProcStat stat;
  std::string image = "/usr/bin/fake";
  OB_STATUSCODE image_status = kObSuccess;
  orv::platform::ProcCredentials credentials;
  std::vector<std::string> argv;
  std::string cwd = "/";
  std::vector<std::string> mapped;
  std::vector<std::string> open_files;
  std::wstring image_file;  // what the hasher reads
};

class FakeProcessQueries : public IProcessQueries {
 public:
  std::map<std::uint32_t, FakeProcess> processes;
  int stat_calls = 0;
  int image_calls = 0;
  int credential_calls = 0;

  OB_STATUSCODE Stat(std::uint32_t pid, orv::platform::ProcStat& out, int& os_error) override {
    ++stat_calls;
    const FakeProcess* process = Find(pid, os_error);
    if (process == nullptr) {
      return kObNotFound;
    }
    out = process->stat;
    return kObSuccess;
  }
  OB_STATUSCODE Credentials(std::uint32_t pid, orv::platform::ProcCredentials& out,
                            int& os_error) override {
    ++credential_calls;
    const FakeProcess* process = Find(pid, os_error);
    if (process == nullptr) {
      return kObNotFound;
    }
    out = process->credentials;
    return kObSuccess;
  }
  OB_STATUSCODE ImagePath(std::uint32_t pid, std::string& path, int& os_error) override {
    ++image_calls;
    const FakeProcess* process = Find(pid, os_error);
    if (process == nullptr) {
      return kObNotFound;
    }
    if (process->image_status != kObSuccess) {
      os_error = EACCES;
      return process->image_status;
    }
    path = process->image;
    return kObSuccess;
  }
  OB_STATUSCODE WorkingDirectory(std::uint32_t pid, std::string& path, int& os_error) override {
    const FakeProcess* process = Find(pid, os_error);
    if (process == nullptr) {
      return kObNotFound;
    }
    path = process->cwd;
    return kObSuccess;
  }
  OB_STATUSCODE CommandLine(std::uint32_t pid, std::vector<std::string>& argv,
                            int& os_error) override {
    const FakeProcess* process = Find(pid, os_error);
    if (process == nullptr) {
      return kObNotFound;
    }
    argv = process->argv;
    return kObSuccess;
  }
  OB_STATUSCODE MappedFiles(std::uint32_t pid, std::vector<std::string>& paths,
                            int& os_error) override {
    const FakeProcess* process = Find(pid, os_error);
    if (process == nullptr) {
      return kObNotFound;
    }
    paths = process->mapped;
    return kObSuccess;
  }
  OB_STATUSCODE OpenFiles(std::uint32_t pid, std::string_view, std::vector<std::string>& paths,
                          int& os_error) override {
    const FakeProcess* process = Find(pid, os_error);
    if (process == nullptr) {
      return kObNotFound;
    }
    paths = process->open_files;
    return kObSuccess;
  }
  std::wstring ImageFile(std::uint32_t pid) override {
    const auto it = processes.find(pid);
    return it == processes.end() ? std::wstring(L"/nonexistent") : it->second.image_file;
  }
  OBRuntime::UniqueFd OpenInProcess(std::uint32_t, const std::string& path) override {
    return OpenForHashing(path);
  }

 private:
  const FakeProcess* Find(std::uint32_t pid, int& os_error) const {
    const auto it = processes.find(pid);
    os_error = it == processes.end() ? ENOENT : 0;
    return it == processes.end() ? nullptr : &it->second;
  }
};

class FakeAccountDirectory : public IAccountDirectory {
 public:
  std::map<std::uint32_t, std::string> users;
  std::map<std::uint32_t, std::string> groups;
  std::map<std::uint32_t, std::vector<std::uint32_t>> user_groups;
  std::uint32_t uid_min = 1000;
  std::uint32_t overflow_uid = 65534;

  OB_STATUSCODE UserName(std::uint32_t uid, std::string& name, int& os_error) override {
    return Lookup(users, uid, name, os_error);
  }
  OB_STATUSCODE GroupName(std::uint32_t gid, std::string& name, int& os_error) override {
    return Lookup(groups, gid, name, os_error);
  }
  OB_STATUSCODE UserGroups(std::uint32_t uid, std::vector<std::uint32_t>& gids,
                           int& os_error) override {
    os_error = 0;
    const auto it = user_groups.find(uid);
    if (it == user_groups.end()) {
      return kObNotFound;
    }
    gids = it->second;
    return kObSuccess;
  }
  std::uint32_t UidMin() override { return uid_min; }
  std::uint32_t OverflowUid() override { return overflow_uid; }
  std::string LocalDomain() override { return "host"; }

 private:
  static OB_STATUSCODE Lookup(const std::map<std::uint32_t, std::string>& names, std::uint32_t id,
                              std::string& name, int& os_error) {
    os_error = 0;
    const auto it = names.find(id);
    if (it == names.end()) {
      return kObNotFound;
    }
    name = it->second;
    return kObSuccess;
  }
};

class FakeConsoleUserSource : public IConsoleUserSource {
 public:
  OB_STATUSCODE status = kObNotFound;
  std::uint32_t uid = 0;
  int os_error = 0;
  int calls = 0;

  OB_STATUSCODE ConsoleUser(std::uint32_t& out, int& error) override {
    ++calls;
    out = uid;
    error = os_error;
    return status;
  }
};

}  // namespace orv::test
