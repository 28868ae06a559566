#include "flow/flow_record_builder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "flow/account_info.h"
#include "flow/idn_utils.h"
#include "flow_fakes.h"
#include "runtime/text.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

using orv::test::kAbcDigest;
using orv::test::LogCapture;

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

class FlowRecordBuilderTest : public ::testing::Test {
 protected:
  FlowRecordBuilderTest() {
    AddProcess(kPid, 1, "curl", "/usr/bin/curl", 1000, 500, "abc");
    AddProcess(1, 0, "init", "/sbin/init", 0, 1, "init");
    accounts_.users = {{0, "root"}, {1000, "alice"}};
    accounts_.user_groups = {{0, {}}, {1000, {}}};
  }

  void AddProcess(std::uint32_t pid, std::uint32_t parent, const std::string& command,
                  const std::string& image, std::uint32_t uid, std::uint64_t start_time,
                  const std::string& contents) {
    orv::test::FakeProcess& process = queries_.processes[pid];
    process.stat = {command, parent, start_time};
    process.image = image;
    process.credentials.effective_uid = uid;
    process.argv = {image, "--flag"};
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
    auto flow = CFlowRecordBuilder(Sources()).FromFlowData(message, record);
    EXPECT_NE(flow, nullptr);
    return flow;
  }

  OB_STATUSCODE Refill(ORVFlowObject& flow) { return CFlowRecordBuilder(Sources()).fill(flow); }

  orv::test::TempDir temp_;
  orv::test::FakeProcessQueries queries_;
  orv::test::FakeAccountDirectory accounts_;
  CProcessCache cache_;
  CInlineFileHasher hasher_;
  ProcessInfoServices services_{queries_, accounts_, cache_, hasher_};
  orv::test::FakeConsoleUserSource console_;
  CUserInfo console_user_{console_, accounts_};
  DataCollectionPolicySnapshot policy_ = std::make_shared<DataCollectionPolicy>();
  std::wstring pattern_;
  bool local_ = true;  // whether the local addresses have an interface and a suffix
  OB_STATUSCODE host_status_ = kObSuccess;
  int resolutions_ = 0;
};

