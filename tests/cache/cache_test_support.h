// Shared by the cache tests: a temporary directory with a machine id to seal keys with, the
// plugin chain records are stored through.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "cache/cache_plugins.h"
#include "support/temp_dir.h"

namespace orv::cache_test {

inline std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A temporary directory holding a machine id; values are sealed for uid 1000 with a secret kept
// under "secrets".
class SealingDir : public orv::test::TempDir {
 public:
  SealingDir() { std::ofstream(path() / "machine-id") << "0123456789abcdef0123456789abcdef\n"; }
  [[nodiscard]] OBPlatform::CDataProtection Protection(
      const char* machine_id = "machine-id") const {
    return {path() / "secrets", path() / machine_id, 1000};
  }
};

// The engine's chain: compression, then encryption under the key kept in directory.
struct PluginChain {
  PluginChain(const std::filesystem::path& directory, OBPlatform::CDataProtection protection,
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

  CCompressionPlugin compression;
  std::unique_ptr<CObfuscationPlugin> obfuscation;
  CPluginManager manager;
};

}  // namespace orv::cache_test
