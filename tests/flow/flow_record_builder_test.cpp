#include "flow/flow_record_builder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "flow/account_info.h"
#include "process_fakes.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using orv::test::FakeAccountDirectory;
using orv::test::FakeConsoleUserSource;
using orv::test::FakeProcessQueries;
using orv::test::LogCapture;

// SHA-256("abc"), the image contents of the test's main process.
const std::string kAbcHash(
    "\xba\x78\x16\xbf\x8f\x01\xcf\xea\x41\x41\x40\xde\x5d\xae\x22\x23"
    "\xb0\x03\x61\xa3\x96\x17\x7a\x9c\xb4\x10\xff\x61\xf2\x00\x15\xad",
    32);
const std::string kZeroHash(32, '\0');

constexpr std::uint32_t kPid = 100;
constexpr std::uint32_t kParentPid = 1;

DataCollectionPolicySnapshot Policy(bool default_exclude,
                                    std::map<std::int32_t, std::int32_t> fields) {
  auto policy = std::make_shared<DataCollectionPolicy>();
  policy->default_exclude = default_exclude;
  policy->field_map = std::move(fields);
  return policy;
}

KdfFlowData Ipv4Message() {
  KdfFlowData message;
  message.local.port = 40000;
  message.local.ipv4 = {10, 0, 0, 5};
  message.remote.port = 443;
  message.remote.ipv4 = {93, 184, 216, 34};
  message.host_name = "example.com";
  message.protocol = 6;
  message.bytes_in = 1000;
  message.bytes_out = 200;
  message.pid = kPid;
  message.parent_pid = kParentPid;
  message.flow_start = 1700000000;
  message.flow_end = 1700000060;
  return message;
}

class FlowRecordBuilderTest : public ::testing::Test {
 protected:
  FlowRecordBuilderTest() {
    AddProcess(kPid, kParentPid, "curl", "/usr/bin/curl", 1000, 500, WriteFile("curl", "abc"));
    AddProcess(kParentPid, 0, "init", "/sbin/init", 0, 1, WriteFile("init", "init"));
    accounts_.users = {{0, "root"}, {1000, "alice"}};
    accounts_.groups = {{0, "root"}, {1000, "alice"}};
    accounts_.user_groups = {{0, {0}}, {1000, {1000}}};
    interfaces_ = {{"10.0.0.5", 7}, {"2001:db8::5", 9}};
    suffixes_ = {{"10.0.0.5", L"corp.example"}, {"2001:db8::5", L"v6.example"}};
  }

  std::wstring WriteFile(const std::string& name, const std::string& contents) {
    const auto path = temp_.path() / name;
    std::ofstream(path) << contents;
    return path.wstring();
  }

  void AddProcess(std::uint32_t pid, std::uint32_t parent, const std::string& command,
                  const std::string& image, std::uint32_t uid, std::uint64_t start_time,
                  const std::wstring& image_file) {
    orv::test::FakeProcess& process = queries_.processes[pid];
    process.stat.command_name = command;
    process.stat.parent_pid = parent;
    process.stat.start_time = start_time;
    process.image = image;
    process.credentials.effective_uid = uid;
    process.argv = {image, "--flag"};
    process.image_file = image_file;
  }

