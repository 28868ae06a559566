#include "cache/sqlite_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include "cache/cache_test_support.h"
#include "runtime/utils.h"
#include "support/log_capture.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> Blob(std::uint32_t number) {
  std::vector<std::uint8_t> blob(16, static_cast<std::uint8_t>(number));
  std::memcpy(blob.data(), &number, sizeof(number));
  return blob;
}

std::uint32_t NumberOf(const std::uint8_t* blob) {
  std::uint32_t number = 0;
  std::memcpy(&number, blob, sizeof(number));
  return number;
}

class SQLiteStoreTest : public ::testing::Test {
 protected:
  orv::test::TempDir temp_;
  fs::path path_ = temp_.path() / "ORV.db";

  std::unique_ptr<CSQLite> Open(bool create_tables = true) {
    OB_STATUSCODE status = kObFailure;
    auto store = std::make_unique<CSQLite>(&status, create_tables, path_.wstring());
    EXPECT_EQ(status, kObSuccess);
    return store;
  }
  static void Write(CSQLite& store, std::uint32_t first, std::uint32_t count,
                    std::int64_t timestamp = 1000) {
    bool size_limit = false;
    for (std::uint32_t i = first; i < first + count; ++i) {
      const auto blob = Blob(i);
      ASSERT_EQ(store.WriteEntry(blob.data(), timestamp, blob.size(), &size_limit), kObSuccess);
    }
  }
  // The numbers the records ReadEntry gives back carry (none when it fails, *status tells).
  static std::vector<std::uint32_t> Read(CSQLite& store, std::uint32_t count,
                                         std::uint32_t offset = 0, std::int64_t first = 0,
                                         std::int64_t last = 0, OB_STATUSCODE* status = nullptr) {
    std::vector<std::uint32_t> sizes(std::max(count, 64U));
    std::vector<std::uint8_t> buffer(sizes.size() * 16);
    auto size = static_cast<std::uint32_t>(buffer.size());
    const OB_STATUSCODE read =
        store.ReadEntry(&count, buffer.data(), &size, sizes.data(), first, last, offset);
    if (status != nullptr) {
      *status = read;
    }
    std::vector<std::uint32_t> numbers;
    for (std::uint32_t i = 0, at = 0; read == kObSuccess && i < count; at += sizes[i++]) {
      numbers.push_back(NumberOf(buffer.data() + at));
    }
    return numbers;
  }
  // The first column of each row sql yields on a connection of its own (committed rows only).
  std::vector<std::string> Query(const char* sql) const {
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    std::vector<std::string> rows;
    if (sqlite3_open(path_.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK) {
      while (sqlite3_step(statement) == SQLITE_ROW) {
        rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
      }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
  }
};

TEST_F(SQLiteStoreTest, CreatesAPrivateFileWithTheSchemaCommitsEveryTwentyAndKeepsAVersion) {
  auto store = Open();
  EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(store->IsFreshDB());
  EXPECT_TRUE(store->IsEmpty());
  Write(*store, 0, 45);
  EXPECT_EQ(store->OpenBatchCount(), 5U);
  EXPECT_EQ(Query("SELECT COUNT(*) FROM PROCESS_DATA"), std::vector<std::string>{"40"});
  EXPECT_EQ(store->FlushRecordsToDatabase(), kObSuccess);
  EXPECT_EQ(Query("SELECT COUNT(*) FROM PROCESS_DATA"), std::vector<std::string>{"45"});
  Write(*store, 45, 3);
  store.reset();  // closing commits the open batch
  EXPECT_EQ(Query("SELECT COUNT(*) FROM PROCESS_DATA"), std::vector<std::string>{"48"});
  EXPECT_EQ(Query("SELECT sql FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite%' "
                  "ORDER BY name"),
            (std::vector<std::string>{
                "CREATE TABLE METADATA(PARAMETER TEXT PRIMARY KEY ,VALUE TEXT NOT NULL )",
                "CREATE TABLE PROCESS_DATA(ID INTEGER PRIMARY KEY AUTOINCREMENT,INFO BLOB NOT "
                "NULL,TIMESTAMP INTEGER NOT NULL)"}));

  fs::remove(path_);
  store = Open(false);
  EXPECT_TRUE(store->IsFreshDB()) << "without table creation";
  EXPECT_EQ(store->StartSQLiteEngine(true), kObSuccess);
  EXPECT_FALSE(store->IsFreshDB());

  int version = -1;
  EXPECT_EQ(store->ReadDBSchemaVersion(&version), kObNotFound);
  EXPECT_EQ(version, 0);
  // Versions in range, not a number, out of range either side, longer than the first read's buffer.
  for (const auto& [text, expected] :
       {std::pair{"10", 10}, {"abc", 0}, {"12", 11}, {"-1", 11}, {"0000000009", 9}}) {
    ASSERT_EQ(store->WriteDBSchemaVersion(text), kObSuccess);
    ASSERT_EQ(store->ReadDBSchemaVersion(&version), kObSuccess) << text;
    EXPECT_EQ(version, expected) << text;
  }
}

// Reads go oldest first by offset, range or ID within the buffer; deletions take the oldest or a
// range, aging keeps its margin, and IDs restart at 1 once the store is empty.
TEST_F(SQLiteStoreTest, ReadsAndDeletesOldestFirstAgesRecordsAndRestartsIdsWhenEmpty) {
  auto store = Open();
  Write(*store, 1, 100);
  ASSERT_EQ(store->FlushRecordsToDatabase(), kObSuccess);
  std::vector<std::uint32_t> tail(70);
  std::iota(tail.begin(), tail.end(), 31U);
  EXPECT_EQ(Read(*store, 100, 30), tail);
  EXPECT_EQ(Read(*store, 5), (std::vector<std::uint32_t>{1, 2, 3, 4, 5}));
  EXPECT_TRUE(Read(*store, 10, 100).empty()) << "nothing past the end";

  struct Case {
    std::uint32_t count;
    std::int64_t first;
    std::int64_t last;
    OB_STATUSCODE status;
    std::vector<std::uint32_t> numbers;
  };
  const Case cases[] = {
      {3, 10, 0, kObSuccess, {10, 11, 12}},   // last = first + count - 1
      {1, 7, 0, kObSuccess, {7}},             // a single ID
      {9, 20, 22, kObSuccess, {20, 21, 22}},  // the range wins over the count
      {0, 5, 6, kObSuccess, {5, 6}},          // a full range needs no count
      {3, 10, 9, kObBadArgument, {}},         // last before first
      {0, 0, 0, kObBadArgument, {}},          // no count, no range
      {0, 5, 0, kObBadArgument, {}},          // no count, half a range
  };
  for (const Case& c : cases) {
    OB_STATUSCODE status = kObFailure;
    EXPECT_EQ(Read(*store, c.count, 0, c.first, c.last, &status), c.numbers) << c.first;
    EXPECT_EQ(status, c.status) << c.first << ".." << c.last;
  }

  // A read stops before the first record that does not fit; single records grow the buffer.
  orv::test::LogCapture log;
  std::uint32_t count = 10;
  std::vector<std::uint8_t> buffer(40);
  std::vector<std::uint32_t> sizes(10);
  std::uint32_t size = 40;
  ASSERT_EQ(store->ReadEntry(&count, buffer.data(), &size, sizes.data(), 0, 0, 0), kObSuccess);
  EXPECT_EQ(count, 2U);
  EXPECT_EQ(size, 32U);
  EXPECT_TRUE(log.Contains("Only partial write was successful memory needed=48"));

  std::uint32_t length = 8;
  EXPECT_EQ(store->ReadSingleEntry(3, buffer.data(), &length), kObBufferTooSmall);
  EXPECT_EQ(length, 16U);
  ASSERT_EQ(store->ReadSingleEntry(3, buffer.data(), &length), kObSuccess);
  EXPECT_EQ(NumberOf(buffer.data()), 3U);
  length = 40;
  EXPECT_EQ(store->ReadSingleEntry(999, buffer.data(), &length), kObNotFound);

  // Deletion goes oldest first or by range, an open batch included.
  Write(*store, 101, 10);
  bool size_limit = false;
  count = 10;
  ASSERT_EQ(store->DeleteEntry(&count, &size_limit, 0, 0), kObSuccess);
  EXPECT_EQ(Read(*store, 1), (std::vector<std::uint32_t>{11}));
  count = 1;  // does not match the range: the range wins
  ASSERT_EQ(store->DeleteEntry(&count, &size_limit, 11, 20), kObSuccess);
  EXPECT_EQ(count, 10U);
  EXPECT_EQ(Read(*store, 1), (std::vector<std::uint32_t>{21}));
  count = 0;
  EXPECT_EQ(store->DeleteEntry(&count, &size_limit, 0, 0), kObBadArgument);
  count = 1000;
  ASSERT_EQ(store->DeleteEntry(&count, &size_limit, 0, 0), kObSuccess);
  EXPECT_TRUE(store->IsEmpty());

  // Aging keeps a margin of 300 s and time stamps take 64 bits.
  store->SetCacheLimits(CSQLite::kNoSizeLimit, 86400);
  const std::int64_t now = orv::cache_test::Now();
  Write(*store, 1, 1, now - 86400);       // older than age - 300: deleted
  Write(*store, 2, 1, now - 86100 - 60);  // deleted as well
  Write(*store, 3, 1, now - 86100 + 60);  // kept
  Write(*store, 4, 1, 4102444800);        // 2100-01-01, beyond 32 bits of signed seconds
  std::int64_t value = 0;
  ASSERT_EQ(store->GetMinValue("ID", &value), kObSuccess);
  EXPECT_EQ(value, 1) << "IDs restart at 1";
  ASSERT_EQ(store->GetOldestTimeStamp(&value), kObSuccess);
  EXPECT_EQ(value, now - 86400);
  ASSERT_EQ(store->DeleteBasedOnDuration(), kObSuccess);
  EXPECT_EQ(Read(*store, 10), (std::vector<std::uint32_t>{3, 4}));
  for (const std::int64_t oldest : {std::int64_t{4102444800}, std::int64_t{0}}) {
    count = 1;
    ASSERT_EQ(store->DeleteEntry(&count, &size_limit, 0, 0), kObSuccess);
    ASSERT_EQ(store->GetOldestTimeStamp(&value), kObSuccess);
    EXPECT_EQ(value, oldest) << "0: empty store";
  }
}

TEST_F(SQLiteStoreTest, SizeLimitCountsDataInUseAndDeletionsMakeRoomAtOnce) {
  auto store = Open();
  store->SetCacheLimits(10, 86400);
  EXPECT_EQ(store->SizeLimit(), 9973760);
  store->SetCacheLimits(CSQLite::kNoSizeLimit, 86400);
  EXPECT_EQ(store->SizeLimit(), 0);
  EXPECT_FALSE(store->IsPurgeOnSizeRequired());
  store->SetCacheLimits(2, 86400);  // 2097152 - 512000 = 1585152 bytes
  bool size_limit = false;
  std::uint32_t written = 0;
  const std::vector<std::uint8_t> blob(100, 0x5A);
  while (!size_limit && written < 20000) {
    ASSERT_EQ(store->WriteEntry(blob.data(), 1, blob.size(), &size_limit), kObSuccess);
    ++written;
  }
  ASSERT_TRUE(size_limit);
  EXPECT_GE(store->UsedSize(), 1585152U);
  EXPECT_LT(store->StoreFilesSize(), 1585152U + 20 * 200 + 65536) << "one batch over, not more";

  // Freed pages are room: one or two batches of deletions bring the data under the limit, the
  // WAL checkpointed out of the way, without a compaction.
  std::uint32_t deleted = 0;
  while (size_limit && deleted < written) {
    std::uint32_t count = 100;
    ASSERT_EQ(store->DeleteEntry(&count, &size_limit, 0, 0), kObSuccess);
    deleted += count;
  }
  EXPECT_FALSE(size_limit);
  EXPECT_LE(deleted, 200U);
  EXPECT_LT(store->UsedSize(), 1585152U);
  std::uint64_t wal = 0;
  EXPECT_EQ(OBRuntime::Utils::GetFileSize(path_.wstring() + L"-wal", wal), kObSuccess);
  EXPECT_LE(wal, CSQLite::kWalCheckpointBytes);
}

}  // namespace
