#include "config/orv_profile.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <tuple>

#include "config/data_collection_policy.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using Map = std::map<std::int32_t, std::int32_t>;

std::string Wrap(const std::string& body) { return "<ORVProfile>\n" + body + "\n</ORVProfile>"; }

std::string E(const std::string& name, const std::string& text) {
  return "<" + name + ">" + text + "</" + name + ">";
}

// A Policy element written with line breaks: network types, Type, then Fields.
std::string Policy(const std::string& types, const std::string& type, const std::string& fields,
                   const std::string& more = "", bool knox = false) {
  return "<Policy>\n" + std::string(knox ? "<Knox/>" : "") + E("NetworkType", types) +
         E("Type", type) + E("Fields", fields) + more + "\n</Policy>\n";
}

std::string Policies(const std::string& policies) {
  return "<DataCollectionPolicy>\n" + policies + "</DataCollectionPolicy>";
}

const std::string kIgnoreDns =
    "<FlowFilterRules>\n<Rule><FilterType>ignore</FilterType><Equals><Field>11</Field>"
    "<Value>53</Value></Equals></Rule>\n</FlowFilterRules>";

// The fixture is the network state the profile reads.
class ORVProfileTest : public ::testing::Test, public ITrustedNetworkState {
 protected:
  int GetNetworkType() const override { return type_.load(); }
  bool IsVpnConnected() const override { return vpn_.load(); }
  void SetUp() override { profile().SetTrustedNetworkState(this); }
  void TearDown() override {
    profile().SetTrustedNetworkState(nullptr);
    RefreshProviderPolicy({});
  }

  static CORVProfile& profile() { return CORVProfile::GetInstance(); }
  static OB_STATUSCODE Load(const std::string& body) {
    return CORVProfile::LoadProfileFromBuffer(Wrap(body));
  }
  Map Current(int type, bool vpn = false, bool knox = false) {
    type_ = type;
    vpn_ = vpn;
    return profile().GetCurrentDataCollectionPolicy(knox).field_map;
  }
  // Whether the element handler logged a line containing the text.
  static bool Logged(const orv::test::LogCapture& log, const std::string& text) {
    return std::ranges::any_of(log.Lines(), [&](const auto& line) {
      return line.function == "CORVProfile::SetElementValue" &&
             line.message.find(text) != std::string::npos;
    });
  }

  std::atomic<int> type_{NETWORK_TYPE_TRUSTED};
  std::atomic<bool> vpn_{false};
};

