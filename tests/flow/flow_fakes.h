// The flow tests' shared fakes for the process, account and console seams: processes and accounts
// held in maps, with call counters so tests can tell a cache hit from a read.
#pragma once

#include <cerrno>
#include <map>

#include "flow/file_hasher.h"
#include "flow/process_queries.h"

namespace orv::test {

using Strings = std::vector<std::string>;

// SHA-256("abc") as raw bytes: the contents the tests give their image and module files.
inline const std::string kAbcDigest(
    "\xba\x78\x16\xbf\x8f\x01\xcf\xea\x41\x41\x40\xde\x5d\xae\x22\x23"
    "\xb0\x03\x61\xa3\x96\x17\x7a\x9c\xb4\x10\xff\x61\xf2\x00\x15\xad",
    32);

// Looks id up in entries: kObNotFound (errno ENOENT) when absent, else the entry's field.
template <typename Map, typename T, typename Field>
OB_STATUSCODE FakeLookup(const Map& entries, std::uint32_t id, int& os_error, Field field, T& out) {
  const auto it = entries.find(id);
  os_error = it == entries.end() ? ENOENT : 0;
  if (it == entries.end()) {
    return kObNotFound;
  }
  out = field(it->second);
  return kObSuccess;
}

struct FakeProcess {
  platform::ProcStat stat;
  std::string image = "/usr/bin/fake";
  OB_STATUSCODE image_status = kObSuccess;
  platform::ProcCredentials credentials;
  Strings argv;
  std::string cwd = "/";
  Strings mapped;
  Strings open_files;
  std::wstring image_file;  // what the hasher reads
};

class FakeProcessQueries : public IProcessQueries {
 public:
  OB_STATUSCODE Stat(std::uint32_t pid, platform::ProcStat& out, int& e) override {
    return Get(pid, e, &FakeProcess::stat, out, &stat_calls);
  }
  OB_STATUSCODE Credentials(std::uint32_t pid, platform::ProcCredentials& out, int& e) override {
    return Get(pid, e, &FakeProcess::credentials, out, &credential_calls);
  }
  OB_STATUSCODE ImagePath(std::uint32_t pid, std::string& out, int& e) override {
    const OB_STATUSCODE status = Get(pid, e, &FakeProcess::image, out, &image_calls);
    e = status == kObSuccess && processes[pid].image_status != kObSuccess ? EACCES : e;
    return status == kObSuccess ? processes[pid].image_status : status;
  }
  OB_STATUSCODE WorkingDirectory(std::uint32_t pid, std::string& out, int& e) override {
    return Get(pid, e, &FakeProcess::cwd, out);
  }
  OB_STATUSCODE CommandLine(std::uint32_t pid, Strings& out, int& e) override {
    return Get(pid, e, &FakeProcess::argv, out);
  }
  OB_STATUSCODE MappedFiles(std::uint32_t pid, Strings& out, int& e) override {
    return Get(pid, e, &FakeProcess::mapped, out);
  }
  OB_STATUSCODE OpenFiles(std::uint32_t pid, std::string_view, Strings& out, int& e) override {
    return Get(pid, e, &FakeProcess::open_files, out);
  }
  std::wstring ImageFile(std::uint32_t pid) override {
    return processes.contains(pid) ? processes[pid].image_file : L"/nonexistent";
  }
  OBRuntime::UniqueFd OpenInProcess(std::uint32_t, const std::string& path) override {
    return OpenForHashing(path);
  }

  std::map<std::uint32_t, FakeProcess> processes;
  int stat_calls = 0;
  int image_calls = 0;
  int credential_calls = 0;

 private:
  template <typename T>
  OB_STATUSCODE Get(std::uint32_t pid, int& e, T FakeProcess::*field, T& out, int* calls = {}) {
    if (calls != nullptr) ++*calls;
    return FakeLookup(processes, pid, e, std::mem_fn(field), out);
  }
};

class FakeAccountDirectory : public IAccountDirectory {
 public:
  OB_STATUSCODE UserName(std::uint32_t uid, std::string& name, int& e) override {
    return FakeLookup(users, uid, e, std::identity{}, name);
  }
  OB_STATUSCODE GroupName(std::uint32_t gid, std::string& name, int& e) override {
    return FakeLookup(groups, gid, e, std::identity{}, name);
  }
  OB_STATUSCODE UserGroups(std::uint32_t uid, std::vector<std::uint32_t>& gids, int& e) override {
    return FakeLookup(user_groups, uid, e, std::identity{}, gids);
  }
  std::uint32_t UidMin() override { return 1000; }
  std::uint32_t OverflowUid() override { return 65534; }
  std::string LocalDomain() override { return "host"; }

  std::map<std::uint32_t, std::string> users;
  std::map<std::uint32_t, std::string> groups;
  std::map<std::uint32_t, std::vector<std::uint32_t>> user_groups;
};

class FakeConsoleUserSource : public IConsoleUserSource {
 public:
  OB_STATUSCODE ConsoleUser(std::uint32_t& out, int& error) override {
    ++calls;
    out = uid;
    error = 0;
    return status;
  }

  OB_STATUSCODE status = kObNotFound;
  std::uint32_t uid = 0;
  int calls = 0;
};

}  // namespace orv::test
