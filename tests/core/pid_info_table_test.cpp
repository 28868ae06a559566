#include "core/pid_info_table.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

std::shared_ptr<ORVFlowObject> recordFor(std::uint32_t pid) {
  auto record = std::make_shared<ORVFlowObject>();
  record->process_id = pid;
  return record;
}

TEST(CPidInfoTableTest, FullTableEvictsTheHundredLeastRecentlyUsed) {
  CPidInfoTable table;
  for (std::uint32_t pid = 1; pid <= CPidInfoTable::kCapacity; ++pid) {
    table.Insert(pid, recordFor(pid));
  }
  ASSERT_EQ(table.Size(), 1000U);
  ASSERT_NE(table.Find(1), nullptr);  // now the most recently used

  table.Insert(5000, recordFor(5000));
  EXPECT_EQ(table.Size(), 901U);
  EXPECT_NE(table.Find(1), nullptr) << "a looked-up entry is recent and survives";
  EXPECT_EQ(table.Find(2), nullptr);
  EXPECT_EQ(table.Find(101), nullptr);
  EXPECT_NE(table.Find(102), nullptr);
  EXPECT_NE(table.Find(5000), nullptr);
}

TEST(CPidInfoTableTest, ReplacementAndErasureKeepTheOrderConsistent) {
  CPidInfoTable table;
  table.Insert(7, recordFor(7));
  const auto replacement = recordFor(7);
  replacement->process_name = L"new";
  table.Insert(7, replacement);
  EXPECT_EQ(table.Size(), 1U);
  EXPECT_EQ(table.Find(7)->process_name, L"new");

  table.Erase(7);
  table.Erase(7);
  EXPECT_EQ(table.Size(), 0U);
  EXPECT_EQ(table.Find(7), nullptr);

  // Eviction after erasures must not trip over stale order entries.
  for (std::uint32_t pid = 1; pid <= 1200; ++pid) {
    table.Insert(pid, recordFor(pid));
    if (pid % 3 == 0) {
      table.Erase(pid - 1);
    }
  }
  EXPECT_LE(table.Size(), CPidInfoTable::kCapacity);
  EXPECT_NE(table.Find(1200), nullptr);
}

}  // namespace