TEST_F(ORVProfileTest, ClampsOrDefaultsEachNumberAndValidatesTheProfileWithTheirLogLines) {
  // Element, text, value stored, the tail of the clamp or default line ("" for none).
  const std::tuple<const char*, const char*, std::uint32_t, const char*> cases[] = {
      {"IPFIXInterval", "0", 0, ""},  // 0 is allowed below the minimum
      {"IPFIXInterval", "59", 60, "to the minimum i.e 60 seconds."},
      {"IPFIXInterval", "-2147483648", 360, "to the maximum i.e 360 seconds."},  // negative: above
      {"IPFIXInterval", "2147483648", 60, "Setting it to Default ie 60 seconds."},  // too big
      {"IPFIXInterval", "-", 60, "invalid IPFIX timer value. Setting it to Default ie 60 seconds."},
      {"AggInterval", "599", 599000, ""},
      {"AggInterval", "600", 600000, "to the maximum i.e 600000 milliseconds."},
      {"AggInterval", "4294968", 600000, "to the maximum i.e 600000 milliseconds."},  // x1000 wraps
      {"ThrottleRate", "1", 1536, "to the minimum i.e 12 Kbps."},
      {"ThrottleRate", "33554433", 262144, "to the maximum i.e 2048 Kbps."},  // x128 wraps
      {"ThrottleRate", "+", 64000, "invalid Throttle rate. Setting Throttling to Default Rate."},
      {"TemplateReportInterval", "0", 5, "to the minimum i.e 5 mins."},
      {"TemplateReportInterval", "1441", 1440, "to the maximum i.e 1440 mins."},
      {"TemplateReportInterval", " 5", 1440, "Setting interval to Default ie 1440 mins."},
      {"MaxSize", "5", 10, "to the minimum i.e 10 MB."},
      {"MaxSize", "-1", 300, "to the maximum i.e 300 MB."},  // 16-bit wrap: 65535
      {"MaxSize", "70000", 50, "invalid Cache Size control. Setting it to Default size."},
      {"MaxDuration", "0", 1, "to the minimum i.e 1 days."},
      {"MaxDuration", "31", 30, "to the maximum i.e 30 days."},
      {"MaxDuration", "\xD9\xA5", 999, "invalid Cache duration control. Disabling this feature."},
  };
  for (const auto& [element, text, expected, logged] : cases) {
    SCOPED_TRACE(std::string(element) + " = '" + text + "'");
    const orv::test::LogCapture log;
    ASSERT_EQ(Load(E(element, text)), kObSuccess);
    const CORVProfile& p = profile();
    const std::map<std::string, std::uint32_t> values = {
        {"IPFIXInterval", p.GetFlowReportInterval()},
        {"AggInterval", p.GetAggregationTimeout()},
        {"ThrottleRate", p.GetThrottleRate()},
        {"TemplateReportInterval", p.GetTemplateReportInterval()},
        {"MaxSize", p.GetCacheSize()},
        {"MaxDuration", p.GetCacheDuration()}};
    EXPECT_EQ(values.at(element), expected);
    EXPECT_TRUE(*logged != '\0' ? Logged(log, logged) : log.Lines().empty());
  }
  // Duration control alone (no size before it) turns size control off.
  ASSERT_EQ(Load(E("MaxDuration", "10")), kObSuccess);
  EXPECT_EQ(profile().GetCacheSize(), 999);
  ASSERT_EQ(Load(E("MaxSize", "20") + E("MaxDuration", "10")), kObSuccess);
  EXPECT_EQ(profile().GetCacheSize(), 20);
  // What makes a profile invalid, and what is only logged.
  const char* kPort = "ORVProfileValidation: Collector Port Number is invalid.";
  // Body, whether valid, the line logged ("" for none).
  const std::tuple<std::string, bool, const char*> validity[] = {
      {E("Port", "65535"), true, ""},
      {E("Port", "70000"), false, kPort},
      {E("Port", "abc"), true, kPort},  // logged, yet the profile stays valid
      {E("CollectionMode", "sometimes"), false, ""},
      {E("AggInterval", "x"), false, "ORVProfileValidation: invalid timeout value"},
      {Policies(Policy("trusted,,UNtrusted", "include", "1")), true, ""},
      {Policies(Policy("trusted, untrusted", "include", "1")), false,
       "Profile contains invalid network type"},
      {Policies(Policy("trusted", "include", "1") + Policy("TRUSTED", "include", "1")), false,
       "Multiple collection policies for the same network type encountered"},
      {Policies(Policy("trusted", "include", "1") + Policy("trusted", "include", "1", "", true)),
       true, ""},
      {Policies(Policy("trusted", "include", "1", E("Type", "include"))), false,
       "Multiple types for same network type encountered"},
      {Policies(Policy("trusted", "allow", "1")), false, ""},
      {Policies(Policy("trusted", "include", "1,,2, 3,")), false, "Profile contains invalid field"},
  };
  for (const auto& [body, valid, message] : validity) {
    SCOPED_TRACE(body);
    const orv::test::LogCapture log;
    EXPECT_EQ(Load(body), valid ? kObSuccess : kObFailure);
    EXPECT_EQ(CORVProfile::IsProfileValid(), valid);
    EXPECT_EQ(Logged(log, message), *message != '\0');  // with "": nothing logged
  }
}

TEST_F(ORVProfileTest, StoresTextsBooleansAndModesAsWrittenResetsAndCopies) {
  ASSERT_EQ(Load(E("CollectorIP", " collector.example ") + E("Port", "+4739") +
                 E("Broadcast", "TRUE") + E("Multicast", "yes") + E("KnoxOnly", "true") +
                 "<o:Pattern xmlns:o='urn:o'>R&amp;D*</o:Pattern>" + E("port", "70000") +
                 "<Unknown><Deeper a='1'>text</Deeper></Unknown>"),
            kObSuccess);
  const auto settings = [](const CORVProfile& p) {
    return std::tuple{p.GetCollectorIP(),     p.GetCollectorPort(), p.IsBroadcastAllowed(),
                      p.IsMulticastAllowed(), p.IsKnoxOnly(),       p.GetPattern(),
                      p.IsPatternSet()};
  };
  // The pattern is one value, not its last piece.
  const auto loaded = std::tuple{L" collector.example ", 4739u, true, false, true, L"R&D*", true};
  EXPECT_EQ(settings(profile()), loaded);
  // A copy keeps everything; a reset keeps only the collector.
  CORVProfile copy;
  copy.CopyFrom(profile());
  profile().ResetToDefaults();
  EXPECT_EQ(settings(copy), loaded);
  EXPECT_EQ(settings(profile()),
            std::tuple(L" collector.example ", 4739u, false, false, false, L"", false));
  for (const auto& [mode, value] :
       {std::pair{"off", 0}, {"Trusted", 1}, {"untrusted", 2}, {"ALL", 3}}) {
    ASSERT_EQ(Load(E("CollectionMode", mode)), kObSuccess);
    EXPECT_EQ(profile().GetCollectionMode(), value);
  }
}

