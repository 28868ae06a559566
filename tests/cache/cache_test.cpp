// The flow cache: the SQLite store, the compression and encryption chain records are stored
// through with its sealed key, persisted values, the schema migration chain, and the engine that
// caches while untrusted and reads back once trusted.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "cache/cache_engine.h"
#include "cache/cache_plugins.h"
#include "cache/db_migrate.h"
#include "cache/persisted_state.h"
#include "cache/sqlite_store.h"
#include "common/orv_flow_object.h"
#include "support/child_process.h"
#include "support/fake_registrar.h"
#include "support/log_capture.h"
#include "support/namespace_rerun.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;

std::uint32_t Now() { return static_cast<std::uint32_t>(std::time(nullptr)); }

std::vector<std::uint32_t> Range(std::uint32_t first, std::uint32_t count) {
  std::vector<std::uint32_t> ids(count);
  std::iota(ids.begin(), ids.end(), first);
  return ids;
}

// A record of size bytes that compresses well.
CacheBlock Record(std::size_t size) {
  CacheBlock record(size);
  std::memcpy(record.data(), "ORVN", 4);
  for (std::size_t i = 4; i < size; ++i) {
    record[i] = static_cast<std::uint8_t>(i % 7);
  }
  return record;
}

// The engine's chain: compression, then encryption under the key kept in directory.
struct PluginChain {
  PluginChain(const fs::path& directory, OBPlatform::CDataProtection protection,
              OB_STATUSCODE expected_status = kObSuccess) {
    OB_STATUSCODE crypto_status = kObFailure;
    auto crypto = std::make_unique<COpenSSLCryptoPlugin>(
        &crypto_status, KeyFileLocation{directory.wstring(), std::move(protection)});
    OB_STATUSCODE status = kObFailure;
    obfuscation = std::make_unique<CObfuscationPlugin>(&status, std::move(crypto), crypto_status);
    EXPECT_EQ(status, expected_status);
    EXPECT_EQ(manager.AddPlugin(&compression), kObSuccess);
    EXPECT_EQ(manager.AddPlugin(obfuscation.get()), kObSuccess);
  }
  // The stored form of record, made in a block of at least the engine's 4096-byte work buffer.
  CacheBlock Forward(const CacheBlock& record) {
    CacheBlock block(std::max<std::size_t>(4096, record.size()));
    std::memcpy(block.data(), record.data(), record.size());
    auto length = static_cast<std::uint32_t>(record.size());
    EXPECT_EQ(manager.ProcessForward(block, length), kObSuccess);
    block.resize(length);
    return block;
  }
  OB_STATUSCODE Backward(const CacheBlock& stored, CacheBlock& out) {
    out = stored;
    auto length = static_cast<std::uint32_t>(stored.size());
    const OB_STATUSCODE status = manager.ProcessBackward(out, length);
    out.resize(length);
    return status;
  }
  // True when the chain cannot give record back. CBC with padding has no authentication, so a
  // wrong key now and then passes the padding check and decompresses into garbage: what must
  // never happen is the record itself coming back.
  bool Unreadable(const CacheBlock& stored, const CacheBlock& record) {
    CacheBlock out;
    return Backward(stored, out) != kObSuccess || out != record;
  }

  CCompressionPlugin compression;
  std::unique_ptr<CObfuscationPlugin> obfuscation;
  CPluginManager manager;
};

// A temporary directory holding a machine id; values are sealed for uid 1000 with a secret kept
// under "secrets".
class CacheTest : public ::testing::Test {
 protected:
  CacheTest() {
    std::ofstream(temp_.path() / "machine-id") << "0123456789abcdef0123456789abcdef\n";
  }
  OBPlatform::CDataProtection Protection(const char* machine_id = "machine-id") const {
    return {temp_.path() / "secrets", temp_.path() / machine_id, 1000};
  }
  [[nodiscard]] std::unique_ptr<PluginChain> Chain(
      const fs::path& directory, OB_STATUSCODE expected_status = kObSuccess) const {
    return std::make_unique<PluginChain>(directory, Protection(), expected_status);
  }
  static std::unique_ptr<CSQLite> Open(const fs::path& path, bool create_tables) {
    OB_STATUSCODE status = kObFailure;
    auto store = std::make_unique<CSQLite>(&status, create_tables, path.wstring());
    EXPECT_EQ(status, kObSuccess);
    return store;
  }