// The DNS suffix and interface are the local endpoint's, never the remote host's. The host name
// is decoded, or kept widened with a warning.
TEST_F(FlowRecordBuilderTest, EndpointsFollowDirectionAndFamilyAndHostNamesAreDecoded) {
  const std::string too_long = std::string(250, 'a') + ".com";
  const std::string v4 = "93.184.216.34:443";
  const std::string v6 = "fe80::211:22ff:fe33:1:443";
  // family, direction, name, source, destination, the name in the record, the status logged
  // with a warning (0: none)
  const std::vector<std::tuple<int, int, std::string, std::string, std::string, std::wstring, int>>
      cases = {{2, 0, "", "10.0.0.5:40000", v4, L"Unknown", 0},
               {2, 1, "xn--bcher-kva.example", v4, "10.0.0.5:40000", L"b\u00fccher.example", 0},
               {23, 1, "xn--.example", v6, "2001:db8::5:40000", L"xn--.example", kObFailure},
               {23, 0, too_long, "2001:db8::5:40000", v6,
                std::wstring(too_long.begin(), too_long.end()), kObTextTooLong}};
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

TEST_F(FlowRecordBuilderTest, MessageAndPidRecordFillOnlyWhatIsKnown) {
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

TEST_F(FlowRecordBuilderTest, FailedLookupsLeaveUnknownAndReportPartialFailure) {
  console_.status = kObFailure;
  local_ = false;
  AddProcess(300, 1, "gone", "/usr/bin/gone", 1000, 700, "");
  queries_.processes[300].image_file = L"/nonexistent/gone";
  KdfFlowData message = Ipv4Message();
  message.pid = 300;  // its image cannot be hashed
  const auto unhashable = Build(message);
  EXPECT_EQ(unhashable->process_hash, kZeroHash);
  message.pid = 4242;  // exited before the lookup
  const auto flow = Build(message);
  for (const std::wstring* text :
       {&flow->process_name, &flow->parent_process_name, &flow->process_user_name,
        &flow->parent_process_user_name, &flow->logged_in_user_name, &flow->dns_suffix}) {
    EXPECT_EQ(*text, L"Unknown");
  }
  EXPECT_EQ(std::tuple(flow->process_hash, flow->parent_process_hash, flow->interface_uid),
            std::tuple(kZeroHash, kZeroHash, 0u));
  ORVFlowObject empty;
  empty.process_id = 4242;
  EXPECT_EQ(Refill(empty), kObPartialFailure);
  CFlowRecordBuilder bare{FlowRecordSources{}};
  ORVFlowObject nothing;
  EXPECT_EQ(bare.fill(nothing), kObPartialFailure);
  EXPECT_EQ(nothing.logged_in_user_name, L"Unknown");

  // Nobody at the console is an answer, not a failure.
  console_.status = kObNotFound;
  console_user_.MarkStale();
  ORVFlowObject known;
  known.process_id = kPid;
  EXPECT_EQ(Refill(known), kObSuccess);
  EXPECT_TRUE(known.logged_in_user_name.empty());
}

TEST_F(FlowRecordBuilderTest, ExcludedFieldsAreBlankedNeitherLookedUpNorTakenOver) {
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

TEST_F(FlowRecordBuilderTest, PatternTracksMatchingFlowsIgnoringCaseBeforeBlanking) {
  policy_ = Policy(true, {{kFieldProcessName, kFieldModeExclude}});
  KdfFlowData message = Ipv4Message();
  message.host_name = "xn--bcher-kva.example";
  const std::map<std::wstring, bool> cases = {
      {L"CURL", true},  // matched on the name, blanked afterwards
      {L"B\u00dcCHER.EX", true},
      {L"10.0.0.5;93.184.216.34;curl;host\\alice", true},
      {L"nomatch", false},
  };
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
  pattern_.clear();
  ORVFlowObject flow;
  flow.tracked = true;
  EXPECT_FALSE(CFlowRecordBuilder(Sources()).matchesDebugPattern(flow));
  EXPECT_FALSE(flow.tracked);
}

TEST_F(FlowRecordBuilderTest, SurrogateHostGetsCommandLineAndHostedModules) {
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
  EXPECT_TRUE(no_names->hosted_modules.empty());
  EXPECT_EQ(no_names->hosted_module_hashes.size(), 1u);
  policy_ = Policy(true, {{kFieldHostedModules, kFieldModeExclude},
                          {kFieldHostedModuleHashes, kFieldModeExclude}});
  const int before = resolutions_;
  (void)Build(Ipv4Message());
  EXPECT_EQ(resolutions_, before);
}

// Hashing never holds a record back: until the digest is ready the hash goes out empty.
TEST_F(FlowRecordBuilderTest, HashNotReadyIsLeftEmpty) {
  CFileHashWorker worker(CFileHashWorker::Limits{.workers = 1});
  ProcessInfoServices services{queries_, accounts_, cache_, worker};
  CFlowRecordBuilder builder(Sources(&services));
  EXPECT_TRUE(builder.FromFlowData(Ipv4Message(), nullptr)->process_hash.empty());
  EXPECT_TRUE(orv::test::WaitUntil(
      [&] { return builder.FromFlowData(Ipv4Message(), nullptr)->process_hash == kAbcDigest; }));
}

// With the start time the driver reports, a cached process is named without reading /proc per
// flow; an exec shows in the reported path or in the pid information sent for it, a reused id in
// the start time, so neither leaves a flow named after the wrong image or process.
TEST_F(FlowRecordBuilderTest, ReportedStartTimeNamesTheProcessWithoutReadsPerFlow) {
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
TEST_F(FlowRecordBuilderTest, AccountTypeFollowsTheWalkOrderAndTheConsoleUserIsKeptUntilStale) {
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
      {0, {900}, 2},
      {65534, {27}, 3},
      {1000, {}, 1},
      {500, {30, 4242}, 0},
      {500, {100, 27}, 2},
      {500, {5, 27}, 3},
      {500, {900, 27}, 0x8002},
      {500, {27, 900}, 2},
      {500, {901, 100}, 0x8001},
      {500, {900, 901}, 0x8000}};
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
       {kObFailure, 0, true, kObFailure, L"", 0},
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
  EXPECT_EQ(console_.calls, 7);
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
      {"xn--bcher-kva.example.com", kObSuccess, L"b\u00fccher.example.com", ""},
      {"XN--MNCHEN-3YA.de", kObSuccess, L"M\u00fcNCHEN.de", ""},
      {"a..b.xn-bcher.xn--dn32g", kObSuccess, L"a..b.xn-bcher.\U0010FFFF", ""},
      {name253, kObSuccess, std::wstring(name253.begin(), name253.end()), ""},
      {grows + std::string(49, 'z'), kObSuccess, L"", ""},
      {name253 + "c", kObTextTooLong, L"", ""},
      {"com." + std::string(63, 'a'), kObTextTooLong, L"", ""},
      {grows + std::string(50, 'z'), kObTextTooLong, L"", ""},
      {"", kObBadArgument, L"", ""},
      {"xn--.com", kObFailure, L"", ""},
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
  std::wstring out;
  EXPECT_EQ(IDNUtils::DecodeIDN(nullptr, 3, out), kObBadArgument);
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

}  // namespace
