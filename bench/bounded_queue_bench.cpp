// Handoff of shared records between a producer and a consumer through CBoundedQueue, the way the
// flow queue is used: the producer pushes (waiting for the pop event when full), the consumer
// waits for the push event and drains.
#include <benchmark/benchmark.h>

#include <array>
#include <memory>
#include <thread>

#include "common/bounded_queue.h"

namespace {

struct Record {
  std::uint64_t sequence;
};

void BM_BoundedQueue_Handoff(benchmark::State& state) {
  const auto capacity = static_cast<std::size_t>(state.range(0));
  constexpr std::int64_t kBatch = 100000;
  std::int64_t total = 0;
  for (auto _ : state) {
    CBoundedQueue<std::shared_ptr<Record>> queue(capacity);
    condition_event* push_event = nullptr;
    condition_event* pop_event = nullptr;
    (void)queue.RegisterPushEvent(&push_event);
    (void)queue.RegisterPopEvent(&pop_event);
    std::thread producer([&] {
      for (std::int64_t i = 0; i < kBatch; ++i) {
        auto record = std::make_shared<Record>(Record{static_cast<std::uint64_t>(i)});
        while (queue.Push(std::move(record)) == kObQueueFull) {
          (void)pop_event->timed_wait(10);
        }
      }
    });
    std::array<condition_event*, 1> events{push_event};
    std::int64_t received = 0;
    std::uint64_t checksum = 0;
    std::shared_ptr<Record> record;
    while (received < kBatch) {
      (void)WaitForMultipleEvents(1, events.data(), false, kWaitInfinite);
      while (queue.Pop(record) == kObSuccess) {
        checksum += record->sequence;
        ++received;
      }
    }
    producer.join();
    if (checksum != static_cast<std::uint64_t>(kBatch * (kBatch - 1) / 2)) {
      state.SkipWithError("records lost or duplicated");
    }
    total += received;
  }
  state.SetItemsProcessed(total);
}
BENCHMARK(BM_BoundedQueue_Handoff)->Arg(100)->Arg(1000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