  TempDir temp_;
  fs::path directory_ = temp_.path() / "ORV";
  fs::path path_ = temp_.path() / "ORV.db";
};

// ---- The store: record n is 16 bytes of n.

void Write(CSQLite& store, std::uint32_t first, std::uint32_t count,
           std::int64_t timestamp = 1000) {
  bool size_limit = false;
  for (std::uint32_t i = first; i < first + count; ++i) {
    const std::vector<std::uint8_t> blob(16, static_cast<std::uint8_t>(i));
    ASSERT_EQ(store.WriteEntry(blob.data(), timestamp, blob.size(), &size_limit), kObSuccess);
  }
}

// The numbers the records ReadEntry gives back carry (none when it fails, *status tells).
std::vector<std::uint32_t> Read(CSQLite& store, std::uint32_t count, std::uint32_t offset = 0,
                                std::int64_t first = 0, std::int64_t last = 0,
                                OB_STATUSCODE* status = nullptr) {
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
    numbers.push_back(buffer[at]);
  }
  return numbers;
}

// The first column of each row sql yields on a connection of its own (committed rows only; none
// when there is no store, which this never creates).
std::vector<std::string> Query(const fs::path& path, const char* sql) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    const auto add = [](void* out, int, char** values, char**) {
      static_cast<std::vector<std::string>*>(out)->emplace_back(values[0]);
      return 0;
    };
    sqlite3_exec(db, sql, add, &rows, nullptr);
  }
  sqlite3_close(db);
  return rows;
}

