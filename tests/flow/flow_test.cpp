// The flow records and their sources: process lookups through /proc and through fakes, the hash
// worker, the surrogate host containers, account types and the console user, IDN names, records
// built from driver messages by policy; the driver's datagram layout, the flow data channel
// (datagram checks, loopback receiving, start and stop, sender check) and the platform framework
// that starts it and tells the driver where it listens.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <thread>

#include "driver/flow_datagram_builder.h"
#include "driver/kdf_message.h"
#include "flow/account_info.h"
#include "flow/container_manager.h"
#include "flow/datagram_sender_check.h"
#include "flow/file_hasher.h"
#include "flow/flow_record_builder.h"
#include "flow/host_containers.h"
#include "flow/idn_utils.h"
#include "flow/interpreter_container.h"
#include "flow/kdf.h"
#include "flow/orv_user_kdf_ipc.h"
#include "flow/process_info.h"
#include "flow/process_queries.h"
#include "flow/synthetic_flow_source.h"
#include "platform/account_lookup.h"
#include "runtime/byte_order.h"
#include "runtime/sha256_hash_manager.h"
#include "runtime/text.h"
#include "runtime/unique_fd.h"
#include "runtime/utils.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

using orv::test::ChildProcess;
using orv::test::LogCapture;
using Strings = std::vector<std::string>;
using Hash = std::array<std::uint8_t, 32>;
using Paths = std::vector<std::wstring>;
using enum RegistryRoot;
using enum RegistryView;

constexpr std::uint32_t kHostPid = 700;

// Fakes for the process, account and console seams: processes and accounts held in maps, with
// call counters so tests can tell a cache hit from a read.
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
  if (it != entries.end()) out = field(it->second);
  return it == entries.end() ? kObNotFound : kObSuccess;
}

struct FakeProcess {
  orv::platform::ProcStat stat;
  std::string image = "/usr/bin/fake";
  orv::platform::ProcCredentials credentials;
  Strings argv;
  std::string cwd = "/";
  Strings mapped;
  Strings open_files;
  std::wstring image_file;  // what the hasher reads
};

