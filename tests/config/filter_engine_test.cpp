#include "config/filter_engine.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "config/expat_sax_parser.h"
#include "support/log_capture.h"

namespace {

class FilterEngineTest : public ::testing::Test {
 protected:
  FilterEngineTest() {
    flow_.process_name = L"curl";
    flow_.source_address = "10.1.2.3";
    flow_.destination_address = "fe80::1:2";
    flow_.destination_port = 443;
    flow_.process_user_name = L"HOST\\alice";
    flow_.process_hash = std::string("\x01\x5C\x2A\xFF", 4);
  }

  // Fills the engine from a FlowFilterRules section.
  void Build(const std::string& rules) {
    const auto parser = CExpatSaxParser::Create(engine_);
    ASSERT_EQ(parser->ParseBuffer("<FlowFilterRules>" + rules + "</FlowFilterRules>"), kObSuccess);
  }
  bool Keeps() {
    bool keep = false;
    EXPECT_EQ(engine_.IsAllowed(flow_, keep), kObSuccess);
    return keep;
  }

  static std::string Rule(const std::string& type, const std::string& tests) {
    return "<Rule><FilterName>r</FilterName><FilterType>" + type + "</FilterType>" + tests +
           "</Rule>";
  }
  static std::string Test(const std::string& kind, const std::string& field,
                          const std::string& value) {
    return "<" + kind + "><Field>" + field + "</Field><Value>" + value + "</Value></" + kind + ">";
  }
  static std::string Ignore(const std::string& field, const std::string& value,
                            const std::string& kind = "Equals") {
    return Rule("ignore", Test(kind, field, value));
  }

  FilterEngine engine_;
  ORVFlowObject flow_;
};

TEST_F(FilterEngineTest, FirstValidMatchingRuleDecidesAndUnmatchedFlowsAreKept) {
  EXPECT_TRUE(Keeps());  // no rules
  // Invalid rules are left out; a rule without a setting takes it from the rule before.
  Build("<Rule><FilterType>ignore</FilterType><Equals><Field>12340</Field></Equals></Rule>" +
        Rule("drop", Test("Equals", "12340", "curl")) +  // not a filter type
        Ignore("12341", "0g5c2aff") +                    // hash value not hexadecimal
        Rule("ignore", "") +                             // no tests: never matches
        "<Rule><Equals><Field>12340</Field><Value>curl</Value></Equals></Rule>");
  EXPECT_EQ(engine_.GetRuleCount(), 2u);
  EXPECT_FALSE(Keeps());  // the last rule took "ignore" from the rule before it
  Build(Ignore("12340", "wget") + "<Rule><Equals><Value>curl</Value></Equals></Rule>");
  EXPECT_EQ(engine_.GetRuleCount(), 2u);
  EXPECT_FALSE(Keeps());  // field 12340 carried over
  const orv::test::LogCapture log;
  Build(Ignore("12340", "curl") + Rule("collect", Test("Equals", "12340", "curl")));
  EXPECT_FALSE(Keeps());
  EXPECT_FALSE(log.Contains("Dropping flow"));  // only tracked flows are logged
  flow_.tracked = true;
  flow_.flow_id = 42;
  EXPECT_FALSE(Keeps());
  EXPECT_TRUE(log.Has(LOG_DEBUG, "FilterRule::IsAllowed",
                      "Dropping flow with id: 42 because of filter rule - r"));
  Build(Rule("COLLECT", Test("Equals", "12340", "curl")) + Ignore("12340", "curl"));
  EXPECT_TRUE(Keeps());
  EXPECT_EQ(engine_.GetRuleCount(), 2u);  // a new section replaced the old rules
  // All tests of a rule must hold.
  Build(Rule("ignore", Test("Equals", "12340", "curl") + Test("Equals", "11", "80")));
  EXPECT_TRUE(Keeps());
  flow_.destination_port = 80;
  EXPECT_FALSE(Keeps());
  bool keep = true;
  EXPECT_EQ(FilterRule(L"empty", {}, false).IsAllowed(flow_, keep), kObRuleWithoutTests);
  EXPECT_TRUE(keep);
}

TEST_F(FilterEngineTest, EachKindOfTestAndAnUnparsableAddress) {
  // Kind of test, field, value, whether the test holds for the flow.
  const std::tuple<const char*, const char*, const char*, bool> cases[] = {
      {"Equals", "12340", "curl", true},
      {"Equals", "12340", "Curl", false},  // exact comparison is case-sensitive
      {"Equals", "12340", "C*", true},     // wildcards fold case
      {"NotEquals", "12340", "curl", false},
      {"Equals", "11", "4*", false},             // no patterns on ports: compared as text
      {"Equals", "12338", "HOST\\*", true},      // wildcard values keep their backslash
      {"Equals", "12338", "HOST\\alice", true},  // exact values as written
      {"Equals", "12338", "HOST\\\\alice", false},
      {"Equals", "8", "10.0.0.0/8", true},
      {"Equals", "8", "10.0.0.0/9", true},  // a prefix within a byte
      {"Equals", "8", "10.128.0.0/9", false},
      {"Equals", "8", "10.1.2.3", true},       // no '/': text comparison
      {"Equals", "8", "10.0.0.0/264", false},  // not a network (never cut down to /8): text
      {"Equals", "8", "::/0", false},          // other family
      {"NotEquals", "8", "10.0.0.0/8", false},
      {"Equals", "28", "fe80::/10", true},
      {"Equals", "8", "11.0.0.0/8", false},
      {"Equals", "12341", "015c2aff", true},  // raw hash bytes, one of them a backslash
      {"Equals", "x", "curl", false},         // unreadable field identifier
  };
  for (const auto& [kind, field, value, matches] : cases) {
    SCOPED_TRACE(std::string(kind) + " " + field + " " + value);
    Build(Ignore(field, value, kind));
    ASSERT_EQ(engine_.GetRuleCount(), 1u);
    EXPECT_EQ(Keeps(), !matches);
  }
  // An unparsable flow address holds for no address test.
  flow_.source_address = "not an address";
  Build(Ignore("8", "10.0.0.0/8", "NotEquals"));
  EXPECT_TRUE(Keeps());
  const IPOperation test(L"8", L"10.0.0.0/8", true);
  EXPECT_TRUE(test.is_network_valid());
  EXPECT_EQ(test.Evaluate(flow_), kObBadArgument);
  EXPECT_EQ(IPOperation(L"x", L"10.0.0.0/8", true).Evaluate(flow_), kObBadArgument);
  EXPECT_FALSE(IPOperation(L"8", L"10.0.0.300/8", true).is_network_valid());
}

}  // namespace
