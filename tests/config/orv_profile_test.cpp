#include "config/orv_profile.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

constexpr const char* kSetElementValue = "CORVProfile::SetElementValue";

class FakeNetwork : public ITrustedNetworkState {
 public:
  int GetNetworkType() const override { return type.load(); }
  bool IsVpnConnected() const override { return vpn.load(); }
  std::atomic<int> type{NETWORK_TYPE_UNKNOWN};
  std::atomic<bool> vpn{false};
};

std::string Wrap(const std::string& body) { return "<ORVProfile>\n" + body + "\n</ORVProfile>"; }

std::string Element(const std::string& name, const std::string& text) {
  return "<" + name + ">" + text + "</" + name + ">";
}

// A Policy element written with line breaks, as a profile must be for the container to act.
std::string Policy(const std::string& body, bool knox = false) {
  return "<Policy>\n" + std::string(knox ? "<Knox>1</Knox>" : "") + body + "\n</Policy>\n";
}

std::string Policies(const std::string& policies) {
  return "<DataCollectionPolicy>\n" + policies + "</DataCollectionPolicy>";
}

class ORVProfileTest : public ::testing::Test {
 protected:
  void SetUp() override { profile().SetTrustedNetworkState(&network_); }
  void TearDown() override { profile().SetTrustedNetworkState(nullptr); }

  static CORVProfile& profile() { return CORVProfile::GetInstance(); }
  static OB_STATUSCODE Load(const std::string& body) {
    return CORVProfile::LoadProfileFromBuffer(Wrap(body));
  }
  DataCollectionPolicy Current(int type, bool vpn = false, bool knox = false) {
    network_.type = type;
    network_.vpn = vpn;
    return profile().GetCurrentDataCollectionPolicy(knox);
  }

  FakeNetwork network_;
  orv::test::LogCapture log_;
};