  FlowRecordSources Sources() {
    FlowRecordSources sources;
    sources.process = &services_;
    sources.console_user = &console_user_;
    sources.hosted_modules = [this](std::wstring_view path, CProcessInfoSurrogateable&,
                                    const std::function<bool(std::uint32_t)>& excluded,
                                    std::vector<std::wstring>& names,
                                    std::vector<std::string>& hashes) {
      ++resolutions_;
      if (path != host_path_) {
        return kObNotFound;
      }
      if (!excluded(kFieldHostedModules)) {
        names = {L"app.jar"};
      }
      if (!excluded(kFieldHostedModuleHashes)) {
        hashes = {kAbcHash};
      }
      return host_status_;
    };
    sources.merged_policy = [this] { return policy_; };
    sources.debug_pattern = [this](std::wstring& pattern) {
      pattern = pattern_;
      return !pattern_.empty();
    };
    sources.interface_uid = [this](const std::string& address, bool ipv4, std::uint32_t& uid) {
      asked_.push_back(address + (ipv4 ? "/4" : "/6"));
      const auto it = interfaces_.find(address);
      uid = it == interfaces_.end() ? 0 : it->second;
      return it == interfaces_.end() ? kObNotFound : kObSuccess;
    };
    sources.dns_suffix = [this](const std::string& address, std::wstring& suffix) {
      asked_.push_back("dns " + address);
      const auto it = suffixes_.find(address);
      if (it == suffixes_.end()) {
        return kObNotFound;
      }
      suffix = it->second;
      return kObSuccess;
    };
    return sources;
  }

  std::shared_ptr<ORVFlowObject> Build(
      const KdfFlowData& message,
      const std::shared_ptr<const ORVFlowObject>& pid_record = nullptr) {
    CFlowRecordBuilder builder(Sources());
    auto flow = builder.FromFlowData(message, pid_record);
    EXPECT_NE(flow, nullptr);
    return flow;
  }

  OB_STATUSCODE Refill(ORVFlowObject& flow) {
    CFlowRecordBuilder builder(Sources());
    return builder.fill(flow);
  }

  orv::test::TempDir temp_;
  FakeProcessQueries queries_;
  FakeAccountDirectory accounts_;
  CProcessCache cache_;
  CInlineFileHasher hasher_;
  ProcessInfoServices services_{queries_, accounts_, cache_, hasher_};
  FakeConsoleUserSource console_;
  CUserInfo console_user_{console_, accounts_};
  DataCollectionPolicySnapshot policy_ = std::make_shared<DataCollectionPolicy>();
  std::wstring pattern_;
  std::map<std::string, std::uint32_t> interfaces_;
  std::map<std::string, std::wstring> suffixes_;
  std::vector<std::string> asked_;
  std::wstring host_path_ = L"/usr/bin/java";
  OB_STATUSCODE host_status_ = kObSuccess;
  int resolutions_ = 0;
};

TEST_F(FlowRecordBuilderTest, BuildsIpv4RecordFromMessageAndLookups) {
  console_.status = kObSuccess;
  console_.uid = 1000;
  const auto first = Build(Ipv4Message());
  const auto flow = Build(Ipv4Message());

  EXPECT_NE(first->flow_id, 0u);
  EXPECT_EQ(flow->flow_id, first->flow_id + 1);
  EXPECT_EQ(flow->process_id, kPid);
  EXPECT_EQ(flow->parent_process_id, kParentPid);
  EXPECT_EQ(flow->address_family, 0u);
  EXPECT_EQ(flow->source_address, "10.0.0.5");
  EXPECT_EQ(flow->source_port, 40000);
  EXPECT_EQ(flow->destination_address, "93.184.216.34");
  EXPECT_EQ(flow->destination_port, 443);
  EXPECT_EQ(flow->protocol, 6);
  EXPECT_EQ(flow->flow_start, 1700000000u);
  EXPECT_EQ(flow->flow_end, 1700000060u);
  EXPECT_EQ(flow->bytes_in, 1000u);
  EXPECT_EQ(flow->bytes_out, 200u);
  EXPECT_EQ(flow->process_path, L"/usr/bin/curl");
  EXPECT_EQ(flow->process_name, L"curl");
  EXPECT_EQ(flow->parent_process_name, L"init");
  EXPECT_EQ(flow->process_hash, kAbcHash);
  EXPECT_EQ(flow->parent_process_hash.size(), 32u);
  EXPECT_NE(flow->parent_process_hash, kZeroHash);
  EXPECT_EQ(flow->process_user_name, L"host\\alice");
  EXPECT_EQ(flow->process_user_account_type, kAccountTypeUsers);
  EXPECT_EQ(flow->parent_process_user_name, L"host\\root");
  EXPECT_EQ(flow->parent_process_user_account_type, kAccountTypeAdministrators);
  EXPECT_EQ(flow->logged_in_user_name, L"host\\alice");
  EXPECT_EQ(flow->logged_in_user_account_type, kAccountTypeUsers);
  EXPECT_EQ(flow->dns_suffix, L"corp.example");
  EXPECT_EQ(flow->interface_uid, 7u);
  EXPECT_EQ(flow->destination_host_name, L"example.com");
  EXPECT_TRUE(flow->hosted_modules.empty());
  EXPECT_FALSE(flow->tracked);
  EXPECT_EQ(Refill(*flow), kObSuccess);
}

