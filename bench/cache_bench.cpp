// The flow cache's two hot paths on a real database file in a temporary directory: caching
// (serialise, compress, encrypt, insert in batches of 20) and reading back (read 100 at a time,
// decrypt, decompress, deserialise, push into a bounded queue), plus the insert rate of the two
// journal settings and the size limit under a long run of records.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cache/cache_plugins.h"
#include "cache/sqlite_store.h"
#include "common/bounded_queue.h"
#include "common/orv_flow_object.h"
#include "runtime/logger.h"

namespace {

namespace fs = std::filesystem;

class NullSink : public ILogSink {
 public:
  void Write(const LogRecord&) override {}
};

// A temporary directory with a key and the plugin chain, removed at the end.
class CacheFixture {
 public:
  CacheFixture() {
    static NullSink sink;
    ILogger::SetSink(&sink);
    char pattern[] = "/tmp/cache_bench.XXXXXX";
    root_ = ::mkdtemp(pattern);
    std::ofstream(root_ / "machine-id") << "0123456789abcdef0123456789abcdef\n";
    OB_STATUSCODE status = kObFailure;
    auto crypto = std::make_unique<COpenSSLCryptoPlugin>(
        &status, KeyFileLocation{root_.wstring(), OBPlatform::CDataProtection(
                                                      root_ / "secrets", root_ / "machine-id", 0)});
    obfuscation_ = std::make_unique<CObfuscationPlugin>(&status, std::move(crypto), status);
    static_cast<void>(manager_.AddPlugin(&compression_));
    static_cast<void>(manager_.AddPlugin(obfuscation_.get()));
    store_ = std::make_unique<CSQLite>(&status, true, (root_ / "ORV.db").wstring());
  }
  ~CacheFixture() {
    store_.reset();
    std::error_code error;
    fs::remove_all(root_, error);
  }
  CacheFixture(const CacheFixture&) = delete;
  CacheFixture& operator=(const CacheFixture&) = delete;

  CSQLite& store() { return *store_; }

  // The engine's write path for one record; false when any step fails.
  bool Cache(const ORVFlowObject& record, bool* size_limit) {
    auto length = static_cast<std::uint32_t>(work_.size());
    return record.Serialize(work_.data(), &length) == kObSuccess &&
           manager_.ProcessForward(work_, length) == kObSuccess &&
           store_->WriteEntry(work_.data(), record.flow_end, length, size_limit) == kObSuccess;
  }

  // The engine's read path for one batch of the rows after the given ID; records pushed, their
  // rows in ids.
  std::uint32_t ReadBatch(std::int64_t after, CBoundedQueue<std::shared_ptr<ORVObject>>& queue,
                          std::vector<std::int64_t>& ids) {
    std::uint32_t count = 100;
    auto size = static_cast<std::uint32_t>(batch_.size());
    ids.assign(count, 0);
    if (store_->ReadEntriesAfter(after, &count, batch_.data(), &size, sizes_.data(), ids.data()) !=
        kObSuccess) {
      return 0;
    }
    ids.resize(count);
    std::uint32_t at = 0;
    std::uint32_t pushed = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
      CacheBlock block(batch_.begin() + at, batch_.begin() + at + sizes_[i]);
      at += sizes_[i];
      auto length = sizes_[i];
      auto flow = std::make_shared<ORVFlowObject>();
      if (manager_.ProcessBackward(block, length) == kObSuccess &&
          flow->Deserialize(block.data(), length) == kObSuccess &&
          queue.Push(std::shared_ptr<ORVObject>(std::move(flow))) == kObSuccess) {
        ++pushed;
      }
    }
    return pushed;
  }

 private:
  fs::path root_;
  CCompressionPlugin compression_;
  std::unique_ptr<CObfuscationPlugin> obfuscation_;
  CPluginManager manager_;
  std::unique_ptr<CSQLite> store_;
  CacheBlock work_ = CacheBlock(4096);
  std::vector<std::uint8_t> batch_ = std::vector<std::uint8_t>(150000);
  std::vector<std::uint32_t> sizes_ = std::vector<std::uint32_t>(100);
};

ORVFlowObject TypicalRecord(std::uint32_t n) {
  ORVFlowObject r;
  r.process_id = 24816 + n % 50;
  r.source_address = "192.168.1.20";
  r.source_port = static_cast<std::uint16_t>(40000 + n % 20000);
  r.destination_address = "93.184.216." + std::to_string(n % 250);
  r.destination_port = 443;
  r.protocol = 6;
  r.flow_start = 1700000000 + n;
  r.flow_end = 1700000042 + n;
  r.bytes_in = 184320 + n;
  r.bytes_out = 5120;
  r.interface_uid = 3;
  r.process_name = L"firefox-bin";
  r.parent_process_name = L"systemd";
  r.process_hash = std::string(32, '\x5A');
  r.parent_process_hash = std::string(32, '\xA5');
  r.logged_in_user_name = L"desk01\\alice";
  r.process_user_name = L"desk01\\alice";
  r.parent_process_user_name = L"desk01\\root";
  r.dns_suffix = L"corp.example.com";
  r.destination_host_name = L"www.example.com";
  return r;
}

