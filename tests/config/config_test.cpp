// The profile reader: XML parsing, filter rules, collection policies, the profile itself and the
// monitor that tells when its file changes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "config/data_collection_policy.h"
#include "config/expat_sax_parser.h"
#include "config/file_monitor_linux.h"
#include "config/filter_engine.h"
#include "config/orv_profile.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

// Records the calls as "<name", ">name" and "=text".
class RecordingObject : public IXmlObject {
 public:
  void StartElement(const std::wstring& name) override { calls.push_back(L"<" + name); }
  void EndElement(const std::wstring& name) override { calls.push_back(L">" + name); }
  void SetElementValue(const std::wstring& text) override { calls.push_back(L"=" + text); }

  std::vector<std::wstring> calls;
};

using Calls = std::vector<std::wstring>;

// Each text run reaches the object whole: entities, character references, CDATA and comments
// do not split it, and namespaces leave the local names.
TEST(ExpatSaxParserTest, DeliversEachTextRunWholeAndRefusesEntityDeclarationsAndOddInput) {
  RecordingObject target;
  const orv::test::TempDir dir;
  // Parses the document from a buffer, or written to a file and read from there.
  const auto parse = [&](const std::string& document, bool from_file = false) {
    target.calls.clear();
    const auto parser = CExpatSaxParser::Create(target);
    if (!from_file) return parser->ParseBuffer(document);
    std::ofstream(dir.path() / "p.xml", std::ios::binary) << document;
    return parser->startParser((dir.path() / "p.xml").wstring());
  };
  ASSERT_EQ(parse("<o:P xmlns:o=\"urn:x\">\n <o:Pattern>R&amp;D</o:Pattern><V>a&#x41;\nb"
                  "<![CDATA[<c>]]>d<!-- note -->e</V><N a=\"1\">J\xC3\xBCrgen</N><F/></o:P>"),
            kObSuccess);
  EXPECT_EQ(target.calls,
            (Calls{L"<P", L"=\n ", L"<Pattern", L"=R&D", L">Pattern", L"<V", L"=aA\nb<c>de", L">V",
                   L"<N", L"=J\x00FCrgen", L">N", L"<F", L">F", L">P"}));
  // A file is read in chunks; a run across them still arrives as one.
  ASSERT_EQ(parse("<P>" + std::string(200000, 'x') + "&lt;</P>", true), kObSuccess);
  EXPECT_EQ(target.calls, (Calls{L"<P", L"=" + std::wstring(200000, L'x') + L"<", L">P"}));
  // Entity declarations are refused; external files are never loaded.
  const auto secret = dir.path() / "secret.txt";
  std::ofstream(secret) << "SECRET";
  EXPECT_EQ(parse("<!DOCTYPE P [<!ENTITY x SYSTEM \"file://" + secret.string() + "\">]><P>&x;</P>"),
            kObFailure);
  // An external subset is never read, so its entities stay unknown and are skipped.
  const auto dtd = dir.path() / "evil.dtd";
  std::ofstream(dtd) << "<!ENTITY x SYSTEM \"file://" + secret.string() + "\">";
  EXPECT_EQ(parse("<!DOCTYPE P SYSTEM \"file://" + dtd.string() + "\"><P>a&x;b</P>"), kObSuccess);
  EXPECT_EQ(target.calls, (Calls{L"<P", L"=ab", L">P"}));
  // Non-regular (a FIFO, refused without blocking on it) and oversized input.
  const auto path = dir.path() / "fifo";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(CExpatSaxParser::Create(target)->startParser(path.wstring()), kObFailure);
  const std::string big(CExpatSaxParser::kMaxProfileBytes + 1, ' ');
  EXPECT_EQ(parse(big), kObFailure);
  EXPECT_EQ(parse(big, true), kObFailure);
  EXPECT_TRUE(target.calls.empty());
}

std::string Rule(const std::string& tests, const std::string& type = "ignore") {
  return "<Rule><FilterName>r</FilterName><FilterType>" + type + "</FilterType>" + tests +
         "</Rule>";
}

std::string Clause(const std::string& field, const std::string& value,
                   const std::string& kind = "Equals") {
  return "<" + kind + "><Field>" + field + "</Field><Value>" + value + "</Value></" + kind + ">";
}

