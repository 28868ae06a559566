#include "cache/cache_engine.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <random>
#include <vector>

#include "cache/cache_test_support.h"
#include "support/child_process.h"
#include "support/fake_registrar.h"
#include "support/log_capture.h"
#include "support/namespace_rerun.h"
#include "support/wait.h"

namespace {

namespace fs = std::filesystem;
using orv::test::WaitUntil;

std::uint32_t Now() { return static_cast<std::uint32_t>(orv::cache_test::Now()); }

std::vector<std::uint32_t> Range(std::uint32_t first, std::uint32_t count) {
  std::vector<std::uint32_t> ids(count);
  std::iota(ids.begin(), ids.end(), first);
  return ids;
}

class CacheEngineTest : public ::testing::Test {
 protected:
  orv::cache_test::SealingDir temp_;
  fs::path directory_ = temp_.path() / "ORV";
  orv::test::FakeRegistrar registrar_;
  CacheFlowQueue flow_queue_{5000};
  CacheInterfaceQueue interface_queue_{100};
  std::unique_ptr<CacheObjectQueue> cache_queue_ = std::make_unique<CacheObjectQueue>(1000);
  std::atomic<CacheLimits> limits_;
  std::unique_ptr<CCacheEngine> engine_;

  void SetUp() override { fs::create_directories(directory_); }