TEST_F(ORVProfileTest,
       ARejectedProfileLeavesTheOneInForceUntilAValidFileAppearsAndTheExampleLoads) {
  const orv::test::TempDir dir;
  ::setenv("PROGRAMDATA", dir.path().c_str(), 1);
  const auto file = dir.path() / "Varno/Varno Ombrix Suite/ORV/ORV_ServiceProfile.xml";
  EXPECT_EQ(CORVProfile::GetProfilePath(), file.wstring());
  ASSERT_EQ(Load(E("CollectorIP", "good") + Policies(Policy("trusted", "include", "12333"))),
            kObSuccess);
  // Invalid after some values were read, invalid by a policy, malformed, empty, missing.
  for (const std::string& bad :
       {Wrap(E("CollectorIP", "bad") + E("Port", "70000")),
        Wrap(E("CollectorIP", "bad") + Policies(Policy("trusted", "exclude", "1,x"))),
        std::string("<ORVProfile><CollectorIP>bad</CollectorIP>"), std::string()}) {
    EXPECT_EQ(CORVProfile::LoadProfileFromBuffer(bad), kObFailure);
  }
  EXPECT_EQ(CORVProfile::LoadProfile(), kObFailure);  // no file yet
  EXPECT_EQ(profile().GetCollectorIP(), L"good");
  // Nothing loads when used: the last valid policies stay in force, never the keep-everything
  // fallback.
  EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED), (Map{{12333, 0}}));

  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file) << Wrap(Policies(Policy("trusted", "exclude", "1,2")));
  EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED).size(), 2u);  // loaded lazily
  EXPECT_TRUE(CORVProfile::IsProfileValid());

  // A rejected file is parsed once per change, not on every use (every flow).
  std::filesystem::remove(file);
  std::ofstream(file) << Wrap(E("Port", "70000"));
  ASSERT_EQ(Load(E("Port", "70000")), kObFailure);
  const orv::test::LogCapture log;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED).size(), 2u);
  const std::string kNotValid = "The profile is not valid; the profile in force stays";
  EXPECT_EQ(std::ranges::count(log.Lines(), kNotValid, &orv::test::CapturedLine::message), 1);
  ::unsetenv("PROGRAMDATA");
  // The packaged example loads from a path of its own.
  const auto path = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() /
                    "packaging" / "ORV_ServiceProfile.xml";
  ASSERT_EQ(CORVProfile::LoadProfile(path.wstring()), kObSuccess);
  EXPECT_EQ(profile().GetCollectorIP(), L"127.0.0.1");
  EXPECT_TRUE(profile().GetPolicy(kPolicySlotVpn, false).IsFieldAnonymised(12333));
  EXPECT_EQ(profile().GetPolicy(kPolicySlotTrusted, false).filter_engine->GetRuleCount(), 4u);
  EXPECT_EQ(profile().GetPolicy(kPolicySlotUntrusted, true).field_map.size(), 2u);  // Knox
}