TEST(FilterEngineTest, FirstValidMatchingRuleDecidesEachKindOfTestAndAnUnparsableAddress) {
  FilterEngine engine;
  ORVFlowObject flow;
  flow.process_name = L"curl";
  flow.source_address = "10.1.2.3";
  flow.destination_address = "fe80::1:2";
  flow.destination_port = 443;
  flow.process_user_name = L"HOST\\alice";
  flow.process_hash = std::string("\x01\x5C\x2A\xFF", 4);
  // Fills the engine from a FlowFilterRules section.
  const auto build = [&](const std::string& rules) {
    const auto parser = CExpatSaxParser::Create(engine);
    ASSERT_EQ(parser->ParseBuffer("<FlowFilterRules>" + rules + "</FlowFilterRules>"), kObSuccess);
  };
  const auto keeps = [&] {
    bool keep = false;
    EXPECT_EQ(engine.IsAllowed(flow, keep), kObSuccess);
    return keep;
  };
  EXPECT_TRUE(keeps());  // no rules
  // Invalid rules are left out; a rule without a setting takes it from the rule before.
  build("<Rule><FilterType>ignore</FilterType><Equals><Field>12340</Field></Equals></Rule>" +
        Rule(Clause("12340", "curl"), "drop") +  // not a filter type
        Rule(Clause("12341", "0g5c2aff")) +      // hash value not hexadecimal
        Rule("") +                               // no tests: never matches
        "<Rule><Equals><Field>12340</Field><Value>curl</Value></Equals></Rule>");
  EXPECT_EQ(engine.GetRuleCount(), 2u);
  EXPECT_FALSE(keeps());  // the last rule took "ignore" from the rule before it
  build(Rule(Clause("12340", "wget")) + "<Rule><Equals><Value>curl</Value></Equals></Rule>");
  EXPECT_FALSE(keeps());  // field 12340 carried over
  const orv::test::LogCapture log;
  build(Rule(Clause("12340", "curl")) + Rule(Clause("12340", "curl"), "collect"));
  EXPECT_FALSE(keeps());
  EXPECT_FALSE(log.Contains("Dropping flow"));  // only tracked flows are logged
  flow.tracked = true;
  flow.flow_id = 42;
  EXPECT_FALSE(keeps());
  EXPECT_TRUE(log.Has(LOG_DEBUG, "FilterRule::IsAllowed",
                      "Dropping flow with id: 42 because of filter rule - r"));
  build(Rule(Clause("12340", "curl"), "COLLECT") + Rule(Clause("12340", "curl")));
  EXPECT_TRUE(keeps());
  EXPECT_EQ(engine.GetRuleCount(), 2u);  // a new section replaced the old rules
  // All tests of a rule must hold.
  build(Rule(Clause("12340", "curl") + Clause("11", "80")));
  EXPECT_TRUE(keeps());
  flow.destination_port = 80;
  EXPECT_FALSE(keeps());
  bool keep = true;
  EXPECT_EQ(FilterRule(L"empty", {}, false).IsAllowed(flow, keep), kObRuleWithoutTests);
  // Kind of test, field, value, whether the test holds for the flow.
  const std::tuple<const char*, const char*, const char*, bool> cases[] = {
      {"Equals", "12340", "Curl", false},  // exact comparison is case-sensitive
      {"Equals", "12340", "C*", true},     // wildcards fold case
      {"NotEquals", "12340", "curl", false},
      {"Equals", "11", "4*", false},             // no patterns on ports: compared as text
      {"Equals", "12338", "HOST\\*", true},      // wildcard values keep their backslash
      {"Equals", "12338", "HOST\\alice", true},  // exact values as written
      {"Equals", "12338", "HOST\\\\alice", false},
      {"Equals", "8", "10.0.0.0/8", true},
      {"Equals", "8", "10.128.0.0/9", false},
      {"Equals", "8", "10.1.2.3", true},       // no '/': text comparison
      {"Equals", "8", "10.0.0.0/264", false},  // not a network (never cut down to /8): text
      {"Equals", "8", "::/0", false},          // other family
      {"NotEquals", "8", "10.0.0.0/8", false},
      {"Equals", "28", "fe80::/10", true},  // a prefix within a byte
      {"Equals", "8", "11.0.0.0/8", false},
      {"Equals", "12341", "015c2aff", true},  // raw hash bytes, one of them a backslash
      {"Equals", "x", "curl", false},         // unreadable field identifier
  };
  for (const auto& [kind, field, value, matches] : cases) {
    build(Rule(Clause(field, value, kind)));
    ASSERT_EQ(engine.GetRuleCount(), 1u);
    EXPECT_EQ(keeps(), !matches) << kind << " " << field << " " << value;
  }
  // An unparsable flow address holds for no address test.
  flow.source_address = "not an address";
  build(Rule(Clause("8", "10.0.0.0/8", "NotEquals")));
  EXPECT_TRUE(keeps());
  EXPECT_EQ(IPOperation(L"8", L"10.0.0.0/8", true).Evaluate(flow), kObBadArgument);
  EXPECT_EQ(IPOperation(L"x", L"10.0.0.0/8", true).Evaluate(flow), kObBadArgument);
  EXPECT_FALSE(IPOperation(L"8", L"10.0.0.300/8", true).is_network_valid());
}

