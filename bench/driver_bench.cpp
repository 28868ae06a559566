// The flow reporter's poll over many sockets held by this process (connected UDP sockets on
// loopback): a first poll, which dumps the sockets and walks /proc for all their owners, and a
// poll with nothing changed, which must not walk /proc at all.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <utility>
#include <vector>

#include "driver/flow_collector.h"
#include "runtime/logger.h"
#include "runtime/unique_fd.h"

namespace {

using orv::driver::FlowClock;
using orv::driver::FlowCollector;
using orv::driver::ProcSocketOwnerSource;

class NullSink : public ILogSink {
 public:
  void Write(const LogRecord&) override {}
};

// count connected UDP sockets; empty when the descriptor limit cannot be raised far enough.
std::vector<OBRuntime::UniqueFd> OpenSockets(std::size_t count) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < count + 256) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, count + 256);
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  std::vector<OBRuntime::UniqueFd> sockets;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(9);
  target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (std::size_t i = 0; i < count; ++i) {
    OBRuntime::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid() ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
      return {};
    }
    sockets.push_back(std::move(fd));
  }
  return sockets;
}

FlowClock Now() {
  return {std::chrono::steady_clock::now(), static_cast<std::uint32_t>(std::time(nullptr))};
}

void BM_FlowCollectorPollFlows_FirstPoll(benchmark::State& state) {
  NullSink sink;
  ILogSink* const previous = ILogger::SetSink(&sink);
  const auto sockets = OpenSockets(static_cast<std::size_t>(state.range(0)));
  if (sockets.empty()) {
    ILogger::SetSink(previous);
    state.SkipWithError("cannot open enough sockets (RLIMIT_NOFILE)");
    return;
  }
  ProcSocketOwnerSource owners;
  std::size_t flows = 0;
  for (auto _ : state) {
    FlowCollector collector(owners);  // an empty table: every socket is new
    std::vector<KdfFlowData> reports;
    if (collector.PollFlows(Now(), 0, reports) != kObSuccess) {
      state.SkipWithError("socket dump failed");
      break;
    }
    flows = collector.Table().FlowCount();
  }
  ILogger::SetSink(previous);
  if (flows < sockets.size()) {
    state.SkipWithError("not every socket became a flow");
  }
  state.counters["flows"] = static_cast<double>(flows);
}
BENCHMARK(BM_FlowCollectorPollFlows_FirstPoll)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond);

void BM_FlowCollectorPollFlows_NothingChanged(benchmark::State& state) {
  NullSink sink;
  ILogSink* const previous = ILogger::SetSink(&sink);
  const auto sockets = OpenSockets(static_cast<std::size_t>(state.range(0)));
  ProcSocketOwnerSource owners;
  FlowCollector collector(owners);
  std::vector<KdfFlowData> reports;
  if (sockets.empty() || collector.PollFlows(Now(), 0, reports) != kObSuccess) {
    ILogger::SetSink(previous);
    state.SkipWithError("cannot open enough sockets or dump them");
    return;
  }
  const std::uint64_t lookups = collector.Table().OwnerLookups();
  for (auto _ : state) {
    reports.clear();
    benchmark::DoNotOptimize(collector.PollFlows(Now(), 3600, reports));
  }
  ILogger::SetSink(previous);
  // Other processes' sockets may come and go meanwhile; this process's own stay put.
  if (collector.Table().FlowCount() < sockets.size()) {
    state.SkipWithError("flows were lost between polls");
  }
  state.counters["owner_lookups"] = static_cast<double>(collector.Table().OwnerLookups() - lookups);
}
BENCHMARK(BM_FlowCollectorPollFlows_NothingChanged)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
