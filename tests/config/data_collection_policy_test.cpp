#include "config/data_collection_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Map = std::map<std::int32_t, std::int32_t>;
using P = DataCollectionPolicy;

TEST(DataCollectionPolicyTest, IncludeExcludeMergeAndAnonymisedValues) {
  bool keep = false;
  EXPECT_EQ(P().IsFlowAllowed(ORVFlowObject(), keep), kObSuccess);
  EXPECT_TRUE(keep);
  for (const bool exclude : {false, true}) {
    const auto policy = P{exclude, {{1, exclude ? 1 : 0}, {2, kFieldModeAnonymise}}};
    EXPECT_EQ(policy.IsFieldExcluded(1), exclude);
    EXPECT_FALSE(policy.IsFieldExcluded(2));  // anonymised fields are collected
    EXPECT_EQ(policy.IsFieldExcluded(3), !exclude);
    EXPECT_TRUE(policy.IsFieldAnonymised(2));
    EXPECT_FALSE(policy.IsFieldAnonymised(1));
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

}  // namespace