using Map = std::map<std::int32_t, std::int32_t>;
using P = DataCollectionPolicy;

TEST(DataCollectionPolicyTest, IncludeExcludeMergeAndAnonymisedValues) {
  // Field 1 listed, 2 anonymised (so collected), 3 not listed.
  for (const bool exclude : {false, true}) {
    const auto policy = P{exclude, {{1, exclude ? 1 : 0}, {2, kFieldModeAnonymise}}};
    EXPECT_EQ(
        std::tuple(policy.IsFieldExcluded(1), policy.IsFieldExcluded(2), policy.IsFieldExcluded(3),
                   policy.IsFieldAnonymised(1), policy.IsFieldAnonymised(2)),
        std::tuple(exclude, false, !exclude, false, true));
  }
  // A merge collects what either policy collects; among included fields the first one's mode
  // wins, and an exclude list keeps only what both exclude.
  auto merged = MergePolicies(P{false, {{1, 0}, {2, 2}}}, P{false, {{2, 0}, {3, 0}}});
  EXPECT_FALSE(merged.default_exclude);
  EXPECT_EQ(merged.field_map, (Map{{1, 0}, {2, 2}, {3, 0}}));
  merged = MergePolicies(P{true, {{1, 1}, {2, 1}, {3, 2}}}, P{true, {{2, 1}, {3, 1}}});
  EXPECT_EQ(merged.field_map, (Map{{2, 1}}));
  merged = MergePolicies(P{false, {{1, 0}}}, P{true, {{1, 1}, {2, 1}, {3, 2}}});
  EXPECT_TRUE(merged.default_exclude);
  EXPECT_EQ(merged.field_map, (Map{{2, 1}}));
  merged = MergePolicies(P{true, {{1, 1}, {2, 1}}}, P{false, {{1, 0}}});
  EXPECT_EQ(merged.field_map, (Map{{2, 1}}));
  // Anonymising hashes the whole UTF-8 form, not only its low bytes.
  std::wstring name = L"J\x00FCrgen";
  AnonymizeValue(name);
  EXPECT_EQ(name, L"da5aac65b841d469c50402c294a2681cc1b3b19af7be786392b153651332a8a7");
}

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
    "<FlowFilterRules>\n" + Rule(Clause("11", "53")) + "\n</FlowFilterRules>";

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
  std::atomic<int> type_{NETWORK_TYPE_TRUSTED};
  std::atomic<bool> vpn_{false};
};