TEST_F(CacheTest, StoreCreatesAPrivateFileWithTheSchemaCommitsEveryTwentyAndKeepsAVersion) {
  auto store = Open(path_, true);
  EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  Write(*store, 0, 45);
  EXPECT_EQ(store->OpenBatchCount(), 5U);
  EXPECT_EQ(Query(path_, "SELECT COUNT(*) FROM PROCESS_DATA"), std::vector<std::string>{"40"});
  EXPECT_EQ(store->FlushRecordsToDatabase(), kObSuccess);
  EXPECT_EQ(Query(path_, "SELECT COUNT(*) FROM PROCESS_DATA"), std::vector<std::string>{"45"});
  Write(*store, 45, 3);
  store.reset();  // closing commits the open batch
  EXPECT_EQ(Query(path_, "SELECT COUNT(*) FROM PROCESS_DATA"), std::vector<std::string>{"48"});
  EXPECT_EQ(Query(path_,
                  "SELECT sql FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite%' "
                  "ORDER BY name"),
            (std::vector<std::string>{
                "CREATE TABLE METADATA(PARAMETER TEXT PRIMARY KEY ,VALUE TEXT NOT NULL )",
                "CREATE TABLE PROCESS_DATA(ID INTEGER PRIMARY KEY AUTOINCREMENT,INFO BLOB NOT "
                "NULL,TIMESTAMP INTEGER NOT NULL)"}));

  fs::remove(path_);
  store = Open(path_, false);
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
TEST_F(CacheTest, StoreReadsAndDeletesOldestFirstAgesRecordsAndRestartsIdsWhenEmpty) {
  auto store = Open(path_, true);
  Write(*store, 1, 100);
  ASSERT_EQ(store->FlushRecordsToDatabase(), kObSuccess);
  EXPECT_EQ(Read(*store, 100, 30), Range(31, 70));
  EXPECT_EQ(Read(*store, 5), Range(1, 5));
  EXPECT_TRUE(Read(*store, 10, 100).empty()) << "nothing past the end";

  struct Case {
    std::uint32_t count;
    std::int64_t first;
    std::int64_t last;
    std::vector<std::uint32_t> numbers;  // none: a bad argument
  };
  const Case cases[] = {
      {3, 10, 0, {10, 11, 12}},   // last = first + count - 1
      {9, 20, 22, {20, 21, 22}},  // the range wins over the count
      {0, 5, 6, {5, 6}},          // a full range needs no count
      {3, 10, 9, {}},             // last before first
      {0, 5, 0, {}},              // no count, half a range
  };
  for (const Case& c : cases) {
    OB_STATUSCODE status = kObFailure;
    EXPECT_EQ(Read(*store, c.count, 0, c.first, c.last, &status), c.numbers) << c.first;
    EXPECT_EQ(status, c.numbers.empty() ? kObBadArgument : kObSuccess) << c.first << ".." << c.last;
  }

  // A read stops before the first record that does not fit; single records grow the buffer.
  LogCapture log;
  std::uint32_t count = 10;
  std::vector<std::uint8_t> buffer(40);
  std::vector<std::uint32_t> sizes(10);
  std::uint32_t size = 40;
  ASSERT_EQ(store->ReadEntry(&count, buffer.data(), &size, sizes.data(), 0, 0, 0), kObSuccess);
  EXPECT_EQ(std::pair(count, size), std::pair(2U, 32U));
  EXPECT_TRUE(log.Contains("Only partial write was successful memory needed=48"));

  std::uint32_t length = 8;
  EXPECT_EQ(store->ReadSingleEntry(3, buffer.data(), &length), kObBufferTooSmall);
  EXPECT_EQ(length, 16U);
  ASSERT_EQ(store->ReadSingleEntry(3, buffer.data(), &length), kObSuccess);
  EXPECT_EQ(buffer[0], 3U);
  length = 40;
  EXPECT_EQ(store->ReadSingleEntry(999, buffer.data(), &length), kObNotFound);

  // Deletion goes oldest first or by range, an open batch included.
  Write(*store, 101, 10);
  bool size_limit = false;
  count = 10;
  ASSERT_EQ(store->DeleteEntry(&count, &size_limit, 0, 0), kObSuccess);
  EXPECT_EQ(Read(*store, 1), Range(11, 1));
  count = 1;  // does not match the range: the range wins
  ASSERT_EQ(store->DeleteEntry(&count, &size_limit, 11, 20), kObSuccess);
  EXPECT_EQ(count, 10U);
  EXPECT_EQ(Read(*store, 1), Range(21, 1));
  count = 0;
  EXPECT_EQ(store->DeleteEntry(&count, &size_limit, 0, 0), kObBadArgument);
  count = 1000;
  ASSERT_EQ(store->DeleteEntry(&count, &size_limit, 0, 0), kObSuccess);
  EXPECT_TRUE(store->IsEmpty());

  // Aging keeps a margin of 300 s and time stamps take 64 bits.
  store->SetCacheLimits(CSQLite::kNoSizeLimit, 86400);
  const std::int64_t now = Now();
  Write(*store, 2, 1, now - 86100 - 60);  // older than age - 300: deleted
  Write(*store, 3, 1, now - 86100 + 60);  // kept
  Write(*store, 4, 1, 4102444800);        // 2100-01-01, beyond 32 bits of signed seconds
  std::int64_t value = 0;
  ASSERT_EQ(store->GetMinValue("ID", &value), kObSuccess);
  EXPECT_EQ(value, 1) << "IDs restart at 1";
  ASSERT_EQ(store->GetOldestTimeStamp(&value), kObSuccess);
  EXPECT_EQ(value, now - 86160);
  ASSERT_EQ(store->DeleteBasedOnDuration(), kObSuccess);
  EXPECT_EQ(Read(*store, 10), Range(3, 2));
  for (const std::int64_t oldest : {std::int64_t{4102444800}, std::int64_t{0}}) {
    count = 1;
    ASSERT_EQ(store->DeleteEntry(&count, &size_limit, 0, 0), kObSuccess);
    ASSERT_EQ(store->GetOldestTimeStamp(&value), kObSuccess);
    EXPECT_EQ(value, oldest) << "0: empty store";
  }
}

// The limit counts the data in use, the write-ahead log included; freed pages are room, so one
// or two batches of deletions bring the data under it.
TEST_F(CacheTest, StoreSizeLimitCountsDataInUseAndDeletionsMakeRoomAtOnce) {
  auto store = Open(path_, true);
  store->SetCacheLimits(CSQLite::kNoSizeLimit, 86400);
  EXPECT_EQ(std::pair(store->SizeLimit(), store->IsPurgeOnSizeRequired()),
            std::pair(std::int64_t{0}, false));
  store->SetCacheLimits(2, 86400);  // 2097152 - 512000 = 1585152 bytes
  bool size_limit = false;
  std::uint32_t written = 0;
  const std::vector<std::uint8_t> blob(100, 0x5A);
  for (; !size_limit && written < 20000; ++written) {
    ASSERT_EQ(store->WriteEntry(blob.data(), 1, blob.size(), &size_limit), kObSuccess);
  }
  ASSERT_TRUE(size_limit);
  EXPECT_GE(store->UsedSize(), 1585152U);
  EXPECT_LT(store->StoreFilesSize(), 1585152U + 20 * 200 + 65536) << "one batch over, not more";
  std::uint32_t deleted = 0;
  while (size_limit && deleted < written) {
    std::uint32_t count = 100;
    ASSERT_EQ(store->DeleteEntry(&count, &size_limit, 0, 0), kObSuccess);
    deleted += count;
  }
  EXPECT_FALSE(size_limit);
  EXPECT_LE(deleted, 200U);
  EXPECT_LT(store->UsedSize(), 1585152U);
  EXPECT_LE(fs::file_size(path_.string() + "-wal"), CSQLite::kWalCheckpointBytes);
}

// ---- The plugin chain and its key.

TEST_F(CacheTest, ChainRoundTripsThroughCompressionAndEncryptionAndRejectsDamagedRecords) {
  auto chain = Chain(directory_);
  CacheBlock incompressible = Record(64);
  for (std::size_t i = 4; i < incompressible.size(); ++i) {
    incompressible[i] = static_cast<std::uint8_t>(i * 151 + 17);  // no repeats: LZS would grow it
  }
  CacheBlock back;
  for (const CacheBlock& record :
       {Record(5), Record(100), Record(4000), Record(20000), incompressible}) {
    const CacheBlock stored = chain->Forward(record);
    ASSERT_GE(stored.size(), 24U + 16U);
    // "ORVC", the ciphertext length, the 16-byte IV, then whole AES blocks.
    EXPECT_EQ(std::memcmp(stored.data(), "ORVC", 4), 0);
    std::uint32_t cipher_length = 0;
    std::memcpy(&cipher_length, stored.data() + 4, 4);
    EXPECT_EQ(cipher_length % 16, 0U);
    EXPECT_EQ(stored.size(), 24 + cipher_length);
    ASSERT_EQ(chain->Backward(stored, back), kObSuccess) << record.size();
    EXPECT_EQ(back, record) << record.size();
  }
  EXPECT_NE(chain->Forward(Record(100)), chain->Forward(Record(100))) << "an IV per record";

  // A record that does not compress into its block is stored as it is, and passed on unchanged.
  CacheBlock block = incompressible;
  auto length = static_cast<std::uint32_t>(block.size());
  ASSERT_EQ(chain->compression.ProcessForward(block, length), kObSuccess);
  ASSERT_EQ(chain->compression.ProcessBackward(block, length), kObSuccess);
  EXPECT_EQ(std::pair(block, length), std::pair(incompressible, 64U));

  // Untagged, truncated and foreign records are rejected.
  LogCapture log;
  EXPECT_NE(chain->Backward(Record(100), back), kObSuccess);
  EXPECT_TRUE(log.Has(LOG_ERROR, "CObfuscationPlugin::ProcessBackward",
                      "Failed to decrypt the passed data"));

  const CacheBlock stored = chain->Forward(Record(100));
  // A short header, a stated ciphertext length past the end (or wrapping round), and one that is
  // not in whole blocks.
  EXPECT_NE(chain->Backward(CacheBlock(stored.begin(), stored.begin() + 10), back), kObSuccess);
  for (const std::uint32_t stated : {4096U, 0xFFFFFFF0U, 15U}) {
    CacheBlock damaged = stored;
    std::memcpy(damaged.data() + 4, &stated, 4);
    EXPECT_NE(chain->Backward(damaged, back), kObSuccess) << stated;
  }
  EXPECT_TRUE(Chain(temp_.path() / "other")->Unreadable(stored, Record(100))) << "wrong key";
}

TEST_F(CacheTest, KeyPersistsALostKeyFileCostsTheCacheAndAnUnwritableOneStillServes) {
  const CacheBlock stored = Chain(directory_)->Forward(Record(300));
  CacheBlock back;
  ASSERT_EQ(Chain(directory_)->Backward(stored, back), kObSuccess) << "same key after restart";

  const auto store_files = {"ORV.db", "ORV.db-wal", "ORV.db-shm", "ORV.db-journal"};
  for (const char* file : store_files) {
    std::ofstream(directory_ / file) << "records";
  }
  std::ofstream(directory_ / "KConfig.dat", std::ios::trunc) << "damaged";
  LogCapture log;
  auto chain = Chain(directory_);
  EXPECT_TRUE(log.Contains("Unable to read the KConfig file with error"));
  for (const char* file : store_files) {
    EXPECT_FALSE(fs::exists(directory_ / file)) << file << ": records under the lost key go";
  }
  EXPECT_TRUE(chain->Unreadable(stored, Record(300)));

  fs::remove(directory_ / "KConfig.dat");
  chain = Chain(directory_);
  EXPECT_TRUE(fs::exists(directory_ / "KConfig.dat"));
  const CacheBlock mine = chain->Forward(Record(50));
  ASSERT_EQ(chain->obfuscation->RegenerateKey(), kObSuccess);
  EXPECT_TRUE(chain->Unreadable(mine, Record(50))) << "an emptied cache gets a new key";

  // A key that cannot be written is still used.
  std::ofstream(temp_.path() / "file") << "not a directory";
  chain = Chain(temp_.path() / "file" / "ORV", kObPartialFailure);
  EXPECT_TRUE(log.Contains("write to KConfig file failed"));
  EXPECT_TRUE(log.Contains("Unable to write to the KConfig file"));
  EXPECT_EQ(chain->manager.AddPlugin(nullptr), kObFailure);
  ASSERT_EQ(chain->Backward(chain->Forward(Record(80)), back), kObSuccess);
  EXPECT_EQ(back, Record(80));
}

// ---- Persisted values.

TEST_F(CacheTest, PlainValuesRoundTripAndSealedOnesOpenOnlyUnchangedOnThisMachine) {
  const fs::path directory = temp_.path() / "Varno" / "Varno Ombrix Suite" / "ORV";
  const auto plain = [&] {
    return CPersistedState(directory.wstring(), L"PersistedData.dat", false);
  };
  LogCapture log;
  std::array<std::uint8_t, 2> loaded{};
  EXPECT_EQ(plain().LoadData(loaded.data(), loaded.size()), kObNotFound);
  EXPECT_TRUE(log.Contains("CPersistedData::readFromFile()- File open failed"));

  auto state = plain();
  const std::array<std::uint8_t, 2> uid = {0x34, 0x12};
  ASSERT_EQ(state.StoreData(uid.data(), uid.size()), kObSuccess);
  EXPECT_EQ(fs::file_size(directory / "PersistedData.dat"), 2U);
  EXPECT_EQ(fs::status(directory).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1)
      << "no temporary file is left behind";
  ASSERT_EQ(plain().LoadData(loaded.data(), loaded.size()), kObSuccess);
  EXPECT_EQ(loaded, uid);

  fs::remove(directory / "PersistedData.dat");
  loaded = {};
  ASSERT_EQ(state.LoadData(loaded.data(), loaded.size()), kObSuccess) << "the cached copy";
  EXPECT_EQ(loaded, uid);
  std::array<std::uint8_t, 3> three = {1, 2, 3};
  EXPECT_EQ(state.LoadData(three.data(), three.size()), kObFailure) << "the wrong size";

  ASSERT_EQ(plain().StoreData(three.data(), three.size()), kObSuccess);
  EXPECT_EQ(plain().LoadData(loaded.data(), loaded.size()), kObFailure);
  EXPECT_TRUE(log.Has(LOG_DEBUG, "CPersistedState::readDataFromFile",
                      "Data in Persisted File not of expected length."));
  EXPECT_EQ(plain().StoreData(nullptr, 2), kObBadArgument);
  EXPECT_EQ(plain().LoadData(nullptr, 2), kObBadArgument);

  // A sealed key takes 514 bytes and opens only unchanged, on this machine.
  std::array<std::uint8_t, 32> key{};
  std::iota(key.begin(), key.end(), 1);
  const fs::path file = directory / "KConfig.dat";
  CPersistedState sealed(directory.wstring(), L"KConfig.dat", Protection());
  std::array<std::uint8_t, 32> opened{};
  const auto opens = [&](const char* machine_id, std::size_t size = 32) {
    return CPersistedState(directory.wstring(), L"KConfig.dat", Protection(machine_id))
               .LoadData(opened.data(), size) == kObSuccess;
  };
  ASSERT_EQ(sealed.StoreData(key.data(), key.size()), kObSuccess);
  // The blob's length in two bytes, little-endian, then the 61-byte blob, zeros up to 514.
  const std::string stored = ChildProcess::ReadAll(file);
  EXPECT_EQ(stored.substr(0, 2) + stored.substr(63),
            std::string("\x3D\x00", 2) + std::string(451, '\0'));
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(opens("machine-id"));
  EXPECT_EQ(opened, key);
  EXPECT_FALSE(opens("machine-id", 16)) << "a short buffer";
  std::ofstream(temp_.path() / "other-machine-id") << "fedcba9876543210fedcba9876543210\n";
  EXPECT_FALSE(opens("other-machine-id"));
  fs::resize_file(file, 513);
  EXPECT_FALSE(opens("machine-id"));

  // Bytes changed in the nonce, the ciphertext and the tag; a stated length beyond 512; none.
  for (const auto& [offset, mask] :
       {std::pair<std::size_t, int>{2, 0x01}, {40, 0xFF}, {62, 0x80}, {1, 0x7F}, {0, 0x3D}}) {
    ASSERT_EQ(sealed.StoreData(key.data(), key.size()), kObSuccess);
    std::string bytes = ChildProcess::ReadAll(file);
    bytes[offset] = static_cast<char>(bytes[offset] ^ mask);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_FALSE(opens("machine-id")) << offset;
  }
  ASSERT_EQ(sealed.StoreData(key.data(), key.size()), kObSuccess);
  fs::remove_all(temp_.path() / "secrets");  // as if the file came from another machine
  EXPECT_FALSE(opens("machine-id"));
}

// ---- Migration of older stores.

// Writes the old "ORVO" layout: zero-terminated texts, fixed hashes, no account types.
struct OldRecord {
  OldRecord& U(std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
      bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    return *this;
  }
  OldRecord& Narrow(const std::string& text) {
    bytes.insert(bytes.end(), text.c_str(), text.c_str() + text.size() + 1);
    return *this;
  }
  OldRecord& Wide(const std::u16string& text) {
    for (const char16_t unit : text) {
      U(unit, 2);
    }
    return U(0, 2);
  }
  OldRecord& Fill(std::uint8_t value, std::size_t count) {
    bytes.insert(bytes.end(), count, value);
    return *this;
  }

  std::vector<std::uint8_t> bytes = {'O', 'R', 'V', 'O'};
};

std::vector<std::uint8_t> OldFlow(std::uint32_t pid, std::uint32_t modules = 2) {
  OldRecord r;
  r.U(pid, 4).Narrow("10.0.0.1").U(5000, 2).Narrow("10.0.0.2").U(443, 2).U(6, 1);
  r.U(1700000000, 4).U(1700000060, 4).U(111, 8).U(222, 8).U(7, 4).U(2, 4).Wide(u"app");
  r.Wide(u"parent").Fill(0xAA, 32).Fill(0xBB, 32).Wide(u"HOST\\alice").Wide(u"HOST\\bob");
  r.Wide(u"HOST\\carol").Wide(u"example.com").Wide(u"www.example.com").U(modules, 4);
  for (std::uint32_t i = 0; i < modules; ++i) {
    r.Wide(u"module");
  }
  return r.U(1, 4).Fill(0xCC, 32).bytes;
}

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
  EXPECT_EQ(std::tuple(flow.process_id, flow.destination_port, flow.process_user_name,
                       flow.parent_process_user_account_type, flow.destination_host_name,
                       flow.hosted_modules.size(), flow.hosted_module_hashes),
            std::tuple(42U, 443, L"HOST\\bob", 0, L"www.example.com", 2U,
                       std::vector<std::string>{std::string(32, '\xCC')}));

  const auto many = OldFlow(1, 60);
  ASSERT_EQ(transform(many, many.size()), kObSuccess);
  EXPECT_EQ(flow.hosted_modules.size(), 50U) << "the clamped count is written";

  EXPECT_EQ(transform(old, old.size(), 1), kObBadArgument);
  for (std::size_t cut = 4; cut < old.size(); cut += 7) {
    EXPECT_NE(transform(old, cut), kObSuccess) << cut;
  }
}