TEST_F(ORVProfileTest, ClampsAndDefaultsNumbers) {
  struct Case {
    const char* element;
    const char* text;
    std::uint32_t (*read)(const CORVProfile&);
    std::uint32_t expected;
    LOGLEVEL level;
    const char* message;  // expected under CORVProfile::SetElementValue; null for none
  };
  const auto ipfix = [](const CORVProfile& p) { return p.GetFlowReportInterval(); };
  const auto agg = [](const CORVProfile& p) { return p.GetAggregationTimeout(); };
  const auto throttle = [](const CORVProfile& p) { return p.GetThrottleRate(); };
  const auto tmpl = [](const CORVProfile& p) { return p.GetTemplateReportInterval(); };
  const auto size = [](const CORVProfile& p) -> std::uint32_t { return p.GetCacheSize(); };
  const auto duration = [](const CORVProfile& p) -> std::uint32_t { return p.GetCacheDuration(); };
  const char* kIpfixMax =
      "Given IPFIX timer value is greater than the maximum limit, so setting the timer value to "
      "the maximum i.e 360 seconds.";
  const char* kIpfixMin =
      "Given IPFIX timer value is less than the minimum limit, so setting the timer value to the "
      "minimum i.e 60 seconds.";
  const char* kAggMax =
      "Given Aggregation Time out value is greater than the maximum limit, so setting the time "
      "out value to the maximum i.e 600000 milliseconds.";
  const char* kThrottleMax =
      "Given Throttle rate is greater than the maximum limit, so setting the throttle rate to the "
      "maximum i.e 2048 Kbps.";
  const char* kThrottleMin =
      "Given Throttle rate is less than the minimum limit, so setting the throttle rate to the "
      "minimum i.e 12 Kbps.";
  const char* kTemplateMin =
      "Given Template Report interval is less than the minimum limit, so setting the Template "
      "Report interval to the minimum i.e 5 mins.";
  const char* kTemplateMax =
      "Given Template Report interval is greater than the maximum limit, so setting the Template "
      "Report interval to the maximum i.e 1440 mins.";
  const char* kSizeMax =
      "Given Cache size control is greater than the maximum limit, so setting the cache size to "
      "the maximum i.e 300 MB.";
  const char* kSizeMin =
      "Given Cache size control is less than the minimum limit, so setting the cache size to the "
      "minimum i.e 10 MB.";
  const char* kDurationMax =
      "Given Cache duration control is greater than the maximum limit, so setting the cache "
      "duration to the maximum i.e 30 days.";
  const char* kDurationMin =
      "Given Cache duration control is less than the minimum limit, so setting the cache duration "
      "to the minimum i.e 1 days.";
  const Case cases[] = {
      {"IPFIXInterval", "0", ipfix, 0, LOG_DEBUG, nullptr},
      {"IPFIXInterval", "30", ipfix, 60, LOG_DEBUG, kIpfixMin},
      {"IPFIXInterval", "59", ipfix, 60, LOG_DEBUG, kIpfixMin},
      {"IPFIXInterval", "60", ipfix, 60, LOG_DEBUG, nullptr},
      {"IPFIXInterval", "360", ipfix, 360, LOG_DEBUG, nullptr},
      {"IPFIXInterval", "400", ipfix, 360, LOG_DEBUG, kIpfixMax},
      {"IPFIXInterval", "-5", ipfix, 360, LOG_DEBUG, kIpfixMax},  // negative is above all
      {"IPFIXInterval", "x", ipfix, 60, LOG_ERROR,
       "ORVProfileValidation: invalid IPFIX timer value. Setting it to Default ie 60 seconds."},
      {"IPFIXInterval", " 90", ipfix, 60, LOG_ERROR,
       "ORVProfileValidation: invalid IPFIX timer value. Setting it to Default ie 60 seconds."},
      {"AggInterval", "5", agg, 5000, LOG_DEBUG, nullptr},
      {"AggInterval", "0", agg, 0, LOG_DEBUG, nullptr},
      {"AggInterval", "599", agg, 599000, LOG_DEBUG, nullptr},
      {"AggInterval", "600", agg, 600000, LOG_DEBUG, kAggMax},
      {"AggInterval", "4294968", agg, 600000, LOG_DEBUG, kAggMax},  // x1000 wraps 32 bits
      {"AggInterval", "-1", agg, 600000, LOG_DEBUG, kAggMax},
      {"ThrottleRate", "0", throttle, 0, LOG_DEBUG, nullptr},
      {"ThrottleRate", "1", throttle, 1536, LOG_DEBUG, kThrottleMin},
      {"ThrottleRate", "12", throttle, 1536, LOG_DEBUG, nullptr},
      {"ThrottleRate", "500", throttle, 64000, LOG_DEBUG, nullptr},
      {"ThrottleRate", "2048", throttle, 262144, LOG_DEBUG, nullptr},
      {"ThrottleRate", "5000", throttle, 262144, LOG_DEBUG, kThrottleMax},
      {"ThrottleRate", "33554433", throttle, 262144, LOG_DEBUG, kThrottleMax},  // x128 wraps
      {"ThrottleRate", "x", throttle, 64000, LOG_ERROR,
       "ORVProfileValidation: invalid Throttle rate. Setting Throttling to Default Rate."},
      {"TemplateReportInterval", "0", tmpl, 5, LOG_DEBUG, kTemplateMin},
      {"TemplateReportInterval", "4", tmpl, 5, LOG_DEBUG, kTemplateMin},
      {"TemplateReportInterval", "60", tmpl, 60, LOG_DEBUG, nullptr},
      {"TemplateReportInterval", "1441", tmpl, 1440, LOG_DEBUG, kTemplateMax},
      {"TemplateReportInterval", "x", tmpl, 1440, LOG_ERROR,
       "ORVProfileValidation: Invalid Template Report interval. Setting interval to Default ie "
       "1440 mins."},
      {"MaxSize", "20", size, 20, LOG_DEBUG, nullptr},
      {"MaxSize", "5", size, 10, LOG_DEBUG, kSizeMin},
      {"MaxSize", "400", size, 300, LOG_DEBUG, kSizeMax},
      {"MaxSize", "-1", size, 300, LOG_DEBUG, kSizeMax},  // 16-bit wrap: 65535
      {"MaxSize", "70000", size, 50, LOG_ERROR,
       "ORVProfileValidation: invalid Cache Size control. Setting it to Default size."},
      {"MaxDuration", "0", duration, 1, LOG_DEBUG, kDurationMin},
      {"MaxDuration", "31", duration, 30, LOG_DEBUG, kDurationMax},
      {"MaxDuration", "x", duration, 999, LOG_ERROR,
       "ORVProfileValidation: invalid Cache duration control. Disabling this feature."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.element) + " = '" + c.text + "'");
    const orv::test::LogCapture log;
    ASSERT_EQ(Load(Element(c.element, c.text)), kObSuccess);
    EXPECT_EQ(c.read(profile()), c.expected);
    if (c.message != nullptr) {
      EXPECT_TRUE(log.Has(c.level, kSetElementValue, c.message));
    } else {
      EXPECT_TRUE(log.Lines().empty());
    }
  }
}

