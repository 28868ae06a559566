// Fuzzes the cache's read path: an arbitrary INFO blob goes backward through the record plugins
// (decrypt, decompress), then to the record readers and the old-layout transform, as stored rows
// do. The first input byte picks the mode: odd bytes also store the rest through the chain first
// and require it to come back unchanged, so the readers see plaintext that passed real
// decryption and decompression.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "cache/cache_plugins.h"
#include "cache/db_migrate.h"
#include "common/interface_info.h"
#include "common/orv_flow_object.h"
#include "fuzz_support.h"

namespace {

struct Chain {
  CCompressionPlugin compression;
  std::unique_ptr<CObfuscationPlugin> obfuscation;
  CPluginManager manager;
};

Chain* chain = nullptr;

void Read(const CacheBlock& block, std::uint32_t length) {
  if (length >= 4 && std::memcmp(block.data(), "ORVI", 4) == 0) {
    InterfaceInfo info;
    static_cast<void>(info.Deserialize(block.data(), length));
  } else {
    ORVFlowObject flow;
    static_cast<void>(flow.Deserialize(block.data(), length));
  }
  std::vector<std::uint8_t> out(std::size_t{length} + 6);
  auto out_length = static_cast<std::uint32_t>(out.size());
  static_cast<void>(CUpgrade9To10Impl::TransformRecord(block.data(), length, out.data(),
                                                       &out_length, out_length));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orv::fuzz::SilenceLogs();
  char pattern[] = "/tmp/fuzz_cache_read.XXXXXX";
  const char* directory = ::mkdtemp(pattern);
  if (directory == nullptr) {
    std::abort();
  }
  const std::filesystem::path root(directory);
  std::ofstream(root / "machine-id") << "0123456789abcdef0123456789abcdef\n";
  static Chain made;
  OB_STATUSCODE status = kObFailure;
  auto crypto = std::make_unique<COpenSSLCryptoPlugin>(
      &status, KeyFileLocation{root.wstring(), OBPlatform::CDataProtection(
                                                   root / "secrets", root / "machine-id", 1000)});
  made.obfuscation = std::make_unique<CObfuscationPlugin>(&status, std::move(crypto), status);
  if (status != kObSuccess || made.manager.AddPlugin(&made.compression) != kObSuccess ||
      made.manager.AddPlugin(made.obfuscation.get()) != kObSuccess) {
    std::abort();
  }
  chain = &made;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 200000) {
    return 0;
  }
  const bool store_first = (data[0] & 1) != 0;
  CacheBlock block(data + 1, data + size);
  auto length = static_cast<std::uint32_t>(block.size());
  if (store_first) {
    if (length == 0) {
      return 0;
    }
    block.resize(std::max<std::size_t>(block.size(), 4096));
    if (chain->manager.ProcessForward(block, length) != kObSuccess) {
      std::abort();
    }
    block.resize(length);
  }
  if (chain->manager.ProcessBackward(block, length) != kObSuccess) {
    if (store_first) {
      std::abort();
    }
    return 0;
  }
  if (length > block.size()) {
    std::abort();
  }
  if (store_first && (length != size - 1 || std::memcmp(block.data(), data + 1, length) != 0)) {
    std::abort();
  }
  block.resize(length);  // exactly the plaintext, so a reader overrun is caught
  Read(block, length);
  return 0;
}