TEST_F(FlowRecordBuilderTest, DirectionOneMakesRemoteTheSourceAndLooksUpTheLocalAddress) {
  KdfFlowData message = Ipv4Message();
  message.direction = 1;
  const auto flow = Build(message);
  EXPECT_EQ(flow->direction, 1);
  EXPECT_EQ(flow->source_address, "93.184.216.34");
  EXPECT_EQ(flow->source_port, 443);
  EXPECT_EQ(flow->destination_address, "10.0.0.5");
  EXPECT_EQ(flow->destination_port, 40000);
  // The local endpoint's adapter, never the remote host's address.
  EXPECT_EQ(flow->dns_suffix, L"corp.example");
  EXPECT_EQ(flow->interface_uid, 7u);
  EXPECT_EQ(asked_, (std::vector<std::string>{"dns 10.0.0.5", "10.0.0.5/4"}));
}

TEST_F(FlowRecordBuilderTest, Ipv6EndpointsBecomeTextAndFamilyOne) {
  KdfFlowData message = Ipv4Message();
  message.address_family = kKdfFamilyIPv6;
  message.local.ipv6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
  message.remote.ipv6 = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x11, 0x22, 0xff, 0xfe, 0x33, 0, 1};
  const auto flow = Build(message);
  EXPECT_EQ(flow->address_family, 1u);
  EXPECT_EQ(flow->source_address, "2001:db8::5");
  EXPECT_EQ(flow->destination_address, "fe80::211:22ff:fe33:1");
  EXPECT_EQ(flow->interface_uid, 9u);
  EXPECT_EQ(flow->dns_suffix, L"v6.example");
  EXPECT_EQ(asked_.back(), "2001:db8::5/6");
}

TEST_F(FlowRecordBuilderTest, PidRecordFillsEmptyFieldsOnlyForTheSameProcess) {
  auto record = std::make_shared<ORVFlowObject>();
  record->process_id = kPid;
  record->process_name = L"taken";
  record->process_path = L"/opt/taken";
  record->parent_process_name = L"taken-parent";
  record->parent_process_path = L"/opt/taken-parent";
  record->process_hash = std::string(32, '\x11');
  record->parent_process_hash = std::string(32, '\x22');
  record->process_user_name = L"dom\\bob";
  record->process_user_account_type = 0x8002;
  record->parent_process_user_name = L"dom\\carol";
  record->parent_process_user_account_type = 3;

  const int image_reads = queries_.image_calls;
  const auto same = Build(Ipv4Message(), record);
  EXPECT_EQ(same->process_name, L"taken");
  EXPECT_EQ(same->process_path, L"/opt/taken");
  EXPECT_EQ(same->parent_process_name, L"taken-parent");
  EXPECT_EQ(same->parent_process_path, L"/opt/taken-parent");
  EXPECT_EQ(same->process_hash, std::string(32, '\x11'));
  EXPECT_EQ(same->parent_process_hash, std::string(32, '\x22'));
  EXPECT_EQ(same->process_user_name, L"dom\\bob");
  EXPECT_EQ(same->process_user_account_type, 0x8002);
  EXPECT_EQ(same->parent_process_user_name, L"dom\\carol");
  EXPECT_EQ(same->parent_process_user_account_type, 3);
  EXPECT_EQ(queries_.image_calls, image_reads);  // nothing left to look up

  record->process_id = kPid + 1;
  const auto other = Build(Ipv4Message(), record);
  EXPECT_EQ(other->process_name, L"curl");
  EXPECT_EQ(other->process_hash, kAbcHash);
  EXPECT_EQ(other->process_user_name, L"host\\alice");
}