TEST_F(ORVProfileTest, CacheSizeControlOffWhenOnlyDurationIsGiven) {
  ASSERT_EQ(Load(Element("MaxDuration", "10")), kObSuccess);
  EXPECT_EQ(profile().GetCacheSize(), 999);
  EXPECT_EQ(profile().GetCacheDuration(), 10);
  ASSERT_EQ(Load(Element("MaxSize", "20") + Element("MaxDuration", "10")), kObSuccess);
  EXPECT_EQ(profile().GetCacheSize(), 20);
  EXPECT_EQ(profile().GetCacheDuration(), 10);
  ASSERT_EQ(Load(Element("MaxDuration", "x")), kObSuccess);
  EXPECT_EQ(profile().GetCacheSize(), 50);
  EXPECT_EQ(profile().GetCacheDuration(), 999);
}

TEST_F(ORVProfileTest, StoresTextBooleansAndEnumerations) {
  ASSERT_EQ(Load(Element("CollectorIP", " collector.example ") + Element("Port", "+4739") +
                 Element("CollectionMode", "ALL") + Element("Broadcast", "TRUE") +
                 Element("Multicast", "yes") + Element("KnoxOnly", "true") +
                 "<o:Pattern xmlns:o='urn:o'>R&amp;D*</o:Pattern>" + Element("port", "70000")),
            kObSuccess);
  const ProfileSettings s = profile().GetSettings();
  EXPECT_EQ(s.collector_ip, L" collector.example ");
  EXPECT_EQ(s.collector_port, 4739u);
  EXPECT_EQ(s.collection_mode, kCollectionModeAll);
  EXPECT_TRUE(s.broadcast);
  EXPECT_FALSE(s.multicast);
  EXPECT_TRUE(s.knox_only);
  EXPECT_EQ(profile().GetPattern(), L"R&D*");  // one value, not its last piece
  EXPECT_TRUE(profile().IsPatternSet());
  for (const auto& [mode, value] : {std::pair{"off", 0}, {"Trusted", 1}, {"untrusted", 2}}) {
    ASSERT_EQ(Load(Element("CollectionMode", mode)), kObSuccess);
    EXPECT_EQ(profile().GetCollectionMode(), value);
  }
}

