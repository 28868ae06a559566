// The one place the runtime talks to OpenSSL: library set-up and SHA-256 digests over EVP.
//
// OpenSSL 3 locks for itself, so set-up for many threads is only the explicit initialisation of
// libcrypto. Library errors are turned into status codes here, with a log line carrying
// OpenSSL's own error text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "common/status.h"

struct evp_md_ctx_st;

namespace OBRuntime {

class COpensslUtility {
 public:
  COpensslUtility() = delete;

  // Initialises libcrypto (error strings, ciphers, digests); safe to call again and from any
  // thread. kObFailure when OpenSSL refuses.
  [[nodiscard]] static OB_STATUSCODE InitOpenSSL();
  // Success, doing nothing, as often as called: see the definition for why.
  [[nodiscard]] static OB_STATUSCODE CleanUpOpenSSL();
};

using Sha256Digest = std::array<std::uint8_t, 32>;

// An incremental SHA-256 computation. One object belongs to one thread at a time.
class CSha256Hasher {
 public:
  CSha256Hasher();
  ~CSha256Hasher();
  CSha256Hasher(const CSha256Hasher&) = delete;
  CSha256Hasher& operator=(const CSha256Hasher&) = delete;

  // Adds bytes to the digest; kObFailure (logged) if the context could not be set up.
  [[nodiscard]] OB_STATUSCODE Update(std::span<const std::uint8_t> bytes);
  // Writes the digest of everything added; the object is spent afterwards (later calls fail).
  [[nodiscard]] OB_STATUSCODE Final(Sha256Digest& digest);

  // The digest of one buffer.
  [[nodiscard]] static OB_STATUSCODE Digest(std::span<const std::uint8_t> bytes,
                                            Sha256Digest& digest);

 private:
  struct ContextDeleter {
    void operator()(evp_md_ctx_st* context) const noexcept;
  };

  std::unique_ptr<evp_md_ctx_st, ContextDeleter> context_;
  OB_STATUSCODE status_ = kObSuccess;  // kObFailure after a failure or Final
};

}  // namespace OBRuntime
