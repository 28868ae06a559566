#include "cache/cache_plugins.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

CacheBlock Record(std::size_t size) {
  CacheBlock record(size);
  std::memcpy(record.data(), "ORVN", 4);
  for (std::size_t i = 4; i < size; ++i) {
    record[i] = static_cast<std::uint8_t>(i % 7);  // compresses well
  }
  return record;
}

class CachePluginsTest : public ::testing::Test {
 protected:
  orv::test::TempDir temp_;
  fs::path directory_ = temp_.path() / "ORV";
  fs::path secrets_ = temp_.path() / "secrets";
  fs::path machine_id_ = temp_.path() / "machine-id";

  void SetUp() override { std::ofstream(machine_id_) << "0123456789abcdef0123456789abcdef\n"; }

  KeyFileLocation Location(const fs::path& directory) const {
    return {directory.wstring(), OBPlatform::CDataProtection(secrets_, machine_id_, 1000)};
  }
  std::unique_ptr<CObfuscationPlugin> Obfuscation(const fs::path& directory,
                                                  OB_STATUSCODE* status) const {
    OB_STATUSCODE crypto_status = kObFailure;
    auto crypto = std::make_unique<COpenSSLCryptoPlugin>(&crypto_status, Location(directory));
    return std::make_unique<CObfuscationPlugin>(status, std::move(crypto), crypto_status);
  }
  struct Chain {
    CCompressionPlugin compression;
    std::unique_ptr<CObfuscationPlugin> obfuscation;
    CPluginManager manager;
  };
  std::unique_ptr<Chain> MakeChain(const fs::path& directory) const {
    auto chain = std::make_unique<Chain>();
    OB_STATUSCODE status = kObFailure;
    chain->obfuscation = Obfuscation(directory, &status);
    EXPECT_EQ(status, kObSuccess);
    EXPECT_EQ(chain->manager.AddPlugin(&chain->compression), kObSuccess);
    EXPECT_EQ(chain->manager.AddPlugin(chain->obfuscation.get()), kObSuccess);
    return chain;
  }
  // The stored form of record (capacity 4096, as the cache engine's work buffer).
  static CacheBlock Forward(CPluginManager& manager, const CacheBlock& record) {
    CacheBlock block(std::max<std::size_t>(4096, record.size()));
    std::memcpy(block.data(), record.data(), record.size());
    auto length = static_cast<std::uint32_t>(record.size());
    EXPECT_EQ(manager.ProcessForward(block, length), kObSuccess);
    block.resize(length);
    return block;
  }
  static OB_STATUSCODE Backward(CPluginManager& manager, const CacheBlock& stored,
                                CacheBlock& out) {
    out = stored;
    auto length = static_cast<std::uint32_t>(stored.size());
    const OB_STATUSCODE status = manager.ProcessBackward(out, length);
    out.resize(length);
    return status;
  }
  // True when another key cannot give record back. CBC with padding has no authentication, so
  // a wrong key now and then passes the padding check and decompresses into garbage: what must
  // never happen is the record itself coming back.
  static bool Unreadable(CPluginManager& manager, const CacheBlock& stored,
                         const CacheBlock& record) {
    CacheBlock out;
    return Backward(manager, stored, out) != kObSuccess || out != record;
  }
};

TEST_F(CachePluginsTest, RoundTripsThroughCompressionAndEncryption) {
  auto chain = MakeChain(directory_);
  EXPECT_TRUE(fs::exists(directory_ / "KConfig.dat"));
  EXPECT_EQ(fs::file_size(directory_ / "KConfig.dat"), 514U) << "sealed key file";
  for (const std::size_t size : {5U, 100U, 4000U, 20000U}) {
    const CacheBlock record = Record(size);
    const CacheBlock stored = Forward(chain->manager, record);
    ASSERT_GE(stored.size(), COpenSSLCryptoPlugin::kHeaderLength + 16);
    EXPECT_EQ(std::memcmp(stored.data(), "ORVC", 4), 0);
    std::uint32_t cipher_length = 0;
    std::memcpy(&cipher_length, stored.data() + 4, 4);
    EXPECT_EQ(cipher_length % 16, 0U);
    EXPECT_EQ(stored.size(), COpenSSLCryptoPlugin::kHeaderLength + cipher_length);
    EXPECT_EQ(stored.size(), 24 + (cipher_length / 16) * 16);
    CacheBlock back;
    ASSERT_EQ(Backward(chain->manager, stored, back), kObSuccess) << size;
    EXPECT_EQ(back, record) << size;
  }
  const CacheBlock a = Forward(chain->manager, Record(100));
  const CacheBlock b = Forward(chain->manager, Record(100));
  EXPECT_NE(a, b) << "every record gets its own IV";
}

