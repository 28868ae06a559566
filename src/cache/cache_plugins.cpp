#include "cache/cache_plugins.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "cache/persisted_state.h"
#include "runtime/byte_order.h"
#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/utils.h"

namespace {

constexpr std::uint8_t kTag[4] = {'O', 'R', 'V', 'C'};
constexpr const wchar_t* kKeyFileName = L"KConfig.dat";

// "<what> failed because <OpenSSL text> - error code = <code>" for the last OpenSSL error.
void LogOpenSslFailure(const char* function, const char* what) {
  const unsigned long code = ERR_get_error();
  char text[256] = {};
  ERR_error_string_n(code, text, sizeof(text));
  OB_LOG_AS(LOG_ERROR, function, "%s failed because %s - error code = %d", what, text,
            static_cast<int>(code));
}

// Zeroes and releases scratch memory that held plaintext.
class Scratch {
 public:
  explicit Scratch(std::size_t size) : bytes_(size, 0) {}
  ~Scratch() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  std::uint8_t* data() { return bytes_.data(); }

 private:
  std::vector<std::uint8_t> bytes_;
};

CPersistedState KeyFile(const KeyFileLocation& location) {
  if (location.protection) {
    return {location.directory, kKeyFileName, *location.protection};
  }
  return {location.directory, kKeyFileName, true};
}

}  // namespace

OB_STATUSCODE CPluginManager::AddPlugin(IORVCachePlugin* plugin) {
  if (plugin == nullptr) {
    return kObFailure;
  }
  plugins_.push_back(plugin);
  return kObSuccess;
}

OB_STATUSCODE CPluginManager::ProcessForward(CacheBlock& block, std::uint32_t& length) {
  for (IORVCachePlugin* plugin : plugins_) {
    if (plugin->ProcessForward(block, length) != kObSuccess) {
      return kObFailure;
    }
  }
  return kObSuccess;
}

OB_STATUSCODE CPluginManager::ProcessBackward(CacheBlock& block, std::uint32_t& length) {
  for (auto it = plugins_.rbegin(); it != plugins_.rend(); ++it) {
    if ((*it)->ProcessBackward(block, length) != kObSuccess) {
      return kObFailure;
    }
  }
  return kObSuccess;
}

OB_STATUSCODE CCompressionPlugin::ProcessForward(CacheBlock& block, std::uint32_t& length) {
  if (length > block.size()) {
    return kObBadArgument;
  }
  auto out_length = static_cast<std::uint32_t>(block.size());
  const OB_STATUSCODE status = lzs_.Compress(block.data(), length, block.data(), &out_length);
  if (status == kObBufferTooSmall) {
    return kObSuccess;
  }
  if (status == kObSuccess) {
    length = out_length;
  }
  return status;
}

OB_STATUSCODE CCompressionPlugin::ProcessBackward(CacheBlock& block, std::uint32_t& length) {
  if (length > block.size()) {
    return kObSuccess;
  }
  auto out_length = static_cast<std::uint32_t>(block.size());
  OB_STATUSCODE status = lzs_.Decompress(block.data(), length, block.data(), &out_length);
  if (status == kObBufferTooSmall) {
    block.resize(out_length);
    status = lzs_.Decompress(block.data(), length, block.data(), &out_length);
  }
  if (status == kObSuccess) {
    length = out_length;
  }
  return kObSuccess;
}

COpenSSLCryptoPlugin::COpenSSLCryptoPlugin(OB_STATUSCODE* status)
    : COpenSSLCryptoPlugin(status, {OBRuntime::Utils::GetORVDataDirectory(), std::nullopt}) {}

COpenSSLCryptoPlugin::COpenSSLCryptoPlugin(OB_STATUSCODE* status, KeyFileLocation location)
    : location_(std::move(location)), cipher_(EVP_aes_256_cbc()), context_(EVP_CIPHER_CTX_new()) {
  const OB_STATUSCODE result = initialize();
  if (result == kObPartialFailure) {
    OB_LOG_ERROR("Unable to write to the KConfig file");
  } else if (result != kObSuccess) {
    OB_LOG_ERROR("Unable to generate the key for encryption with error %d", result);
  }
  if (status != nullptr) {
    *status = result;
  }
}

