#include "cache/db_migrate.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "cache/cache_test_support.h"
#include "common/orv_flow_object.h"
#include "support/log_capture.h"

namespace {

namespace fs = std::filesystem;

// Writes the old "ORVO" layout: zero-terminated texts, fixed hashes, no account types.
class OldRecord {
 public:
  OldRecord& U(std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
      bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    return *this;
  }
  OldRecord& Narrow(const std::string& text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    bytes_.push_back(0);
    return *this;
  }
  OldRecord& Wide(const std::u16string& text) {
    for (const char16_t unit : text) {
      U(unit, 2);
    }
    return U(0, 2);
  }
  OldRecord& Fill(std::uint8_t value, std::size_t count) {
    bytes_.insert(bytes_.end(), count, value);
    return *this;
  }
  [[nodiscard]] const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_ = {'O', 'R', 'V', 'O'};
};

std::vector<std::uint8_t> OldFlow(std::uint32_t pid, std::uint32_t modules = 2) {
  OldRecord r;
  r.U(pid, 4).Narrow("10.0.0.1").U(5000, 2).Narrow("10.0.0.2").U(443, 2).U(6, 1);
  r.U(1700000000, 4).U(1700000060, 4).U(111, 8).U(222, 8).U(7, 4).U(2, 4);
  r.Wide(u"app").Wide(u"parent").Fill(0xAA, 32).Fill(0xBB, 32);
  r.Wide(u"HOST\\alice").Wide(u"HOST\\bob").Wide(u"HOST\\carol").Wide(u"example.com");
  r.Wide(u"www.example.com").U(modules, 4);
  for (std::uint32_t i = 0; i < modules; ++i) {
    r.Wide(u"module");
  }
  r.U(1, 4).Fill(0xCC, 32);
  return r.bytes();
}

class DbMigrateTest : public ::testing::Test {
 protected:
  // A store with PROCESS_DATA only; version written when not null.
  std::unique_ptr<CSQLite> OldStore(const char* version) {
    OB_STATUSCODE status = kObFailure;
    auto store = std::make_unique<CSQLite>(&status, false, path_.wstring());
    EXPECT_EQ(status, kObSuccess);
    EXPECT_EQ(store->executeStatement("CREATE TABLE IF NOT EXISTS PROCESS_DATA(ID INTEGER PRIMARY "
                                      "KEY AUTOINCREMENT,INFO BLOB NOT NULL,TIMESTAMP INTEGER NOT "
                                      "NULL);"),
              kObSuccess);
    if (version != nullptr) {
      EXPECT_EQ(store->CreateMetaDataTable(), kObSuccess);
      EXPECT_EQ(store->WriteDBSchemaVersion(version), kObSuccess);
    }
    return store;
  }
  // Writes record as the engine stores it, or as it is when raw.
  void Store(CSQLite& store, const std::vector<std::uint8_t>& record, bool raw = false) {
    const CacheBlock stored = raw ? record : chain_.Forward(record);
    bool size_limit = false;
    ASSERT_EQ(store.WriteEntry(stored.data(), 1, stored.size(), &size_limit), kObSuccess);
    ASSERT_EQ(store.FlushRecordsToDatabase(), kObSuccess);
  }
  static std::vector<std::uint8_t> Raw(CSQLite& store, std::int64_t id) {
    std::vector<std::uint8_t> raw(65536);
    auto length = static_cast<std::uint32_t>(raw.size());
    EXPECT_EQ(store.ReadSingleEntry(id, raw.data(), &length), kObSuccess) << id;
    raw.resize(length);
    return raw;
  }
  static int Version(CSQLite& store) {
    int version = -1;
    EXPECT_EQ(store.ReadDBSchemaVersion(&version), kObSuccess);
    return version;
  }
  OB_STATUSCODE Migrate(CSQLite& store, const MigratorList& migrators = MakeMigrators()) {
    return RunMigrationChain(store, chain_.manager, migrators);
  }