TEST_F(CachePluginsTest, RecordThatDoesNotCompressIntoItsBlockIsStoredAsItIs) {
  CCompressionPlugin compression;
  CacheBlock block = Record(64);
  for (std::size_t i = 4; i < block.size(); ++i) {
    block[i] = static_cast<std::uint8_t>(i * 151 + 17);  // no repeats: LZS grows it
  }
  const CacheBlock original = block;
  auto length = static_cast<std::uint32_t>(block.size());
  ASSERT_EQ(compression.ProcessForward(block, length), kObSuccess);
  EXPECT_EQ(length, 64U);
  EXPECT_EQ(block, original);
  ASSERT_EQ(compression.ProcessBackward(block, length), kObSuccess) << "passes on unchanged";
  EXPECT_EQ(length, 64U);
  EXPECT_EQ(block, original);
}

TEST_F(CachePluginsTest, DecompressionGrowsBlockToTheRecord) {
  CCompressionPlugin compression;
  CacheBlock block = Record(10000);
  const CacheBlock original = block;
  auto length = static_cast<std::uint32_t>(block.size());
  ASSERT_EQ(compression.ProcessForward(block, length), kObSuccess);
  ASSERT_LT(length, 2000U);
  block.resize(length);  // read back into a block just as large as the stored form
  ASSERT_EQ(compression.ProcessBackward(block, length), kObSuccess);
  block.resize(length);
  EXPECT_EQ(block, original);
}

TEST_F(CachePluginsTest, RejectsUntaggedTruncatedAndForeignRecords) {
  orv::test::LogCapture log;
  auto chain = MakeChain(directory_);
  CacheBlock back;
  EXPECT_NE(Backward(chain->manager, Record(100), back), kObSuccess);
  EXPECT_TRUE(log.Has(LOG_ERROR, "CObfuscationPlugin::ProcessBackward",
                      "Failed to decrypt the passed data"));

  const CacheBlock stored = Forward(chain->manager, Record(100));
  struct Case {
    const char* name;
    std::size_t keep;      // bytes of the stored record kept
    std::uint32_t stated;  // ciphertext length written at offset 4 (0: as stored)
  };
  const Case cases[] = {{"header only", 24, 0},       {"short header", 10, 0},
                        {"length past end", 0, 4096}, {"length wraps", 0, 0xFFFFFFF0},
                        {"not block aligned", 0, 15}, {"cut ciphertext", 40, 0}};
  for (const Case& c : cases) {
    CacheBlock damaged(stored.begin(), stored.begin() + (c.keep ? c.keep : stored.size()));
    if (c.stated != 0) {
      std::memcpy(damaged.data() + 4, &c.stated, 4);
    }
    EXPECT_NE(Backward(chain->manager, damaged, back), kObSuccess) << c.name;
  }

  auto other = MakeChain(temp_.path() / "other");
  EXPECT_TRUE(Unreadable(other->manager, stored, Record(100))) << "wrong key";
}

TEST_F(CachePluginsTest, KeyPersistsAndALostKeyFileCostsTheCache) {
  CacheBlock stored;
  {
    auto chain = MakeChain(directory_);
    stored = Forward(chain->manager, Record(300));
  }
  CacheBlock back;
  {
    auto chain = MakeChain(directory_);
    ASSERT_EQ(Backward(chain->manager, stored, back), kObSuccess) << "same key after restart";
  }
  std::ofstream(directory_ / "ORV.db") << "records";
  std::ofstream(directory_ / "KConfig.dat", std::ios::trunc) << "damaged";
  orv::test::LogCapture log;
  auto chain = MakeChain(directory_);
  EXPECT_TRUE(log.Contains("Unable to read the KConfig file with error"));
  EXPECT_FALSE(fs::exists(directory_ / "ORV.db")) << "records under the lost key are dropped";
  EXPECT_EQ(fs::file_size(directory_ / "KConfig.dat"), 514U) << "a new key is stored";
  EXPECT_TRUE(Unreadable(chain->manager, stored, Record(300)));

  fs::remove(directory_ / "KConfig.dat");
  auto fresh = MakeChain(directory_);
  EXPECT_TRUE(fs::exists(directory_ / "KConfig.dat"));
  const CacheBlock mine = Forward(fresh->manager, Record(50));
  ASSERT_EQ(fresh->obfuscation->RegenerateKey(), kObSuccess);
  EXPECT_TRUE(Unreadable(fresh->manager, mine, Record(50))) << "an emptied cache gets a new key";
}

TEST_F(CachePluginsTest, UnwritableKeyFileStillEncrypts) {
  orv::test::LogCapture log;
  std::ofstream(temp_.path() / "file") << "not a directory";
  OB_STATUSCODE status = kObFailure;
  auto obfuscation = Obfuscation(temp_.path() / "file" / "ORV", &status);
  EXPECT_EQ(status, kObPartialFailure);
  EXPECT_TRUE(log.Contains("write to KConfig file failed"));
  EXPECT_TRUE(log.Contains("Unable to write to the KConfig file"));
  CPluginManager manager;
  ASSERT_EQ(manager.AddPlugin(obfuscation.get()), kObSuccess);
  EXPECT_EQ(manager.AddPlugin(nullptr), kObFailure);
  const CacheBlock stored = Forward(manager, Record(80));
  CacheBlock back;
  ASSERT_EQ(Backward(manager, stored, back), kObSuccess);
  EXPECT_EQ(back, Record(80));
}

}  // namespace
