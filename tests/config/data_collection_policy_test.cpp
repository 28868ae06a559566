#include "config/data_collection_policy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/orv_profile.h"

namespace {

DataCollectionPolicy MakePolicy(bool exclude, std::map<std::int32_t, std::int32_t> fields) {
  DataCollectionPolicy policy;
  policy.default_exclude = exclude;
  policy.field_map = std::move(fields);
  return policy;
}

// Whether the policy collects the field (in clear or anonymised).
bool Collects(const DataCollectionPolicy& policy, std::int32_t id) {
  return !policy.IsFieldExcluded(id);
}

TEST(DataCollectionPolicyTest, DefaultPolicyKeepsEveryFieldAndFlow) {
  const DataCollectionPolicy policy;
  EXPECT_TRUE(policy.default_exclude);
  EXPECT_FALSE(policy.IsFieldExcluded(12333));
  EXPECT_FALSE(policy.IsFieldAnonymised(12333));
  bool keep = false;
  EXPECT_EQ(policy.IsFlowAllowed(ORVFlowObject(), keep), kObSuccess);
  EXPECT_TRUE(keep);
  const DataCollectionPolicy copy = policy;
  EXPECT_EQ(copy.filter_engine, policy.filter_engine);  // copies share the engine
}

TEST(DataCollectionPolicyTest, IncludeExcludeAndAnonymise) {
  const auto include =
      MakePolicy(false, {{12333, kFieldModeInclude}, {12340, kFieldModeAnonymise}});
  EXPECT_FALSE(include.IsFieldExcluded(12333));
  EXPECT_FALSE(include.IsFieldExcluded(12340));
  EXPECT_TRUE(include.IsFieldExcluded(12345));
  EXPECT_TRUE(include.IsFieldAnonymised(12340));
  EXPECT_FALSE(include.IsFieldAnonymised(12333));

  const auto exclude = MakePolicy(true, {{12333, kFieldModeExclude}, {12340, kFieldModeAnonymise}});
  EXPECT_TRUE(exclude.IsFieldExcluded(12333));
  EXPECT_FALSE(exclude.IsFieldExcluded(12340));
  EXPECT_FALSE(exclude.IsFieldExcluded(12345));
  EXPECT_TRUE(exclude.IsFieldAnonymised(12340));
  EXPECT_FALSE(exclude.IsFieldAnonymised(12345));
}

TEST(DataCollectionPolicyTest, MergeCollectsWhatEitherPolicyCollects) {
  using Map = std::map<std::int32_t, std::int32_t>;
  // The three cases on fixed examples.
  auto merged =
      MergePolicies(MakePolicy(false, {{1, 0}, {2, 2}}), MakePolicy(false, {{2, 0}, {3, 0}}));
  EXPECT_FALSE(merged.default_exclude);
  EXPECT_EQ(merged.field_map, (Map{{1, 0}, {2, 2}, {3, 0}}));
  merged =
      MergePolicies(MakePolicy(true, {{1, 1}, {2, 1}, {3, 2}}), MakePolicy(true, {{2, 1}, {3, 1}}));
  EXPECT_TRUE(merged.default_exclude);
  EXPECT_EQ(merged.field_map, (Map{{2, 1}}));
  merged = MergePolicies(MakePolicy(false, {{1, 0}}), MakePolicy(true, {{1, 1}, {2, 1}, {3, 2}}));
  EXPECT_TRUE(merged.default_exclude);
  EXPECT_EQ(merged.field_map, (Map{{2, 1}}));
  EXPECT_EQ(merged.filter_engine->GetRuleCount(), 0u);

  // Against the reference model on random policies.
  std::mt19937 random(7);
  for (int round = 0; round < 500; ++round) {
    const auto make = [&random] {
      Map fields;
      for (std::int32_t id = 0; id < 8; ++id) {
        if (random() % 2 == 0) {
          fields[id] = static_cast<std::int32_t>(random() % 3);
        }
      }
      return MakePolicy(random() % 2 == 0, fields);
    };
    const auto a = make();
    const auto b = make();
    const auto r = MergePolicies(a, b);
    for (std::int32_t id = 0; id < 9; ++id) {
      ASSERT_EQ(Collects(r, id), Collects(a, id) || Collects(b, id)) << "round " << round;
    }
  }
}

TEST(DataCollectionPolicyTest, AnonymisesTheWholeUtf8Form) {
  std::wstring value = L"alice";
  AnonymizeValue(value);
  EXPECT_EQ(value, L"03ffe2a71fd21c72f6d32b191d69944c4eb0ab85840ba34ec21bba3cb291d3ed");
  std::wstring name = L"J\x00FCrgen";
  AnonymizeValue(name);
  EXPECT_EQ(name, L"da5aac65b841d469c50402c294a2681cc1b3b19af7be786392b153651332a8a7");
  std::wstring other = L"J\x00FCrgeo";  // differs only in the last character
  AnonymizeValue(other);
  EXPECT_NE(other, name);
}

class FixedNetwork : public ITrustedNetworkState {
 public:
  int GetNetworkType() const override { return NETWORK_TYPE_TRUSTED; }
  bool IsVpnConnected() const override { return false; }
};

constexpr const char* kRuleProfile = R"(<ORVProfile>
  <DataCollectionPolicy>
    <Policy>
      <NetworkType>trusted</NetworkType><Type>exclude</Type><Fields>12333</Fields>
      <AnonFields>12340</AnonFields>
      <FlowFilterRules><Rule><FilterType>ignore</FilterType>
        <Equals><Field>11</Field><Value>53</Value></Equals></Rule></FlowFilterRules>
    </Policy>
  </DataCollectionPolicy>
</ORVProfile>)";

class ProcessPoliciesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CORVProfile::GetInstance().SetTrustedNetworkState(&network_);
    ASSERT_EQ(CORVProfile::LoadProfileFromBuffer(kRuleProfile), kObSuccess);
  }
  void TearDown() override {
    CORVProfile::GetInstance().SetTrustedNetworkState(nullptr);
    RefreshProviderPolicy({});
  }
  FixedNetwork network_;
};

TEST_F(ProcessPoliciesTest, RefreshesAndAppliesTheProfilePolicy) {
  RefreshProfilePolicy();
  RefreshProviderPolicy({{12333, kFieldModeInclude}});
  ORVFlowObject dns;
  dns.destination_port = 53;
  ORVFlowObject web;
  web.destination_port = 443;
  DataCollectionPolicySnapshot applied;
  EXPECT_FALSE(ApplyPolicy(dns));
  EXPECT_TRUE(ApplyPolicy(web, &applied));
  ASSERT_NE(applied, nullptr);
  EXPECT_TRUE(applied->IsFieldExcluded(12333));
  EXPECT_TRUE(applied->IsFieldAnonymised(12340));
  EXPECT_EQ(GetProfilePolicy(), applied);
  // The provider needs 12333: the merged policy gathers it although the profile blanks it.
  EXPECT_FALSE(GetMergedPolicy()->IsFieldExcluded(12333));
  EXPECT_FALSE(GetProviderPolicy()->default_exclude);
  RefreshProviderPolicy({});
  EXPECT_TRUE(GetMergedPolicy()->IsFieldExcluded(12333));
}

TEST_F(ProcessPoliciesTest, ReadersRunWhileThePoliciesAreReplaced) {
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  std::atomic<int> dropped{0};
  for (int i = 0; i < 2; ++i) {
    readers.emplace_back([&] {
      ORVFlowObject flow;
      flow.destination_port = 53;
      while (!done.load()) {
        if (!ApplyPolicy(flow)) {
          dropped.fetch_add(1);
        }
        (void)GetMergedPolicy()->IsFieldExcluded(12333);
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    RefreshProfilePolicy();
    RefreshProviderPolicy({{i % 5, kFieldModeInclude}});
    if (i % 50 == 0) {
      ASSERT_EQ(CORVProfile::LoadProfileFromBuffer(kRuleProfile), kObSuccess);
    }
  }
  done.store(true);
  for (auto& reader : readers) {
    reader.join();
  }
  RefreshProfilePolicy();
  ORVFlowObject flow;
  flow.destination_port = 53;
  EXPECT_FALSE(ApplyPolicy(flow));
}

}  // namespace
