// CExporter draining a full flow queue to a collector on loopback: aggregation on, throttling
// off, trusted. Each iteration queues 100,000 records, starts the exporter and stops the clock
// once a receiver thread has counted every record in the datagrams it got. Items processed =
// flow records delivered; a lost record fails the run. UdpTransport uses the product transport;
// DirectSocket a plain blocking socket, to separate the exporter's own cost from the transport's.
#include <benchmark/benchmark.h>
#include <poll.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "export/exporter.h"

namespace {

namespace asio = boost::asio;
using asio::ip::udp;

constexpr std::size_t kRecords = 100000;
constexpr std::uint16_t kIPv4FlowSetId = 267;

class TrustedRegistrar : public IExportStatusRegistrar {
 public:
  OB_STATUSCODE RegisterForExportStatusChange(IExportStatusObserver* /*observer*/) override {
    return kObSuccess;
  }
  OB_STATUSCODE DeRegisterForExportStatusChange(IExportStatusObserver* /*observer*/) override {
    return kObSuccess;
  }
  int IsTrusted(bool* trusted) override {
    *trusted = true;
    return 1;
  }
};

// Sends with a plain blocking socket (no io_context run per datagram).
class DirectSocketTransport : public IExporterTransport {
 public:
  OB_STATUSCODE Connect(const std::string& host, const std::string& port) override {
    boost::system::error_code error;
    endpoint_ = udp::endpoint(asio::ip::make_address(host, error),
                              static_cast<std::uint16_t>(std::stoul(port)));
    if (!socket_.is_open()) socket_.open(udp::v4(), error);
    return error ? kObFailure : kObSuccess;
  }
  OB_STATUSCODE Send(const std::uint8_t* bytes, std::size_t length,
                     const ExporterSendCallback& /*completion*/) override {
    boost::system::error_code error;
    socket_.send_to(asio::buffer(bytes, length), endpoint_, 0, error);
    return error ? kObFailure : kObSuccess;
  }
  OB_STATUSCODE Disconnect() override {
    boost::system::error_code error;
    socket_.close(error);
    return kObSuccess;
  }

 private:
  asio::io_context io_;
  udp::socket socket_{io_};
  udp::endpoint endpoint_;
};

FlowRecordPtr MakeFlow() {
  auto flow = std::make_shared<ORVFlowObject>();
  flow->address_family = 2;
  flow->protocol = 6;
  flow->source_address = "192.168.1.10";
  flow->destination_address = "93.184.216.34";
  flow->source_port = 40000;
  flow->destination_port = 443;
  flow->process_name = L"firefox-esr";
  flow->destination_host_name = L"www.example.com";
  return flow;
}

// Bytes of one encoded record of MakeFlow: a one-record message less its headers.
std::size_t RecordSize() {
  CIPFIXConverter converter;
  FlowRecordQueue queue(1);
  (void)queue.Push(MakeFlow());
  std::vector<std::uint8_t> buffer(CExporter::kBufferSize);
  std::size_t written = 0;
  (void)converter.GetMultipleFlowObjectsStream(buffer.data(), CExporter::kMessageLimit,
                                               buffer.size(), queue, 1, written);
  return written - 20;
}

std::uint16_t ReadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

// Counts flow records arriving at a loopback socket until told to stop.
class CountingCollector {
 public:
  explicit CountingCollector(std::size_t record_size)
      : record_size_(record_size),
        socket_(io_, udp::endpoint(asio::ip::address_v4::loopback(), 0)) {
    socket_.set_option(asio::socket_base::receive_buffer_size(16 << 20));
    thread_ = std::thread([this] { run(); });
  }
  ~CountingCollector() {
    stop_ = true;
    thread_.join();
  }
  std::string Port() { return std::to_string(socket_.local_endpoint().port()); }
  std::size_t Records() const { return records_.load(); }
  // Bytes of the datagrams that carried flow records (what the throttle limits).
  std::size_t FlowBytes() const { return flow_bytes_.load(); }

 private:
  void run() {
    std::vector<std::uint8_t> bytes(65536);
    while (!stop_) {
      pollfd poller{socket_.native_handle(), POLLIN, 0};
      if (::poll(&poller, 1, 50) != 1) continue;
      const std::size_t length = socket_.receive(asio::buffer(bytes));
      for (std::size_t at = 16; at + 4 <= length;) {
        const std::uint16_t set_length = ReadU16(bytes.data() + at + 2);
        if (set_length < 4) break;
        if (ReadU16(bytes.data() + at) == kIPv4FlowSetId) {
          records_ += (set_length - 4) / record_size_;
          flow_bytes_ += length;
        }
        at += set_length;
      }
    }
  }