class DbMigrateTest : public CacheTest {
 protected:
  // A store with PROCESS_DATA only; version written when not null.
  std::unique_ptr<CSQLite> OldStore(const char* version) {
    auto store = Open(path_, true);
    EXPECT_EQ(version != nullptr ? store->WriteDBSchemaVersion(version)
                                 : store->executeStatement("DROP TABLE METADATA;"),
              kObSuccess);
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
  std::vector<std::string> Version() const { return Query(path_, "SELECT VALUE FROM METADATA"); }
  OB_STATUSCODE Migrate(CSQLite& store, const MigratorList& migrators = MakeMigrators()) {
    return RunMigrationChain(store, chain_.manager, migrators);
  }

  PluginChain chain_{temp_.path(), Protection()};
};

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
  LogCapture log;
  ASSERT_EQ(Migrate(*store), kObSuccess);
  EXPECT_TRUE(log.Contains("Metadata not found. Need to upgrade DB schema"));
  EXPECT_EQ(Version(), std::vector<std::string>{"10"});
  for (const std::int64_t id : {1, 4, 5}) {
    CacheBlock plain;
    EXPECT_EQ(chain_.Backward(Raw(*store, id), plain), kObSuccess) << id;
    ORVFlowObject flow;
    ASSERT_EQ(flow.Deserialize(plain.data(), plain.size()), kObSuccess) << id;
    EXPECT_EQ(flow.process_id, static_cast<std::uint32_t>(id));
  }
  EXPECT_EQ(Raw(*store, 6), sixth);
  EXPECT_EQ(Raw(*store, 7), undecryptable);
}

