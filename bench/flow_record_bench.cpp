// Flow record construction as admission runs it for every flow: FromFlowData with the production
// sources for a process the caches already know (this benchmark's own) as the flow reporter
// describes it (start time and image path), without and with an earlier pid information record;
// for a message from a sender that reports no start time (each flow confirms the process in
// /proc); and with fake sources to show the builder's own share.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "flow/flow_record_builder.h"
#include "platform/process_query.h"

namespace {

KdfFlowData Message() {
  KdfFlowData message;
  message.local.port = 40000;
  message.local.ipv4 = {127, 0, 0, 1};
  message.remote.port = 443;
  message.remote.ipv4 = {127, 0, 0, 2};
  message.host_name = "www.example.com";
  message.protocol = 6;
  message.bytes_in = 1000;
  message.bytes_out = 200;
  message.pid = static_cast<std::uint32_t>(::getpid());
  message.parent_pid = static_cast<std::uint32_t>(::getppid());
  orv::platform::ProcStat stat;
  int os_error = 0;
  if (orv::platform::ReadProcStat(message.pid, stat, os_error) == kObSuccess) {
    message.process_start_time = stat.start_time;
  }
  std::error_code error;
  const std::string image = std::filesystem::read_symlink("/proc/self/exe", error);
  message.process_path.assign(image.begin(), image.end());
  return message;
}

KdfFlowData Unreported() {
  KdfFlowData message = Message();
  message.process_start_time = 0;
  message.process_path.clear();
  return message;
}

void RunFromFlowData(benchmark::State& state, CFlowRecordBuilder& builder,
                     const std::shared_ptr<const ORVFlowObject>& pid_record,
                     const KdfFlowData& message = Message()) {
  // Warms the caches: the steady state has the image's digest, which a worker computes meanwhile.
  std::shared_ptr<ORVFlowObject> flow = builder.FromFlowData(message, pid_record);
  for (int round = 0; round < 2000 && flow && flow->process_hash.empty(); ++round) {
    ::usleep(10000);
    flow = builder.FromFlowData(message, pid_record);
  }
  for (auto _ : state) {
    flow = builder.FromFlowData(message, pid_record);
    benchmark::DoNotOptimize(flow.get());
  }
  if (!flow || flow->process_name.empty() || flow->process_name == kFlowUnknownText ||
      flow->process_hash.size() != ORVFlowObject::kHashBytes) {
    state.SkipWithError("record not filled");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_FromFlowData_CachedProcess(benchmark::State& state) {
  CFlowRecordBuilder builder(CFlowRecordBuilder::ProductionSources());
  RunFromFlowData(state, builder, nullptr);
}
BENCHMARK(BM_FromFlowData_CachedProcess);

void BM_FromFlowData_WithPidRecord(benchmark::State& state) {
  CFlowRecordBuilder builder(CFlowRecordBuilder::ProductionSources());
  KdfPidInfo pid_info;
  pid_info.pid = static_cast<std::uint32_t>(::getpid());
  const std::shared_ptr<const ORVFlowObject> pid_record = builder.FromPidInfo(pid_info);
  RunFromFlowData(state, builder, pid_record);
}
BENCHMARK(BM_FromFlowData_WithPidRecord);

void BM_FromFlowData_CachedProcessUnreported(benchmark::State& state) {
  CFlowRecordBuilder builder(CFlowRecordBuilder::ProductionSources());
  RunFromFlowData(state, builder, nullptr, Unreported());
}
BENCHMARK(BM_FromFlowData_CachedProcessUnreported);

// No /proc reads, no locks: what construction itself costs.
void BM_FromFlowData_FakeSources(benchmark::State& state) {
  FlowRecordSources sources;
  sources.interface_uid = [](const std::string&, bool, std::uint32_t& uid) {
    uid = 1;
    return kObSuccess;
  };
  sources.dns_suffix = [](const std::string&, std::wstring& suffix) {
    suffix = L"corp.example";
    return kObSuccess;
  };
  CFlowRecordBuilder builder(std::move(sources));
  auto pid_record = std::make_shared<ORVFlowObject>();
  pid_record->process_id = static_cast<std::uint32_t>(::getpid());
  pid_record->process_name = pid_record->parent_process_name = L"app";
  pid_record->process_path = pid_record->parent_process_path = L"/usr/bin/app";
  pid_record->process_hash = pid_record->parent_process_hash = std::string(32, '\x11');
  pid_record->process_user_name = pid_record->parent_process_user_name = L"host\\user";
  pid_record->process_user_account_type = pid_record->parent_process_user_account_type = 1;
  RunFromFlowData(state, builder, pid_record);
}
BENCHMARK(BM_FromFlowData_FakeSources);

}  // namespace
