#include "platform/data_protection.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "platform/private_directory.h"
#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/unique_fd.h"
#include "runtime/utils.h"

namespace OBPlatform {
namespace {

constexpr std::uint8_t kBlobVersion = 1;
constexpr std::size_t kSecretBytes = 32;
constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kNonceBytes = 12;
constexpr std::size_t kTagBytes = 16;
constexpr std::size_t kMaxMachineIdBytes = 256;

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

struct KeyContextFree {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, KeyContextFree>;

std::string OpenSslError() {
  std::array<char, 256> text{};
  ERR_error_string_n(ERR_get_error(), text.data(), text.size());
  return text.data();
}

// Reads exactly kSecretBytes from the secret file. kObNotFound when there is none; kObFailure
// (logged) when it cannot be read, or is not a regular file of this account holding exactly a
// secret: such a file is refused, never replaced, since replacing it would silently make
// everything it protected unreadable.
OB_STATUSCODE ReadSecret(const std::filesystem::path& file, std::vector<std::uint8_t>& secret) {
  const OBRuntime::UniqueFd fd(
      ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) {
    if (errno == ENOENT) {
      return kObNotFound;
    }
    OB_LOG_ERROR("Cannot open the secret file %s: errno %d", file.c_str(), errno);
    return kObFailure;
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
    OB_LOG_ERROR("Refusing the secret file %s: not a regular file owned by uid %u", file.c_str(),
                 static_cast<unsigned>(::geteuid()));
    return kObFailure;
  }
  secret.assign(kSecretBytes + 1, 0);
  const ssize_t got = ::read(fd.get(), secret.data(), secret.size());
  if (got != static_cast<ssize_t>(kSecretBytes)) {
    OB_LOG_ERROR("Refusing the secret file %s: it holds %zd bytes, expected %zu", file.c_str(), got,
                 kSecretBytes);
    return kObFailure;
  }
  secret.resize(kSecretBytes);
  return kObSuccess;
}

// Makes the secret: written to a private temporary file, then linked into place so that a
// concurrent creator either wins or finds the complete secret of the other.
bool CreateSecret(const std::filesystem::path& file, std::vector<std::uint8_t>& secret) {
  const auto directory = file.parent_path();
  if (const int error = CreatePrivateDirectory(directory.string()); error != 0) {
    OB_LOG_ERROR("Cannot create the secret directory %s: %s", directory.c_str(),
                 ErrnoText(error).c_str());
    return false;
  }
  secret.assign(kSecretBytes, 0);
  if (RAND_bytes(secret.data(), static_cast<int>(secret.size())) != 1) {
    OB_LOG_ERROR("RAND_bytes failed: %s", OpenSslError().c_str());
    return false;
  }
  std::string temporary = (directory / ".secret-XXXXXX").string();
  const OBRuntime::UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd.valid()) {
    OB_LOG_ERROR("Cannot create a secret in %s: errno %d", directory.c_str(), errno);
    return false;
  }
  const bool written =
      ::fchmod(fd.get(), 0600) == 0 &&
      ::write(fd.get(), secret.data(), secret.size()) == static_cast<ssize_t>(secret.size()) &&
      ::fsync(fd.get()) == 0;
  // Linked, never renamed: an existing secret is never replaced.
  const bool placed = written && ::link(temporary.c_str(), file.c_str()) == 0;
  const int place_error = errno;
  ::unlink(temporary.c_str());
  if (placed) {
    return true;
  }
  if (written && place_error == EEXIST) {
    return ReadSecret(file, secret) == kObSuccess;  // another process won the race
  }
  OB_LOG_ERROR("Cannot store the secret %s: errno %d", file.c_str(), place_error);
  return false;
}

bool ReadMachineId(const std::filesystem::path& file, std::string& machine_id) {
  std::ifstream in(file, std::ios::binary);
  std::string text(kMaxMachineIdBytes, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.empty()) {
    OB_LOG_ERROR("No machine id in %s", file.c_str());
    return false;
  }
  machine_id = std::move(text);
  return true;
}

bool Hkdf(const std::vector<std::uint8_t>& secret, const std::string& salt, const std::string& info,
          std::vector<std::uint8_t>& key) {
  const KeyContext context(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr));
  key.assign(kKeyBytes, 0);
  std::size_t length = key.size();
  const auto* salt_bytes = reinterpret_cast<const unsigned char*>(salt.data());
  const auto* info_bytes = reinterpret_cast<const unsigned char*>(info.data());
  const bool ok =
      context && EVP_PKEY_derive_init(context.get()) == 1 &&
      EVP_PKEY_CTX_set_hkdf_md(context.get(), EVP_sha256()) == 1 &&
      EVP_PKEY_CTX_set1_hkdf_salt(context.get(), salt_bytes, static_cast<int>(salt.size())) == 1 &&
      EVP_PKEY_CTX_set1_hkdf_key(context.get(), secret.data(), static_cast<int>(secret.size())) ==
          1 &&
      EVP_PKEY_CTX_add1_hkdf_info(context.get(), info_bytes, static_cast<int>(info.size())) == 1 &&
      EVP_PKEY_derive(context.get(), key.data(), &length) == 1 && length == kKeyBytes;
  if (!ok) {
    OB_LOG_ERROR("HKDF failed: %s", OpenSslError().c_str());
  }
  return ok;
}

}  // namespace

