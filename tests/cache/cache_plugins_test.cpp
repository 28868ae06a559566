#include "cache/cache_plugins.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cache/cache_test_support.h"
#include "support/log_capture.h"

namespace {

namespace fs = std::filesystem;
using orv::cache_test::PluginChain;

CacheBlock Record(std::size_t size) {
  CacheBlock record(size);
  std::memcpy(record.data(), "ORVN", 4);
  for (std::size_t i = 4; i < size; ++i) {
    record[i] = static_cast<std::uint8_t>(i % 7);  // compresses well
  }
  return record;
}

// True when the chain cannot give record back. CBC with padding has no authentication, so a
// wrong key now and then passes the padding check and decompresses into garbage: what must
// never happen is the record itself coming back.
bool Unreadable(PluginChain& chain, const CacheBlock& stored, const CacheBlock& record) {
  CacheBlock out;
  return chain.Backward(stored, out) != kObSuccess || out != record;
}

class CachePluginsTest : public ::testing::Test {
 protected:
  std::unique_ptr<PluginChain> Chain(const fs::path& directory,
                                     OB_STATUSCODE expected_status = kObSuccess) const {
    return std::make_unique<PluginChain>(directory, temp_.Protection(), expected_status);
  }

  orv::cache_test::SealingDir temp_;
  fs::path directory_ = temp_.path() / "ORV";
};

TEST_F(CachePluginsTest, RoundTripsThroughCompressionAndEncryptionAndRejectsDamagedRecords) {
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
  EXPECT_EQ(block, incompressible);
  EXPECT_EQ(length, 64U);

  // Untagged, truncated and foreign records are rejected.
  orv::test::LogCapture log;
  EXPECT_NE(chain->Backward(Record(100), back), kObSuccess);
  EXPECT_TRUE(log.Has(LOG_ERROR, "CObfuscationPlugin::ProcessBackward",
                      "Failed to decrypt the passed data"));

  const CacheBlock stored = chain->Forward(Record(100));
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
    EXPECT_NE(chain->Backward(damaged, back), kObSuccess) << c.name;
  }
  EXPECT_TRUE(Unreadable(*Chain(temp_.path() / "other"), stored, Record(100))) << "wrong key";
}

TEST_F(CachePluginsTest, KeyPersistsALostKeyFileCostsTheCacheAndAnUnwritableOneStillServes) {
  const CacheBlock stored = Chain(directory_)->Forward(Record(300));
  CacheBlock back;
  ASSERT_EQ(Chain(directory_)->Backward(stored, back), kObSuccess) << "same key after restart";

  for (const char* file : {"ORV.db", "ORV.db-wal", "ORV.db-shm", "ORV.db-journal"}) {
    std::ofstream(directory_ / file) << "records";
  }
  std::ofstream(directory_ / "KConfig.dat", std::ios::trunc) << "damaged";
  orv::test::LogCapture log;
  auto chain = Chain(directory_);
  EXPECT_TRUE(log.Contains("Unable to read the KConfig file with error"));
  for (const char* file : {"ORV.db", "ORV.db-wal", "ORV.db-shm", "ORV.db-journal"}) {
    EXPECT_FALSE(fs::exists(directory_ / file)) << file << ": records under the lost key go";
  }
  EXPECT_TRUE(Unreadable(*chain, stored, Record(300)));

  fs::remove(directory_ / "KConfig.dat");
  auto fresh = Chain(directory_);
  EXPECT_TRUE(fs::exists(directory_ / "KConfig.dat"));
  const CacheBlock mine = fresh->Forward(Record(50));
  ASSERT_EQ(fresh->obfuscation->RegenerateKey(), kObSuccess);
  EXPECT_TRUE(Unreadable(*fresh, mine, Record(50))) << "an emptied cache gets a new key";

  // A key that cannot be written is still used.
  std::ofstream(temp_.path() / "file") << "not a directory";
  chain = Chain(temp_.path() / "file" / "ORV", kObPartialFailure);
  EXPECT_TRUE(log.Contains("write to KConfig file failed"));
  EXPECT_TRUE(log.Contains("Unable to write to the KConfig file"));
  EXPECT_EQ(chain->manager.AddPlugin(nullptr), kObFailure);
  ASSERT_EQ(chain->Backward(chain->Forward(Record(80)), back), kObSuccess);
  EXPECT_EQ(back, Record(80));
}

}  // namespace
