// Cache-format serialisation of a typical flow record (about 330 bytes: IPv4 addresses, both
// hashes, user names, DNS suffix and host name, no hosted modules), one record per iteration,
// as the cache engine writes and re-reads them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "common/orv_flow_object.h"

namespace {

ORVFlowObject TypicalRecord() {
  ORVFlowObject r;
  r.process_id = 24816;
  r.parent_process_id = 1;
  r.source_address = "192.168.1.20";
  r.source_port = 51432;
  r.destination_address = "93.184.216.34";
  r.destination_port = 443;
  r.protocol = 6;
  r.flow_start = 1700000000;
  r.flow_end = 1700000042;
  r.bytes_in = 184320;
  r.bytes_out = 5120;
  r.interface_uid = 3;
  r.process_name = L"firefox-bin";
  r.process_path = L"/usr/lib/firefox/firefox-bin";
  r.parent_process_name = L"systemd";
  r.process_hash = std::string(32, '\x5A');
  r.parent_process_hash = std::string(32, '\xA5');
  r.logged_in_user_name = L"desk01\\alice";
  r.logged_in_user_account_type = 1;
  r.process_user_name = L"desk01\\alice";
  r.process_user_account_type = 1;
  r.parent_process_user_name = L"desk01\\root";
  r.parent_process_user_account_type = 0;
  r.dns_suffix = L"corp.example.com";
  r.destination_host_name = L"www.example.com";
  return r;
}

void BM_Serialize_TypicalRecord(benchmark::State& state) {
  const ORVFlowObject record = TypicalRecord();
  std::vector<std::uint8_t> buffer(4096);
  std::uint32_t size = 0;
  for (auto _ : state) {
    size = static_cast<std::uint32_t>(buffer.size());
    const OB_STATUSCODE status = record.Serialize(buffer.data(), &size);
    benchmark::DoNotOptimize(status);
    benchmark::DoNotOptimize(buffer.data());
  }
  if (size != record.SerializedSize()) {
    state.SkipWithError("unexpected serialised size");
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
  state.counters["record_bytes"] = size;
}
BENCHMARK(BM_Serialize_TypicalRecord);

void BM_Deserialize_TypicalRecord(benchmark::State& state) {
  const ORVFlowObject source = TypicalRecord();
  std::vector<std::uint8_t> buffer(source.SerializedSize());
  auto size = static_cast<std::uint32_t>(buffer.size());
  if (source.Serialize(buffer.data(), &size) != kObSuccess) {
    state.SkipWithError("serialisation failed");
    return;
  }
  ORVFlowObject record;
  std::int64_t failures = 0;
  for (auto _ : state) {
    failures += record.Deserialize(buffer.data(), size) != kObSuccess;
    benchmark::DoNotOptimize(record);
  }
  if (failures != 0 || record.destination_host_name != source.destination_host_name ||
      record.process_hash != source.process_hash) {
    state.SkipWithError("deserialised record differs");
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_Deserialize_TypicalRecord);

}  // namespace
