// Process lookups for one flow: image path, parent id and path, hashes, users and account types
// of a process and its parent, on a warm cache (the steady state: the flow carries the start time
// and image path the flow reporter gives, or nothing) and on an empty one.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "flow/process_info.h"
#include "platform/process_query.h"

namespace {

// What the flow reporter sends with a flow of pid: its start time and image path.
struct Reported {
  std::uint64_t start_time = 0;
  std::wstring path;
};

Reported ReportedOf(std::uint32_t pid) {
  Reported reported;
  orv::platform::ProcStat stat;
  int os_error = 0;
  if (orv::platform::ReadProcStat(pid, stat, os_error) == kObSuccess) {
    reported.start_time = stat.start_time;
  }
  std::error_code error;
  const std::string image =
      std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
  reported.path.assign(image.begin(), image.end());
  return reported;
}

// Everything a flow record asks about its process; the number of lookups that succeeded.
int LookupFlow(std::uint32_t pid, const ProcessInfoServices& services,
               const Reported& reported = {}) {
  CProcessInfo info(pid, services);
  info.SetReported(reported.start_time, reported.path);
  std::array<wchar_t, CProcessInfo::kPathCapacity> path{};
  std::array<wchar_t, CProcessInfo::kUserCapacity> user{};
  std::array<std::uint8_t, CProcessInfo::kHashSize> hash{};
  std::uint32_t parent = 0;
  std::uint16_t type = 0;
  int succeeded = 0;
  succeeded += info.GetProcessPath(path.data(), path.size()) == kObSuccess;
  succeeded += info.GetParentProcessId(parent) == kObSuccess;
  succeeded += info.GetParentProcessPath(path.data(), path.size()) == kObSuccess;
  std::uint32_t size = hash.size();
  succeeded += info.GetProcessHash(hash.data(), size) == kObSuccess;
  size = hash.size();
  succeeded += info.GetParentProcessHash(hash.data(), size) == kObSuccess;
  size = user.size();
  succeeded += info.GetProcessUser(user.data(), size, type) == kObSuccess;
  size = user.size();
  succeeded += info.GetParentProcessUser(user.data(), size, type) == kObSuccess;
  return succeeded;
}

// The process-wide hash worker once it holds the digests of this process and its parent, as it
// does in the steady state.
IFileHasher& ReadyHasher(std::uint32_t pid) {
  CFileHashWorker& worker = CFileHashWorker::Instance();
  for (int round = 0; round < 2000; ++round) {
    CProcessCache cache;
    const ProcessInfoServices services{LinuxProcessQueries::Instance(),
                                       LinuxAccountDirectory::Instance(), cache, worker};
    if (LookupFlow(pid, services) == 7) {
      break;
    }
    ::usleep(10000);
  }
  return worker;
}

void WarmFlowLookup(benchmark::State& state, bool reported_by_driver) {
  CProcessCache cache;
  IFileHasher& hasher = ReadyHasher(static_cast<std::uint32_t>(::getpid()));
  const ProcessInfoServices services{LinuxProcessQueries::Instance(),
                                     LinuxAccountDirectory::Instance(), cache, hasher};
  const auto pid = static_cast<std::uint32_t>(::getpid());
  const Reported reported = reported_by_driver ? ReportedOf(pid) : Reported{};
  const int expected = LookupFlow(pid, services, reported);
  int succeeded = 0;
  for (auto _ : state) {
    succeeded = LookupFlow(pid, services, reported);
    benchmark::DoNotOptimize(succeeded);
  }
  if (succeeded != expected || expected < 5) {
    state.SkipWithError("lookups failed");
  }
}

void BM_ProcessInfo_WarmFlowLookup(benchmark::State& state) { WarmFlowLookup(state, true); }
BENCHMARK(BM_ProcessInfo_WarmFlowLookup);

void BM_ProcessInfo_WarmFlowLookupUnreported(benchmark::State& state) {
  WarmFlowLookup(state, false);
}
BENCHMARK(BM_ProcessInfo_WarmFlowLookupUnreported);

// An empty process cache each time; file hashes still come from the hash worker's digests.
void BM_ProcessInfo_ColdFlowLookup(benchmark::State& state) {
  const auto pid = static_cast<std::uint32_t>(::getpid());
  IFileHasher& hasher = ReadyHasher(pid);
  int succeeded = 0;
  for (auto _ : state) {
    CProcessCache cache;
    const ProcessInfoServices services{LinuxProcessQueries::Instance(),
                                       LinuxAccountDirectory::Instance(), cache, hasher};
    succeeded = LookupFlow(pid, services);
    benchmark::DoNotOptimize(succeeded);
  }
  if (succeeded < 5) {
    state.SkipWithError("lookups failed");
  }
}
BENCHMARK(BM_ProcessInfo_ColdFlowLookup);

void BM_ReadProcStat_Self(benchmark::State& state) {
  const auto pid = static_cast<std::uint32_t>(::getpid());
  orv::platform::ProcStat stat;
  int os_error = 0;
  OB_STATUSCODE status = kObFailure;
  for (auto _ : state) {
    status = orv::platform::ReadProcStat(pid, stat, os_error);
    benchmark::DoNotOptimize(stat.start_time);
  }
  if (status != kObSuccess) {
    state.SkipWithError("stat unreadable");
  }
}
BENCHMARK(BM_ReadProcStat_Self);

}  // namespace