TEST_F(ORVProfileTest, ValidityRules) {
  struct Case {
    std::string body;
    bool valid;
    const char* message;  // logged at level 2 under SetElementValue; null: silent
  };
  const char* kPort = "ORVProfileValidation: Collector Port Number is invalid.";
  const Case cases[] = {
      {Element("Port", "65535"), true, nullptr},
      {Element("Port", "70000"), false, kPort},
      {Element("Port", "-1"), false, kPort},
      {Element("Port", "abc"), true, kPort},
      {Element("CollectionMode", "sometimes"), false, nullptr},
      {Element("CollectionMode", " all"), false, nullptr},
      {Element("AggInterval", "x"), false, "ORVProfileValidation: invalid timeout value"},
      {Policies(Policy(Element("NetworkType", "trusted,,untrusted"))), true, nullptr},
      {Policies(Policy(Element("NetworkType", "trusted, untrusted"))), false,
       "Profile contains invalid network type"},
      {Policies(Policy(Element("NetworkType", "home"))), false,
       "Profile contains invalid network type"},
      {Policies(Policy(Element("NetworkType", "trusted")) +
                Policy(Element("NetworkType", "TRUSTED"))),
       false, "Multiple collection policies for the same network type encountered"},
      {Policies(Policy(Element("NetworkType", "trusted")) +
                Policy(Element("NetworkType", "trusted"), true)),
       true, nullptr},
      {Policies(Policy(Element("NetworkType", "trusted") + Element("Type", "include") +
                       Element("Type", "include"))),
       false, "Multiple types for same network type encountered"},
      {Policies(Policy(Element("NetworkType", "trusted") + Element("Type", "allow"))), false,
       nullptr},
      {Policies(Policy(Element("NetworkType", "trusted") + Element("Type", "include") +
                       Element("Fields", "12333, 12340"))),
       false, "Profile contains invalid field"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const orv::test::LogCapture log;
    EXPECT_EQ(Load(c.body), c.valid ? kObSuccess : kObFailure);
    EXPECT_EQ(CORVProfile::IsProfileValid(), c.valid);
    if (c.message != nullptr) {
      EXPECT_TRUE(log.Has(LOG_ERROR, kSetElementValue, c.message));
    } else {
      for (const auto& line : log.Lines()) {
        EXPECT_NE(line.function, kSetElementValue) << line.message;
      }
    }
  }
}

TEST_F(ORVProfileTest, ARejectedProfileNeverReplacesTheOneInForce) {
  ASSERT_EQ(Load(Element("CollectorIP", "good") + Element("Port", "4739") +
                 Policies(Policy(Element("NetworkType", "trusted") + Element("Type", "exclude") +
                                 Element("Fields", "12333")))),
            kObSuccess);
  // Invalid after some values were read, invalid by a policy, malformed, empty, missing.
  EXPECT_EQ(Load(Element("CollectorIP", "bad") + Element("Port", "70000")), kObFailure);
  EXPECT_EQ(Load(Element("CollectorIP", "bad") +
                 Policies(Policy(Element("NetworkType", "trusted") + Element("Type", "exclude") +
                                 Element("Fields", "1,x")))),
            kObFailure);
  EXPECT_EQ(CORVProfile::LoadProfileFromBuffer("<ORVProfile><CollectorIP>bad</CollectorIP>"),
            kObFailure);
  EXPECT_EQ(CORVProfile::LoadProfileFromBuffer(""), kObFailure);
  const orv::test::TempDir dir;
  EXPECT_EQ(CORVProfile::LoadProfile((dir.path() / "none.xml").wstring()), kObFailure);
  EXPECT_TRUE(log_.Has(LOG_ERROR, "CORVProfile::invokeParser",
                       "An error occurred while parsing the profile"));
  EXPECT_FALSE(CORVProfile::IsProfileValid());
  EXPECT_EQ(profile().GetCollectorIP(), L"good");
  EXPECT_EQ(profile().GetCollectorPort(), 4739u);
  const DataCollectionPolicy trusted = profile().GetPolicy(kPolicySlotTrusted, false);
  EXPECT_EQ(trusted.field_map, (std::map<std::int32_t, std::int32_t>{{12333, 1}}));
}

TEST_F(ORVProfileTest, LoadsFromTheDataDirectoryAndKeepsTheLastValidPolicies) {
  const orv::test::TempDir dir;
  const char* old = std::getenv("PROGRAMDATA");
  const std::string saved = old != nullptr ? old : "";
  ::setenv("PROGRAMDATA", dir.path().c_str(), 1);
  EXPECT_EQ(CORVProfile::GetProfilePath(),
            dir.path().wstring() + L"/Varno/Varno Ombrix Suite/ORV/ORV_ServiceProfile.xml");
  ASSERT_EQ(Load(Policies(Policy(Element("NetworkType", "trusted") + Element("Type", "include") +
                                 Element("Fields", "12333")))),
            kObSuccess);
  EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED).field_map.size(), 1u);
  ASSERT_EQ(Load(Element("Port", "70000")), kObFailure);  // now invalid: the next use reloads
  // Nothing loads: the last valid policies stay in force, never the keep-everything fallback.
  const DataCollectionPolicy kept = Current(NETWORK_TYPE_TRUSTED);
  EXPECT_FALSE(CORVProfile::IsProfileValid());
  EXPECT_EQ(kept.field_map, (std::map<std::int32_t, std::int32_t>{{12333, 0}}));
  EXPECT_TRUE(kept.IsFieldExcluded(12340));

  std::filesystem::create_directories(dir.path() / "Varno/Varno Ombrix Suite/ORV");
  std::ofstream(dir.path() / "Varno/Varno Ombrix Suite/ORV/ORV_ServiceProfile.xml")
      << Wrap(Policies(Policy(Element("NetworkType", "trusted") + Element("Type", "exclude") +
                              Element("Fields", "1,2"))));
  EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED).field_map.size(), 2u);  // loaded lazily
  EXPECT_TRUE(CORVProfile::IsProfileValid());

  // A rejected file is parsed once per change, not on every use (every flow).
  const auto profile = dir.path() / "Varno/Varno Ombrix Suite/ORV/ORV_ServiceProfile.xml";
  std::filesystem::remove(profile);
  std::ofstream(profile) << Wrap(Element("Port", "70000"));
  ASSERT_EQ(Load(Element("Port", "70000")), kObFailure);
  {
    const orv::test::LogCapture log;
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED).field_map.size(), 2u);
    }
    std::size_t parses = 0;
    for (const auto& line : log.Lines()) {
      parses += line.message == "The profile is not valid; the profile in force stays" ? 1 : 0;
    }
    EXPECT_EQ(parses, 1u);
  }
  if (old != nullptr) {
    ::setenv("PROGRAMDATA", saved.c_str(), 1);
  } else {
    ::unsetenv("PROGRAMDATA");
  }
}