COpenSSLCryptoPlugin::~COpenSSLCryptoPlugin() { wipeKey(); }

OB_STATUSCODE COpenSSLCryptoPlugin::initialize() {
  if (!context_) {
    return kObFailure;
  }
  const std::filesystem::path directory(OBRuntime::WideToUtf8(location_.directory));
  const std::filesystem::path key_path = directory / "KConfig.dat";
  std::error_code error;
  if (!std::filesystem::exists(key_path, error)) {
    return RegenerateAndStoreKey();
  }
  const OB_STATUSCODE status = LoadKey();
  if (status != kObSuccess) {
    OB_LOG_ERROR("Unable to read the KConfig file with error %d", status);
    // Records sealed with the lost key can never be read again. The WAL and shared-memory files
    // go with the database: left behind, they would be replayed into the new file.
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      std::filesystem::remove(directory / (std::string("ORV.db") + suffix), error);
    }
    return RegenerateAndStoreKey();
  }
  return kObSuccess;
}

void COpenSSLCryptoPlugin::wipeKey() {
  OPENSSL_cleanse(key_.data(), key_.size());
  key_.clear();
}

OB_STATUSCODE COpenSSLCryptoPlugin::LoadKey() {
  key_.assign(static_cast<std::size_t>(EVP_CIPHER_get_key_length(cipher_)), 0);
  const OB_STATUSCODE status =
      KeyFile(location_).LoadData(key_.data(), static_cast<std::uint32_t>(key_.size()));
  if (status != kObSuccess) {
    OB_LOG_ERROR("Failed to read KConfig file");
    wipeKey();
  }
  return status;
}

