// The flow data channel: datagram checking and hand-off alone, and end to end over loopback
// (a sender on the benchmark thread, the channel's I/O thread receiving, checking, decoding and
// calling the callback), plus a burst sent while the callback is blocked, which measures whether
// the socket's receive buffer holds it. Datagrams come from orv-flowgen's generator and builder.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "driver/flow_datagram_builder.h"
#include "flow/orv_user_kdf_ipc.h"
#include "flow/synthetic_flow_source.h"
#include "runtime/logger.h"
#include "runtime/unique_fd.h"

namespace {

class NullSink : public ILogSink {
 public:
  void Write(const LogRecord&) override {}
};

// Silences the channel's debug lines for the benchmark's life.
struct QuietLog {
  QuietLog() : previous(ILogger::SetSink(&sink)) {}
  ~QuietLog() { ILogger::SetSink(previous); }
  NullSink sink;
  ILogSink* previous;
};

std::vector<KdfFlowDatagram> Datagrams(std::size_t count) {
  SyntheticFlowSource source(2056, 20);
  std::vector<KdfFlowDatagram> datagrams;
  for (std::size_t i = 0; i < count; ++i) {
    datagrams.push_back(BuildKdfFlowDatagram(source.NextFlow(1767000000)));
  }
  return datagrams;
}

// Counts delivered flow messages; a waiter learns when a target count is reached.
class DeliveryCounter {
 public:
  void Deliver(const KdfFlowData& flow) {
    bytes_ += flow.bytes_in;  // touch the decoded message
    const std::uint64_t count = count_.fetch_add(1, std::memory_order_relaxed) + 1;
    if (count >= target_.load(std::memory_order_relaxed)) {
      std::lock_guard lock(mutex_);
      reached_.notify_all();
    }
  }
  // True when count messages in all were delivered before the deadline.
  bool WaitFor(std::uint64_t count, std::chrono::milliseconds deadline) {
    target_.store(count);
    std::unique_lock lock(mutex_);
    return reached_.wait_for(lock, deadline, [&] { return count_.load() >= count; });
  }
  std::uint64_t count() const { return count_.load(); }