// A step that leaves the version as it is, or one that fails after writing another.
struct StuckMigrator : CDBMigrateBase {
  explicit StuckMigrator(bool fail) : fail(fail) {}
  OB_STATUSCODE Upgrade(CSQLite& store, CPluginManager&) override {
    return inTransaction(store, [&store, this]() {
      static_cast<void>(store.WriteDBSchemaVersion(fail ? "5" : "3"));
      return fail ? kObFailure : kObSuccess;
    });
  }
  bool fail;
};

// A record of another kind rolls the upgrade back; so does a step that fails, and one that does
// not raise the version fails the chain.
TEST_F(DbMigrateTest, FailingStepsRollBackAndFailTheChain) {
  auto store = OldStore("8");
  Store(*store, OldFlow(1));
  Store(*store, {'O', 'R', 'V', 'I', 1, 2, 3, 4});
  const auto before = Raw(*store, 1);
  LogCapture log;
  EXPECT_EQ(Migrate(*store), kObFailure);
  EXPECT_TRUE(log.Contains("Transforming Rows failed, error: -9994"));
  EXPECT_TRUE(log.Contains("Failed to upgrade db."));
  EXPECT_EQ(Version(), std::vector<std::string>{"8"});
  EXPECT_EQ(Raw(*store, 1), before) << "the rewritten first row was rolled back";

  ASSERT_EQ(store->WriteDBSchemaVersion("3"), kObSuccess);
  MigratorList migrators = MakeMigrators();
  migrators[3] = std::make_unique<StuckMigrator>(false);
  EXPECT_EQ(Migrate(*store, migrators), kObFailure);
  EXPECT_TRUE(log.Contains("Failed to get updated version or migration failed."));
  migrators[3] = std::make_unique<StuckMigrator>(true);
  EXPECT_EQ(Migrate(*store, migrators), kObFailure);
  EXPECT_EQ(Version(), std::vector<std::string>{"3"}) << "rolled back";
}