void CacheRecords(benchmark::State& state, CacheFixture& cache) {
  const ORVFlowObject record = TypicalRecord(1);
  bool size_limit = false;
  std::int64_t failures = 0;
  for (auto _ : state) {
    failures += cache.Cache(record, &size_limit) ? 0 : 1;
  }
  static_cast<void>(cache.store().FlushRecordsToDatabase());
  std::int64_t rows = 0;
  if (failures != 0 || cache.store().totalRecords(&rows, 0, 0) != kObSuccess ||
      rows != static_cast<std::int64_t>(state.iterations())) {
    state.SkipWithError("records were not stored");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_CacheWrite_WalNormal(benchmark::State& state) {
  CacheFixture cache;
  CacheRecords(state, cache);
}
BENCHMARK(BM_CacheWrite_WalNormal)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The alternative setting, for comparison: rollback journal with a full sync per commit.
void BM_CacheWrite_RollbackJournalFull(benchmark::State& state) {
  CacheFixture cache;
  if (cache.store().executeStatement("PRAGMA journal_mode=DELETE") != kObSuccess ||
      cache.store().executeStatement("PRAGMA synchronous=FULL") != kObSuccess) {
    state.SkipWithError("journal mode not changed");
    return;
  }
  CacheRecords(state, cache);
}
BENCHMARK(BM_CacheWrite_RollbackJournalFull)->Unit(benchmark::kMicrosecond)->UseRealTime();

bool Prefill(CacheFixture& cache, std::uint32_t records) {
  bool size_limit = false;
  for (std::uint32_t i = 0; i < records; ++i) {
    if (!cache.Cache(TypicalRecord(i), &size_limit)) {
      return false;
    }
  }
  return cache.store().FlushRecordsToDatabase() == kObSuccess;
}

// Reads back batches of 100, as the exporting engine does, from a store of 20000 records.
void BM_CacheRead_Batches(benchmark::State& state) {
  CacheFixture cache;
  if (!Prefill(cache, 20000)) {
    state.SkipWithError("prefill failed");
    return;
  }
  CBoundedQueue<std::shared_ptr<ORVObject>> queue(200);
  std::shared_ptr<ORVObject> popped;
  std::vector<std::int64_t> ids;
  std::int64_t after = 0;
  std::int64_t records = 0;
  for (auto _ : state) {
    const std::uint32_t pushed = cache.ReadBatch(after, queue, ids);
    records += pushed;
    after = pushed == 100 && ids.back() < 20000 ? ids.back() : 0;
    while (queue.Pop(popped) == kObSuccess) {
    }
    if (pushed != 100) {
      state.SkipWithError("short batch");
      break;
    }
  }
  state.SetItemsProcessed(records);
}
BENCHMARK(BM_CacheRead_Batches)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The whole drain: read 100 rows after the last one, rebuild and push them, then delete the
// delivered rows by ID, as the engine does once the exporter has sent them.
void BM_CacheDrain_ReadAndDeleteSent(benchmark::State& state) {
  constexpr std::uint32_t kRecords = 20000;
  CacheFixture cache;
  CBoundedQueue<std::shared_ptr<ORVObject>> queue(200);
  std::shared_ptr<ORVObject> popped;
  std::vector<std::int64_t> ids;
  std::int64_t after = 0;
  std::int64_t records = 0;
  for (auto _ : state) {
    std::uint32_t pushed = cache.ReadBatch(after, queue, ids);
    if (pushed == 0) {
      state.PauseTiming();
      const bool filled = Prefill(cache, kRecords);
      state.ResumeTiming();
      if (!filled) {
        state.SkipWithError("prefill failed");
        break;
      }
      pushed = cache.ReadBatch(0, queue, ids);
    }
    while (queue.Pop(popped) == kObSuccess) {
    }
    if (pushed == 0 || cache.store().DeleteRows(ids) != kObSuccess) {
      state.SkipWithError("drain failed");
      break;
    }
    after = ids.back();
    records += pushed;
  }
  state.SetItemsProcessed(records);
}
BENCHMARK(BM_CacheDrain_ReadAndDeleteSent)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A million records into a 10 MB store, purging 100 oldest whenever the limit is reached (as
// the caching engine does); reports the largest size the store's files reached.
void BM_CacheWrite_SizeLimitMillion(benchmark::State& state) {
  for (auto _ : state) {
    CacheFixture cache;
    cache.store().SetCacheLimits(10, 86400);
    bool size_limit = false;
    std::uint64_t largest = 0;
    for (std::uint32_t i = 0; i < 1000000; ++i) {
      if (!cache.Cache(TypicalRecord(i), &size_limit)) {
        state.SkipWithError("write failed");
        return;
      }
      if (size_limit) {
        std::uint32_t count = 100;
        static_cast<void>(cache.store().DeleteEntry(&count, &size_limit, 0, 0));
      }
      if (i % 100 == 0) {
        largest = std::max(largest, cache.store().StoreFilesSize());
      }
    }
    state.counters["largest_MB"] = static_cast<double>(largest) / 1048576.0;
    if (largest > 11U * 1048576U) {
      state.SkipWithError("the store grew past its limit");
    }
  }
  state.SetItemsProcessed(state.iterations() * 1000000);
}
BENCHMARK(BM_CacheWrite_SizeLimitMillion)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