TEST_F(FlowRecordBuilderTest, MessageHashesAndPathsAreTakenUnlessUnknown) {
  KdfFlowData message = Ipv4Message();
  message.process_hash.fill(0x33);
  message.process_path = u"/usr/local/bin/wget";
  message.parent_path = u"/bin/bash";
  const auto known = Build(message);
  EXPECT_EQ(known->process_hash, std::string(32, '\x33'));
  EXPECT_EQ(known->process_path, L"/usr/local/bin/wget");
  EXPECT_EQ(known->process_name, L"wget");
  EXPECT_EQ(known->parent_process_name, L"bash");
  // The parent's hash was all zero in the message: computed from its image.
  EXPECT_EQ(known->parent_process_hash.size(), 32u);
  EXPECT_NE(known->parent_process_hash, kZeroHash);

  const auto computed = Build(Ipv4Message());
  EXPECT_EQ(computed->process_hash, kAbcHash);

  AddProcess(300, kParentPid, "gone", "/usr/bin/gone", 1000, 700, L"/nonexistent/gone");
  message = Ipv4Message();
  message.pid = 300;
  const auto unhashable = Build(message);
  EXPECT_EQ(unhashable->process_hash, kZeroHash);
  unhashable->process_hash.clear();
  EXPECT_EQ(Refill(*unhashable), kObPartialFailure);
  EXPECT_EQ(unhashable->process_hash, kZeroHash);
}

TEST_F(FlowRecordBuilderTest, PidInfoRecordHasNoParentIdNorFlowIdAndIsFilled) {
  CFlowRecordBuilder builder(Sources());
  KdfPidInfo message;
  message.pid = kPid;
  const auto record = builder.FromPidInfo(message);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->parent_process_id, 0xFFFFFFFFu);
  EXPECT_EQ(record->flow_id, 0u);
  EXPECT_EQ(record->process_name, L"curl");
  EXPECT_EQ(record->parent_process_name, L"init");
  EXPECT_EQ(record->process_hash, kAbcHash);
  EXPECT_EQ(record->process_user_name, L"host\\alice");
  EXPECT_EQ(record->parent_process_user_name, L"host\\root");
  EXPECT_EQ(record->interface_uid, 0u);
  EXPECT_TRUE(asked_.empty());  // no endpoints to look up

  message.pid = 4242;  // exited already
  const auto gone = builder.FromPidInfo(message);
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(gone->process_name, L"Unknown");
  EXPECT_EQ(gone->process_hash, kZeroHash);
}