TEST_F(DbMigrateTest, CurrentStoreRunsNothingAndUnreadableOnesCannotBeMigrated) {
  auto store = OldStore("10");
  Store(*store, {'O', 'R', 'V', 'N', 1, 2, 3});
  const auto before = Raw(*store, 1);
  ASSERT_EQ(Migrate(*store), kObSuccess);
  EXPECT_EQ(Raw(*store, 1), before);
  const fs::path garbage = temp_.path() / "garbage.db";
  for (const std::string& content :
       {std::string(5000, 'x'), std::string("SQLite format 3\0", 16)}) {
    std::ofstream(garbage, std::ios::binary | std::ios::trunc) << content;
    const auto unreadable = Open(garbage, false);  // the schema check decides what happens to it
    EXPECT_FALSE(unreadable->IsFreshDB());
    EXPECT_EQ(Migrate(*unreadable), kObFailure);
    EXPECT_NE(unreadable->StartSQLiteEngine(true), kObSuccess);
  }
}

// ---- The engine.

class CacheEngineTest : public CacheTest {
 protected:
  FakeRegistrar registrar_;
  CacheFlowQueue flow_queue_{5000};
  CacheInterfaceQueue interface_queue_{100};
  std::unique_ptr<CacheObjectQueue> cache_queue_ = std::make_unique<CacheObjectQueue>(1000);
  std::atomic<CacheLimits> limits_;
  std::unique_ptr<CCacheEngine> engine_;

