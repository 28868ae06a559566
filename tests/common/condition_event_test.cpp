#include "common/condition_event.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kGenerousMs = 10000;

TEST(ConditionEventTest, AutoResetIsConsumedByOneWaitManualResetStays) {
  condition_event automatic(true);
  automatic.set();
  EXPECT_TRUE(automatic.timed_wait(0));
  EXPECT_FALSE(automatic.timed_wait(0));

  condition_event manual(false);
  manual.set();
  EXPECT_TRUE(manual.timed_wait(0));
  EXPECT_TRUE(manual.timed_wait(0));
  manual.reset();
  EXPECT_FALSE(manual.timed_wait(0));
}

TEST(ConditionEventTest, WakesAThreadBlockedOnIt) {
  condition_event event(true);
  auto waiter = std::async(std::launch::async, [&] { return event.timed_wait(kGenerousMs); });
  event.set();
  EXPECT_TRUE(waiter.get());
}

TEST(ConditionEventTest, TimedWaitTimesOutNoEarlierThanAsked) {
  condition_event event(true);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.timed_wait(30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(WaitForMultipleEventsTest, ReturnsLowestSignalledIndexAndLeavesTheRest) {
  condition_event first(true);
  condition_event second(true);
  std::array<condition_event*, 2> events{&first, &second};
  first.set();
  second.set();
  EXPECT_EQ(WaitForMultipleEvents(2, events.data(), false, kWaitInfinite), 0U);
  EXPECT_TRUE(second.is_signalled());
  EXPECT_EQ(WaitForMultipleEvents(2, events.data(), false, kWaitInfinite), 1U);
  EXPECT_EQ(WaitForMultipleEvents(2, events.data(), false, 0), kWaitTimeout);
}

TEST(WaitForMultipleEventsTest, ManualResetShutdownWinsEveryWait) {
  condition_event shutdown(false);
  condition_event work(true);
  std::array<condition_event*, 2> events{&shutdown, &work};
  shutdown.set();
  work.set();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(WaitForMultipleEvents(2, events.data(), false, kWaitInfinite), 0U);
  }
  EXPECT_TRUE(work.is_signalled());
}

TEST(WaitForMultipleEventsTest, ZeroTimeOutPolls) {
  condition_event a(true);
  condition_event b(false);
  std::array<condition_event*, 2> events{&a, &b};
  EXPECT_EQ(WaitForMultipleEvents(2, events.data(), false, 0), kWaitTimeout);
  b.set();
  EXPECT_EQ(WaitForMultipleEvents(2, events.data(), false, 0), 1U);
  EXPECT_EQ(WaitForMultipleEvents(2, events.data(), false, 0), 1U);  // manual: still signalled
}

TEST(WaitForMultipleEventsTest, TimesOutAfterTheDeadlineWithNothingSignalled) {
  condition_event a(true);
  std::array<condition_event*, 1> events{&a};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForMultipleEvents(1, events.data(), false, 30), kWaitTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(WaitForMultipleEventsTest, WakesOnASetFromAnotherThread) {
  std::array<condition_event, 4> storage{condition_event(true), condition_event(true),
                                         condition_event(true), condition_event(true)};
  std::array<condition_event*, 4> events{&storage[0], &storage[1], &storage[2], &storage[3]};
  for (std::uint32_t index = 0; index < events.size(); ++index) {
    auto waiter = std::async(std::launch::async, [&] {
      return WaitForMultipleEvents(4, events.data(), false, kGenerousMs);
    });
    events[index]->set();
    EXPECT_EQ(waiter.get(), index);
  }
}

TEST(WaitForMultipleEventsTest, RejectsUnsupportedArguments) {
  condition_event a(true);
  std::array<condition_event*, 2> with_null{&a, nullptr};
  std::array<condition_event*, 1> events{&a};
  EXPECT_EQ(WaitForMultipleEvents(2, with_null.data(), false, 0), kWaitFailed);
  EXPECT_EQ(WaitForMultipleEvents(0, events.data(), false, 0), kWaitFailed);
  EXPECT_EQ(WaitForMultipleEvents(1, events.data(), true, 0), kWaitFailed);
}

// A waiter that takes a lower-index event must not swallow the wake-up of another waiter that
// waits on the higher one.
TEST(WaitForMultipleEventsTest, SharedEventLeftByOneWaiterWakesTheOther) {
  for (int round = 0; round < 200; ++round) {
    condition_event own(true);
    condition_event shared(true);
    std::array<condition_event*, 2> first_events{&own, &shared};
    std::array<condition_event*, 1> second_events{&shared};
    auto first = std::async(std::launch::async, [&] {
      return WaitForMultipleEvents(2, first_events.data(), false, kGenerousMs);
    });
    auto second = std::async(std::launch::async, [&] {
      return WaitForMultipleEvents(1, second_events.data(), false, kGenerousMs);
    });
    own.set();
    ASSERT_EQ(first.get(), 0U);
    shared.set();
    ASSERT_EQ(second.get(), 0U);
  }
}

TEST(WaitForMultipleEventsTest, EveryAutoResetSignalIsConsumedExactlyOnce) {
  constexpr int kSignals = 2000;
  condition_event event(true);
  condition_event done(false);
  std::array<condition_event*, 2> events{&done, &event};
  std::atomic<int> consumed{0};
  auto consumer = [&] {
    while (WaitForMultipleEvents(2, events.data(), false, kGenerousMs) == 1) {
      consumed.fetch_add(1);
    }
  };
  std::thread a(consumer);
  std::thread b(consumer);
  condition_event* ack = &event;
  for (int i = 0; i < kSignals; ++i) {
    ack->set();
    // Wait until a consumer took it, so no two sets merge into one signal.
    while (ack->is_signalled()) {
      std::this_thread::yield();
    }
  }
  while (consumed.load() < kSignals) {
    std::this_thread::yield();
  }
  done.set();
  a.join();
  b.join();
  EXPECT_EQ(consumed.load(), kSignals);
}

}  // namespace