TEST_F(FlowRecordBuilderTest, HostNameIsDecodedOrKeptWidenedWithAWarning) {
  struct Case {
    std::string name;
    std::wstring expected;
    bool warns;
  };
  const std::string too_long = std::string(250, 'a') + ".com";
  const Case cases[] = {
      {"", L"Unknown", false},
      {"example.com", L"example.com", false},
      {"xn--bcher-kva.example", L"b\u00fccher.example", false},
      {"xn--.example", L"xn--.example", true},
      {too_long, std::wstring(too_long.begin(), too_long.end()), true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    LogCapture log;
    KdfFlowData message = Ipv4Message();
    message.host_name = test.name;
    EXPECT_EQ(Build(message)->destination_host_name, test.expected);
    EXPECT_EQ(log.Contains("IDNUtils::DecodeIDN failed for domain name " + test.name + " ["),
              test.warns);
  }
  LogCapture log;
  KdfFlowData message = Ipv4Message();
  message.host_name = "xn--.example";
  (void)Build(message);
  EXPECT_TRUE(log.Has(LOG_WARNING, "CFlowRecordBuilder::FromFlowData",
                      "IDNUtils::DecodeIDN failed for domain name xn--.example [" +
                          std::to_string(static_cast<unsigned>(kObFailure)) + "]"));
}

TEST_F(FlowRecordBuilderTest, BlankingSetsPlaceholdersForExcludedFieldsOnly) {
  ORVFlowObject full;
  full.process_name = full.parent_process_name = L"name";
  full.process_hash = full.parent_process_hash = kAbcHash;
  full.hosted_modules = {L"m"};
  full.hosted_module_hashes = {kAbcHash};
  full.logged_in_user_name = full.process_user_name = full.parent_process_user_name = L"u";
  full.logged_in_user_account_type = full.process_user_account_type =
      full.parent_process_user_account_type = 2;
  full.dns_suffix = full.destination_host_name = L"d";
  full.bytes_in = full.bytes_out = 5;
  full.source_address = "10.0.0.5";

  ORVFlowObject unchanged = full;
  BlankExcludedFields(unchanged, DataCollectionPolicy{});  // empty map: nothing blanked
  EXPECT_EQ(unchanged.process_name, L"name");

  // An include policy listing only the logged-in user name blanks every other field.
  ORVFlowObject blanked = full;
  BlankExcludedFields(blanked, *Policy(false, {{kFieldLoggedInUserName, kFieldModeInclude}}));
  EXPECT_EQ(blanked.logged_in_user_name, L"u");
  for (const std::wstring* text :
       {&blanked.process_name, &blanked.parent_process_name, &blanked.process_user_name,
        &blanked.parent_process_user_name, &blanked.dns_suffix, &blanked.destination_host_name}) {
    EXPECT_EQ(*text, L"-");
  }
  EXPECT_EQ(blanked.process_hash, kZeroHash);
  EXPECT_EQ(blanked.parent_process_hash, kZeroHash);
  EXPECT_TRUE(blanked.hosted_modules.empty());
  EXPECT_TRUE(blanked.hosted_module_hashes.empty());
  EXPECT_EQ(blanked.logged_in_user_account_type, 0);
  EXPECT_EQ(blanked.process_user_account_type, 0);
  EXPECT_EQ(blanked.parent_process_user_account_type, 0);
  EXPECT_EQ(blanked.bytes_in, 0u);
  EXPECT_EQ(blanked.bytes_out, 0u);
  EXPECT_EQ(blanked.source_address, "10.0.0.5");

  // An exclude policy listing one field, with another anonymised, blanks only the listed one.
  ORVFlowObject one = full;
  BlankExcludedFields(one, *Policy(true, {{kFieldProcessHash, kFieldModeExclude},
                                          {kFieldProcessName, kFieldModeAnonymise}}));
  EXPECT_EQ(one.process_hash, kZeroHash);
  EXPECT_EQ(one.parent_process_hash, kAbcHash);
  EXPECT_EQ(one.process_name, L"name");
}

TEST_F(FlowRecordBuilderTest, ExcludedFieldsAreNeitherLookedUpNorTakenOver) {
  policy_ = Policy(true, {{kFieldBytesIn, kFieldModeExclude},
                          {kFieldProcessName, kFieldModeExclude},
                          {kFieldParentProcessName, kFieldModeExclude},
                          {kFieldProcessHash, kFieldModeExclude},
                          {kFieldParentProcessHash, kFieldModeExclude},
                          {kFieldProcessUserAccountType, kFieldModeExclude},
                          {kFieldDestinationHostName, kFieldModeExclude}});
  auto record = std::make_shared<ORVFlowObject>();
  record->process_id = kPid;
  record->process_name = L"secret";
  record->process_user_account_type = 2;
  LogCapture log;
  KdfFlowData message = Ipv4Message();
  message.process_hash.fill(0x33);
  message.host_name = "xn--.example";
  const auto flow = Build(message, record);
  EXPECT_EQ(flow->bytes_in, 0u);
  EXPECT_EQ(flow->bytes_out, 200u);
  EXPECT_EQ(flow->process_name, L"-");
  EXPECT_EQ(flow->parent_process_name, L"-");
  EXPECT_EQ(flow->process_hash, kZeroHash);
  EXPECT_EQ(flow->parent_process_hash, kZeroHash);
  EXPECT_EQ(flow->process_user_account_type, 0);
  EXPECT_EQ(flow->process_user_name, L"host\\alice");  // its type is excluded, the name is not
  EXPECT_EQ(flow->destination_host_name, L"-");
  EXPECT_EQ(hasher_.FilesHashed(), 0u);
  EXPECT_FALSE(log.Contains("DecodeIDN"));
}

TEST_F(FlowRecordBuilderTest, AnonymisingReplacesListedTextFieldsWithTheirDigest) {
  ORVFlowObject flow;
  flow.process_name = L"curl";
  flow.destination_host_name = L"example.com";
  flow.dns_suffix = L"corp.example";
  AnonymiseFields(flow, *Policy(true, {{kFieldProcessName, kFieldModeAnonymise},
                                       {kFieldDestinationHostName, kFieldModeAnonymise},
                                       {kFieldDnsSuffix, kFieldModeExclude}}));
  std::wstring name = L"curl";
  AnonymizeValue(name);
  std::wstring host = L"example.com";
  AnonymizeValue(host);
  EXPECT_EQ(flow.process_name, name);
  EXPECT_EQ(flow.destination_host_name, host);
  EXPECT_NE(name, host);
  EXPECT_EQ(flow.process_name.size(), 64u);
  EXPECT_EQ(flow.dns_suffix, L"corp.example");
}

TEST_F(FlowRecordBuilderTest, PatternTracksMatchingFlowsIgnoringCaseThenBlanks) {
  policy_ = Policy(true, {{kFieldProcessName, kFieldModeExclude}});
  pattern_ = L"CURL";
  LogCapture log;
  const auto tracked = Build(Ipv4Message());
  EXPECT_TRUE(tracked->tracked);
  EXPECT_EQ(tracked->process_name, L"-");  // matched on the name, blanked afterwards
  ORVFlowObject as_matched = *tracked;
  as_matched.process_name = L"curl";
  EXPECT_TRUE(log.Has(LOG_DEBUG, "CFlowRecordBuilder::matchesDebugPattern",
                      "Tracking flow with id: " + std::to_string(tracked->flow_id) +
                          " and data\t " + as_matched.ToString()));

  KdfFlowData message = Ipv4Message();
  message.host_name = "xn--bcher-kva.example";
  pattern_ = L"B\u00dcCHER.EX";
  EXPECT_TRUE(Build(message)->tracked);

  pattern_ = L"10.0.0.5;93.184.216.34;curl;host\\alice";
  EXPECT_TRUE(Build(Ipv4Message())->tracked);

  pattern_ = L"nomatch";
  EXPECT_FALSE(Build(Ipv4Message())->tracked);

  pattern_.clear();
  const auto untracked = Build(Ipv4Message());
  EXPECT_FALSE(untracked->tracked);
  CFlowRecordBuilder builder(Sources());
  untracked->tracked = true;
  EXPECT_FALSE(builder.matchesDebugPattern(*untracked));
  EXPECT_FALSE(untracked->tracked);
}

TEST_F(FlowRecordBuilderTest, FailedLookupsLeaveUnknownAndReportPartialFailure) {
  console_.status = kObFailure;
  interfaces_.clear();
  suffixes_.clear();
  KdfFlowData message = Ipv4Message();
  message.pid = 4242;  // exited before the lookup
  const auto flow = Build(message);
  EXPECT_EQ(flow->process_name, L"Unknown");
  EXPECT_EQ(flow->parent_process_name, L"Unknown");
  EXPECT_EQ(flow->process_hash, kZeroHash);
  EXPECT_EQ(flow->parent_process_hash, kZeroHash);
  EXPECT_EQ(flow->process_user_name, L"Unknown");
  EXPECT_EQ(flow->parent_process_user_name, L"Unknown");
  EXPECT_EQ(flow->logged_in_user_name, L"Unknown");
  EXPECT_EQ(flow->dns_suffix, L"Unknown");
  EXPECT_EQ(flow->interface_uid, 0u);

  ORVFlowObject empty;
  empty.process_id = 4242;
  EXPECT_EQ(Refill(empty), kObPartialFailure);

  // Nobody at the console is an answer, not a failure.
  console_.status = kObNotFound;
  CUserInfo fresh_console(console_, accounts_);
  FlowRecordSources sources = Sources();
  sources.console_user = &fresh_console;
  CFlowRecordBuilder builder(std::move(sources));
  ORVFlowObject known;
  known.process_id = kPid;
  EXPECT_EQ(builder.fill(known), kObSuccess);
  EXPECT_TRUE(known.logged_in_user_name.empty());
  EXPECT_EQ(known.logged_in_user_account_type, 0);

  CFlowRecordBuilder bare{FlowRecordSources{}};
  ORVFlowObject nothing;
  EXPECT_EQ(bare.fill(nothing), kObPartialFailure);
  EXPECT_EQ(nothing.process_name, L"Unknown");
  EXPECT_EQ(nothing.logged_in_user_name, L"Unknown");
}

TEST_F(FlowRecordBuilderTest, SurrogateHostGetsCommandLineAndHostedModules) {
  queries_.processes[kPid].image = "/usr/bin/java";
  queries_.processes[kPid].argv = {"/usr/bin/java", "-jar", "app.jar"};
  const auto flow = Build(Ipv4Message());
  EXPECT_EQ(flow->hosted_modules, std::vector<std::wstring>{L"app.jar"});
  EXPECT_EQ(flow->hosted_module_hashes, std::vector<std::string>{kAbcHash});
  EXPECT_EQ(flow->host_command_line, L"/usr/bin/java -jar app.jar");

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

TEST_F(FlowRecordBuilderTest, CurrentProcessHashIsTheRunningImage) {
  CFlowRecordBuilder builder(Sources());
  std::string hash;
  EXPECT_EQ(builder.CurrentProcessHash(kPid, hash), kObSuccess);
  EXPECT_EQ(hash, kAbcHash);
  EXPECT_EQ(builder.CurrentProcessHash(0, hash), kObSuccess);
  EXPECT_EQ(hash, kZeroHash);
  EXPECT_EQ(builder.CurrentProcessHash(4242, hash), kObFailure);
  EXPECT_TRUE(hash.empty());
}

// A record made while the process could not be read holds placeholders only.
TEST_F(FlowRecordBuilderTest, PlaceholderPidRecordNeverHidesTheMessagesOwnImage) {
  auto placeholder = std::make_shared<ORVFlowObject>();
  placeholder->process_id = kPid;
  placeholder->process_name = L"Unknown";
  placeholder->process_user_name = L"Unknown";
  placeholder->process_hash = kZeroHash;
  queries_.processes.erase(kPid);  // gone by the time its flow is reported
  KdfFlowData message = Ipv4Message();
  message.process_hash.fill(0x33);
  message.process_path = u"/usr/bin/wget";
  const auto flow = Build(message, placeholder);
  EXPECT_EQ(flow->process_path, L"/usr/bin/wget");
  EXPECT_EQ(flow->process_name, L"wget");
  EXPECT_EQ(flow->process_hash, std::string(32, '\x33'));
}

// Hashing never holds a record back: until the digest is ready the hash goes out empty.
TEST_F(FlowRecordBuilderTest, HashNotReadyIsLeftEmpty) {
  CFileHashWorker worker(CFileHashWorker::Limits{.workers = 1});
  ProcessInfoServices services{queries_, accounts_, cache_, worker};
  FlowRecordSources sources = Sources();
  sources.process = &services;
  CFlowRecordBuilder builder(sources);
  const auto first = builder.FromFlowData(Ipv4Message(), nullptr);
  EXPECT_TRUE(first->process_hash.empty());
  std::shared_ptr<ORVFlowObject> later;
  for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       std::chrono::steady_clock::now() < deadline;
       std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    if ((later = builder.FromFlowData(Ipv4Message(), nullptr))->process_hash == kAbcHash) {
      break;
    }
  }
  EXPECT_EQ(later->process_hash, kAbcHash);
}

// With the start time the driver reports, a cached process is named without reading /proc per
// flow; an exec shows in the reported path or in the pid information sent for it, a reused id in
// the start time, so neither leaves a flow named after the wrong image or process.
TEST_F(FlowRecordBuilderTest, ReportedStartTimeNamesTheProcessWithoutReadsPerFlow) {
  enum class Change { kNone, kExec, kReuse };
  enum class Hash { kOld, kRunning, kZero };
  struct Case {
    const char* what;
    Change change;
    bool warm;      // a flow of the first process came before the change
    bool pid_info;  // the pid information sent for the change came before the flow
    std::uint64_t start;
    std::u16string path;
    const wchar_t* name;
    Hash hash;
    bool reads_proc;
  };
  const Case cases[] = {
      {"steady state", Change::kNone, true, false, 500, u"/usr/bin/curl", L"curl", Hash::kOld,
       false},
      {"exec, new path reported", Change::kExec, true, false, 500, u"/usr/bin/wget", L"wget",
       Hash::kRunning, true},
      {"exec, told by pid information", Change::kExec, true, true, 500, u"", L"wget",
       Hash::kRunning, false},
      {"id reused, flow of the exited one", Change::kReuse, true, false, 500, u"", L"curl",
       Hash::kOld, false},
      {"id reused before any flow", Change::kReuse, false, false, 500, u"", L"Unknown", Hash::kZero,
       true},
      {"the newer process on the id", Change::kReuse, true, false, 900, u"/usr/sbin/sshd", L"sshd",
       Hash::kRunning, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AddProcess(kPid, kParentPid, "curl", "/usr/bin/curl", 1000, 500, WriteFile("curl", "abc"));
    CProcessCache cache;
    ProcessInfoServices services{queries_, accounts_, cache, hasher_};
    services.clock = [] { return std::chrono::steady_clock::time_point{std::chrono::hours(1)}; };
    FlowRecordSources sources = Sources();
    sources.process = &services;
    CFlowRecordBuilder builder(sources);
    KdfFlowData message = Ipv4Message();
    message.process_start_time = 500;
    message.process_path = u"/usr/bin/curl";
    if (c.warm) {
      ASSERT_EQ(builder.FromFlowData(message, nullptr)->process_hash, kAbcHash);
    }
    if (c.change == Change::kExec) {
      AddProcess(kPid, kParentPid, "wget", "/usr/bin/wget", 1000, 500, WriteFile("wget", "wget"));
    } else if (c.change == Change::kReuse) {
      AddProcess(kPid, kParentPid, "sshd", "/usr/sbin/sshd", 0, 900, WriteFile("sshd", "sshd"));
    }
    if (c.pid_info) {
      ASSERT_NE(builder.FromPidInfo(KdfPidInfo{.pid = kPid}), nullptr);
    }
    message.process_start_time = c.start;
    message.process_path = c.path;
    const int reads = queries_.stat_calls + queries_.image_calls;
    const auto flow = builder.FromFlowData(message, nullptr);
    EXPECT_EQ(queries_.stat_calls + queries_.image_calls > reads, c.reads_proc);
    EXPECT_EQ(flow->process_name, c.name);
    std::string running;
    (void)builder.CurrentProcessHash(kPid, running);
    const std::string hashes[] = {kAbcHash, running, kZeroHash};
    EXPECT_EQ(flow->process_hash, hashes[static_cast<int>(c.hash)]);
  }
}

}  // namespace
