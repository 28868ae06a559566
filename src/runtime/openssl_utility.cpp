#include "runtime/openssl_utility.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <array>

#include "runtime/logger.h"

namespace OBRuntime {
namespace {

// OpenSSL's text for the oldest queued error (and the queue cleared), for a log line.
std::array<char, 256> TakeOpensslError() {
  std::array<char, 256> text{};
  const unsigned long code = ERR_get_error();
  ERR_error_string_n(code, text.data(), text.size());
  ERR_clear_error();
  return text;
}

struct MdDeleter {
  void operator()(EVP_MD* md) const noexcept { EVP_MD_free(md); }
};

// SHA-256 fetched once explicitly: the implicit fetch behind EVP_sha256() repeats a provider
// lookup on every EVP_DigestInit_ex, which is measurable for short buffers.
const EVP_MD* Sha256Method() {
  static const std::unique_ptr<EVP_MD, MdDeleter> method(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  return method.get();
}

}  // namespace

OB_STATUSCODE COpensslUtility::InitOpenSSL() {
  constexpr std::uint64_t kOptions = OPENSSL_INIT_LOAD_CRYPTO_STRINGS |
                                     OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS;
  if (OPENSSL_init_crypto(kOptions, nullptr) != 1) {
    OB_LOG_ERROR("OPENSSL_init_crypto failed: %s", TakeOpensslError().data());
    return kObFailure;
  }
  return kObSuccess;
}

// OPENSSL_cleanup is deliberately not called: it cannot be undone, so any later initialisation
// in the same process (a restarted main loop, another component, the tests) would fail. OpenSSL
// releases its resources itself at process exit.
OB_STATUSCODE COpensslUtility::CleanUpOpenSSL() { return kObSuccess; }

void CSha256Hasher::ContextDeleter::operator()(evp_md_ctx_st* context) const noexcept {
  EVP_MD_CTX_free(context);
}

CSha256Hasher::CSha256Hasher() : context_(EVP_MD_CTX_new()) {
  const EVP_MD* method = Sha256Method();
  if (context_ == nullptr || method == nullptr ||
      EVP_DigestInit_ex(context_.get(), method, nullptr) != 1) {
    OB_LOG_ERROR("cannot set up a SHA-256 context: %s", TakeOpensslError().data());
    status_ = kObFailure;
  }
}

CSha256Hasher::~CSha256Hasher() = default;

OB_STATUSCODE CSha256Hasher::Update(std::span<const std::uint8_t> bytes) {
  if (status_ == kObSuccess && EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) != 1) {
    OB_LOG_ERROR("EVP_DigestUpdate failed on %zu bytes: %s", bytes.size(),
                 TakeOpensslError().data());
    status_ = kObFailure;
  }
  return status_;
}

OB_STATUSCODE CSha256Hasher::Final(Sha256Digest& digest) {
  if (status_ != kObSuccess) {
    return status_;
  }
  status_ = kObFailure;  // spent, whatever happens next
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1 || length != digest.size()) {
    OB_LOG_ERROR("EVP_DigestFinal_ex failed (%u bytes): %s", length, TakeOpensslError().data());
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CSha256Hasher::Digest(std::span<const std::uint8_t> bytes, Sha256Digest& digest) {
  CSha256Hasher hasher;
  const OB_STATUSCODE status = hasher.Update(bytes);
  return ObSucceeded(status) ? hasher.Final(digest) : status;
}

}  // namespace OBRuntime
