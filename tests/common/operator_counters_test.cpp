#include "common/operator_counters.h"

#include <gtest/gtest.h>

namespace {

TEST(OperatorCountersTest, StatusLineJsonAndPrometheusSayTheSameAndTheReaderRefusesForeignJson) {
  auto& counters = COperatorCounters::Instance();
  counters.SetActivity(AgentActivity::kCaching);
  counters.SetCacheRows(3000);
  counters.Add(FlowCounter::kExported, 12'345);
  counters.Add(FlowCounter::kCacheDelivered, 1'000'000);
  counters.Add(FlowCounter::kQueueFull);
  counters.Add(FlowCounter::kQueueFull);
  counters.Add(FlowCounter::kChannelRefusedSender, 5);
  counters.Add(FlowCounter::kDroppedLoopback, 70);  // filtered, not lost
  const OperatorStatus status = counters.Read(1'765'000'000);
  EXPECT_EQ(FormatStatusLine(status),
            "caching; 1,012,345 flows exported, 7 dropped, cache 3,000 rows");

  const std::string json = FormatStatusJson(status);
  EXPECT_EQ(json.substr(0, 81),
            R"({"activity":"caching","updated":1765000000,"cache_rows":3000,"counters":{"channel)");
  OperatorStatus read;
  ASSERT_EQ(ParseStatusJson(json, read), kObSuccess);
  EXPECT_EQ(FormatStatusJson(read), json);  // every field read back

  const std::string text = FormatPrometheus(status);
  for (const char* line :
       {"# TYPE orv_exported_total counter\norv_exported_total 12345\n", "orv_queue_full_total 2\n",
        "orv_cache_rows 3000\n", "orv_activity{activity=\"caching\"} 1\n",
        "orv_activity{activity=\"exporting\"} 0\n",
        "orv_status_updated_timestamp_seconds 1765000000\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  // The reader skips a counter of a later version and refuses what the agent never writes.
  EXPECT_EQ(
      ParseStatusJson(R"({"activity":"exporting","counters":{"exported":5,"new_one":9}})", read),
      kObSuccess);
  EXPECT_EQ(read.Count(FlowCounter::kExported), 5U);
  for (const char* bad :
       {"", "{", R"({"activity":"dancing"})", R"({"counters":{"exported":-1}})",
        R"({"updated":1} trailing)", R"({"cache_rows":"3"})", R"({"activity":"exp\"orting"})",
        R"({"counters":{"exported":99999999999999999999}})"}) {
    EXPECT_EQ(ParseStatusJson(bad, read), kObBadArgument) << bad;
  }
}

}  // namespace