OB_STATUSCODE COpenSSLCryptoPlugin::RegenerateAndStoreKey() {
  key_.assign(static_cast<std::size_t>(EVP_CIPHER_get_key_length(cipher_)), 0);
  if (RAND_bytes(key_.data(), static_cast<int>(key_.size())) != 1) {
    wipeKey();
    LogOpenSslFailure("COpenSSLCryptoPlugin::RegenerateAndStoreKey", "RAND_bytes");
    return kObFailure;
  }
  if (KeyFile(location_).StoreData(key_.data(), static_cast<std::uint32_t>(key_.size())) !=
      kObSuccess) {
    OB_LOG_ERROR("write to KConfig file failed");
    return kObPartialFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE COpenSSLCryptoPlugin::Encrypt(CacheBlock& block, std::uint32_t& length) {
  if (block.empty() || length == 0 || length > block.size()) {
    return kObBadArgument;
  }
  if (key_.empty() || !context_) {
    return kObFailure;
  }
  const auto block_size = static_cast<std::uint32_t>(EVP_CIPHER_get_block_size(cipher_));
  const auto iv_length = EVP_CIPHER_get_iv_length(cipher_);
  Scratch scratch(std::size_t{length} + kHeaderLength + 2 * block_size);
  std::memcpy(scratch.data(), kTag, sizeof(kTag));
  const char* const function = "COpenSSLCryptoPlugin::Encrypt";
  if (RAND_bytes(scratch.data() + 8, iv_length) != 1) {
    LogOpenSslFailure(function, "RAND_bytes");
    return kObFailure;
  }
  if (EVP_EncryptInit_ex(context_.get(), cipher_, nullptr, key_.data(), scratch.data() + 8) != 1) {
    LogOpenSslFailure(function, "EVP_EncryptInit_ex");
    return kObFailure;
  }
  int update_length = 0;
  std::uint8_t* const out = scratch.data() + kHeaderLength;
  if (EVP_EncryptUpdate(context_.get(), out, &update_length, block.data(),
                        static_cast<int>(length)) != 1) {
    LogOpenSslFailure(function, "EVP_EncryptUpdate");
    return kObFailure;
  }
  int final_length = 0;
  if (EVP_EncryptFinal_ex(context_.get(), out + update_length, &final_length) != 1) {
    LogOpenSslFailure(function, "EVP_EncryptFinal_ex");
    return kObFailure;
  }
  const auto cipher_length = static_cast<std::uint32_t>(update_length + final_length);
  OBRuntime::StoreLe<std::uint32_t>(scratch.data() + 4, cipher_length);
  const std::uint32_t total = kHeaderLength + cipher_length;
  if (block.size() < total) {
    block.resize(total);
  }
  std::memcpy(block.data(), scratch.data(), total);
  length = total;
  return kObSuccess;
}

OB_STATUSCODE COpenSSLCryptoPlugin::Decrypt(CacheBlock& block, std::uint32_t& length) {
  if (length > block.size() || length < kHeaderLength ||
      std::memcmp(block.data(), kTag, sizeof(kTag)) != 0) {
    return kObBadArgument;
  }
  if (key_.empty() || !context_) {
    return kObFailure;
  }
  const std::uint32_t cipher_length = OBRuntime::LoadLe<std::uint32_t>(block.data() + 4);
  if (cipher_length > length - kHeaderLength) {
    OB_LOG_ERROR("Ciphertext length %u does not fit the record of %u bytes", cipher_length, length);
    return kObBadArgument;
  }
  const auto block_size = static_cast<std::uint32_t>(EVP_CIPHER_get_block_size(cipher_));
  Scratch scratch(std::size_t{cipher_length} + block_size);
  const char* const function = "COpenSSLCryptoPlugin::Decrypt";
  if (EVP_DecryptInit_ex(context_.get(), cipher_, nullptr, key_.data(), block.data() + 8) != 1) {
    LogOpenSslFailure(function, "EVP_DecryptInit_ex");
    return kObFailure;
  }
  int update_length = 0;
  if (EVP_DecryptUpdate(context_.get(), scratch.data(), &update_length,
                        block.data() + kHeaderLength, static_cast<int>(cipher_length)) != 1) {
    LogOpenSslFailure(function, "EVP_DecryptUpdate");
    return kObFailure;
  }
  int final_length = 0;
  if (EVP_DecryptFinal_ex(context_.get(), scratch.data() + update_length, &final_length) != 1) {
    LogOpenSslFailure(function, "EVP_DecryptFinal_ex");
    return kObFailure;
  }
  const auto plain_length = static_cast<std::uint32_t>(update_length + final_length);
  if (block.size() < plain_length) {
    block.resize(plain_length);
  }
  std::memcpy(block.data(), scratch.data(), plain_length);
  length = plain_length;
  return kObSuccess;
}

CObfuscationPlugin::CObfuscationPlugin(OB_STATUSCODE* status)
    : CObfuscationPlugin(status, MakeDefaultCrypto()) {}

CObfuscationPlugin::CObfuscationPlugin(OB_STATUSCODE* status, MadeCrypto made)
    : CObfuscationPlugin(status, std::move(made.crypto), made.status) {}

CObfuscationPlugin::MadeCrypto CObfuscationPlugin::MakeDefaultCrypto() {
  MadeCrypto made;
  made.crypto = std::make_unique<COpenSSLCryptoPlugin>(&made.status);
  return made;
}

CObfuscationPlugin::CObfuscationPlugin(OB_STATUSCODE* status, std::unique_ptr<ICryptoPlugin> crypto,
                                       OB_STATUSCODE crypto_status)
    : crypto_(std::move(crypto)) {
  if (!crypto_ || (crypto_status != kObSuccess && crypto_status != kObPartialFailure)) {
    OB_LOG_ERROR("Unable to initialize Obfuscation Plugin");
  }
  if (status != nullptr) {
    *status = crypto_ ? crypto_status : kObFailure;
  }
}

OB_STATUSCODE CObfuscationPlugin::ProcessForward(CacheBlock& block, std::uint32_t& length) {
  const OB_STATUSCODE status = crypto_ ? crypto_->Encrypt(block, length) : kObFailure;
  if (status != kObSuccess) {
    OB_LOG_ERROR("Failed to encrypt the passed data");
  }
  return status;
}

OB_STATUSCODE CObfuscationPlugin::ProcessBackward(CacheBlock& block, std::uint32_t& length) {
  const OB_STATUSCODE status = crypto_ ? crypto_->Decrypt(block, length) : kObFailure;
  if (status != kObSuccess) {
    OB_LOG_ERROR("Failed to decrypt the passed data");
  }
  return status;
}

OB_STATUSCODE CObfuscationPlugin::RegenerateKey() {
  return crypto_ ? crypto_->RegenerateAndStoreKey() : kObFailure;
}
