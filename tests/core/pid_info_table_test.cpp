#include "core/pid_info_table.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

std::shared_ptr<ORVFlowObject> recordFor(std::uint32_t pid) {
  auto record = std::make_shared<ORVFlowObject>();
  record->process_id = pid;
  return record;
}

// A full table evicts the hundred least recently used; replacement and erasure keep the order
// consistent, so eviction after erasures does not trip over stale order entries.
TEST(CPidInfoTableTest, EvictsTheHundredLeastRecentlyUsedWithTheOrderKeptThroughErasures) {
  CPidInfoTable table;
  table.Insert(7, recordFor(7));
  const auto replacement = recordFor(7);
  replacement->process_name = L"new";
  table.Insert(7, replacement);
  EXPECT_EQ(table.Find(7)->process_name, L"new");
  table.Erase(7);
  table.Erase(7);
  EXPECT_EQ(table.Find(7), nullptr);
  for (std::uint32_t pid = 1; pid <= CPidInfoTable::kCapacity; ++pid) {
    table.Insert(pid, recordFor(pid));
  }
  table.Erase(50);  // its old place in the order must go with it
  table.Insert(50, recordFor(50));
  ASSERT_EQ(table.Size(), 1000U);
  ASSERT_NE(table.Find(1), nullptr);  // now the most recently used

  table.Insert(5000, recordFor(5000));
  EXPECT_EQ(table.Size(), 901U);
  // Gone: 2-49 and 51-102. Kept: 1 (looked up, so recent), 50 (re-inserted) and the newest.
  for (const auto& [pid, kept] : {std::pair{1U, true},
                                  {2U, false},
                                  {102U, false},
                                  {103U, true},
                                  {50U, true},
                                  {5000U, true}}) {
    EXPECT_EQ(table.Find(pid) != nullptr, kept) << pid;
  }
}

}  // namespace
