// The chain that turns a serialised record into what the cache stores and back: LZS compression,
// then AES-256-CBC encryption under a key kept only in "KConfig.dat" (sealed to this machine and
// account through CPersistedState).
//
// A record travels in a caller-owned block: the vector's size is the capacity, `length` the
// bytes in use from the first byte on. A plugin may enlarge the block; it never shrinks it.
//
// Encrypted layout ("ORVC"): tag, u32 little-endian ciphertext length n, 16-byte IV field
// (random IV, zero-padded to 16), n bytes of PKCS#7-padded ciphertext. Compressed data carries the
// "LZS1" header of CLZS, so an uncompressed record ("ORVN", "ORVI") fails to decompress and passes
// on unchanged.
//
// Plugins are used by one thread at a time (the cache engine's worker); no locks.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/status.h"
#include "platform/data_protection.h"
#include "runtime/lzs.h"

using CacheBlock = std::vector<std::uint8_t>;

class IORVCachePlugin {
 public:
  // Transforms block[0, length) for storing.
  [[nodiscard]] virtual OB_STATUSCODE ProcessForward(CacheBlock& block, std::uint32_t& length) = 0;
  // Undoes ProcessForward after reading.
  [[nodiscard]] virtual OB_STATUSCODE ProcessBackward(CacheBlock& block, std::uint32_t& length) = 0;
  virtual ~IORVCachePlugin() = default;
};

class ICryptoPlugin {
 public:
  // Replaces block[0, length) with its "ORVC" form.
  [[nodiscard]] virtual OB_STATUSCODE Encrypt(CacheBlock& block, std::uint32_t& length) = 0;
  // Replaces the "ORVC" record block[0, length) with its plaintext.
  [[nodiscard]] virtual OB_STATUSCODE Decrypt(CacheBlock& block, std::uint32_t& length) = 0;
  // Makes a new random key and stores it; -9986 when only storing failed (the key still works).
  [[nodiscard]] virtual OB_STATUSCODE RegenerateAndStoreKey() = 0;
  virtual ~ICryptoPlugin() = default;
};

// Ordered plugins; not owned.
class CPluginManager {
 public:
  // Appends plugin; -9999 for null.
  [[nodiscard]] OB_STATUSCODE AddPlugin(IORVCachePlugin* plugin);
  // Each plugin forward in list order; the first failure stops the chain with -9999.
  [[nodiscard]] OB_STATUSCODE ProcessForward(CacheBlock& block, std::uint32_t& length);
  // Each plugin backward in reverse order; the first failure stops the chain with -9999.
  [[nodiscard]] OB_STATUSCODE ProcessBackward(CacheBlock& block, std::uint32_t& length);

 private:
  std::vector<IORVCachePlugin*> plugins_;
};

class CCompressionPlugin : public IORVCachePlugin {
 public:
  // IORVCachePlugin
  // Compresses in place; a record whose compressed form does not fit stays as it is (success).
  [[nodiscard]] OB_STATUSCODE ProcessForward(CacheBlock& block, std::uint32_t& length) override;
  // Decompresses in place, growing the block when needed; data that is not a compressed block
  // passes on unchanged. Always succeeds.
  [[nodiscard]] OB_STATUSCODE ProcessBackward(CacheBlock& block, std::uint32_t& length) override;

 private:
  OBRuntime::CLZS lzs_;
};

// Where the key file lives and how it is sealed.
struct KeyFileLocation {
  std::wstring directory;  // also holds "ORV.db", deleted when the key file is unreadable
  std::optional<OBPlatform::CDataProtection> protection;  // empty: the current account's
};

class COpenSSLCryptoPlugin : public ICryptoPlugin {
 public:
  static constexpr std::uint32_t kHeaderLength = 24;
  static constexpr std::uint32_t kIvFieldLength = 16;

  // Loads the key from "KConfig.dat" in the agent's data directory, or makes and stores one.
  explicit COpenSSLCryptoPlugin(OB_STATUSCODE* status);
  // As above for an explicit key file location.
  COpenSSLCryptoPlugin(OB_STATUSCODE* status, KeyFileLocation location);
  ~COpenSSLCryptoPlugin() override;
  COpenSSLCryptoPlugin(const COpenSSLCryptoPlugin&) = delete;
  COpenSSLCryptoPlugin& operator=(const COpenSSLCryptoPlugin&) = delete;

  // ICryptoPlugin
  [[nodiscard]] OB_STATUSCODE Encrypt(CacheBlock& block, std::uint32_t& length) override;
  [[nodiscard]] OB_STATUSCODE Decrypt(CacheBlock& block, std::uint32_t& length) override;
  [[nodiscard]] OB_STATUSCODE RegenerateAndStoreKey() override;

 private:
  struct ContextDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
  };

  [[nodiscard]] OB_STATUSCODE initialize();
  [[nodiscard]] OB_STATUSCODE LoadKey();
  void wipeKey();

  KeyFileLocation location_;
  const EVP_CIPHER* cipher_;
  std::vector<std::uint8_t> key_;  // empty until loaded or made; wiped before release
  std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter> context_;
};

class CObfuscationPlugin : public IORVCachePlugin {
 public:
  // Wraps a COpenSSLCryptoPlugin over the agent's data directory; *status is its status.
  explicit CObfuscationPlugin(OB_STATUSCODE* status);
  // Wraps a crypto plugin whose construction gave crypto_status.
  CObfuscationPlugin(OB_STATUSCODE* status, std::unique_ptr<ICryptoPlugin> crypto,
                     OB_STATUSCODE crypto_status);

  // IORVCachePlugin
  [[nodiscard]] OB_STATUSCODE ProcessForward(CacheBlock& block, std::uint32_t& length) override;
  [[nodiscard]] OB_STATUSCODE ProcessBackward(CacheBlock& block, std::uint32_t& length) override;

  // A new key for an emptied cache.
  [[nodiscard]] OB_STATUSCODE RegenerateKey();

 private:
  struct MadeCrypto {
    std::unique_ptr<ICryptoPlugin> crypto;
    OB_STATUSCODE status = kObFailure;
  };
  [[nodiscard]] static MadeCrypto MakeDefaultCrypto();
  CObfuscationPlugin(OB_STATUSCODE* status, MadeCrypto made);

  std::unique_ptr<ICryptoPlugin> crypto_;
};