  const std::size_t record_size_;
  asio::io_context io_;
  udp::socket socket_;
  std::atomic<std::size_t> records_{0};
  std::atomic<std::size_t> flow_bytes_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void RunExporter(benchmark::State& state, bool direct_socket) {
  const std::size_t record_size = RecordSize();
  TrustedRegistrar registrar;
  std::size_t delivered = 0;
  for (auto _ : state) {
    CountingCollector collector(record_size);
    FlowRecordQueue flows(kRecords);
    CacheObjectQueue cache(1);
    InterfaceQueue interfaces(1);
    for (std::size_t i = 0; i < kRecords; ++i) (void)flows.Push(MakeFlow());
    ProfileSettings settings;
    settings.collector_ip = L"127.0.0.1";
    settings.collector_port = static_cast<std::uint32_t>(std::stoul(collector.Port()));
    settings.collection_mode = kCollectionModeAll;
    settings.aggregation_timeout = 1000;
    settings.throttle_rate = 0;
    ExporterDependencies deps;
    if (direct_socket) {
      deps.make_transport = [] { return std::make_unique<DirectSocketTransport>(); };
    }
    deps.load_profile = [] { return kObSuccess; };
    deps.settings = [settings] { return settings; };
    deps.policy = [] { return DataCollectionPolicy{}; };
    deps.interface_list = [] { return std::vector<std::shared_ptr<InterfaceInfo>>{}; };
    OB_STATUSCODE status = kObFailure;
    CExporter exporter(status, &registrar, flows, cache, interfaces, "127.0.0.1", collector.Port(),
                       1440, nullptr, std::move(deps));
    const auto start = std::chrono::steady_clock::now();
    if (status != kObSuccess || exporter.Start() != kObSuccess) {
      state.SkipWithError("exporter did not start");
      break;
    }
    const auto deadline = start + std::chrono::seconds(60);
    while (collector.Records() < kRecords && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    (void)exporter.Stop();
    delivered = collector.Records();
    if (delivered != kRecords) break;
  }
  if (delivered != kRecords) {
    state.SkipWithError(("records lost: " + std::to_string(kRecords - delivered)).c_str());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRecords));
}
// Cached records drained at 12 Kbps (1536 bytes a second) for 10 s: the flow bytes that reach
// the collector must stay within the rate plus one message. Counters: bytes sent, the bound, and
// within_bound (1 or 0).
void BM_Exporter_Throttled12Kbps(benchmark::State& state) {
  constexpr std::uint32_t kRateBytesPerSecond = 12 * 128;
  constexpr auto kRun = std::chrono::seconds(10);
  constexpr std::size_t kCached = 2000;
  TrustedRegistrar registrar;
  std::size_t sent = 0;
  for (auto _ : state) {
    CountingCollector collector(RecordSize());
    FlowRecordQueue flows(1);
    CacheObjectQueue cache(kCached);
    InterfaceQueue interfaces(1);
    for (std::size_t i = 0; i < kCached; ++i) (void)cache.Push(MakeFlow());
    ProfileSettings settings;
    settings.collector_ip = L"127.0.0.1";
    settings.collector_port = static_cast<std::uint32_t>(std::stoul(collector.Port()));
    settings.collection_mode = kCollectionModeAll;
    settings.aggregation_timeout = 0;
    settings.throttle_rate = kRateBytesPerSecond;
    ExporterDependencies deps;
    deps.load_profile = [] { return kObSuccess; };
    deps.settings = [settings] { return settings; };
    deps.policy = [] { return DataCollectionPolicy{}; };
    deps.interface_list = [] { return std::vector<std::shared_ptr<InterfaceInfo>>{}; };
    OB_STATUSCODE status = kObFailure;
    CExporter exporter(status, &registrar, flows, cache, interfaces, "127.0.0.1", collector.Port(),
                       1440, nullptr, std::move(deps));
    if (status != kObSuccess || exporter.Start() != kObSuccess) {
      state.SkipWithError("exporter did not start");
      break;
    }
    std::this_thread::sleep_for(kRun);
    (void)exporter.Stop();
    sent = collector.FlowBytes();
  }
  const auto seconds = static_cast<std::size_t>(kRun.count());
  const std::size_t bound = kRateBytesPerSecond * seconds + CExporter::kMessageLimit;
  state.counters["flow_bytes"] = static_cast<double>(sent);
  state.counters["bound"] = static_cast<double>(bound);
  state.counters["within_bound"] = sent <= bound ? 1 : 0;
  if (sent > bound) {
    state.SkipWithError("throttle exceeded the rate");
  }
}

void BM_Exporter_UdpTransport(benchmark::State& state) { RunExporter(state, false); }
void BM_Exporter_DirectSocket(benchmark::State& state) { RunExporter(state, true); }
BENCHMARK(BM_Exporter_UdpTransport)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Exporter_DirectSocket)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Exporter_Throttled12Kbps)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