class FakeProcessQueries : public IProcessQueries {
 public:
  OB_STATUSCODE Stat(std::uint32_t pid, orv::platform::ProcStat& out, int& e) override {
    return Get(pid, e, &FakeProcess::stat, out, &stat_calls);
  }
  OB_STATUSCODE Credentials(std::uint32_t pid, orv::platform::ProcCredentials& out,
                            int& e) override {
    return Get(pid, e, &FakeProcess::credentials, out, &credential_calls);
  }
  OB_STATUSCODE ImagePath(std::uint32_t pid, std::string& out, int& e) override {
    return Get(pid, e, &FakeProcess::image, out, &image_calls);
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

const std::string kZeroHash(32, '\0');
constexpr std::uint32_t kPid = 100;

std::string Code(OB_STATUSCODE status) { return std::to_string(static_cast<unsigned>(status)); }

DataCollectionPolicySnapshot Policy(bool default_exclude,
                                    std::map<std::int32_t, std::int32_t> fields) {
  auto policy = std::make_shared<DataCollectionPolicy>();
  policy->default_exclude = default_exclude;
  policy->field_map = std::move(fields);
  return policy;
}

KdfFlowData Ipv4Message() {
  KdfFlowData message;
  message.local = {2, 40000, {10, 0, 0, 5}, 0, {}};
  message.remote = {2, 443, {93, 184, 216, 34}, 0, {}};
  message.host_name = "example.com";
  message.protocol = 6;
  message.bytes_in = 1000;
  message.bytes_out = 200;
  message.pid = kPid;
  message.parent_pid = 1;
  return message;
}

// What one CProcessInfo answers for the process (or its parent); empty texts on failure.
struct Answers {
  OB_STATUSCODE path_status = kObFailure;
  std::wstring path;
  OB_STATUSCODE hash_status = kObFailure;
  Hash hash{};
  OB_STATUSCODE user_status = kObFailure;
  std::wstring user;
  std::uint16_t type = 0xFFFF;
};

Answers Ask(CProcessInfo& info, bool parent = false) {
  Answers a;
  a.hash.fill(0xAA);  // so that a hash answered as zeros shows
  std::array<wchar_t, CProcessInfo::kPathCapacity> path{};
  a.path_status = parent ? info.GetParentProcessPath(path.data(), path.size())
                         : info.GetProcessPath(path.data(), path.size());
  a.path = a.path_status == kObSuccess ? path.data() : L"";
  std::uint32_t size = a.hash.size();
  a.hash_status = parent ? info.GetParentProcessHash(a.hash.data(), size)
                         : info.GetProcessHash(a.hash.data(), size);
  std::array<wchar_t, CProcessInfo::kUserCapacity> user{};
  size = user.size();
  a.user_status = parent ? info.GetParentProcessUser(user.data(), size, a.type)
                         : info.GetProcessUser(user.data(), size, a.type);
  a.user = a.user_status == kObSuccess ? user.data() : L"";
  return a;
}

Hash FileHash(const std::string& path) {
  Hash hash{};
  OBRuntime::CSha256HashManagerImpl hasher;
  EXPECT_EQ(hasher.GetHashSHA256(OBRuntime::Utf8ToWide(path), hash.data(), hash.size(), 0),
            kObSuccess);
  return hash;
}

std::string Contents(OBRuntime::UniqueFd file) {
  std::string text(64, '\0');
  const ssize_t got = file.valid() ? ::read(file.get(), text.data(), text.size()) : -1;
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return text;
}

// Process lookups and flow records against the fakes: processes 100 (curl) and 500 (app) of alice
// and their parent 1 (init) of root.
class FlowTest : public ::testing::Test {
 protected:
  FlowTest() {
    AddProcess(kPid, 1, "curl", "/usr/bin/curl", 1000, 500, "abc");
    AddProcess(1, 0, "init", "/sbin/init", 0, 1, "init");
    AddProcess(500, 1, "app", "/usr/bin/app", 1000, 100, "abc");
    accounts_.users = {{0, "root"}, {1000, "alice"}};
    accounts_.user_groups = {{0, {}}, {1000, {}}};
  }

  void AddProcess(std::uint32_t pid, std::uint32_t parent, const std::string& command,
                  const std::string& image, std::uint32_t uid, std::uint64_t start_time,
                  const std::string& contents) {
    FakeProcess& process = queries_.processes[pid];
    process.stat = {command, parent, start_time};
    process.image = image;
    process.credentials.effective_uid = uid;
    process.image_file = (temp_.path() / command).wstring();
    std::ofstream(temp_.path() / command) << contents;
  }

  FlowRecordSources Sources(const ProcessInfoServices* process = nullptr) {
    FlowRecordSources sources;
    sources.process = process != nullptr ? process : &services_;
    sources.console_user = &console_user_;
    sources.hosted_modules = [this](std::wstring_view path, auto&, const auto& excluded,
                                    auto& names, auto& hashes) {
      ++resolutions_;
      if (path != L"/usr/bin/java") return kObNotFound;
      names = excluded(kFieldHostedModules) ? names : std::vector<std::wstring>{L"app.jar"};
      hashes = excluded(kFieldHostedModuleHashes) ? hashes : std::vector<std::string>{kAbcDigest};
      return host_status_;
    };
    sources.merged_policy = [this] { return policy_; };
    sources.debug_pattern = [this](std::wstring& pattern) {
      pattern = pattern_;
      return !pattern_.empty();
    };
    // Only the local addresses, of the family asked for, have an interface and a suffix.
    sources.interface_uid = [this](const std::string& address, bool ipv4, std::uint32_t& uid) {
      uid = local_ ? (ipv4 ? 7 : 9) : 0;
      return uid != 0 && address == (ipv4 ? "10.0.0.5" : "2001:db8::5") ? kObSuccess : kObNotFound;
    };
    sources.dns_suffix = [this](const std::string& address, std::wstring& suffix) {
      suffix = address == "10.0.0.5" ? L"corp.example" : L"v6.example";
      return local_ && (address == "10.0.0.5" || address == "2001:db8::5") ? kObSuccess
                                                                           : kObNotFound;
    };
    return sources;
  }

  std::shared_ptr<ORVFlowObject> Build(const KdfFlowData& message,
                                       const std::shared_ptr<const ORVFlowObject>& record = {}) {
    return CFlowRecordBuilder(Sources()).FromFlowData(message, record);
  }

  OB_STATUSCODE Refill(ORVFlowObject& flow) { return CFlowRecordBuilder(Sources()).fill(flow); }

  Answers AskFor(std::uint32_t pid, bool parent = false) {
    CProcessInfo info(pid, services_);
    return Ask(info, parent);
  }
  static std::chrono::steady_clock::time_point Now() { return now_; }

  orv::test::TempDir temp_;
  FakeProcessQueries queries_;
  FakeAccountDirectory accounts_;
  CProcessCache cache_{8};
  CInlineFileHasher hasher_;
  ProcessInfoServices services_{queries_, accounts_, cache_, hasher_, &Now};
  FakeConsoleUserSource console_;
  CUserInfo console_user_{console_, accounts_};
  DataCollectionPolicySnapshot policy_ = std::make_shared<DataCollectionPolicy>();
  std::wstring pattern_;
  bool local_ = true;  // whether the local addresses have an interface and a suffix
  OB_STATUSCODE host_status_ = kObSuccess;
  int resolutions_ = 0;
  static inline std::chrono::steady_clock::time_point now_{std::chrono::hours(1)};
};

// The DNS suffix and interface are the local endpoint's, never the remote host's. The host name
// is decoded, or kept widened with a warning.
TEST_F(FlowTest, EndpointsFollowDirectionAndFamilyAndHostNamesAreDecoded) {
  const std::string v4 = "93.184.216.34:443";
  const std::string v6 = "fe80::211:22ff:fe33:1:443";
  // family, direction, name, source, destination, the name in the record, the status logged
  // with a warning (0: none)
  const std::vector<std::tuple<int, int, std::string, std::string, std::string, std::wstring, int>>
      cases = {{2, 0, "", "10.0.0.5:40000", v4, L"Unknown", 0},
               {2, 1, "xn--bcher-kva.example", v4, "10.0.0.5:40000", L"b\u00fccher.example", 0},
               {23, 1, "xn--.example", v6, "2001:db8::5:40000", L"xn--.example", kObFailure}};
  for (const auto& [family, direction, name, source, destination, host, status] : cases) {
    KdfFlowData message = Ipv4Message();
    message.address_family = family;
    message.direction = direction;
    message.host_name = name;
    message.local.ipv6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
    message.remote.ipv6 = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x11, 0x22, 0xff, 0xfe, 0x33, 0, 1};
    LogCapture log;
    const auto flow = Build(message);
    EXPECT_EQ(std::tuple(flow->address_family, flow->interface_uid, flow->dns_suffix,
                         flow->destination_host_name),
              std::tuple(family == 2 ? 0u : 1u, family == 2 ? 7u : 9u,
                         family == 2 ? L"corp.example" : L"v6.example", host));
    EXPECT_EQ(flow->source_address + ":" + std::to_string(flow->source_port), source);
    EXPECT_EQ(flow->destination_address + ":" + std::to_string(flow->destination_port),
              destination);
    EXPECT_EQ(
        log.Has(LOG_WARNING, "CFlowRecordBuilder::FromFlowData",
                "IDNUtils::DecodeIDN failed for domain name " + name + " [" + Code(status) + "]"),
        status != 0)
        << name;
  }
}

TEST_F(FlowTest, MessageAndPidRecordFillOnlyWhatIsKnown) {
  // A pid record of the same process fills what is still empty, without a lookup.
  auto record = std::make_shared<ORVFlowObject>();
  record->process_id = kPid;
  record->process_name = record->parent_process_name = L"taken";
  record->process_path = record->parent_process_path = L"/opt/taken";
  record->process_hash = record->parent_process_hash = std::string(32, '\x22');
  record->process_user_name = record->parent_process_user_name = L"dom\\bob";
  record->process_user_account_type = 0x8002;
  record->parent_process_user_account_type = 3;
  const auto same = Build(Ipv4Message(), record);
  EXPECT_EQ(std::tuple(same->process_name, same->parent_process_path, same->parent_process_hash,
                       same->process_user_name, same->process_user_account_type,
                       same->parent_process_user_account_type),
            std::tuple(L"taken", L"/opt/taken", std::string(32, '\x22'), L"dom\\bob", 0x8002, 3));
  EXPECT_EQ(queries_.image_calls + queries_.credential_calls, 0);
  record->process_id = kPid + 1;
  EXPECT_EQ(Build(Ipv4Message(), record)->process_name, L"curl");

  // The message's own hash and paths are taken; an all-zero parent hash is computed.
  KdfFlowData message = Ipv4Message();
  message.process_hash.fill(0x33);
  message.process_path = u"/usr/local/bin/wget";
  message.parent_path = u"/bin/bash";
  const auto known = Build(message);
  EXPECT_EQ(std::tuple(known->process_name, known->parent_process_name, known->process_hash),
            std::tuple(L"wget", L"bash", std::string(32, '\x33')));
  EXPECT_NE(known->parent_process_hash, kZeroHash);

  // A record made while the process could not be read holds placeholders only: they never hide
  // the message's own image, even when the process is gone by the time its flow is reported.
  auto placeholder = std::make_shared<ORVFlowObject>();
  placeholder->process_id = kPid;
  placeholder->process_name = placeholder->process_user_name = L"Unknown";
  placeholder->process_hash = kZeroHash;
  queries_.processes.erase(kPid);
  const auto flow = Build(message, placeholder);
  EXPECT_EQ(std::tuple(flow->process_name, flow->process_hash),
            std::tuple(L"wget", std::string(32, '\x33')));
}

TEST_F(FlowTest, FailedLookupsLeaveUnknownAndReportPartialFailure) {
  ORVFlowObject known;
  known.process_id = kPid;
  EXPECT_EQ(Refill(known), kObSuccess);  // nobody at the console is an answer, not a failure
  EXPECT_TRUE(known.logged_in_user_name.empty());
  console_.status = kObFailure;
  console_user_.MarkStale();
  local_ = false;
  KdfFlowData message = Ipv4Message();
  message.pid = 4242;  // exited before the lookup
  const auto flow = Build(message);
  const std::wstring unknown = L"Unknown";
  EXPECT_EQ(std::tie(flow->process_name, flow->parent_process_name, flow->process_user_name,
                     flow->parent_process_user_name, flow->logged_in_user_name, flow->dns_suffix),
            std::tie(unknown, unknown, unknown, unknown, unknown, unknown));
  EXPECT_EQ(std::tuple(flow->process_hash, flow->parent_process_hash, flow->interface_uid),
            std::tuple(kZeroHash, kZeroHash, 0u));
  ORVFlowObject empty;
  empty.process_id = 4242;
  EXPECT_EQ(Refill(empty), kObPartialFailure);
  CFlowRecordBuilder bare{FlowRecordSources{}};
  ORVFlowObject nothing;
  EXPECT_EQ(bare.fill(nothing), kObPartialFailure);
  EXPECT_EQ(nothing.logged_in_user_name, L"Unknown");
}

TEST_F(FlowTest, ExcludedFieldsAreBlankedNeitherLookedUpNorTakenOver) {
  std::map<std::int32_t, std::int32_t> fields = {{kFieldDnsSuffix, kFieldModeAnonymise}};
  for (const std::int32_t field :
       {kFieldBytesIn, kFieldProcessName, kFieldParentProcessName, kFieldProcessHash,
        kFieldParentProcessHash, kFieldProcessUserAccountType, kFieldDestinationHostName}) {
    fields[field] = kFieldModeExclude;
  }
  policy_ = Policy(true, fields);
  auto record = std::make_shared<ORVFlowObject>();
  record->process_id = kPid;
  record->process_name = L"secret";
  record->process_user_account_type = 2;
  LogCapture log;
  KdfFlowData message = Ipv4Message();
  message.process_hash.fill(0x33);
  message.host_name = "xn--.example";
  const auto flow = Build(message, record);
  EXPECT_EQ(std::tuple(flow->bytes_in, flow->bytes_out, flow->process_user_account_type,
                       flow->process_hash, flow->parent_process_hash),
            std::tuple(0u, 200u, 0, kZeroHash, kZeroHash));
  EXPECT_EQ(std::tie(flow->process_name, flow->parent_process_name, flow->destination_host_name),
            std::tuple(L"-", L"-", L"-"));
  EXPECT_EQ(flow->process_user_name, L"host\\alice");  // its type is excluded, the name is not
  EXPECT_EQ(flow->dns_suffix, L"corp.example");        // anonymised later, by the exporter
  EXPECT_EQ(hasher_.FilesHashed(), 0u);
  EXPECT_FALSE(log.Contains("DecodeIDN"));

  // An include policy listing one field blanks every other; an empty map blanks nothing.
  ORVFlowObject full;
  full.logged_in_user_name = full.process_user_name = full.parent_process_user_name = L"u";
  full.hosted_modules = {L"m"};
  full.bytes_out = full.logged_in_user_account_type = 5;
  full.source_address = "10.0.0.5";
  ORVFlowObject included = full;
  BlankExcludedFields(included, *Policy(false, {{kFieldLoggedInUserName, kFieldModeInclude}}));
  EXPECT_EQ(
      std::tuple(included.logged_in_user_name, included.process_user_name,
                 included.parent_process_user_name, included.hosted_modules.size(),
                 included.bytes_out, included.logged_in_user_account_type, included.source_address),
      std::tuple(L"u", L"-", L"-", 0u, 0u, 0, "10.0.0.5"));
  BlankExcludedFields(full, DataCollectionPolicy{});
  EXPECT_EQ(full.process_user_name, L"u");
  // Anonymised text fields are replaced by their digest; excluded ones are left to blanking.
  AnonymiseFields(full, *Policy(true, {{kFieldProcessUserName, kFieldModeAnonymise},
                                       {kFieldLoggedInUserName, kFieldModeExclude}}));
  std::wstring digest = L"u";
  AnonymizeValue(digest);
  EXPECT_EQ(std::tuple(full.process_user_name, full.logged_in_user_name), std::tuple(digest, L"u"));
}

TEST_F(FlowTest, PatternTracksMatchingFlowsIgnoringCaseBeforeBlanking) {
  policy_ = Policy(true, {{kFieldProcessName, kFieldModeExclude}});
  KdfFlowData message = Ipv4Message();
  message.host_name = "xn--bcher-kva.example";
  // The name is matched before it is blanked.
  const std::map<std::wstring, bool> cases = {{L"CURL", true},
                                              {L"B\u00dcCHER.EX", true},
                                              {L"10.0.0.5;93.184.216.34;curl;host\\alice", true},
                                              {L"nomatch", false}};
  for (const auto& [pattern, tracked] : cases) {
    pattern_ = pattern;
    LogCapture log;
    const auto flow = Build(message);
    EXPECT_EQ(flow->tracked, tracked);
    EXPECT_EQ(
        log.Contains("Tracking flow with id: " + std::to_string(flow->flow_id) + " and data\t "),
        tracked);
    EXPECT_EQ(flow->process_name, L"-");
  }
}

TEST_F(FlowTest, SurrogateHostGetsCommandLineAndHostedModules) {
  queries_.processes[kPid].image = "/usr/bin/java";
  queries_.processes[kPid].argv = {"/usr/bin/java", "-jar", "app.jar"};
  const auto flow = Build(Ipv4Message());
  EXPECT_EQ(std::tie(flow->hosted_modules, flow->hosted_module_hashes, flow->host_command_line),
            std::tuple(std::vector<std::wstring>{L"app.jar"}, std::vector<std::string>{kAbcDigest},
                       L"/usr/bin/java -jar app.jar"));

  host_status_ = kObPartialFailure;
  ORVFlowObject partial;
  partial.process_id = kPid;
  EXPECT_EQ(Refill(partial), kObPartialFailure);
  EXPECT_EQ(partial.hosted_modules, std::vector<std::wstring>{L"app.jar"});
  policy_ = Policy(true, {{kFieldHostedModules, kFieldModeExclude}});
  const auto no_names = Build(Ipv4Message());
  EXPECT_EQ(std::pair(no_names->hosted_modules.size(), no_names->hosted_module_hashes.size()),
            std::pair(std::size_t{0}, std::size_t{1}));
  policy_ = Policy(true, {{kFieldHostedModules, kFieldModeExclude},
                          {kFieldHostedModuleHashes, kFieldModeExclude}});
  const int before = resolutions_;
  (void)Build(Ipv4Message());
  EXPECT_EQ(resolutions_, before);
}

// With the start time the driver reports, a cached process is named without reading /proc per
// flow; an exec shows in the reported path or in the pid information sent for it, a reused id in
// the start time, so neither leaves a flow named after the wrong image or process.
TEST_F(FlowTest, ReportedStartTimeNamesTheProcessWithoutReadsPerFlow) {
  enum class Change { kNone, kExec, kReuse };
  enum class Hash { kOld, kRunning, kZero };
  // warm: a flow of the first process came before the change; pid_info: the pid information sent
  // for the change came before the flow; start and path: what the flow reports.
  const auto check = [&](Change change, bool warm, bool pid_info, std::uint64_t start,
                         const std::u16string& path, const wchar_t* name, Hash hash,
                         bool reads_proc) {
    AddProcess(kPid, 1, "curl", "/usr/bin/curl", 1000, 500, "abc");
    CProcessCache cache;
    ProcessInfoServices services{queries_, accounts_, cache, hasher_};
    services.clock = [] { return std::chrono::steady_clock::time_point{std::chrono::hours(1)}; };
    CFlowRecordBuilder builder(Sources(&services));
    KdfFlowData message = Ipv4Message();
    message.process_start_time = 500;
    message.process_path = u"/usr/bin/curl";
    if (warm) {
      ASSERT_EQ(builder.FromFlowData(message, nullptr)->process_hash, kAbcDigest);
    }
    if (change == Change::kExec) {
      AddProcess(kPid, 1, "wget", "/usr/bin/wget", 1000, 500, "wget");
    } else if (change == Change::kReuse) {
      AddProcess(kPid, 1, "sshd", "/usr/sbin/sshd", 0, 900, "sshd");
    }
    if (pid_info) {
      ASSERT_NE(builder.FromPidInfo(KdfPidInfo{.pid = kPid}), nullptr);
    }
    message.process_start_time = start;
    message.process_path = path;
    const int reads = queries_.stat_calls + queries_.image_calls;
    const auto flow = builder.FromFlowData(message, nullptr);
    EXPECT_EQ(queries_.stat_calls + queries_.image_calls > reads, reads_proc) << name;
    std::string running;
    (void)builder.CurrentProcessHash(kPid, running);
    const std::string hashes[] = {kAbcDigest, running, kZeroHash};
    EXPECT_EQ(std::tie(flow->process_name, flow->process_hash),
              std::tuple(name, hashes[static_cast<int>(hash)]));
  };
  // Steady state.
  check(Change::kNone, true, false, 500, u"/usr/bin/curl", L"curl", Hash::kOld, false);
  // An exec, its new path reported; an exec told by the pid information.
  check(Change::kExec, true, false, 500, u"/usr/bin/wget", L"wget", Hash::kRunning, true);
  check(Change::kExec, true, true, 500, u"", L"wget", Hash::kRunning, false);
  // The id reused: a flow of the exited process; reused before any flow of it; a flow of the
  // newer process on the id.
  check(Change::kReuse, true, false, 500, u"", L"curl", Hash::kOld, false);
  check(Change::kReuse, false, false, 500, u"", L"Unknown", Hash::kZero, true);
  check(Change::kReuse, true, false, 900, u"/usr/sbin/sshd", L"sshd", Hash::kRunning, true);
}

// Account types and the console user, against a directory with groups of each role.
TEST_F(FlowTest, AccountTypeFollowsTheWalkOrderAndTheConsoleUserIsKeptUntilStale) {
  accounts_.groups = {{27, "sudo"},
                      {100, "users"},
                      {65534, "nogroup"},
                      {5, "guests"},
                      {30, "dip"},
                      {901, "domain users@corp"},
                      {900, "CORP Domain Users"}};
  accounts_.users = {{0, "root"}, {1000, "alice"}, {1001, "bob@corp.example"}, {1002, ""}};
  accounts_.user_groups = {{1000, {100, 900}}, {0, {0}}, {1001, {}}, {1002, {100}}};
  // uid, groups, account type. Root counts as Administrators before any group is seen; groups
  // without a role or a name change nothing; Users goes on, Administrators and Guests end the
  // walk, so a domain group after the end is unseen.
  const std::vector<std::tuple<std::uint32_t, std::vector<std::uint32_t>, int>> cases = {
      {65534, {27}, 3},          {500, {30, 4242}, 0},     {500, {100, 27}, 2},
      {500, {5, 27}, 3},         {500, {900, 27}, 0x8002}, {500, {27, 900}, 2},
      {500, {901, 100}, 0x8001}, {500, {900, 901}, 0x8000}};
  for (const auto& [uid, groups, type] : cases) {
    EXPECT_EQ(ComputeAccountType(uid, groups, accounts_), type) << uid << " " << groups.size();
  }

  // What the console source answers (status, uid), whether the answer was marked stale, and
  // the name's status, the name and the account type then. It starts stale: read once.
  const std::vector<std::tuple<OB_STATUSCODE, int, bool, OB_STATUSCODE, std::wstring, int>> steps =
      {{kObNotFound, 0, false, kObNotFound, L"", 0},
       {kObSuccess, 1000, false, kObNotFound, L"", 0},  // still the kept answer
       {kObSuccess, 1000, true, kObSuccess, L"host\\alice", 0x8001},
       {kObSuccess, 1001, true, kObSuccess, L"corp.example\\bob", kAccountTypeUsers},
       {kObSuccess, 0, true, kObSuccess, L"host\\root", kAccountTypeAdministrators},
       {kObSuccess, 4242, true, kObFailure, L"", 0},  // no groups, no account entry
       {kObSuccess, 1002, true, kObExportNotPossible, L"", kAccountTypeUsers}};  // empty name
  for (const auto& [source, uid, stale, status, name, type] : steps) {
    console_.status = source;
    console_.uid = uid;
    if (stale) console_user_.MarkStale();
    // The size-then-copy protocol of the flow record: user, domain and 4.
    std::uint32_t size = 0;
    OB_STATUSCODE answer = console_user_.GetLoggedOnUserName(nullptr, size);
    std::wstring buffer(size, L'\0');
    if (answer == kObBufferTooSmall) {
      EXPECT_EQ(size, name.size() + 3);
      --size;
      EXPECT_EQ(console_user_.GetLoggedOnUserName(buffer.data(), size), kObBufferTooSmall);
      answer = console_user_.GetLoggedOnUserName(buffer.data(), size);
    }
    EXPECT_EQ(std::tuple(answer, std::wstring(buffer.c_str()),
                         console_user_.GetLoggedOnUserAccountType()),
              std::tuple(status, name, type))
        << uid;
  }
  EXPECT_EQ(console_.calls, 6);
}

// Names within the name and label limits decode label by label; a label that fails is logged with
// the inner failure (none when it is refused before decoding).
TEST(IDNUtils, DecodesNamesWithinTheLimitsAndLogsLabelFailures) {
  const std::string label62(62, 'a');
  const std::string name253 = label62 + "." + label62 + "." + label62 + "." + label62 + ".b";
  // The result limit counts UTF-16 units: 25 emoji (28 Punycode characters) become 50 units.
  const std::string emoji = "xn--e28h" + std::string(24, 'a');
  const std::string grows = emoji + "." + emoji + "." + emoji + "." + emoji + ".";  // 204 units
  const std::string punycode = "IDNUtils::punycodeDecode failed [";
  const std::string utf16 = "IDNUtils::convert32BitToUTF16 failed [";
  // Name, status, decoded name (empty: 253 units), the inner failure logged. Basic letters keep
  // their case; 32 supplementary characters need 64 UTF-16 units, one more than a label may have.
  const std::vector<std::tuple<std::string, OB_STATUSCODE, std::wstring, std::string>> cases = {
      {"XN--MNCHEN-3YA.de", kObSuccess, L"M\u00fcNCHEN.de", ""},
      {"a..b.xn-bcher.xn--dn32g", kObSuccess, L"a..b.xn-bcher.\U0010FFFF", ""},
      {name253, kObSuccess, std::wstring(name253.begin(), name253.end()), ""},
      {grows + std::string(49, 'z'), kObSuccess, L"", ""},
      {name253 + "c", kObTextTooLong, L"", ""},
      {"com." + std::string(63, 'a'), kObTextTooLong, L"", ""},
      {grows + std::string(50, 'z'), kObTextTooLong, L"", ""},
      {"", kObBadArgument, L"", ""},
      {"xn--bcher-kv!.com", kObFailure, L"", punycode + Code(kObBadArgument) + "]"},
      {"xn--999999999.com", kObFailure, L"", punycode + Code(kObOverflow) + "]"},
      {"xn--ib9b.com", kObFailure, L"", utf16 + Code(kObBadArgument) + "]"},
      {"xn--e28h" + std::string(31, 'a'), kObFailure, L"", utf16 + Code(kObTextTooLong) + "]"}};
  for (const auto& [name, status, decoded, inner] : cases) {
    LogCapture log;
    std::wstring out;
    EXPECT_EQ(IDNUtils::DecodeIDN(name.data(), name.size(), out), status) << name;
    if (status == kObSuccess && decoded.empty()) {
      EXPECT_EQ(OBRuntime::Utf16Length(out), 253u);
    } else {
      EXPECT_EQ(status == kObSuccess ? out : L"", decoded) << name;
    }
    const std::string label_status = Code(inner.empty() ? kObBadArgument : kObFailure);
    EXPECT_EQ(log.Has(LOG_ERROR, "IDNUtils::DecodeIDN",
                      "IDNUtils::decodeIDNLabel failed [" + label_status + "]"),
              status == kObFailure)
        << name;
    EXPECT_EQ(log.Has(LOG_ERROR, "IDNUtils::decodeIDNLabel", inner), !inner.empty()) << name;
  }
}

// A record let go on another thread comes back as a default record that kept its buffers, and
// records outlive their pool.
TEST(FlowRecordPool, RecyclesRecordsEmptiedWithTheirBuffersAndOutlivesThePool) {
  std::shared_ptr<ORVFlowObject> kept;
  {
    CFlowRecordPool pool(2);
    std::shared_ptr<ORVFlowObject> record = pool.Acquire();
    const ORVFlowObject* first = record.get();
    record->process_name = L"a process name longer than any small-string buffer";
    record->process_hash = std::string(32, 'x');
    record->hosted_modules = {L"app.jar"};
    record->tracked = true;
    record->flow_id = 7;
    record->bytes_in = 9;
    std::thread([held = std::move(record)]() mutable { held.reset(); }).join();
    const std::shared_ptr<ORVFlowObject> again = pool.Acquire();
    EXPECT_EQ(again.get(), first);
    EXPECT_EQ(again->ToString(), ORVFlowObject().ToString());
    EXPECT_TRUE(again->hosted_modules.empty());
    EXPECT_FALSE(again->tracked);
    EXPECT_GE(again->process_name.capacity(), 50u);
    kept = pool.Acquire();
    EXPECT_NE(kept.get(), first);
  }
  kept->process_name = L"still usable";
  kept.reset();
}

// Lookups on real processes through /proc: a child of this process, one that has exited, and
// process 0.
TEST_F(FlowTest, RealProcessesThroughProc) {
  const ProcessInfoServices services{LinuxProcessQueries::Instance(),
                                     LinuxAccountDirectory::Instance(), cache_, hasher_};
  ChildProcess child("/bin/sleep", {"sleep", "100"});
  ChildProcess exited("/bin/sleep", {"sleep", "100"});
  ASSERT_TRUE(child.WaitForExec() && exited.WaitForExec());
  const auto gone = static_cast<std::uint32_t>(exited.pid());
  exited.KillAndReap();
  std::string account;
  int os_error = 0;
  ASSERT_EQ(orv::platform::LookupUserName(::geteuid(), account, os_error), kObSuccess);
  const std::wstring user = OBRuntime::Utf8ToWide(orv::platform::ShortHostName() + "\\" + account);
  const std::string sleep = std::filesystem::canonical("/bin/sleep").string();
  const std::string self = std::filesystem::canonical("/proc/self/exe").string();
  CProcessInfo info(static_cast<std::uint32_t>(child.pid()), services);
  std::uint32_t parent = 0;
  ASSERT_EQ(info.GetParentProcessId(parent), kObSuccess);
  EXPECT_EQ(parent, static_cast<std::uint32_t>(::getpid()));
  const Answers own = Ask(info);
  const Answers of_parent = Ask(info, true);
  EXPECT_EQ(std::tuple(own.path, own.hash, own.user),
            std::tuple(OBRuntime::Utf8ToWide(sleep), FileHash(sleep), user));
  EXPECT_EQ(std::tuple(of_parent.path, of_parent.hash, of_parent.user),
            std::tuple(OBRuntime::Utf8ToWide(self), FileHash(self), user));
  EXPECT_EQ(cache_.Size(), 2u);  // the child and its parent

  // The flows of an exited process keep coming: each asks again, its failure is logged once.
  LogCapture log;
  for (int flow = 0; flow < 3; ++flow) {
    CProcessInfo lookup(gone, services);
    EXPECT_EQ(lookup.GetParentProcessId(parent), kObFailure);
    for (const Answers& g : {Ask(lookup), Ask(lookup, true)}) {
      EXPECT_EQ(std::tuple(g.path_status, g.hash_status, g.user_status),
                std::tuple(kObFailure, kObFailure, kObFailure));
    }
  }
  EXPECT_EQ(log.Count("process " + std::to_string(gone) + " cannot be read"), 1u);

  // Process 0 is SYSTEM, with a zero hash and no user; buffers are checked.
  CProcessInfo zero(0, services);
  const Answers z = Ask(zero);
  EXPECT_EQ(std::tuple(z.path, z.hash_status, z.hash, z.user_status),
            std::tuple(L"SYSTEM", kObSuccess, Hash{}, kObFailure));
  parent = 1;
  ASSERT_EQ(zero.GetParentProcessId(parent), kObSuccess);
  EXPECT_EQ(parent, 0u);
  std::array<wchar_t, 6> small{};
  EXPECT_EQ(zero.GetProcessPath(small.data(), small.size()), kObBufferTooSmall);
  EXPECT_EQ(zero.GetProcessPath(nullptr, 260), kObBadArgument);
  std::uint32_t size = 31;
  EXPECT_EQ(info.GetParentProcessHash(nullptr, size), kObBufferTooSmall);
  std::uint32_t needed = 0;
  std::uint16_t type = 0;
  ASSERT_EQ(info.GetProcessUser(nullptr, needed, type), kObBufferTooSmall);
  std::wstring name(needed, L'\0');
  std::uint32_t capacity = needed;
  ASSERT_EQ(info.GetProcessUser(name.data(), capacity, type), kObSuccess);
  EXPECT_EQ(std::tuple(size, capacity + 3), std::tuple(32u, needed));  // user + domain + 4
}

// A warm lookup reads only the process's stat; a reused id, an exec (also of a binary with the
// launcher's name: only the image's identity tells) and a user change never give the old answer,
// nor a newer holder of a parent's id the parent's.
TEST_F(FlowTest, WarmLookupsReadOnlyStatButNeverGiveAnOldAnswer) {
  int stat_calls_before = 0;
  for (int round = 0; round < 3; ++round) {
    stat_calls_before = queries_.stat_calls;
    CProcessInfo info(500, services_);
    const Answers own = Ask(info);
    const Answers parent = Ask(info, true);
    EXPECT_EQ(std::tuple(own.path, own.hash_status, own.user, own.type),
              std::tuple(L"/usr/bin/app", kObSuccess, L"host\\alice", kAccountTypeUsers));
    EXPECT_EQ(std::tuple(parent.path, parent.hash_status, parent.user, parent.type),
              std::tuple(L"/sbin/init", kObSuccess, L"host\\root", kAccountTypeAdministrators));
  }
  EXPECT_EQ(std::tuple(queries_.image_calls, queries_.credential_calls,
                       queries_.stat_calls - stat_calls_before),
            std::tuple(2, 2, 1));

  AddProcess(500, 1, "other", "/usr/bin/other", 0, 200, "abc");  // same id, later start
  EXPECT_EQ(AskFor(500).path, L"/usr/bin/other");
  AddProcess(500, 1, "third", "/usr/bin/third", 0, 200, "abc");  // same start, new name: exec
  EXPECT_EQ(AskFor(500).path, L"/usr/bin/third");
  const std::string launched = (temp_.path() / "launched").string();
  std::ofstream(launched) << "the binary the launcher execs";
  AddProcess(500, 1, "third", "/opt/third", 1000, 200, "abc");
  queries_.processes[500].image_file = OBRuntime::Utf8ToWide(launched);
  const Answers exec = AskFor(500);
  EXPECT_EQ(std::tuple(exec.path, exec.hash), std::tuple(L"/opt/third", FileHash(launched)));
  EXPECT_EQ(queries_.image_calls, 5);
  // The process then drops to another user without exec; the next check after the interval
  // sees it.
  queries_.processes[500].credentials.effective_uid = 0;
  EXPECT_EQ(AskFor(500).user, L"host\\alice");
  now_ += CProcessInfo::kUserRecheckInterval;
  EXPECT_EQ(AskFor(500).user, L"host\\root");

  // Exited and its id reused during a lookup: neither hash nor user is taken, or cached.
  AddProcess(501, 1, "app", "/usr/bin/app", 1000, 100, "abc");
  CProcessInfo info(501, services_);
  std::array<wchar_t, CProcessInfo::kPathCapacity> path{};
  ASSERT_EQ(info.GetProcessPath(path.data(), path.size()), kObSuccess);
  queries_.processes[501].stat.start_time = 300;
  const Answers a = Ask(info);
  EXPECT_EQ(std::tuple(a.hash_status, a.hash, a.user_status),
            std::tuple(kObFailure, Hash{}, kObFailure));
  queries_.processes.erase(501);
  EXPECT_EQ(Ask(info).hash_status, kObFailure);

  // The parent is the one seen first: when it exits and its id is reused, the cached parent still
  // answers.
  EXPECT_EQ(AskFor(kPid, true).path, L"/sbin/init");
  AddProcess(1, 0, "newer", "/usr/bin/newer", 0, 1000, "abc");
  EXPECT_EQ(AskFor(kPid, true).path, L"/sbin/init");
  // Once only the old parent's entry is evicted, the newer process is not taken for it.
  for (std::uint32_t pid = 77; pid < 84; ++pid) {
    if (pid == 83) {
      EXPECT_EQ(AskFor(kPid).path, L"/usr/bin/curl");  // keeps the child's entry recent
    }
    cache_.Store({pid, 1}, std::make_shared<ProcessFacts>());
  }
  const Answers evicted = AskFor(kPid, true);
  EXPECT_EQ(std::tuple(evicted.path_status, evicted.user_status),
            std::tuple(kObFailure, kObFailure));
  // A process whose parent id already named a newer process when first seen has no parent.
  AddProcess(600, 1, "child", "/usr/bin/child", 0, 500, "abc");
  std::uint32_t parent = 0;
  CProcessInfo child(600, services_);
  ASSERT_EQ(child.GetParentProcessId(parent), kObSuccess);
  EXPECT_EQ(parent, 1u);
  const Answers gone = Ask(child, true);
  EXPECT_EQ(std::tuple(gone.path_status, gone.hash_status, gone.user_status),
            std::tuple(kObFailure, kObFailure, kObFailure));
}

// The worker answers at once: "not ready" until its thread has hashed the file, "not hashed"
// for what is not a regular file or is over the limit (said once, however often asked).
TEST_F(FlowTest, HashWorkerAnswersAtOnceAndHashesOffTheCallersThread) {
  const std::string small = (temp_.path() / "small.sh").string();
  std::ofstream(small) << "abc";
  const std::string huge = (temp_.path() / "huge.sh").string();
  std::ofstream(huge).close();
  ASSERT_EQ(::truncate(huge.c_str(), off_t{1} << 40), 0);  // a sparse 1 TiB script
  const std::string fifo = (temp_.path() / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  CFileHashWorker worker;
  LogCapture log;
  OBRuntime::Sha256Digest digest{};
  EXPECT_EQ(worker.HashOpenFile(OpenForHashing(small), 7, digest), kObMessageParked);
  for (const std::string& unhashable : {huge, huge, fifo, temp_.path().string()}) {
    EXPECT_EQ(worker.HashOpenFile(OpenForHashing(unhashable), 7, digest), kObNotFound)
        << unhashable;
  }
  EXPECT_EQ(log.Count("limit: not hashed"), 1u);
  EXPECT_TRUE(orv::test::WaitUntil(
      [&] { return worker.HashOpenFile(OpenForHashing(small), 7, digest) != kObMessageParked; }));
  EXPECT_EQ(worker.HashOpenFile(OpenForHashing(small), 7, digest), kObSuccess);
  EXPECT_EQ(std::tuple(std::string(digest.begin(), digest.end()), worker.FilesHashed()),
            std::tuple(kAbcDigest, 1u));
  // Hashing never holds a record back: until the digest is ready the hash goes out empty.
  ProcessInfoServices services{queries_, accounts_, cache_, worker};
  CFlowRecordBuilder builder(Sources(&services));
  EXPECT_TRUE(builder.FromFlowData(Ipv4Message(), nullptr)->process_hash.empty());
  EXPECT_TRUE(orv::test::WaitUntil(
      [&] { return builder.FromFlowData(Ipv4Message(), nullptr)->process_hash == kAbcDigest; }));

  // A full queue answers "not ready" and forgets the request.
  CFileHashWorker idle(CFileHashWorker::Limits{.workers = 1, .queue_capacity = 0});
  EXPECT_EQ(idle.HashOpenFile(OpenForHashing(small), 7, digest), kObMessageParked);
  EXPECT_EQ(idle.FilesHashed(), 0u);
}

// A script in a process's private /tmp (or container) is not the agent's file of that name.
TEST_F(FlowTest, ProcessQueriesOpensFilesAsTheProcessSeesThem) {
  const std::string script = (temp_.path() / "x.sh").string();
  std::ofstream(script) << "outside";
  const std::string mount_and_wait = "mount -t tmpfs none " + temp_.path().string() +
                                     " && echo inside > " + script + " && exec sleep 60";
  ChildProcess child("/usr/bin/unshare", {"unshare", "-rm", "sh", "-c", mount_and_wait});
  auto& queries = LinuxProcessQueries::Instance();
  const auto pid = static_cast<std::uint32_t>(child.pid());
  std::string seen;
  orv::test::WaitUntil(
      [&] {
        std::vector<std::string> argv;
        int os_error = 0;
        if (queries.CommandLine(pid, argv, os_error) == kObSuccess && !argv.empty() &&
            argv[0] == "sleep") {
          seen = Contents(queries.OpenInProcess(pid, script));
        }
        return seen == "inside\n";
      },
      std::chrono::seconds(10));
  if (seen.empty()) {
    GTEST_SKIP() << "unshare -rm cannot make a mount namespace here";
  }
  EXPECT_EQ(seen, "inside\n");
  EXPECT_EQ(Contents(OpenForHashing(script)), "outside");
}

// Registry values by root, key, value name and view.
class FakeRegistry : public IRegistryReader {
 public:
  void Set(RegistryRoot root, const std::wstring& key, const std::wstring& name, std::uint32_t type,
           Paths strings, RegistryView view = k64Bit) {
    values_[{root, key + L"|" + name, view}] = RegistryValue{type, std::move(strings)};
  }
  OB_STATUSCODE ReadValue(RegistryRoot root, std::wstring_view key, std::wstring_view name,
                          RegistryView view, std::uint32_t, RegistryValue& value) override {
    const auto it = values_.find({root, std::wstring(key) + L"|" + std::wstring(name), view});
    value = it == values_.end() ? RegistryValue{} : it->second;
    return it == values_.end() ? kObNotFound : kObSuccess;
  }
  OB_STATUSCODE ExpandEnvironmentStrings(std::wstring_view text, std::uint32_t,
                                         std::wstring& expanded) override {
    expanded = std::wstring(text);
    if (expanded.starts_with(L"%SystemRoot%")) expanded.replace(0, 12, L"C:\\Windows");
    return kObSuccess;
  }

 private:
  std::map<std::tuple<RegistryRoot, std::wstring, RegistryView>, RegistryValue> values_;
};

// Each container kind against one fake host process and one registry: the modules it names for
// an image and command line, or its failure; then the manager over them, and a real shell's script
// and open .jar.
TEST_F(FlowTest, ContainerEachKindFindsTheModulesItsHostRuns) {
  FakeRegistry registry;
  const std::wstring groups = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Svchost\\";
  const auto service = [&](const std::wstring& name, std::uint32_t type, const std::wstring& dll,
                           RegistryView view = k64Bit) {
    registry.Set(kLocalMachine, L"SYSTEM\\CurrentControlSet\\services\\" + name + L"\\Parameters",
                 L"ServiceDll", type, {dll}, view);
  };
  // Of the 25 services of netsvcs two are loaded; of idle none, so the first 20 are named.
  Paths netsvcs, idle, first_idle;
  for (int index = 0; index < 25; ++index) {
    const std::wstring n = std::to_wstring(index);
    netsvcs.push_back(L"svc" + n);
    service(netsvcs.back(), kRegistryString, L"C:\\Windows\\System32\\Svc" + n + L".dll");
    idle.push_back(L"idle" + n);
    service(idle.back(), kRegistryString, L"c:\\idle" + n + L".dll");
    if (index < 20) first_idle.push_back(L"c:\\idle" + n + L".dll");
  }
  registry.Set(kLocalMachine, groups, L"netsvcs", kRegistryMultiString, netsvcs);
  registry.Set(kLocalMachine, groups, L"idle", kRegistryMultiString, idle);
  // A single-string group names one service; it is in the default view only, read for hosts run
  // from syswow64 or on a 32-bit system. Services without a usable DLL make the answer partial.
  registry.Set(kLocalMachine, groups, L"one", kRegistryString, {L"exp", L"ignored"}, kDefault);
  service(L"exp", kRegistryExpandString, L"%SystemRoot%\\System32\\Exp.dll", kDefault);
  registry.Set(kLocalMachine, groups, L"partial", kRegistryMultiString, {L"svc3", L"no", L"dw"});
  service(L"dw", kRegistryDword, L"");
  registry.Set(kClassesRoot, L"CLSID\\{AB-12}\\InprocServer32", L"", kRegistryExpandString,
               {L"%SystemRoot%\\s.dll"});
  registry.Set(kClassesRoot, L"CLSID\\{CD}\\InprocServer32", L"", kRegistryDword, {});

  CSvcHostContainer svchost(registry, L"/win", true);
  CSvcHostContainer svchost32(registry, L"/win", false);
  CRunDll32Container rundll(L"/win", false);
  CDllHostContainer dllhost(registry, L"/win", true);
  CInterpreterContainer interpreter;
  FakeProcess& host = queries_.processes[kHostPid];
  host.mapped = {"c:\\windows\\system32\\svc4.dll", "C:\\Windows\\System32\\Svc17.dll",
                 "c:\\windows\\system32\\kernel32.dll", "C:\\Windows\\System32\\shell32.dll"};
  host.cwd = "/srv/work";
  LogCapture log;
  // The modules container finds for a host of this image and command line, or its failure.
  const auto check = [&](IContainer& container, const std::string& image, const Strings& argv,
                         OB_STATUSCODE status, const Paths& modules) {
    host.image = image;
    host.argv = argv;
    CProcessInfoSurrogateable process(kHostPid, queries_);
    Paths paths;
    EXPECT_EQ(container.GetModulePathList(process, paths), status) << argv.size();
    EXPECT_EQ(paths, modules) << (argv.empty() ? "" : argv.back());
  };
  const std::string native = "/win/system32/svchost.exe";
  const std::wstring system32 = L"c:\\windows\\system32\\";
  check(svchost, native, {"svchost.exe", "-k", "netsvcs", "-p"}, kObSuccess,
        {system32 + L"svc17.dll", system32 + L"svc4.dll"});
  check(svchost, native, {"svchost.exe", "-k", "idle"}, kObSuccess, first_idle);
  check(svchost, "/win/SysWOW64/svchost.exe", {"svchost", "-k", "one"}, kObSuccess,
        {system32 + L"exp.dll"});
  check(svchost, native, {"svchost.exe", "-k", "one"}, kObFailure, {});
  check(svchost, native, {"svchost.exe", "-k", "partial"}, kObPartialFailure,
        {system32 + L"svc3.dll"});
  check(svchost, native, {"svchost.exe", "-k"}, kObFailure, {});
  check(rundll, "", {"rundll32.exe", "C:\\Tools\\Thing.dll,Entry", "arg"}, kObSuccess,
        {L"C:\\Tools\\Thing.dll"});
  check(rundll, "", {"rundll32.exe", "'sub\\Shell32.DLL',Control_RunDLL"}, kObSuccess,
        {system32 + L"shell32.dll"});
  check(rundll, "", {"rundll32.exe", "absent.dll,Entry"}, kObFailure, {});
  check(rundll, "", {"rundll32.exe", "shell32.dll"}, kObFailure, {});
  check(dllhost, "", {"dllhost.exe", "/Processid:{AB-12}"}, kObSuccess, {L"C:\\Windows\\s.dll"});
  check(dllhost, "", {"dllhost.exe", "/Processid:{CD}"}, kObFailure, {});
  check(dllhost, "", {"dllhost.exe", "/Processid:{EF}"}, kObFailure, {});
  check(dllhost, "", {"dllhost.exe", "/Processid:"}, kObFailure, {});
  const std::string python = "/usr/bin/python3.11";
  check(interpreter, python, {"python3", "-u", "../app/./main.py"}, kObSuccess,
        {L"/srv/app/main.py"});
  check(interpreter, python, {"python3", "-c", "pass"}, kObNotFound, {});
  check(interpreter, python, {}, kObFailure, {});
  EXPECT_TRUE(log.Has(LOG_ERROR, "CSvcHostContainer::GetModulePathList",
                      "Failed to fetch the service groups for svchost."));
  EXPECT_TRUE(log.Has(LOG_ERROR, "CDllHostContainer::GetModulePathList",
                      "Failed to fetch the dll for dllhost."));
  Paths hosts;  // a 32-bit system has no syswow64
  ASSERT_EQ(svchost32.GetContainerPaths(hosts), kObSuccess);
  EXPECT_EQ(hosts.size(), 1u);

  // The manager finds hosts by full path, file name or name without version, ignoring case; it
  // names and hashes their modules unless excluded, and only a successful or partial answer gives
  // any.
  CContainerManager manager(hasher_);
  manager.RegisterContainer(std::make_unique<CJavaContainer>());
  manager.RegisterContainer(std::make_unique<CSvcHostContainer>(registry, L"/win", true));
  manager.RegisterContainer(std::make_unique<CInterpreterContainer>());
  manager.RegisterContainer(std::make_unique<CInterpreterContainer>());
  EXPECT_TRUE(log.Has(LOG_WARNING, "CContainerManager::RegisterContainer",
                      "python container already exists. Overwriting the old entry"));
  for (const wchar_t* path :
       {L"/mnt/c/Program Files/Java/bin/JavaW.exe", L"/usr/bin/python3.11", L"/usr/bin/perl5.36.0",
        L"/usr/bin/dash", L"/WIN/System32/svchost.exe"}) {
    EXPECT_TRUE(manager.IsContainer(path)) << OBRuntime::WideToUtf8(path);
  }
  EXPECT_FALSE(manager.IsContainer(L"/other/svchost.exe"));
  EXPECT_FALSE(manager.NeedsCommandLine(L"/usr/bin/java"));
  EXPECT_TRUE(manager.NeedsCommandLine(L"/usr/bin/bash"));
  EXPECT_FALSE(manager.NeedsCommandLine(L"/usr/bin/sleep"));
  EXPECT_TRUE(CContainerManager::GetInstance().IsContainer(L"/usr/bin/ruby3.1"));
  host.cwd = temp_.path().string();
  std::ofstream(temp_.path() / "Mod.py") << "abc";
  // The names and hashes for a host of this image and command line with one field excluded.
  const auto resolve = [&](const std::string& image, const Strings& argv, std::uint32_t excluded,
                           OB_STATUSCODE status, const Paths& names, const Strings& hashes) {
    host.image = image;
    host.argv = argv;
    CProcessInfoSurrogateable process(kHostPid, queries_);
    HostedModules result;
    const FieldExclusion exclusion = [&](std::uint32_t field) { return field == excluded; };
    EXPECT_EQ(
        manager.ResolveHostedModules(OBRuntime::Utf8ToWide(image), process, exclusion, result),
        status)
        << image;
    EXPECT_EQ(std::tie(result.names, result.hashes), std::tie(names, hashes)) << image;
  };
  const Strings run_script = {"python3", "Mod.py"};
  resolve(python, run_script, 0, kObSuccess, {L"Mod.py"}, {kAbcDigest});
  resolve(python, run_script, kFieldHostedModules, kObSuccess, {}, {kAbcDigest});
  resolve(python, run_script, kFieldHostedModuleHashes, kObSuccess, {L"Mod.py"}, {});
  // A module that cannot be opened has a zero hash.
  resolve(native, {"svchost.exe", "-k", "partial"}, 0, kObPartialFailure, {system32 + L"svc3.dll"},
          {std::string(32, '\0')});
  resolve(native, {"svchost.exe", "-k"}, 0, kObFailure, {}, {});
  resolve("/usr/bin/runner", {}, 0, kObNotFound, {}, {});

  // A real shell running a script while holding a .jar open.
  const std::string cwd = std::filesystem::canonical(temp_.path()).string();
  OBRuntime::UniqueFd jar(::open((cwd + "/x.jar").c_str(), O_CREAT | O_RDWR, 0600));  // inherited
  ASSERT_TRUE(jar.valid());
  // A command after the sleep keeps the shell from replacing itself with it.
  std::ofstream(cwd + "/script.sh") << "sleep 100\nexit 0\n";
  ChildProcess child("/bin/sh", {"sh", "script.sh"}, [&cwd] { (void)::chdir(cwd.c_str()); });
  jar.Reset();
  ASSERT_TRUE(child.WaitForExec());
  CProcessInfoSurrogateable shell(static_cast<std::uint32_t>(child.pid()));
  Paths jars;
  ASSERT_EQ(CJavaContainer().GetModulePathList(shell, jars), kObSuccess);
  EXPECT_EQ(jars, Paths{OBRuntime::Utf8ToWide(cwd + "/x.jar")});
  std::wstring image;
  ASSERT_EQ(shell.GetProcessImagePath(shell.GetProcessId(), image), kObSuccess);
  HostedModules hosted;
  ASSERT_EQ(manager.ResolveHostedModules(image, shell, {}, hosted), kObSuccess)
      << OBRuntime::WideToUtf8(image);
  const Hash script = FileHash(cwd + "/script.sh");
  EXPECT_EQ(std::tie(hosted.names, hosted.hashes),
            std::tuple(Paths{L"script.sh"}, Strings{std::string(script.begin(), script.end())}));
}

TEST(InterpreterContainerTest, FindsTheScriptArgument) {
  // Interpreter, arguments, the script found.
  const std::vector<std::tuple<std::wstring, Paths, std::wstring>> cases = {
      {L"python", {L"python3", L"-u", L"-W", L"ignore", L"/srv/app.py", L"-c"}, L"/srv/app.py"},
      {L"python", {L"python3", L"-Wignore", L"app.py"}, L"app.py"},
      {L"python", {L"python3", L"-Bc", L"print(1)"}, L""},
      {L"python", {L"python3", L"-"}, L""},
      {L"python", {L"python3"}, L""},
      {L"perl", {L"perl", L"-Ilib", L"-w", L"tool.pl"}, L"tool.pl"},
      {L"node", {L"node", L"--require", L"x", L"--inspect=9229", L"server.js"}, L"server.js"},
      {L"node", {L"node", L"--eval=1"}, L""},
      {L"bash", {L"bash", L"-o", L"errexit", L"+O", L"extglob", L"run.sh"}, L"run.sh"},
      {L"dash", {L"sh", L"--", L"-odd-name.sh"}, L"-odd-name.sh"}};
  for (const auto& [interpreter, argv, script] : cases) {
    EXPECT_EQ(CInterpreterContainer::FindScript(interpreter, argv), script)
        << OBRuntime::WideToUtf8(interpreter + L" " + argv.back());
  }
}

using Bytes = std::vector<std::uint8_t>;
using Ids = std::vector<std::uint32_t>;

using Fields = std::vector<std::tuple<std::size_t, std::uint64_t, int>>;

// length zero bytes with each (offset, value, size) written little-endian.
Bytes Place(std::size_t length, const Fields& fields) {
  Bytes bytes(length, 0);
  for (const auto& [offset, value, size] : fields) {
    for (int i = 0; i < size; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  return bytes;
}

Bytes FlowDatagram(std::uint32_t pid, std::uint32_t protocol = 6) {
  KdfFlowData flow;
  flow.protocol = protocol;
  flow.pid = pid;
  const KdfFlowDatagram d = BuildKdfFlowDatagram(flow);
  return {d.begin(), d.end()};
}

Bytes PidDatagram(std::uint32_t pid) {
  const KdfPidInfoDatagram d = BuildKdfPidInfoDatagram(KdfPidInfo{.pid = pid});
  return {d.begin(), d.end()};
}

Bytes WithHeader(Bytes bytes, std::uint16_t length, std::uint8_t version, std::uint8_t type) {
  OBRuntime::StoreLe<std::uint32_t>(bytes.data(), length | version << 16 | type << 24);
  return bytes;
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

// Records what the channel delivers, as its callbacks or as the agent: a flow as its process id,
// pid information as the process id with kPidInfo added.
class Recorder : public IKdfMessageSink {
 public:
  static constexpr std::uint32_t kPidInfo = 1U << 31;
  static constexpr std::uint32_t kHeld = 13;  // its pid information waits for hold
  std::shared_future<void> hold;
  void OnFlowUpdate(std::shared_ptr<const KdfFlowData> message) override { Add(message->pid); }
  void OnPidInfo(std::shared_ptr<const KdfPidInfo> message) override {
    Add(message->pid | kPidInfo);
    if (message->pid == kHeld) hold.wait();
  }
  std::unique_ptr<OrvUserKdfIpc> Channel() {
    OB_STATUSCODE status = kObFailure;
    auto channel =
        std::make_unique<OrvUserKdfIpc>(0, std::bind_front(&Recorder::OnFlowUpdate, this),
                                        std::bind_front(&Recorder::OnPidInfo, this), status);
    EXPECT_EQ(status, kObSuccess);
    return channel;
  }
  Ids Delivered() {
    const std::lock_guard lock(mutex_);
    return ids_;
  }
  // True when id arrived in time.
  bool WaitFor(std::uint32_t id) {
    return orv::test::WaitUntil([&] { return std::ranges::count(Delivered(), id) > 0; });
  }

 private:
  void Add(std::uint32_t id) {
    const std::lock_guard lock(mutex_);
    ids_.push_back(id);
  }

  std::mutex mutex_;
  Ids ids_;  // guarded by mutex_
};

TEST(OrvUserKdfIpc, HandlesEverySizeTypeVersionAndLength) {
  const Bytes flow = FlowDatagram(4242);
  const Bytes pid = PidDatagram(77);
  // The datagram, its size as received (it may exceed the bytes kept), whether it is delivered,
  // and the one line logged (empty: nothing).
  const std::vector<std::tuple<Bytes, std::size_t, bool, std::string>> cases = {
      {flow, 1439, true, ""},
      {pid, 8, true, ""},
      {Bytes(1440, 1), 1440, false,
       "Received 1440 bytes (more than expected (1439), ignoring data)"},
      {Bytes(1438, 1), 1438, false, "Received 1438 bytes (too little)"},
      {WithHeader(flow, 1439, 2, 1), 1439, false,
       "Unknown version of the flow data: 2 - ignoring the data."},
      {WithHeader(flow, 1438, 1, 1), 1439, false,
       "Invalid total length in the flow data: 1438 - ignoring the data."},
      {WithHeader(pid, 1439, 1, 1), 8, false,
       "Received 8 bytes of flow data (expected 1439) - ignoring the data."},
      {FlowDatagram(5, 1), 1439, true, "Unknown protocol in the flow data!"},
      {WithHeader(pid, 8, 0, 2), 8, false,
       "Unknown version of the pid info message: 0 - ignoring the message."},
      {WithHeader(pid, 9, 1, 2), 8, false,
       "Invalid total length in the pid info message: 9 - ignoring the message."},
      {WithHeader(flow, 1439, 1, 2), 1439, false,
       "Invalid total length in the pid info message: 1439 - ignoring the message."},
      {WithHeader(flow, 1439, 1, 3), 1439, false, ""}};
  Recorder recorder;
  const auto channel = recorder.Channel();
  for (const auto& [datagram, size, delivered, message] : cases) {
    const std::size_t before = recorder.Delivered().size();
    LogCapture log;
    channel->handleDatagram(datagram, size);
    const auto lines = log.Lines();
    EXPECT_EQ(std::tuple(recorder.Delivered().size() - before, lines.size()),
              std::tuple(delivered ? 1u : 0u, message.empty() ? 0u : 1u));
    EXPECT_EQ(lines.empty() ? "" : lines[0].message, message);
  }
  EXPECT_EQ(std::ranges::count(recorder.Delivered(), 77 | Recorder::kPidInfo), 1);
  LogCapture log;
  channel->processOrvData(Bytes{8, 0, 1});              // no room for a type
  channel->processOrvData(Bytes{8, 0, 1, 2, 9, 9, 9});  // a pid message cut short
  EXPECT_TRUE(log.Contains("Received 7 bytes of pid info (expected 8) - ignoring the message."));
}

// Datagrams arrive in order, those larger than the receive buffer with their real size; only
// root's and the agent's own sockets are believed (a refusal is logged); Stop and Start may come
// in any order, and a stop whose wait a callback outlasts says so.
TEST(OrvUserKdfIpc, ReceivesOnLoopbackFromTrustedSendersOnly) {
  Recorder recorder;
  auto channel = recorder.Channel();
  LoopbackSender sender(channel->LocalPort());
  ASSERT_TRUE(sender.Send(PidDatagram(1)));  // arrives while stopped
  LogCapture log;
  EXPECT_TRUE(channel->Stop());  // never started
  ASSERT_TRUE(channel->Start());
  EXPECT_TRUE(channel->Start());  // already running
  ASSERT_TRUE(recorder.WaitFor(1 | Recorder::kPidInfo));
  EXPECT_TRUE(channel->Stop());
  ASSERT_TRUE(channel->Start());
  const bool root = ::geteuid() == 0;
  LoopbackSender nobody(channel->LocalPort(), root ? 65534 : ::geteuid());
  ASSERT_TRUE(nobody.Send(FlowDatagram(66)));
  ASSERT_TRUE(sender.Send(FlowDatagram(100)) && sender.Send(Bytes(4000, 0x11)) &&
              sender.Send(FlowDatagram(102, 17)));
  ASSERT_TRUE(recorder.WaitFor(102));
  EXPECT_EQ(recorder.Delivered(), (root ? Ids{1 | Recorder::kPidInfo, 100, 102}
                                        : Ids{1 | Recorder::kPidInfo, 66, 100, 102}));
  EXPECT_TRUE(log.Contains("Received 4000 bytes (more than expected (1439), ignoring data)"));
  EXPECT_EQ(channel->RefusedDatagrams(), root ? 1u : 0u);
  EXPECT_EQ(log.Contains("belongs to neither root nor the agent's account"), root);
  // A callback that outlasts Stop's wait is reported; Start waits for its thread to end.
  std::promise<void> release;
  recorder.hold = release.get_future().share();
  ASSERT_TRUE(sender.Send(PidDatagram(Recorder::kHeld)));
  ASSERT_TRUE(recorder.WaitFor(Recorder::kHeld | Recorder::kPidInfo));
  EXPECT_FALSE(channel->Stop());
  EXPECT_TRUE(log.Contains("ioservice_thread did not end within 1000 ms"));
  release.set_value();
  ASSERT_TRUE(channel->Start());
  ASSERT_TRUE(sender.Send(FlowDatagram(103)));
  EXPECT_TRUE(recorder.WaitFor(103));
  channel.reset();  // destruction stops a running channel
}

TEST(DatagramSenderCheckTest, BelievesRootAndTheAgentAndRemembersEachPortForASecond) {
  // The owners the kernel names by port: root's, the agent's and another user's; it finds no owner
  // of port 4 and fails for port 5.
  std::map<std::uint16_t, std::uint32_t> owners = {{1, 0}, {2, 1000}, {3, 65534}};
  int lookups = 0;
  CDatagramSenderCheck check(
      [&](const sockaddr_in& sender, std::uint32_t& uid, int& os_error) {
        ++lookups;
        const std::uint16_t port = ntohs(sender.sin_port);
        os_error = 0;
        uid = owners.contains(port) ? owners[port] : 0;
        return owners.contains(port) ? kObSuccess : port == 4 ? kObNotFound : kObFailure;
      },
      1000);
  const auto start = std::chrono::steady_clock::now();
  const auto from = [](std::uint16_t port) {
    return sockaddr_in{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  };
  for (std::uint16_t port = 1; port <= 5; ++port) {
    EXPECT_EQ(check.Admit(from(port), start), port <= 2) << port;
    EXPECT_EQ(check.Admit(from(port), start + std::chrono::milliseconds(999)), port <= 2) << port;
  }
  EXPECT_EQ(lookups, 5);  // one per port while the verdicts last
  // A trusted sender's port taken over by someone else is refused once its verdict expired.
  owners[1] = 65534;
  EXPECT_FALSE(check.Admit(from(1), start + CDatagramSenderCheck::kVerdictLifetime));
}

// A factory whose instances record every call, in order, into one shared journal, answering
// the codes the test sets per operation.
class RecordingFactory : public IOrvApiClassFactory {
 public:
  class Api : public IOrvApi {
   public:
    explicit Api(RecordingFactory& factory) : f_(factory) {}
    ngc_error_t OpenPlugin() override { return f_.Record("open"); }
    ngc_error_t ClosePlugin() override { return f_.Record("close"); }
    ngc_error_t EnableAppFlow(const OrvEndpointPair* endpoints) override {
      std::memcpy(f_.endpoint_bytes.data(), endpoints, sizeof *endpoints);
      return f_.Record("enable");
    }
    ngc_error_t DisableAppFlow() override { return f_.Record("disable"); }
    ngc_error_t NotifyNetworkChange() override { return f_.Record("network"); }
    ngc_error_t SetFlowReportInterval(std::uint32_t seconds) override {
      return f_.Record("interval " + std::to_string(seconds));
    }
    ngc_error_t Uninitialize() override { return f_.Record("uninitialize"); }

   private:
    RecordingFactory& f_;
  };

  std::unique_ptr<IOrvApi> CreateInstance() override {
    calls.push_back("create");
    return answers.contains("create") ? nullptr : std::make_unique<Api>(*this);
  }
  ngc_error_t ReleaseInstance(std::unique_ptr<IOrvApi>& instance) override {
    instance.reset();
    return Record("release");
  }
  ngc_error_t Record(const std::string& call) {
    calls.push_back(call);
    const auto answer = answers.find(call.substr(0, call.find(' ')));
    return answer == answers.end() ? kNgcSuccess : answer->second;
  }
  // The channel's port as the last EnableAppFlow named it (network byte order on the wire).
  std::uint16_t ChannelPort() const { return (endpoint_bytes[42] << 8) | endpoint_bytes[43]; }

  std::vector<std::string> calls;
  std::map<std::string, ngc_error_t> answers;  // by first word of the call
  std::array<std::uint8_t, 44> endpoint_bytes{};
};

// Every operation takes a fresh instance, opens and closes the plugin and releases the instance,
// also when it fails (all but a failed create end in release).
TEST(Kdf, EachOperationUsesAFreshInstanceThatFailuresRelease) {
  RecordingFactory factory;
  CKDF kdf(factory, 0x1234);
  EXPECT_EQ(kdf.EnableAppFlow(), kObSuccess);
  EXPECT_EQ(kdf.SetFlowReportInterval(999), kObSuccess);
  EXPECT_EQ(kdf.NotifyNetworkChange(), kObSuccess);
  EXPECT_EQ(kdf.Uninitialize(), kObSuccess);
  EXPECT_EQ(factory.calls,
            (std::vector<std::string>{"create", "open", "enable", "close", "release",        //
                                      "create", "open", "interval 999", "close", "release",  //
                                      "create", "open", "network", "close", "release",       //
                                      "create", "uninitialize", "release"}));
  // Two IPv4 addresses (family 2, little-endian), the second 127.0.0.1 with the channel's port.
  EXPECT_EQ(Bytes(factory.endpoint_bytes.begin(), factory.endpoint_bytes.end()),
            Place(44, {{0, 2, 1}, {20, 2, 1}, {24, 0x0100007F, 4}, {42, 0x3412, 2}}));

  const std::string plugin = " OrvPlugin1.0 with error code 7";
  // The call failing, its answer, the operation, its status, the journal's length, the error.
  const std::vector<std::tuple<std::string, int, int, OB_STATUSCODE, std::size_t, std::string>>
      cases = {{"open", 7, CKDF::kOperationEnableAppFlow, kObFailure, 3,
                "Error: unable to open socket plugin" + plugin},
               {"open", kNgcAlreadyOpen, CKDF::kOperationDisableAppFlow, kObSuccess, 5, ""},
               {"enable", 7, CKDF::kOperationEnableAppFlow, kObFailure, 5,
                "Error: unable to enable appflow service or plugin" + plugin},
               {"disable", 7, CKDF::kOperationDisableAppFlow, kObFailure, 5,
                "Error: unable to disable appflow service or plugin" + plugin},
               {"interval", 7, CKDF::kOperationSetFlowReportInterval, kObFailure, 5,
                "Error: unable to set flow report interval with error code 7"},
               {"uninitialize", 7, CKDF::kOperationUninitialize, kObFailure, 3, ""},
               {"close", 7, CKDF::kOperationDisableAppFlow, kObFailure, 5, ""},
               {"none", 0, 9, kObBadArgument, 4, ""},
               {"create", 0, CKDF::kOperationEnableAppFlow, kObFailure, 1, ""}};
  for (const auto& [failing, answer, operation, status, calls, error] : cases) {
    SCOPED_TRACE(failing);
    RecordingFactory failing_factory;
    failing_factory.answers[failing] = answer;
    CKDF failing_kdf(failing_factory, 0);
    LogCapture log;
    EXPECT_EQ(failing_kdf.callKDFApi(operation), status);
    ASSERT_EQ(failing_factory.calls.size(), calls);
    EXPECT_EQ(failing_factory.calls.back(), calls == 1 ? "create" : "release");
    EXPECT_EQ(log.Has(LOG_ERROR, "CKDF::callKDFApi", error), !error.empty());
  }

  // Initialize starts the channel that the driver is told of.
  Recorder agent;
  CKDF first(factory, 0);
  EXPECT_EQ(first.Initialize(nullptr), kObFailure);
  ASSERT_EQ(first.Initialize(&agent), kObSuccess);
  EXPECT_EQ(first.Initialize(&agent), kObAlreadyInitialised);
  ASSERT_EQ(first.EnableAppFlow(), kObSuccess);
  EXPECT_EQ(factory.ChannelPort(), first.ListenerPort());
  LoopbackSender sender(first.ListenerPort());
  ASSERT_TRUE(sender.Send(FlowDatagram(31)) && sender.Send(PidDatagram(32)));
  EXPECT_TRUE(agent.WaitFor(31));
  EXPECT_TRUE(agent.WaitFor(32 | Recorder::kPidInfo));

  // A port already taken is replaced by a free one, and the driver is given that one.
  CKDF second(factory, first.ListenerPort());
  ASSERT_EQ(second.Initialize(&agent), kObSuccess);
  EXPECT_NE(second.ListenerPort(), first.ListenerPort());
  ASSERT_EQ(second.EnableAppFlow(), kObSuccess);
  EXPECT_EQ(factory.ChannelPort(), second.ListenerPort());
  first.UninitializeListener();
  EXPECT_EQ(first.ListenerPort(), 0);
  first.UninitializeListener();                     // nothing left to release
  ASSERT_EQ(first.Initialize(&agent), kObSuccess);  // a new channel after the old one is gone

  CKDF production(COrvApiClassFactory::Instance(), 0);  // no channel: the endpoint names port 0
  EXPECT_EQ(production.EnableAppFlow(), kObFailure);
  EXPECT_EQ(production.Uninitialize(), kObSuccess);
}

// The driver's datagram layout, checked in this one place: bytes placed here by hand must parse
// to the message written out here, and that message must build to the same bytes, so a mistake
// shared by the builder and the parser cannot hide.
TEST(KdfMessage, HandPlacedBytesParseAndBuildBothWays) {
  // Little-endian fields, the ports (8080 and 53) in network order: header (1439 bytes, version
  // 1, type 1); local endpoint (family 23, port, flow information, address 2000::5); remote
  // endpoint (ff00::1); family 23 and protocol 17; bytes in and out; the process's start time in
  // bytes the format leaves unread; pid 777 and parent 778; start
  // 100 and end 200; process path (4 bytes: "a" and a lone surrogate); parent path (2 bytes: "p");
  // direction 7 and report kind.
  // clang-format off
  const Fields fields = {{0, 0x0101059F, 4}, {4, 0xCAFE901F0017, 8}, {12, 0x20, 1}, {27, 0x05, 1},
      {32, 0x35000017, 4}, {40, 0xff, 1}, {55, 0x01, 1}, {316, 0x1100000017, 8},
      {324, 1234567890123, 8}, {332, 99, 8}, {340, 0x1122334455667788, 8}, {348, 0x30A00000309, 8}, {356, 0xC800000064, 8},
      {396, 0xD83D00610004, 6}, {722, 0x700002, 4}, {1016, 0x0102030407, 5}};
  // clang-format on
  Bytes m = Place(1439, fields);
  std::memcpy(&m[60], "xn--bcher-kva.example", 21);
  std::memset(&m[364], 0x5A, 32);  // the hashes
  std::memset(&m[690], 0x7E, 32);
  KdfFlowData parsed;
  ASSERT_EQ(ParseKdfFlowData(m, parsed), kObSuccess);
  const KdfFlowData& p = parsed;
  EXPECT_EQ(std::tuple(p.header, p.local.family, p.local.port, p.local.ipv6_flow_info,
                       p.local.Address(false).to_string(), p.remote.port,
                       p.remote.Address(false).to_string(), p.host_name, p.address_family),
            std::tuple(KdfMessageHeader{1439, 1, 1}, 23, 8080, 0xCAFEu, "2000::5", 53, "ff00::1",
                       "xn--bcher-kva.example", 23u));
  EXPECT_EQ(std::tuple(p.protocol, p.bytes_in, p.bytes_out, p.pid, p.parent_pid, p.flow_start,
                       p.flow_end, p.process_path, p.parent_path, p.direction, p.report_kind),
            std::tuple(17u, 1234567890123ULL, 99u, 777u, 778u, 100u, 200u,
                       std::u16string{u'a', char16_t{0xD83D}}, u"p", 7, 0x01020304u));
  EXPECT_EQ(std::tuple(p.process_hash[31], p.parent_hash[0], p.process_start_time),
            std::tuple(0x5A, 0x7E, 0x1122334455667788ULL));
  const KdfFlowDatagram built = BuildKdfFlowDatagram(parsed);
  EXPECT_EQ(Bytes(built.begin(), built.end()), m);
  // An IPv4 flow's addresses take the flow information's place; their text is written by hand.
  parsed.address_family = 2;
  parsed.local.ipv4 = {100, 0, 20, 7};
  const KdfFlowDatagram v4 = BuildKdfFlowDatagram(parsed);
  EXPECT_EQ(Bytes(&v4[8], &v4[12]), (Bytes{100, 0, 20, 7}));
  std::array<char, kKdfAddressTextSize> text{};
  ASSERT_TRUE(FormatKdfAddress(parsed.local, true, text));
  EXPECT_STREQ(text.data(), "100.0.20.7");

  const Bytes pid = {8, 0, 1, 2, 4, 3, 2, 1};
  KdfPidInfo info;
  ASSERT_EQ(ParseKdfPidInfo(pid, info), kObSuccess);
  EXPECT_EQ(info.pid, 0x01020304u);
  const KdfPidInfoDatagram pid_built = BuildKdfPidInfoDatagram(info);
  EXPECT_EQ(Bytes(pid_built.begin(), pid_built.end()), pid);

  // Every synthetic flow is a datagram that parses back to what built it.
  SyntheticFlowSource source(42, 50);
  for (int i = 0; i < 50; ++i) {
    const KdfFlowDatagram synthetic = BuildKdfFlowDatagram(source.NextFlow(1767000000));
    ASSERT_EQ(ParseKdfFlowData(synthetic, parsed), kObSuccess);
    ASSERT_EQ(BuildKdfFlowDatagram(parsed), synthetic) << i;
  }

  // Stated path lengths beyond a field are clamped to it, odd ones rounded down to whole units; an
  // unterminated host name stops at the end of its field; other sizes are refused.
  for (const auto& [stated, units] :
       {std::pair<int, std::size_t>{3, 1}, {293, 146}, {0xFFFF, 146}}) {
    Bytes clamped = Place(1439, {{396, stated, 2}, {722, stated, 2}});
    std::memset(&clamped[60], 'h', 256);
    std::memset(&clamped[398], 'x', 292);
    ASSERT_EQ(ParseKdfFlowData(clamped, parsed), kObSuccess);
    EXPECT_EQ(parsed.host_name, std::string(256, 'h'));
    EXPECT_EQ(parsed.process_path, std::u16string(units, u'\u7878')) << stated;
    EXPECT_EQ(parsed.parent_path.size(), units) << stated;
  }
  EXPECT_EQ(ParseKdfFlowData(Bytes(1438, 0), parsed), kObBadArgument);
  EXPECT_EQ(ParseKdfFlowData(Bytes(1440, 0), parsed), kObBadArgument);
  EXPECT_EQ(ParseKdfPidInfo(Bytes(7, 0), info), kObBadArgument);
}

}  // namespace