TEST_F(ORVProfileTest, ChoosesThePolicyByNetworkType) {
  const auto policy = [](const char* type, const char* fields, bool knox = false) {
    return Policy(
        Element("NetworkType", type) + Element("Type", "include") + Element("Fields", fields),
        knox);
  };
  ASSERT_EQ(Load(Policies(policy("vpn", "1") + policy("trusted", "2") + policy("untrusted", "3") +
                          policy("trusted", "4", true))),
            kObSuccess);
  using Map = std::map<std::int32_t, std::int32_t>;
  EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED).field_map, (Map{{2, 0}}));
  EXPECT_EQ(Current(NETWORK_TYPE_UNTRUSTED).field_map, (Map{{3, 0}}));
  EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED, true).field_map, (Map{{1, 0}}));
  EXPECT_EQ(Current(NETWORK_TYPE_UNTRUSTED, true).field_map, (Map{{3, 0}}));  // VPN only counts
  EXPECT_TRUE(Current(NETWORK_TYPE_UNKNOWN).field_map.empty());               // when trusted
  EXPECT_TRUE(Current(7).field_map.empty());
  EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED, false, true).field_map, (Map{{4, 0}}));
  EXPECT_TRUE(Current(NETWORK_TYPE_UNTRUSTED, false, true).field_map.empty());
  profile().SetTrustedNetworkState(nullptr);
  EXPECT_TRUE(profile().GetCurrentDataCollectionPolicy().field_map.empty());

  // No vpn policy: the trusted one serves while the tunnel is up.
  ASSERT_EQ(Load(Policies(policy("trusted", "2"))), kObSuccess);
  profile().SetTrustedNetworkState(&network_);
  EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED, true).field_map, (Map{{2, 0}}));
}