  void SetUp() override { fs::create_directories(directory_); }

  void Start() {
    OB_STATUSCODE status = kObFailure;
    engine_ = std::make_unique<CCacheEngine>(
        &registrar_, &flow_queue_, cache_queue_.get(), &interface_queue_, &status,
        CacheEngineEnvironment{directory_.wstring(), Protection(),
                               [this] { return limits_.load(); }});
    ASSERT_EQ(status, kObSuccess);
  }
  // The committed rows, or -1.
  std::int64_t StoredRecords() const {
    const auto rows = Query(directory_ / "ORV.db", "SELECT COUNT(*) FROM PROCESS_DATA");
    return rows.empty() ? -1 : std::stoll(rows[0]);
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
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(interface_queue_.Push(std::make_shared<InterfaceInfo>()), kObSuccess);
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
    used = Open(directory_ / "ORV.db", false)->UsedSize();
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
}

TEST_F(CacheEngineTest, FullDiskLosesNothingStoredAndCompactionFailureKeepsTheStore) {
  ORV_RERUN_IN_NAMESPACE("-rm");
  if (::mount("tmpfs", directory_.c_str(), "tmpfs", 0, "size=600k,mode=0700") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  LogCapture log;
  Start();
  PushFlows(0, 1000, Now(), 30);  // about 1.8 MB: most cannot be stored
  ASSERT_TRUE(WaitUntil([&] { return flow_queue_.IsEmpty(); }));
  ASSERT_TRUE(WaitUntil([&] { return log.Contains("records not stored so far"); }));
  const std::int64_t stored = StoredRecords();
  ASSERT_TRUE(stored > 0 && stored < 1000) << stored;
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
  std::ofstream(directory_ / "filler", std::ios::app)
      << std::string(fs::space(directory_).available, 'f');
  const std::string key = ChildProcess::ReadAll(directory_ / "KConfig.dat");
  for (const auto& object : received) {
    engine_->Ledger().Delivered(object.get());
  }
  ASSERT_TRUE(WaitUntil([&] { return log.Contains("delivered records; trying again later"); }));
  EXPECT_FALSE(log.Contains("Database empty"));
  EXPECT_EQ(ChildProcess::ReadAll(directory_ / "KConfig.dat"), key);
  fs::remove(directory_ / "filler");
  EXPECT_TRUE(WaitUntil([&] { return StoredRecords() == 0; }));
}

TEST_F(CacheEngineTest, ReplacesAnUnmigratableDatabase) {
  {
    const auto store = Open(directory_ / "ORV.db", true);
    ASSERT_EQ(store->WriteDBSchemaVersion("12"), kObSuccess);
    Write(*store, 1, 1);
  }  // closing commits the row
  LogCapture log;
  Start();
  PushFlows(0, 3, Now());
  EXPECT_TRUE(WaitUntil([&] { return StoredRecords() == 3; })) << "the junk row is gone";
  EXPECT_TRUE(log.Contains("Failed to migrate DB. Deleting the DB file."));
  EXPECT_EQ(Query(directory_ / "ORV.db", "SELECT VALUE FROM METADATA"),
            std::vector<std::string>{"10"});
}

}  // namespace
}  // namespace orv::test