CDataProtection CDataProtection::ForCurrentAccount() {
  const uid_t uid = ::geteuid();
  const std::filesystem::path program_data =
      OBRuntime::WideToUtf8(OBRuntime::Utils::GetProgramDataPath());
  return {program_data / "Varno" / "DataProtection", "/etc/machine-id", uid};
}

CDataProtection::CDataProtection(const std::filesystem::path& secret_directory,
                                 std::filesystem::path machine_id_file, uid_t uid)
    : secret_file_(secret_directory / (std::to_string(uid) + ".key")),
      machine_id_file_(std::move(machine_id_file)),
      uid_(uid) {}

OB_STATUSCODE CDataProtection::deriveKey(bool create_secret, std::vector<std::uint8_t>& key) const {
  std::vector<std::uint8_t> secret;
  const OB_STATUSCODE read = ReadSecret(secret_file_, secret);
  if (read == kObFailure ||
      (read == kObNotFound && !(create_secret && CreateSecret(secret_file_, secret)))) {
    OB_LOG_ERROR("No data protection secret at %s", secret_file_.c_str());
    return kObFailure;
  }
  std::string machine_id;
  if (!ReadMachineId(machine_id_file_, machine_id) ||
      !Hkdf(secret, machine_id, std::to_string(uid_), key)) {
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CDataProtection::Protect(std::span<const std::uint8_t> value,
                                       std::vector<std::uint8_t>& blob) const {
  std::vector<std::uint8_t> key;
  if (const OB_STATUSCODE status = deriveKey(true, key); status != kObSuccess) {
    return status;
  }
  std::vector<std::uint8_t> out(kOverhead + value.size());
  out[0] = kBlobVersion;
  std::uint8_t* nonce = out.data() + 1;
  std::uint8_t* cipher_text = nonce + kNonceBytes;
  std::uint8_t* tag = cipher_text + value.size();
  const CipherContext context(EVP_CIPHER_CTX_new());
  int written = 0;
  int final_written = 0;
  const bool ok =
      context && RAND_bytes(nonce, static_cast<int>(kNonceBytes)) == 1 &&
      EVP_EncryptInit_ex2(context.get(), EVP_aes_256_gcm(), key.data(), nonce, nullptr) == 1 &&
      EVP_EncryptUpdate(context.get(), nullptr, &written, out.data(), 1) == 1 &&
      EVP_EncryptUpdate(context.get(), cipher_text, &written, value.data(),
                        static_cast<int>(value.size())) == 1 &&
      EVP_EncryptFinal_ex(context.get(), cipher_text + written, &final_written) == 1 &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes), tag) ==
          1;
  if (!ok) {
    OB_LOG_ERROR("AES-256-GCM sealing failed: %s", OpenSslError().c_str());
    return kObFailure;
  }
  blob = std::move(out);
  return kObSuccess;
}

OB_STATUSCODE CDataProtection::Unprotect(std::span<const std::uint8_t> blob,
                                         std::vector<std::uint8_t>& value) const {
  if (blob.size() < kOverhead || blob[0] != kBlobVersion) {
    OB_LOG_ERROR("Not a protected blob (%zu bytes)", blob.size());
    return kObBadArgument;
  }
  std::vector<std::uint8_t> key;
  if (const OB_STATUSCODE status = deriveKey(false, key); status != kObSuccess) {
    return status;
  }
  const std::size_t length = blob.size() - kOverhead;
  const std::uint8_t* nonce = blob.data() + 1;
  const std::uint8_t* cipher_text = nonce + kNonceBytes;
  std::array<std::uint8_t, kTagBytes> tag{};
  std::memcpy(tag.data(), cipher_text + length, kTagBytes);
  std::vector<std::uint8_t> out(length);
  const CipherContext context(EVP_CIPHER_CTX_new());
  int written = 0;
  int final_written = 0;
  const bool ok =
      context &&
      EVP_DecryptInit_ex2(context.get(), EVP_aes_256_gcm(), key.data(), nonce, nullptr) == 1 &&
      EVP_DecryptUpdate(context.get(), nullptr, &written, blob.data(), 1) == 1 &&
      EVP_DecryptUpdate(context.get(), out.data(), &written, cipher_text,
                        static_cast<int>(length)) == 1 &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes),
                          tag.data()) == 1 &&
      EVP_DecryptFinal_ex(context.get(), out.data() + written, &final_written) == 1;
  if (!ok) {
    OB_LOG_ERROR("Protected blob of %zu bytes does not open for this account on this machine",
                 blob.size());
    return kObBadArgument;
  }
  value = std::move(out);
  return kObSuccess;
}

}  // namespace OBPlatform