  orv::cache_test::SealingDir temp_;
  std::filesystem::path path_ = temp_.path() / "ORV.db";
  orv::cache_test::PluginChain chain_{temp_.path(), temp_.Protection()};
};

TEST(DbMigrateTransformTest, AddsAccountTypesAndClampsTheModuleCount) {
  ORVFlowObject flow;
  std::uint32_t length = 0;
  // The first size bytes of record transformed into a buffer of size + 6 - short_by bytes.
  const auto transform = [&](const std::vector<std::uint8_t>& record, std::size_t size,
                             std::size_t short_by = 0) {
    std::vector<std::uint8_t> out(size + 6 - short_by);
    length = static_cast<std::uint32_t>(out.size());
    const OB_STATUSCODE status =
        CUpgrade9To10Impl::TransformRecord(record.data(), size, out.data(), &length, out.size());
    return status == kObSuccess ? flow.Deserialize(out.data(), length) : status;
  };
  const auto old = OldFlow(42);
  ASSERT_EQ(transform(old, old.size()), kObSuccess);
  EXPECT_EQ(length, old.size() + 6);
  EXPECT_EQ(flow.process_id, 42U);
  EXPECT_EQ(flow.destination_port, 443);
  EXPECT_EQ(flow.process_user_name, L"HOST\\bob");
  EXPECT_EQ(flow.parent_process_user_account_type, 0);
  EXPECT_EQ(flow.destination_host_name, L"www.example.com");
  EXPECT_EQ(flow.hosted_modules.size(), 2U);
  EXPECT_EQ(flow.hosted_module_hashes, std::vector<std::string>{std::string(32, '\xCC')});

  const auto many = OldFlow(1, 60);
  ASSERT_EQ(transform(many, many.size()), kObSuccess);
  EXPECT_EQ(flow.hosted_modules.size(), 50U) << "the clamped count is written";

  EXPECT_EQ(transform(old, old.size(), 1), kObBadArgument);
  for (std::size_t cut = 4; cut < old.size(); cut += 7) {
    EXPECT_NE(transform(old, cut), kObSuccess) << cut;
  }
}

TEST_F(DbMigrateTest, StoreWithoutMetadataRunsWholeChainAcrossIdGapsAndUnreadableRows) {
  auto store = OldStore(nullptr);
  for (std::uint32_t pid = 1; pid <= 5; ++pid) {
    Store(*store, OldFlow(pid));
  }
  std::uint32_t count = 2;
  bool size_limit = false;
  ASSERT_EQ(store->DeleteEntry(&count, &size_limit, 2, 3), kObSuccess);  // gap: 1, 4, 5
  // Rows that cannot be read are left as they are: one cut short, one that does not decrypt.
  auto truncated = OldFlow(6);
  truncated.resize(40);
  Store(*store, truncated);
  const std::vector<std::uint8_t> undecryptable = {'O', 'R', 'V', 'C', 0, 0, 0, 0, 9, 9};
  Store(*store, undecryptable, true);
  const auto sixth = Raw(*store, 6);
  orv::test::LogCapture log;
  ASSERT_EQ(Migrate(*store), kObSuccess);
  EXPECT_TRUE(log.Contains("Metadata not found. Need to upgrade DB schema"));
  EXPECT_EQ(Version(*store), 10);
  for (const std::int64_t id : {1, 4, 5}) {
    CacheBlock plain;
    EXPECT_EQ(chain_.Backward(Raw(*store, id), plain), kObSuccess) << id;
    EXPECT_EQ(plain.size(), OldFlow(1).size() + 6) << id;
    ORVFlowObject flow;
    ASSERT_EQ(flow.Deserialize(plain.data(), plain.size()), kObSuccess) << id;
    EXPECT_EQ(flow.process_id, static_cast<std::uint32_t>(id));
  }
  EXPECT_EQ(Raw(*store, 6), sixth);
  EXPECT_EQ(Raw(*store, 7), undecryptable);
}

class SilentMigrator : public CDBMigrateBase {
 public:
  OB_STATUSCODE Upgrade(CSQLite&, CPluginManager&) override { return kObSuccess; }
};

class FailingMigrator : public CDBMigrateBase {
 public:
  OB_STATUSCODE Upgrade(CSQLite& store, CPluginManager&) override {
    return inTransaction(store, [&store]() {
      static_cast<void>(store.WriteDBSchemaVersion("5"));
      return kObFailure;
    });
  }
};

// A record of another kind rolls the upgrade back; so does a step that fails, and one that does
// not raise the version fails the chain.
TEST_F(DbMigrateTest, FailingStepsRollBackAndFailTheChain) {
  auto store = OldStore("8");
  Store(*store, OldFlow(1));
  Store(*store, {'O', 'R', 'V', 'I', 1, 2, 3, 4});
  const auto before = Raw(*store, 1);
  orv::test::LogCapture log;
  EXPECT_EQ(Migrate(*store), kObFailure);
  EXPECT_TRUE(log.Contains("Transforming Rows failed, error: -9994"));
  EXPECT_TRUE(log.Contains("Failed to upgrade db."));
  EXPECT_EQ(Version(*store), 8);
  EXPECT_EQ(Raw(*store, 1), before) << "the rewritten first row was rolled back";

  ASSERT_EQ(store->WriteDBSchemaVersion("3"), kObSuccess);
  MigratorList migrators = MakeMigrators();
  migrators[3] = std::make_unique<SilentMigrator>();
  EXPECT_EQ(Migrate(*store, migrators), kObFailure);
  EXPECT_TRUE(log.Contains("Failed to get updated version or migration failed."));
  migrators[3] = std::make_unique<FailingMigrator>();
  EXPECT_EQ(Migrate(*store, migrators), kObFailure);
  EXPECT_EQ(Version(*store), 3) << "rolled back";
}

TEST_F(DbMigrateTest, CurrentStoreRunsNothingAndNewerOrUnreadableOnesCannotBeMigrated) {
  auto store = OldStore("10");
  Store(*store, {'O', 'R', 'V', 'N', 1, 2, 3});
  const auto before = Raw(*store, 1);
  ASSERT_EQ(Migrate(*store), kObSuccess);
  EXPECT_EQ(Raw(*store, 1), before);
  ASSERT_EQ(store->WriteDBSchemaVersion("9"), kObSuccess);
  ASSERT_EQ(Migrate(*store), kObSuccess);
  EXPECT_EQ(Version(*store), 9) << "no migrator starts at 9; start-up stamps 10";
  for (const char* version : {"12", "11"}) {
    ASSERT_EQ(store->WriteDBSchemaVersion(version), kObSuccess);
    EXPECT_EQ(Migrate(*store), kObFailure) << version;
  }
  const std::filesystem::path garbage = temp_.path() / "garbage.db";
  for (const std::string& content :
       {std::string(5000, 'x'), std::string("SQLite format 3\0", 16)}) {
    std::ofstream(garbage, std::ios::binary | std::ios::trunc) << content;
    OB_STATUSCODE status = kObFailure;
    CSQLite unreadable(&status, false, garbage.wstring());
    ASSERT_EQ(status, kObSuccess) << "the schema check decides what happens to the file";
    EXPECT_FALSE(unreadable.IsFreshDB());
    EXPECT_EQ(Migrate(unreadable), kObFailure);
    EXPECT_NE(unreadable.StartSQLiteEngine(true), kObSuccess);
  }
}

}  // namespace