TEST_F(ORVProfileTest, ChoosesThePolicyByNetworkTypeWithSharedFieldLists) {
  const std::string pretty = Wrap(
      Policies(Policy("vpn,untrusted", "exclude", "12333", E("AnonFields", "12340") + kIgnoreDns) +
               Policy("trusted", "include", "2", E("AnonFields", "3") + E("Fields", "4")) +
               Policy("trusted", "include", "5", "", true)));
  std::string compact = pretty;
  std::erase(compact, '\n');
  // Containers act on their start tag: the profile on one line means the same.
  for (const std::string& text : {pretty, compact}) {
    ASSERT_EQ(Load(""), kObSuccess);  // resets the policies
    ASSERT_EQ(CORVProfile::LoadProfileFromBuffer(text), kObSuccess);
    // A later list overwrites the mode: Fields after AnonFields anonymise too.
    EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED), (Map{{2, 0}, {3, 2}, {4, 2}}));
    EXPECT_EQ(Current(NETWORK_TYPE_UNTRUSTED), (Map{{12333, 1}, {12340, 2}}));
    EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED, true), (Map{{12333, 1}, {12340, 2}}));
    EXPECT_EQ(Current(NETWORK_TYPE_UNTRUSTED, true), Current(NETWORK_TYPE_UNTRUSTED));  // VPN
    EXPECT_TRUE(Current(NETWORK_TYPE_UNKNOWN).empty());  // the fallback: any other type
    EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED, false, true), (Map{{5, 0}}));
    EXPECT_TRUE(Current(NETWORK_TYPE_UNTRUSTED, false, true).empty());
    EXPECT_TRUE(profile().GetPolicy(kPolicySlotUntrusted, false).default_exclude);
    EXPECT_EQ(profile().GetPolicy(kPolicySlotVpn, false).filter_engine->GetRuleCount(), 1u);
    EXPECT_EQ(profile().GetPolicy(kPolicySlotUntrusted, false).filter_engine->GetRuleCount(), 1u);
    EXPECT_EQ(profile().GetPolicy(kPolicySlotTrusted, false).filter_engine->GetRuleCount(), 0u);
  }
  // No vpn policy: the trusted one serves while the tunnel is up; no network state, none.
  ASSERT_EQ(Load(Policies(Policy("trusted", "include", "2"))), kObSuccess);
  EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED, true), (Map{{2, 0}}));
  profile().SetTrustedNetworkState(nullptr);
  EXPECT_TRUE(profile().GetCurrentDataCollectionPolicy().field_map.empty());
}

// Loads and policy refreshes swap whole snapshots: readers never see a torn value.
TEST_F(ORVProfileTest, AppliesTheProfilePolicyWhileProfilesLoadAndPoliciesAreReplaced) {
  const std::string a = Wrap(E("CollectorIP", std::string(100, 'a')) + E("Pattern", "p") +
                             Policies(Policy("trusted", "exclude", "1", kIgnoreDns)));
  const std::string b = Wrap(E("CollectorIP", std::string(90, 'b')) +
                             Policies(Policy("trusted", "exclude", "2", kIgnoreDns)));
  ASSERT_EQ(CORVProfile::LoadProfileFromBuffer(a), kObSuccess);
  RefreshProfilePolicy();
  RefreshProviderPolicy({{1, kFieldModeInclude}});
  ORVFlowObject dns;
  dns.destination_port = 443;
  EXPECT_TRUE(ApplyPolicy(dns));
  dns.destination_port = 53;
  DataCollectionPolicySnapshot applied;
  EXPECT_FALSE(ApplyPolicy(dns, &applied));
  EXPECT_EQ(applied, GetProfilePolicy());
  EXPECT_TRUE(applied->IsFieldExcluded(1));
  // The provider needs field 1: the merged policy gathers it although the profile blanks it.
  EXPECT_FALSE(GetMergedPolicy()->IsFieldExcluded(1));
  EXPECT_FALSE(GetProviderPolicy()->default_exclude);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      const std::wstring ip = profile().GetCollectorIP();
      EXPECT_TRUE(ip == std::wstring(100, L'a') || ip == std::wstring(90, L'b'));
      EXPECT_EQ(profile().GetCurrentDataCollectionPolicy().field_map.size(), 1u);
      EXPECT_FALSE(ApplyPolicy(dns));
      (void)GetMergedPolicy()->IsFieldExcluded(1);
    }
  });
  std::thread loader([&] {
    for (int i = 0; i < 100; ++i) EXPECT_EQ(CORVProfile::LoadProfileFromBuffer(b), kObSuccess);
  });
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(CORVProfile::LoadProfileFromBuffer(a), kObSuccess);
    RefreshProfilePolicy();
    RefreshProviderPolicy({{i % 5, kFieldModeInclude}});
  }
  loader.join();
  done.store(true);
  reader.join();
  // The loader's last profile may have come after the loop's: a's policy again, then no provider.
  ASSERT_EQ(CORVProfile::LoadProfileFromBuffer(a), kObSuccess);
  RefreshProfilePolicy();
  RefreshProviderPolicy({});
  EXPECT_TRUE(GetMergedPolicy()->IsFieldExcluded(1));
}

}  // namespace