TEST_F(ORVProfileTest, PolicyFieldsRulesAndSharedLists) {
  ASSERT_EQ(
      Load(Policies(
          Policy(Element("PolicyName", "office") + Element("NetworkType", "trusted,vpn") +
                 Element("Type", "include") + Element("Fields", "12333") +
                 Element("AnonFields", "12340") + Element("Fields", "12345,12333") +
                 "<FlowFilterRules>\n<Rule><FilterType>ignore</FilterType><Equals><Field>11</Field>"
                 "<Value>53</Value></Equals></Rule>\n</FlowFilterRules>") +
          Policy(Element("NetworkType", "untrusted") + Element("Type", "exclude") +
                 Element("Fields", "12333") + Element("AnonFields", "12340")))),
      kObSuccess);
  using Map = std::map<std::int32_t, std::int32_t>;
  for (const std::size_t slot : {kPolicySlotTrusted, kPolicySlotVpn}) {
    const DataCollectionPolicy p = profile().GetPolicy(slot, false);
    EXPECT_FALSE(p.default_exclude);
    // A later entry overwrites: Fields after AnonFields records mode 2.
    EXPECT_EQ(p.field_map, (Map{{12333, 2}, {12340, 2}, {12345, 2}}));
    EXPECT_EQ(p.filter_engine->GetRuleCount(), 1u);
  }
  const DataCollectionPolicy untrusted = profile().GetPolicy(kPolicySlotUntrusted, false);
  EXPECT_TRUE(untrusted.default_exclude);
  EXPECT_EQ(untrusted.field_map, (Map{{12333, 1}, {12340, 2}}));
  EXPECT_TRUE(untrusted.IsFieldExcluded(12333));
  EXPECT_FALSE(untrusted.IsFieldExcluded(12340));
  EXPECT_TRUE(untrusted.IsFieldAnonymised(12340));
  EXPECT_EQ(untrusted.filter_engine->GetRuleCount(), 0u);
  EXPECT_TRUE(profile().GetPolicy(kPolicySlotFallback, false).field_map.empty());
}

TEST_F(ORVProfileTest, ACompactProfileMeansWhatThePrettyPrintedOneMeans) {
  const std::string pretty = Wrap(Policies(
      Policy(Element("NetworkType", "trusted") + Element("Type", "exclude") +
             Element("Fields", "1") +
             "<FlowFilterRules>\n<Rule><FilterType>ignore</FilterType>"
             "<Equals><Field>11</Field><Value>53</Value></Equals></Rule>\n</FlowFilterRules>") +
      Policy(Element("NetworkType", "untrusted") + Element("Type", "include") +
             Element("Fields", "2")) +
      "<Policy>\n<Knox/>" + Element("NetworkType", "trusted") + Element("Type", "include") +
      Element("Fields", "3") + "\n</Policy>\n"));
  std::string compact = pretty;
  std::erase(compact, '\n');
  using Snapshot = std::vector<std::tuple<bool, std::map<std::int32_t, std::int32_t>, std::size_t>>;
  const auto snapshot = [this] {
    Snapshot policies;
    for (const bool knox : {false, true}) {
      for (std::size_t slot = 0; slot < kPolicySlots; ++slot) {
        const DataCollectionPolicy p = profile().GetPolicy(slot, knox);
        policies.emplace_back(p.default_exclude, p.field_map, p.filter_engine->GetRuleCount());
      }
    }
    return policies;
  };
  ASSERT_EQ(CORVProfile::LoadProfileFromBuffer(pretty), kObSuccess);
  const Snapshot expected = snapshot();
  ASSERT_EQ(Load(""), kObSuccess);  // resets the policies' field lists
  ASSERT_EQ(CORVProfile::LoadProfileFromBuffer(compact), kObSuccess);
  EXPECT_EQ(snapshot(), expected);
  EXPECT_EQ(profile().GetPolicy(kPolicySlotTrusted, true).field_map.count(3), 1u);  // <Knox/>
  EXPECT_EQ(profile().GetPolicy(kPolicySlotTrusted, false).field_map.count(3), 0u);
}

TEST_F(ORVProfileTest, ResetAndCopy) {
  ASSERT_EQ(
      Load(Element("CollectorIP", "c") + Element("Port", "9") + Element("CollectionMode", "all") +
           Element("Pattern", "x") + Element("MaxSize", "20") + Element("ThrottleRate", "100") +
           Policies(Policy(Element("NetworkType", "untrusted") + Element("Type", "exclude") +
                           Element("Fields", "5")))),
      kObSuccess);
  CORVProfile copy;
  copy.CopyFrom(profile());
  profile().ResetToDefaults();
  const ProfileSettings reset = profile().GetSettings();
  const ProfileSettings defaults;
  EXPECT_EQ(reset.collector_ip, L"c");
  EXPECT_EQ(reset.collector_port, 9u);
  EXPECT_EQ(reset.collection_mode, defaults.collection_mode);
  EXPECT_EQ(reset.throttle_rate, defaults.throttle_rate);
  EXPECT_EQ(reset.cache_size, defaults.cache_size);
  EXPECT_FALSE(reset.cache_size_given);
  EXPECT_TRUE(reset.pattern.empty());
  EXPECT_FALSE(reset.pattern_set);
  EXPECT_EQ(profile().GetPolicy(kPolicySlotUntrusted, false).field_map.size(), 1u);  // kept
  EXPECT_EQ(copy.GetCollectionMode(), kCollectionModeAll);
  EXPECT_EQ(copy.GetThrottleRate(), 12800u);
  EXPECT_TRUE(copy.GetSettings().cache_size_given);
  EXPECT_EQ(copy.GetPolicy(kPolicySlotUntrusted, false).filter_engine,
            profile().GetPolicy(kPolicySlotUntrusted, false).filter_engine);
}

