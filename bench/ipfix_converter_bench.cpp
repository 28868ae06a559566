// CIPFIXConverter packing flow records into messages the way the exporter drives it: a send
// queue refilled with shared records, drained into 1200-byte messages in a 5000-byte buffer with
// five records per family. Records look like real ones (user and process names, two hashes, a
// host name, a hosted module). Items processed = flow records packed.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "export/ipfix_converter.h"

namespace {

constexpr std::size_t kLimit = 1200;
constexpr std::size_t kBufferSize = 5000;
constexpr std::size_t kPerFamily = 5;
constexpr std::size_t kBatch = 100;

FlowRecordPtr MakeFlow(bool ipv6, std::uint16_t port) {
  auto flow = std::make_shared<ORVFlowObject>();
  flow->address_family = ipv6 ? 1 : 2;
  flow->protocol = 6;
  flow->source_address = ipv6 ? "2001:db8::10" : "192.168.1.10";
  flow->destination_address = ipv6 ? "2606:4700::6810:84e5" : "93.184.216.34";
  flow->source_port = port;
  flow->destination_port = 443;
  flow->flow_start = 1700000000;
  flow->flow_end = 1700000060;
  flow->logged_in_user_name = L"workstation\\alice";
  flow->process_user_name = L"workstation\\alice";
  flow->process_name = L"firefox-esr";
  flow->process_hash = std::string(32, '\x11');
  flow->parent_process_user_name = L"workstation\\alice";
  flow->parent_process_name = L"systemd";
  flow->parent_process_hash = std::string(32, '\x22');
  flow->bytes_in = 123456;
  flow->bytes_out = 7890;
  flow->dns_suffix = L"corp.example";
  flow->destination_host_name = L"www.example.com";
  flow->interface_uid = 3;
  flow->hosted_modules = {L"app.jar"};
  flow->hosted_module_hashes = {std::string(32, '\x33')};
  return flow;
}

void RunConverter(benchmark::State& state, bool mixed) {
  std::vector<FlowRecordPtr> records;
  for (std::size_t i = 0; i < kBatch; ++i) {
    records.push_back(MakeFlow(mixed && i % 2 == 1, static_cast<std::uint16_t>(1024 + i)));
  }
  CIPFIXConverter converter;
  FlowRecordQueue send_queue(kBatch);
  std::vector<std::uint8_t> buffer(kBufferSize);
  std::uint64_t packed_bytes = 0;
  std::uint64_t messages = 0;
  for (auto _ : state) {
    for (const FlowRecordPtr& record : records) {
      (void)send_queue.Push(record);
    }
    while (!send_queue.IsEmpty() || converter.PendingRecords() > 0) {
      std::size_t written = 0;
      if (converter.GetMultipleFlowObjectsStream(buffer.data(), kLimit, buffer.size(), send_queue,
                                                 kPerFamily, written) != kObSuccess) {
        state.SkipWithError("GetMultipleFlowObjectsStream failed");
        return;
      }
      packed_bytes += written;
      ++messages;
      benchmark::DoNotOptimize(buffer.data());
    }
  }
  // Every batch must have gone out in full messages.
  if (messages == 0 || packed_bytes < state.iterations() * kBatch * 200) {
    state.SkipWithError("records were lost");
    return;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
  state.SetBytesProcessed(static_cast<std::int64_t>(packed_bytes));
  state.counters["records_per_message"] =
      static_cast<double>(state.iterations() * kBatch) / static_cast<double>(messages);
}

void BM_GetMultipleFlowObjectsStream_IPv4(benchmark::State& state) { RunConverter(state, false); }
void BM_GetMultipleFlowObjectsStream_Mixed(benchmark::State& state) { RunConverter(state, true); }

BENCHMARK(BM_GetMultipleFlowObjectsStream_IPv4);
BENCHMARK(BM_GetMultipleFlowObjectsStream_Mixed);

}  // namespace
