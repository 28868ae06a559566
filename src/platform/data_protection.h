// Binds small secrets to this machine and this account, as the cache key file needs.
//
// A blob is AES-256-GCM under a key derived with HKDF-SHA256 from a random per-account secret
// (created on first use, mode 0600 in a 0700 directory), salted with the machine id and bound to
// the uid. A blob copied to another machine or account, or altered by one bit, fails to open.
// Blob layout: version byte 1, 12-byte nonce, ciphertext (as long as the value), 16-byte tag:
// a 32-byte value gives a 61-byte blob.
//
// Protect and Unprotect are safe from any thread; two processes creating the secret at once end
// up sharing one of the two.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "common/status.h"

namespace OBPlatform {

class CDataProtection {
 public:
  // Bytes a blob adds to its value.
  static constexpr std::size_t kOverhead = 1 + 12 + 16;

  // The current account's protection: the secret under
  // <program-data>/Varno/DataProtection/<euid>.key, salted with /etc/machine-id.
  [[nodiscard]] static CDataProtection ForCurrentAccount();

  // Explicit secret directory, machine id file and uid (tests use temporary ones).
  CDataProtection(const std::filesystem::path& secret_directory,
                  std::filesystem::path machine_id_file, uid_t uid);

  // Seals value into blob. kObFailure (logged) when the secret or the cipher is not available.
  [[nodiscard]] OB_STATUSCODE Protect(std::span<const std::uint8_t> value,
                                      std::vector<std::uint8_t>& blob) const;
  // Opens a blob made by Protect for the same account on the same machine. kObBadArgument
  // (logged) for a malformed, foreign or altered blob; kObFailure when the secret is missing.
  [[nodiscard]] OB_STATUSCODE Unprotect(std::span<const std::uint8_t> blob,
                                        std::vector<std::uint8_t>& value) const;

 private:
  // Derives the account key; create_secret makes the secret when it does not exist yet.
  [[nodiscard]] OB_STATUSCODE deriveKey(bool create_secret, std::vector<std::uint8_t>& key) const;

  std::filesystem::path secret_file_;
  std::filesystem::path machine_id_file_;
  uid_t uid_;
};

}  // namespace OBPlatform