TEST_F(ORVProfileTest, HugeAndUnknownContentLoads) {
  std::string body;
  for (int i = 0; i < 20000; ++i) {
    body += "<Unknown><Deeper a='1'>text " + std::to_string(i) + "</Deeper></Unknown>\n";
  }
  body += Element("Port", "1234");
  ASSERT_EQ(Load(body), kObSuccess);
  EXPECT_EQ(profile().GetCollectorPort(), 1234u);
}

TEST_F(ORVProfileTest, LoadsRaceWithReaders) {
  const std::string a =
      Wrap(Element("CollectorIP", std::string(100, 'a')) + Element("Pattern", "p") +
           Policies(Policy(Element("NetworkType", "trusted") + Element("Type", "exclude") +
                           Element("Fields", "1"))));
  const std::string b = Wrap(Element("CollectorIP", std::string(90, 'b')));
  network_.type = NETWORK_TYPE_TRUSTED;
  ASSERT_EQ(CORVProfile::LoadProfileFromBuffer(a), kObSuccess);
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    while (!done.load()) {
      const std::wstring ip = profile().GetCollectorIP();
      EXPECT_TRUE(ip == std::wstring(100, L'a') || ip == std::wstring(90, L'b'));
      (void)profile().GetPattern();
      (void)profile().GetCurrentDataCollectionPolicy();
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 100; ++i) {
      EXPECT_EQ(CORVProfile::LoadProfileFromBuffer(b), kObSuccess);
    }
  });
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(CORVProfile::LoadProfileFromBuffer(a), kObSuccess);
  }
  threads[1].join();
  done.store(true);
  threads[0].join();
}

TEST_F(ORVProfileTest, ThePackagedExampleProfileLoads) {
  const auto path = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() /
                    "packaging" / "ORV_ServiceProfile.xml";
  ASSERT_EQ(CORVProfile::LoadProfile(path.wstring()), kObSuccess);
  const ProfileSettings s = profile().GetSettings();
  EXPECT_EQ(s.collector_ip, L"127.0.0.1");
  EXPECT_EQ(s.collector_port, 4739u);
  EXPECT_EQ(s.collection_mode, kCollectionModeAll);
  EXPECT_EQ(s.flow_report_interval, 60u);
  EXPECT_EQ(s.throttle_rate, 64000u);
  EXPECT_EQ(s.cache_duration, 7u);
  EXPECT_FALSE(s.pattern_set);
  EXPECT_EQ(profile().GetPolicy(kPolicySlotTrusted, false).filter_engine->GetRuleCount(), 4u);
  EXPECT_TRUE(profile().GetPolicy(kPolicySlotVpn, false).IsFieldAnonymised(12333));
  EXPECT_FALSE(profile().GetPolicy(kPolicySlotUntrusted, false).default_exclude);
  EXPECT_EQ(profile().GetPolicy(kPolicySlotUntrusted, true).field_map.size(), 2u);

  ORVFlowObject backup;
  backup.destination_address = "10.20.3.4";
  backup.destination_port = 873;
  backup.process_name = L"rsync";
  bool keep = true;
  EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED).IsFlowAllowed(backup, keep), kObSuccess);
  EXPECT_FALSE(keep);
  backup.process_name = L"firefox-esr";
  EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED).IsFlowAllowed(backup, keep), kObSuccess);
  EXPECT_TRUE(keep);
}

}  // namespace