TEST_F(ORVProfileTest, ClampsEachNumberValidatesAndStoresTextsAsWrittenResetsAndCopies) {
  // Element, text, value stored, the tail of the clamp or default line ("" for none).
  const std::tuple<const char*, const char*, std::uint32_t, const char*> cases[] = {
      {"IPFIXInterval", "0", 0, ""},  // 0 is allowed below the minimum
      {"IPFIXInterval", "59", 60, "to the minimum i.e 60 seconds."},
      {"IPFIXInterval", "-2147483648", 360, "to the maximum i.e 360 seconds."},  // negative: above
      {"IPFIXInterval", "2147483648", 60, "Setting it to Default ie 60 seconds."},  // too big
      {"AggInterval", "599", 599000, ""},
      {"AggInterval", "600", 600000, "to the maximum i.e 600000 milliseconds."},
      {"AggInterval", "4294968", 600000, "to the maximum i.e 600000 milliseconds."},  // x1000 wraps
      {"ThrottleRate", "33554433", 262144, "to the maximum i.e 2048 Kbps."},          // x128 wraps
      {"ThrottleRate", "+", 64000, "invalid Throttle rate. Setting Throttling to Default Rate."},
      {"TemplateReportInterval", "0", 5, "to the minimum i.e 5 mins."},
      {"MaxSize", "-1", 300, "to the maximum i.e 300 MB."},  // 16-bit wrap: 65535
      {"MaxSize", "70000", 50, "invalid Cache Size control. Setting it to Default size."},
      {"MaxDuration", "\xD9\xA5", 999, "invalid Cache duration control. Disabling this feature."},
  };
  for (const auto& [element, text, expected, logged] : cases) {
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
    EXPECT_EQ(values.at(element), expected) << element << " = '" << text << "'";
    EXPECT_TRUE(*logged != '\0' ? log.Contains(logged) : log.Lines().empty());
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
    const orv::test::LogCapture log;
    EXPECT_EQ(Load(body), valid ? kObSuccess : kObFailure) << body;
    EXPECT_EQ(CORVProfile::IsProfileValid(), valid);
    EXPECT_EQ(log.Contains(message), *message != '\0' || !valid);  // "": logged only if rejected
  }

  // Texts, booleans and modes are stored as written.
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
        std::string("<ORVProfile><CollectorIP>bad</CollectorIP>"), std::string()})
    EXPECT_EQ(CORVProfile::LoadProfileFromBuffer(bad), kObFailure);
  EXPECT_EQ(CORVProfile::LoadProfile(), kObFailure);  // no file yet
  EXPECT_EQ(profile().GetCollectorIP(), L"good");
  // Nothing loads when used: the last valid policies stay in force, never the keep-everything
  // fallback.
  EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED), (Map{{12333, 0}}));

  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file) << Wrap(Policies(Policy("trusted", "exclude", "1,2")));
  EXPECT_EQ(Current(NETWORK_TYPE_TRUSTED).size(), 2u);  // loaded lazily

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
  // The provider needs field 1: the merged policy gathers it although the profile blanks it.
  EXPECT_FALSE(GetMergedPolicy()->IsFieldExcluded(1));
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
}

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(FileMonitorTest, SetsTheEventForEachChangeToTheFileOnlyRefusesBadPathsAndFollowsItsDirectory) {
  const orv::test::TempDir dir;
  const orv::test::LogCapture log;
  fs::path profile = dir.path() / "ORV_ServiceProfile.xml";
  condition_event event(true);
  CFileMonitorLinux monitor;
  const auto start = [&] { ASSERT_EQ(monitor.StartMonitor(event, profile.wstring()), kObSuccess); };
  // Generous: the machine running the tests may be loaded.
  const auto signalled = [&] { return event.timed_wait(20000); };
  const fs::path temporary = dir.path() / "profile.tmp";
  const auto write_profile = [&] { std::ofstream(profile) << "<ORVProfile/>"; };
  // Name, whether the profile exists before, the change.
  const std::tuple<const char*, bool, std::function<void()>> cases[] = {
      {"create", false, write_profile},
      {"append", true, [&] { std::ofstream(profile, std::ios::app) << "\n"; }},
      {"touch", true, [&] { fs::last_write_time(profile, fs::file_time_type::clock::now() - 1h); }},
      {"rename into place", false, [&] { fs::rename(temporary, profile); }},
      {"rename away", true, [&] { fs::rename(profile, temporary); }},
      {"delete", true, [&] { fs::remove(profile); }},
  };
  for (const auto& [name, exists, change] : cases) {
    fs::remove(profile);
    std::ofstream(temporary) << "<ORVProfile/>";
    if (exists) write_profile();
    event.reset();
    start();  // a fresh watch for each case, so no earlier change can set the event
    change();
    EXPECT_TRUE(signalled()) << name;
    monitor.StopMonitor();
  }
  monitor.StopMonitor();
  // A directory or a bare name is refused; a second start is refused while the first runs.
  EXPECT_EQ(monitor.StartMonitor(event, dir.path().wstring()), kObFailure);
  EXPECT_TRUE(log.Contains("Failed as path to a directory passed. Expecting File Path."));
  EXPECT_EQ(monitor.StartMonitor(event, L"ORV_ServiceProfile.xml"), kObFailure);
  EXPECT_TRUE(log.Contains("Not a Valid Path"));
  const fs::path directory = dir.path() / "ORV";
  profile = directory / "ORV_ServiceProfile.xml";
  start();  // the thread starts, cannot watch the missing directory, and ends
  EXPECT_TRUE(orv::test::WaitUntil([&] { return monitor.ThreadStatus() == kObFailure; }));
  EXPECT_TRUE(log.Contains("CreateFile returned invalid handle for the Directory"));
  EXPECT_EQ(monitor.StartMonitor(event, profile.wstring()), kObAlreadyRunning);
  EXPECT_TRUE(log.Contains("Profile monitor already running."));
  monitor.StopMonitor();
  // Started again once the directory exists, the one watch follows it: deleted and created
  // again, or moved away.
  fs::create_directory(directory);
  std::ofstream(profile) << "<ORVProfile/>";
  start();
  fs::remove_all(directory);
  EXPECT_TRUE(signalled());
  fs::create_directory(directory);
  EXPECT_TRUE(orv::test::WaitUntil([&] { return log.Contains("again"); }));
  event.reset();
  std::ofstream(profile) << "<ORVProfile>new</ORVProfile>";  // the new directory is watched
  EXPECT_TRUE(signalled());
  fs::rename(directory, dir.path() / "moved");  // the path no longer leads to the file
  EXPECT_TRUE(signalled());
  EXPECT_EQ(monitor.ThreadStatus(), kObSuccess);
  EXPECT_NE(CreateFileMonitor(), nullptr);
}

}  // namespace
