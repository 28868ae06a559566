#include "config/data_collection_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Map = std::map<std::int32_t, std::int32_t>;

DataCollectionPolicy MakePolicy(bool exclude, Map fields) {
  DataCollectionPolicy policy;
  policy.default_exclude = exclude;
  policy.field_map = std::move(fields);
  return policy;
}

TEST(DataCollectionPolicyTest, IncludeExcludeAnonymiseAndMerge) {
  bool keep = false;
  EXPECT_EQ(DataCollectionPolicy().IsFlowAllowed(ORVFlowObject(), keep), kObSuccess);
  EXPECT_TRUE(keep);
  for (const bool exclude : {false, true}) {
    const auto policy = MakePolicy(exclude, {{1, exclude ? 1 : 0}, {2, kFieldModeAnonymise}});
    EXPECT_EQ(policy.IsFieldExcluded(1), exclude);
    EXPECT_FALSE(policy.IsFieldExcluded(2));  // anonymised fields are collected
    EXPECT_EQ(policy.IsFieldExcluded(3), !exclude);
    EXPECT_TRUE(policy.IsFieldAnonymised(2));
    EXPECT_FALSE(policy.IsFieldAnonymised(1));
  }
  // A merge collects what either policy collects; among included fields the first one's mode
  // wins, and an exclude list keeps only what both exclude.
  auto merged =
      MergePolicies(MakePolicy(false, {{1, 0}, {2, 2}}), MakePolicy(false, {{2, 0}, {3, 0}}));
  EXPECT_FALSE(merged.default_exclude);
  EXPECT_EQ(merged.field_map, (Map{{1, 0}, {2, 2}, {3, 0}}));
  merged =
      MergePolicies(MakePolicy(true, {{1, 1}, {2, 1}, {3, 2}}), MakePolicy(true, {{2, 1}, {3, 1}}));
  EXPECT_EQ(merged.field_map, (Map{{2, 1}}));
  merged = MergePolicies(MakePolicy(false, {{1, 0}}), MakePolicy(true, {{1, 1}, {2, 1}, {3, 2}}));
  EXPECT_TRUE(merged.default_exclude);
  EXPECT_EQ(merged.field_map, (Map{{2, 1}}));
  merged = MergePolicies(MakePolicy(true, {{1, 1}, {2, 1}}), MakePolicy(false, {{1, 0}}));
  EXPECT_EQ(merged.field_map, (Map{{2, 1}}));
}

TEST(DataCollectionPolicyTest, AnonymisesTheWholeUtf8Form) {
  std::wstring value = L"alice";
  AnonymizeValue(value);
  EXPECT_EQ(value, L"03ffe2a71fd21c72f6d32b191d69944c4eb0ab85840ba34ec21bba3cb291d3ed");
  std::wstring name = L"J\x00FCrgen";
  AnonymizeValue(name);
  EXPECT_EQ(name, L"da5aac65b841d469c50402c294a2681cc1b3b19af7be786392b153651332a8a7");
}

}  // namespace