  void Start() {
    OB_STATUSCODE status = kObFailure;
    CacheEngineEnvironment environment{directory_.wstring(), temp_.Protection(),
                                       [this] { return limits_.load(); }};
    engine_ = std::make_unique<CCacheEngine>(&registrar_, &flow_queue_, cache_queue_.get(),
                                             &interface_queue_, &status, std::move(environment));
    ASSERT_EQ(status, kObSuccess);
  }
  // The committed rows, or -1.
  std::int64_t StoredRecords() {
    OB_STATUSCODE status = kObFailure;
    CSQLite store(&status, false, (directory_ / "ORV.db").wstring());
    std::int64_t count = -1;
    const bool read = status == kObSuccess && !store.IsFreshDB() &&
                      store.totalRecords(&count, 0, 0) == kObSuccess;
    return read ? count : -1;
  }
  // Queues flows of process ids first.., ending at end, each with `hashes` random (incompressible)
  // module hashes.
  void PushFlows(std::uint32_t first, std::uint32_t count, std::uint32_t end,
                 std::size_t hashes = 0) {
    std::mt19937 random(first);
    for (std::uint32_t id = first; id < first + count; ++id) {
      auto flow = std::make_shared<ORVFlowObject>();
      flow->process_id = id;
      flow->flow_start = flow->flow_end = end;
      for (std::size_t i = 0; i < hashes; ++i) {
        std::string hash(32, '\0');
        std::generate(hash.begin(), hash.end(), [&random] { return static_cast<char>(random()); });
        flow->hosted_modules.push_back(L"m.dll");
        flow->hosted_module_hashes.push_back(hash);
      }
      ASSERT_EQ(flow_queue_.Push(std::move(flow)), kObSuccess);
    }
  }
  // Pops from the cache queue until count objects arrived, reporting each sent as the exporter
  // would when deliver.
  std::vector<std::shared_ptr<ORVObject>> Receive(std::size_t count, bool deliver = true) {
    std::vector<std::shared_ptr<ORVObject>> received;
    WaitUntil([&] {
      std::shared_ptr<ORVObject> object;
      while (received.size() < count && cache_queue_->Pop(object) == kObSuccess) {
        if (deliver) {
          engine_->Ledger().Delivered(object.get());
        }
        received.push_back(std::move(object));
      }
      return received.size() >= count;
    });
    return received;
  }
  // The process ids of the flow records among objects, in order.
  static std::vector<std::uint32_t> FlowIds(
      const std::vector<std::shared_ptr<ORVObject>>& objects) {
    std::vector<std::uint32_t> ids;
    for (const auto& object : objects) {
      if (object->GetObjectType() == kObjectTypeFlow) {
        ids.push_back(static_cast<const ORVFlowObject&>(*object).process_id);
      }
    }
    return ids;
  }
};

// Records cached while untrusted come back oldest first through a cache queue of 7, neither
// skipped nor repeated: interface records too, a record larger than a read batch, a flow without
// an end (stored with the time of caching); flows past the age limit are purged. Rows go only
// once their records are sent, and a stop keeps everything else.
TEST_F(CacheEngineTest, CachesWhileUntrustedReadsBackInOrderAndDeletesOnlySentRows) {
  cache_queue_ = std::make_unique<CacheObjectQueue>(7);
  limits_ = {CCacheEngine::kNoLimit, 1};
  PushFlows(5000, 30, Now() - 2 * 86400);
  PushFlows(0, 250, Now());
  PushFlows(250, 1, Now(), 6000);  // about 200 KB of random hashes: larger than one batch
  Start();
  ASSERT_TRUE(WaitUntil([&] { return StoredRecords() == 251; })) << StoredRecords();
  for (std::uint32_t uid = 1; uid <= 3; ++uid) {
    auto info = std::make_shared<InterfaceInfo>();
    info->uid = uid;
    ASSERT_EQ(interface_queue_.Push(std::move(info)), kObSuccess);
  }
  PushFlows(251, 1, 0);
  ASSERT_TRUE(WaitUntil([&] { return StoredRecords() == 255; })) << StoredRecords();
  EXPECT_TRUE(cache_queue_->IsEmpty());

  registrar_.SetTrusted(true);
  ASSERT_TRUE(WaitUntil([&] { return cache_queue_->IsFull(); }));
  const auto received = Receive(255);
  ASSERT_EQ(received.size(), 255U);
  EXPECT_EQ(FlowIds(received), Range(0, 252)) << "and the three interface records";
  EXPECT_TRUE(std::any_of(received.begin(), received.end(), [](const auto& object) {
    return object->GetObjectType() == kObjectTypeFlow &&
           static_cast<const ORVFlowObject&>(*object).hosted_module_hashes.size() == 6000;
  })) << "the oversized record, whole";
  EXPECT_TRUE(WaitUntil([&] { return StoredRecords() == 0; }));
  EXPECT_TRUE(cache_queue_->IsEmpty()) << "nothing handed on twice";

  // Untrusted again: new flows go to the store, under the new key the emptied cache made. Rows go
  // only once sent: nothing reported sent keeps every row, however long the records are held.
  registrar_.SetTrusted(false);
  PushFlows(1000, 250, Now());
  ASSERT_TRUE(WaitUntil([&] { return StoredRecords() == 250; }));
  EXPECT_TRUE(cache_queue_->IsEmpty());
  registrar_.SetTrusted(true);
  auto held = Receive(250, false);
  ASSERT_EQ(FlowIds(held), Range(1000, 250));
  // Sent: the last 200. Dropped unsent: the first 50, which are read and handed on again.
  for (std::size_t index = 50; index < held.size(); ++index) {
    engine_->Ledger().Delivered(held[index].get());
  }
  held.clear();
  EXPECT_EQ(FlowIds(Receive(50, false)), Range(1000, 50));
  ASSERT_TRUE(WaitUntil([&] { return StoredRecords() == 50; }));

  // A stop while untrusted stores what is still queued; records held elsewhere keep their rows.
  registrar_.SetTrusted(false);
  PushFlows(2000, 2000, Now());
  EXPECT_EQ(engine_->Stop(), kObSuccess);
  EXPECT_EQ(StoredRecords(), 2050);
  engine_.reset();
  cache_queue_ = std::make_unique<CacheObjectQueue>(1000);
  registrar_.SetTrusted(true);
  Start();
  std::vector<std::uint32_t> expected = Range(1000, 50);
  std::ranges::copy(Range(2000, 2000), std::back_inserter(expected));
  EXPECT_EQ(FlowIds(Receive(2050)), expected);
  EXPECT_TRUE(WaitUntil([&] { return StoredRecords() == 0; }));
}

TEST_F(CacheEngineTest, SizePurgeDeletesOnlyWhatTheLimitNeedsAndOnlyWhileCaching) {
  // 1 MB less the 500 KB margin; the records fill about 1.8 MB, some 270 fit. Freed pages count
  // as room, so the purge stops as soon as the data fits instead of emptying the store further.
  limits_ = {1, CCacheEngine::kNoLimit};
  Start();
  PushFlows(0, 1200, Now(), 30);
  ASSERT_TRUE(WaitUntil([&] { return flow_queue_.IsEmpty(); }));
  std::int64_t stored = 0;
  std::uint64_t used = 0;
  ASSERT_TRUE(WaitUntil([&] {
    OB_STATUSCODE status = kObFailure;
    CSQLite store(&status, false, (directory_ / "ORV.db").wstring());
    used = store.UsedSize();
    stored = StoredRecords();
    return stored > 0 && stored < 1200 && used < 1048576 - 512000;
  })) << stored
      << " records, " << used << " bytes";
  const auto kept = static_cast<std::uint32_t>(stored);
  EXPECT_GE(kept, 200U);
  // While exporting nothing is purged, even with the limit lowered below the data.
  registrar_.SetTrusted(true);
  auto ids = FlowIds(Receive(1));
  limits_ = {0, CCacheEngine::kNoLimit};
  engine_->OnProfileStateChanged();
  std::ranges::copy(FlowIds(Receive(kept - 1)), std::back_inserter(ids));
  EXPECT_EQ(ids, Range(1200 - kept, kept));
  EXPECT_TRUE(WaitUntil([&] { return StoredRecords() == 0; }));
}

TEST_F(CacheEngineTest, FullDiskLosesNothingStoredAndCompactionFailureKeepsTheStore) {
  ORV_RERUN_IN_NAMESPACE("-rm");
  if (::mount("tmpfs", directory_.c_str(), "tmpfs", 0, "size=600k,mode=0700") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  orv::test::LogCapture log;
  Start();
  PushFlows(0, 1000, Now(), 30);  // about 1.8 MB: most cannot be stored
  ASSERT_TRUE(WaitUntil([&] { return flow_queue_.IsEmpty(); }));
  ASSERT_TRUE(WaitUntil([&] { return log.Contains("records not stored so far"); }));
  const std::int64_t stored = StoredRecords();
  ASSERT_GT(stored, 0);
  ASSERT_LT(stored, 1000);
  // Space returns: caching goes on.
  ASSERT_EQ(::mount("tmpfs", directory_.c_str(), "tmpfs", MS_REMOUNT, "size=8m"), 0);
  PushFlows(5000, 10, Now());
  ASSERT_TRUE(WaitUntil([&] { return StoredRecords() == stored + 10; }));
  EXPECT_EQ(engine_->Stop(), kObSuccess);
  engine_.reset();

  // A start on a nearly full disk cannot compact: the store is kept and read back in full.
  const std::uintmax_t available = fs::space(directory_).available;
  ASSERT_GT(available, 200000U);
  std::ofstream(directory_ / "filler") << std::string(available - 100000, 'f');
  registrar_.SetTrusted(true);
  Start();
  const auto received = Receive(static_cast<std::size_t>(stored) + 10, false);
  const auto ids = FlowIds(received);
  ASSERT_EQ(ids.size(), static_cast<std::size_t>(stored) + 10);
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  EXPECT_EQ(ids.back(), 5009U);
  EXPECT_TRUE(log.Contains("was not compacted"));
  EXPECT_FALSE(log.Contains("Failed to migrate DB"));

  // The disk fills up before the sent rows are deleted: the rows stay, and so does the key that
  // reads them (no "Database empty", no new key), until space returns.
  std::ofstream(directory_ / "filler2") << std::string(fs::space(directory_).available, 'f');
  const auto key = [this] { return orv::test::ChildProcess::ReadAll(directory_ / "KConfig.dat"); };
  const std::string key_before = key();
  for (const auto& object : received) {
    engine_->Ledger().Delivered(object.get());
  }
  ASSERT_TRUE(WaitUntil([&] { return log.Contains("delivered records; trying again later"); }));
  EXPECT_FALSE(log.Contains("Database empty"));
  EXPECT_EQ(key(), key_before);
  fs::remove(directory_ / "filler");
  fs::remove(directory_ / "filler2");
  EXPECT_TRUE(WaitUntil([&] { return StoredRecords() == 0; }));
}

TEST_F(CacheEngineTest, RejectsMissingQueuesAndReplacesAnUnmigratableDatabase) {
  {
    OB_STATUSCODE status = kObSuccess;
    CCacheEngine engine(&registrar_, nullptr, cache_queue_.get(), &interface_queue_, &status,
                        {directory_.wstring(), std::nullopt, nullptr});
    EXPECT_EQ(status, kObBadArgument);
    EXPECT_EQ(engine.Stop(), kObSuccess);
  }
  {
    OB_STATUSCODE status = kObFailure;
    CSQLite store(&status, true, (directory_ / "ORV.db").wstring());
    ASSERT_EQ(store.WriteDBSchemaVersion("12"), kObSuccess);
    bool limit = false;
    const std::uint8_t blob[] = {'J', 'U', 'N', 'K'};
    ASSERT_EQ(store.WriteEntry(blob, Now(), sizeof(blob), &limit), kObSuccess);
  }  // closing commits the row
  orv::test::LogCapture log;
  Start();
  PushFlows(0, 3, Now());
  EXPECT_TRUE(WaitUntil([&] { return StoredRecords() == 3; })) << "the junk row is gone";
  EXPECT_TRUE(log.Contains("Failed to migrate DB. Deleting the DB file."));
  OB_STATUSCODE status = kObFailure;
  CSQLite store(&status, false, (directory_ / "ORV.db").wstring());
  int version = 0;
  EXPECT_EQ(store.ReadDBSchemaVersion(&version), kObSuccess);
  EXPECT_EQ(version, 10);
}

}  // namespace
