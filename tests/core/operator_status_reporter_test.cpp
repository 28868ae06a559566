#include "core/operator_status_reporter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

TEST(OperatorStatusReporterTest, PublishesFileAndStatusLineAndLogsLossesOnceAMinute) {
  orv::test::TempDir directory;
  const auto file = directory.path() / COperatorStatusReporter::kStatusFileName;
  std::vector<std::string> notified;
  COperatorStatusReporter reporter(file, [&](const std::string& m) { notified.push_back(m); });
  auto& counters = COperatorCounters::Instance();
  const OperatorStatus before = counters.Read(0);
  orv::test::LogCapture log;
  const auto start = std::chrono::steady_clock::now();

  counters.Add(FlowCounter::kExported, 3);
  counters.Add(FlowCounter::kQueueFull, 2);
  reporter.PublishNow(start);
  OperatorStatus published;
  ASSERT_EQ(ParseStatusJson(orv::test::ChildProcess::ReadAll(file), published), kObSuccess);
  EXPECT_EQ(published.Count(FlowCounter::kExported) - before.Count(FlowCounter::kExported), 3U);
  EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0644));
  ASSERT_EQ(notified.size(), 1U);
  EXPECT_EQ(notified[0].rfind("STATUS=", 0), 0U);
  EXPECT_NE(notified[0].find(" flows exported, "), std::string::npos);
  EXPECT_EQ(log.Lines().size(), 1U);  // the first loss is told at once

  counters.Add(FlowCounter::kQueueFull);
  reporter.PublishNow(start + std::chrono::seconds(10));
  counters.Add(FlowCounter::kDroppedLoopback);  // filtered, not lost
  reporter.PublishNow(start + std::chrono::seconds(70));
  ASSERT_EQ(log.Lines().size(), 2U);  // the next one a minute later, with what it missed
  EXPECT_NE(log.Lines()[1].message.find("queue_full 1"), std::string::npos);
  reporter.PublishNow(start + std::chrono::seconds(200));
  EXPECT_EQ(log.Lines().size(), 2U);  // nothing lost since
}

}  // namespace
