#include "core/pid_info_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

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
  std::string kept;  // per pid below: + kept, - evicted
  for (const std::uint32_t pid : {1U, 2U, 49U, 50U, 51U, 102U, 103U, 5000U}) {
    kept += table.Find(pid) != nullptr ? '+' : '-';
  }
  EXPECT_EQ(kept, "+--+--++") << "1 looked up and 50 re-inserted are recent";
}

}  // namespace
