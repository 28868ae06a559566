// Events, multi-event waits and the bounded queue that signals through them; the operator
// counters' texts.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <future>
#include <memory>

#include "common/bounded_queue.h"
#include "common/condition_event.h"
#include "common/operator_counters.h"

namespace {

TEST(ConditionEventTest, EventsWakeEveryWaiterAndTheQueueSignalsEachSideWithinItsCapacity) {
  condition_event shutdown(false), work(true);
  std::array<condition_event*, 2> events{&shutdown, &work};
  EXPECT_EQ(WaitForMultipleEvents(2, events.data(), false, 0), kWaitTimeout);  // a poll
  // Timed waits with nothing signalled end no earlier than asked.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(work.timed_wait(30));
  EXPECT_EQ(WaitForMultipleEvents(2, events.data(), false, 30), kWaitTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
  work.set();
  EXPECT_EQ(WaitForMultipleEvents(2, events.data(), false, kWaitInfinite), 1U);
  EXPECT_FALSE(work.is_signalled());
  shutdown.set();
  work.set();
  EXPECT_EQ(WaitForMultipleEvents(2, events.data(), false, kWaitInfinite), 0U);
  EXPECT_EQ(WaitForMultipleEvents(2, events.data(), false, 0), 0U);
  EXPECT_TRUE(work.timed_wait(0));  // left for a later wait, which takes it
  EXPECT_FALSE(work.timed_wait(0));
  std::array<condition_event*, 2> with_null{&work, nullptr};
  EXPECT_EQ(WaitForMultipleEvents(2, with_null.data(), false, 0), kWaitFailed);
  EXPECT_EQ(WaitForMultipleEvents(0, events.data(), false, 0), kWaitFailed);
  EXPECT_EQ(WaitForMultipleEvents(2, events.data(), true, 0), kWaitFailed);  // wait-all

  // A set wakes every waiter listening on the event: a waiter that takes a lower-index event must
  // not swallow the wake-up of another waiter that waits on the higher one.
  for (int round = 0; round < 200; ++round) {
    condition_event own(true), shared(true);
    std::array<condition_event*, 2> first_events{&own, &shared};
    auto first = std::async(std::launch::async, [&] {
      return WaitForMultipleEvents(2, first_events.data(), false, kWaitInfinite);
    });
    auto second = std::async(std::launch::async, [&] {
      return WaitForMultipleEvents(1, &first_events[1], false, 10000);
    });
    own.set();
    ASSERT_EQ(first.get(), 0U);
    shared.set();
    ASSERT_EQ(second.get(), 0U);
  }

  // The queue signals each side through an event.
  CBoundedQueue<std::shared_ptr<int>> queue(2);
  condition_event *pushed = nullptr, *popped = nullptr;
  ASSERT_EQ(queue.RegisterPushEvent(&pushed), kObSuccess);
  ASSERT_EQ(queue.RegisterPopEvent(&popped), kObSuccess);
  EXPECT_EQ(queue.RegisterPushEvent(nullptr), kObBadArgument);
  std::shared_ptr<int> out;
  EXPECT_EQ(queue.Front(out), kObQueueEmpty);
  EXPECT_EQ(queue.Pop(out), kObQueueEmpty);
  for (int i = 1; i <= 2; ++i) ASSERT_EQ(queue.Push(std::make_shared<int>(i)), kObSuccess);
  // Auto-reset: two pushes leave one signal, so the consumer must drain on each wake-up.
  EXPECT_TRUE(pushed->timed_wait(0));
  EXPECT_FALSE(pushed->timed_wait(0));
  auto refused = std::make_shared<int>(3);
  EXPECT_EQ(queue.Push(std::move(refused)), kObQueueFull);
  ASSERT_NE(refused, nullptr);  // NOLINT(bugprone-use-after-move): a refused push does not move
  EXPECT_FALSE(pushed->is_signalled());  // nor signal
  queue.SetCapacity(1);                  // below the size: what is queued stays
  ASSERT_EQ(queue.Pop(out), kObSuccess);
  EXPECT_EQ(*out, 1);
  EXPECT_TRUE(popped->timed_wait(0));
  EXPECT_EQ(queue.Push(refused), kObQueueFull);  // refused until below the lowered capacity
  ASSERT_EQ(queue.Front(out), kObSuccess);
  EXPECT_EQ(*out, 2);
  EXPECT_FALSE(popped->is_signalled());  // Front leaves the element
  EXPECT_TRUE(queue.IsFull());
  queue.Clear();
  EXPECT_EQ(queue.Push(refused), kObSuccess);
}

TEST(OperatorCountersTest, StatusLineJsonAndPrometheusSayTheSameAndTheReaderRefusesForeignJson) {
  auto& counters = COperatorCounters::Instance();
  counters.SetActivity(AgentActivity::kCaching);
  counters.SetCacheRows(3000);
  counters.Add(FlowCounter::kExported, 12'345);
  counters.Add(FlowCounter::kCacheDelivered, 1'000'000);
  counters.Add(FlowCounter::kQueueFull, 2);
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
       {"# TYPE orv_exported_total counter\norv_exported_total 12345\n", "orv_cache_rows 3000\n",
        "orv_activity{activity=\"caching\"} 1\n", "orv_activity{activity=\"exporting\"} 0\n",
        "orv_status_updated_timestamp_seconds 1765000000\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  // The reader skips a counter of a later version and refuses what the agent never writes.
  EXPECT_EQ(ParseStatusJson(R"({"counters":{"exported":5,"new_one":9}})", read), kObSuccess);
  EXPECT_EQ(read.Count(FlowCounter::kExported), 5U);
  for (const char* bad :
       {"", "{", R"({"activity":"dancing"})", R"({"counters":{"exported":-1}})",
        R"({"updated":1} trailing)", R"({"cache_rows":"3"})", R"({"activity":"exp\"orting"})",
        R"({"counters":{"exported":99999999999999999999}})"})
    EXPECT_EQ(ParseStatusJson(bad, read), kObBadArgument) << bad;
}

}  // namespace
