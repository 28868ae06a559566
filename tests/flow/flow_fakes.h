// The flow tests' shared helpers: fakes for the process, account and console seams (processes
// and accounts held in maps, with call counters so tests can tell a cache hit from a read), and
// a sender and a recorder for the flow data channel.
#pragma once

#include <arpa/inet.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>

#include "driver/flow_datagram_builder.h"
#include "flow/file_hasher.h"
#include "flow/orv_user_kdf_ipc.h"
#include "flow/platform_framework.h"
#include "flow/process_queries.h"

namespace orv::test {

using Bytes = std::vector<std::uint8_t>;
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

inline Bytes FlowDatagram(std::uint32_t pid, std::uint32_t protocol = 6) {
  KdfFlowData flow;
  flow.protocol = protocol;
  flow.pid = pid;
  flow.host_name = "one.one.one.one";
  const KdfFlowDatagram d = BuildKdfFlowDatagram(flow);
  return {d.begin(), d.end()};
}

inline Bytes PidDatagram(std::uint32_t pid) {
  KdfPidInfo info;
  info.pid = pid;
  const KdfPidInfoDatagram d = BuildKdfPidInfoDatagram(info);
  return {d.begin(), d.end()};
}

// Sends to a loopback port from one socket for its life, as the channel identifies senders by
// their socket; the socket belongs to owner (another owner than this process's needs root).
class LoopbackSender {
 public:
  explicit LoopbackSender(std::uint16_t port, uid_t owner = ::geteuid()) {
    const auto previous = static_cast<uid_t>(::setfsuid(owner));
    fd_.Reset(::socket(AF_INET, SOCK_DGRAM, 0));
    ::setfsuid(previous);
    address_ = {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  }
  // True when the whole datagram was sent.
  bool Send(const Bytes& bytes) {
    return ::sendto(fd_.get(), bytes.data(), bytes.size(), 0,
                    reinterpret_cast<const sockaddr*>(&address_),
                    sizeof address_) == static_cast<ssize_t>(bytes.size());
  }

 private:
  OBRuntime::UniqueFd fd_;
  sockaddr_in address_{};
};

// Records the process ids of what the channel delivers, as its callbacks or as the agent.
class MessageRecorder : public IKdfMessageSink {
 public:
  void OnFlowUpdate(std::shared_ptr<const KdfFlowData> message) override {
    Add(flows, message->pid);
  }
  void OnPidInfo(std::shared_ptr<const KdfPidInfo> message) override { Add(pids, message->pid); }
  OrvUserKdfIpc::FlowDataCallback FlowCallback() {
    return [this](std::shared_ptr<const KdfFlowData> message) { OnFlowUpdate(message); };
  }
  OrvUserKdfIpc::PidInfoCallback PidCallback() {
    return [this](std::shared_ptr<const KdfPidInfo> message) { OnPidInfo(message); };
  }
  // True when id arrived in list (flows or pids) within 10 s.
  bool WaitFor(const std::vector<std::uint32_t>& list, std::uint32_t id) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10),
                             [&] { return std::find(list.begin(), list.end(), id) != list.end(); });
  }
  std::vector<std::uint32_t> Copy(const std::vector<std::uint32_t>& list) {
    const std::lock_guard lock(mutex_);
    return list;
  }

  std::vector<std::uint32_t> flows;  // guarded by mutex_
  std::vector<std::uint32_t> pids;   // guarded by mutex_

 private:
  void Add(std::vector<std::uint32_t>& list, std::uint32_t id) {
    const std::lock_guard lock(mutex_);
    list.push_back(id);
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
};

}  // namespace orv::test