 private:
  std::atomic<std::uint64_t> count_{0};
  std::atomic<std::uint64_t> target_{~std::uint64_t{0}};
  std::uint64_t bytes_ = 0;  // I/O thread only
  std::mutex mutex_;
  std::condition_variable reached_;
};

// Sends prebuilt datagrams to the channel in batches of up to 64 per system call.
class LoopbackSender {
 public:
  explicit LoopbackSender(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    address_.sin_family = AF_INET;
    address_.sin_port = htons(port);
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  // Sends count datagrams cycling through datagrams; answers how many the kernel took.
  std::size_t Send(const std::vector<KdfFlowDatagram>& datagrams, std::size_t count) {
    constexpr std::size_t kBatch = 64;
    mmsghdr messages[kBatch];
    iovec vectors[kBatch];
    std::size_t sent = 0;
    while (sent < count) {
      const std::size_t batch = std::min(kBatch, count - sent);
      for (std::size_t i = 0; i < batch; ++i) {
        auto& datagram = datagrams[(next_ + i) % datagrams.size()];
        vectors[i] = {const_cast<std::uint8_t*>(datagram.data()), datagram.size()};
        messages[i] = {};
        messages[i].msg_hdr.msg_name = &address_;
        messages[i].msg_hdr.msg_namelen = sizeof address_;
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      const int done = ::sendmmsg(fd_.get(), messages, static_cast<unsigned>(batch), 0);
      if (done <= 0) break;
      next_ += static_cast<std::size_t>(done);
      sent += static_cast<std::size_t>(done);
    }
    return sent;
  }

 private:
  OBRuntime::UniqueFd fd_;
  sockaddr_in address_{};
  std::size_t next_ = 0;
};

void BM_OrvUserKdfIpc_HandleDatagram(benchmark::State& state) {
  QuietLog quiet;
  DeliveryCounter counter;
  OB_STATUSCODE status = kObFailure;
  OrvUserKdfIpc channel(
      0, [&](std::shared_ptr<const KdfFlowData> flow) { counter.Deliver(*flow); }, nullptr, status);
  const auto datagrams = Datagrams(256);
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& datagram = datagrams[i++ % datagrams.size()];
    channel.handleDatagram(datagram, datagram.size());
  }
  if (status != kObSuccess || counter.count() != static_cast<std::uint64_t>(state.iterations())) {
    state.SkipWithError("not every datagram reached the callback");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OrvUserKdfIpc_HandleDatagram);

// Flow data datagrams per second received over loopback, checked and handed to the callback.
void BM_OrvUserKdfIpc_LoopbackThroughput(benchmark::State& state) {
  QuietLog quiet;
  DeliveryCounter counter;
  OB_STATUSCODE status = kObFailure;
  OrvUserKdfIpc channel(
      0, [&](std::shared_ptr<const KdfFlowData> flow) { counter.Deliver(*flow); }, nullptr, status);
  if (status != kObSuccess || !channel.Start()) {
    state.SkipWithError("channel did not start");
    return;
  }
  LoopbackSender sender(channel.LocalPort());
  const auto datagrams = Datagrams(256);
  const auto batch = static_cast<std::size_t>(state.range(0));
  std::uint64_t expected = 0;
  bool complete = true;
  for (auto _ : state) {
    expected += sender.Send(datagrams, batch);
    complete = complete && counter.WaitFor(expected, std::chrono::seconds(10));
  }
  static_cast<void>(channel.Stop());
  if (!complete || counter.count() != state.iterations() * batch) {
    state.SkipWithError("datagrams were lost or not sent");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(counter.count()));
  state.counters["rcvbuf_bytes"] = channel.SocketReceiveBufferBytes();
}
BENCHMARK(BM_OrvUserKdfIpc_LoopbackThroughput)
    ->Arg(10000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The receiving side alone: a batch is queued in the socket while the I/O thread is stopped, then
// the timed part starts the thread and waits until every datagram has reached the callback.
void BM_OrvUserKdfIpc_ReceiveQueued(benchmark::State& state) {
  QuietLog quiet;
  DeliveryCounter counter;
  OB_STATUSCODE status = kObFailure;
  OrvUserKdfIpc channel(
      0, [&](std::shared_ptr<const KdfFlowData> flow) { counter.Deliver(*flow); }, nullptr, status);
  LoopbackSender sender(channel.LocalPort());
  const auto datagrams = Datagrams(256);
  const auto batch = static_cast<std::size_t>(state.range(0));
  std::uint64_t expected = 0;
  bool complete = status == kObSuccess;
  for (auto _ : state) {
    state.PauseTiming();
    expected += sender.Send(datagrams, batch);
    state.ResumeTiming();
    complete = complete && channel.Start();
    complete = complete && counter.WaitFor(expected, std::chrono::seconds(10));
    complete = complete && channel.Stop();
  }
  if (!complete || counter.count() != state.iterations() * batch) {
    state.SkipWithError("datagrams were lost or not sent");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(counter.count()));
}
BENCHMARK(BM_OrvUserKdfIpc_ReceiveQueued)->Arg(10000)->UseRealTime()->Unit(benchmark::kMillisecond);

// A burst of 10,000 flow reports sent while the callback is blocked for at least 100 ms; the
// counter "lost" is how many never arrived (expected 0: the receive buffer holds the burst).
void BM_OrvUserKdfIpc_BurstWhileCallbackBlocked(benchmark::State& state) {
  constexpr std::size_t kBurst = 10000;
  QuietLog quiet;
  DeliveryCounter counter;
  std::mutex mutex;
  std::condition_variable changed;
  bool blocked = false;
  bool release = false;
  OB_STATUSCODE status = kObFailure;
  OrvUserKdfIpc channel(
      0,
      [&](std::shared_ptr<const KdfFlowData> flow) {
        std::unique_lock lock(mutex);
        if (!blocked) {
          blocked = true;
          changed.notify_all();
          changed.wait(lock, [&] { return release; });
        }
        lock.unlock();
        counter.Deliver(*flow);
      },
      nullptr, status);
  if (status != kObSuccess || !channel.Start()) {
    state.SkipWithError("channel did not start");
    return;
  }
  LoopbackSender sender(channel.LocalPort());
  const auto datagrams = Datagrams(256);
  std::uint64_t expected = 0;
  std::uint64_t lost = 0;
  for (auto _ : state) {
    {
      std::lock_guard lock(mutex);
      blocked = false;
      release = false;
    }
    const auto start = std::chrono::steady_clock::now();
    expected += sender.Send(datagrams, 1);  // this one blocks the callback
    {
      std::unique_lock lock(mutex);
      changed.wait_for(lock, std::chrono::seconds(10), [&] { return blocked; });
    }
    expected += sender.Send(datagrams, kBurst);
    std::this_thread::sleep_until(start + std::chrono::milliseconds(100));
    {
      std::lock_guard lock(mutex);
      release = true;
      changed.notify_all();
    }
    // Whatever did not arrive within a second after the release was dropped by the kernel.
    if (!counter.WaitFor(expected, std::chrono::seconds(1))) {
      lost += expected - counter.count();
      expected = counter.count();
    }
  }
  static_cast<void>(channel.Stop());
  state.counters["lost"] = static_cast<double>(lost);
  state.counters["burst"] = kBurst;
  state.counters["rcvbuf_bytes"] = channel.SocketReceiveBufferBytes();
  if (lost > 0) {
    state.SkipWithError(
        ("lost " + std::to_string(lost) + " datagrams of bursts of " + std::to_string(kBurst))
            .c_str());
  }
}
BENCHMARK(BM_OrvUserKdfIpc_BurstWhileCallbackBlocked)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
