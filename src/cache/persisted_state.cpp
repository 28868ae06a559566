#include "cache/persisted_state.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <span>

#include "platform/private_directory.h"
#include "runtime/fd_io.h"
#include "runtime/logger.h"
#include "runtime/text.h"

CPersistedState::CPersistedState(const std::wstring& directory, const std::wstring& file_name,
                                 bool protect)
    : directory_(OBRuntime::WideToUtf8(directory)),
      full_path_(directory_ + "/" + OBRuntime::WideToUtf8(file_name)),
      protect_(protect),
      protection_(OBPlatform::CDataProtection::ForCurrentAccount()) {}

CPersistedState::CPersistedState(const std::wstring& directory, const std::wstring& file_name,
                                 OBPlatform::CDataProtection protection)
    : directory_(OBRuntime::WideToUtf8(directory)),
      full_path_(directory_ + "/" + OBRuntime::WideToUtf8(file_name)),
      protect_(true),
      protection_(std::move(protection)) {}

CPersistedState::~CPersistedState() { OPENSSL_cleanse(cached_.data(), cached_.size()); }

OB_STATUSCODE CPersistedState::StoreData(const std::uint8_t* value, std::uint32_t length) {
  const OB_STATUSCODE status = writeToFile(value, length);
  if (status == kObSuccess) {
    OPENSSL_cleanse(cached_.data(), cached_.size());
    cached_.assign(value, value + length);
  }
  return status;
}

OB_STATUSCODE CPersistedState::LoadData(std::uint8_t* buffer, std::uint32_t length) {
  if (cached_.empty()) {
    return readFromFile(buffer, length);
  }
  if (buffer == nullptr || cached_.size() != length) {
    return buffer == nullptr ? kObBadArgument : kObFailure;
  }
  std::memcpy(buffer, cached_.data(), length);
  return kObSuccess;
}

// For writing, the file opened is a fresh temporary beside the real one; commitFile renames it.
OB_STATUSCODE CPersistedState::openFile(OBRuntime::UniqueFd& file, bool for_reading) {
  if (for_reading) {
    file.Reset(::open(full_path_.c_str(), O_RDONLY | O_CLOEXEC));
    return file.valid() ? kObSuccess : kObNotFound;
  }
  if (const int error = OBPlatform::CreatePrivateDirectory(directory_); error != 0) {
    OB_LOG_ERROR("Error creating file for %s failed with %d.", directory_.c_str(), error);
    return kObFailure;
  }
  temporary_path_ = full_path_ + ".XXXXXX";
  file.Reset(::mkostemp(temporary_path_.data(), O_CLOEXEC));  // mode 0600
  if (!file.valid()) {
    temporary_path_.clear();
    return kObNotFound;
  }
  return kObSuccess;
}

OB_STATUSCODE CPersistedState::writeDataToFile(const std::uint8_t* bytes, std::size_t length,
                                               const OBRuntime::UniqueFd& file) {
  if (!OBRuntime::WriteAll(file.get(), bytes, length)) {
    OB_LOG_ERROR("CPersistedData::writeToFile - FileWrite failed with %d.", errno);
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CPersistedState::readDataFromFile(std::uint8_t* buffer, std::size_t length,
                                                const OBRuntime::UniqueFd& file) {
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || static_cast<std::uint64_t>(info.st_size) != length) {
    OB_LOG_DEBUG("Data in Persisted File not of expected length.");
    return kObFailure;
  }
  return OBRuntime::ReadAll(file.get(), buffer, length) ? kObSuccess : kObFailure;
}

OB_STATUSCODE CPersistedState::writeProtected(const std::uint8_t* value, std::uint32_t length,
                                              const OBRuntime::UniqueFd& file) {
  std::vector<std::uint8_t> blob;
  if (protection_.Protect({value, length}, blob) != kObSuccess) {
    OB_LOG_ERROR("Failed to restrict access to admin only with the following error - %ld",
                 static_cast<long>(kObFailure));
    return kObFailure;
  }
  if (blob.size() > kMaxBlobLength) {
    OB_LOG_DEBUG("Data length exceeds maximum allowable length which can be written to file");
    return kObFailure;
  }
  const std::array<std::uint8_t, 2> blob_length = {static_cast<std::uint8_t>(blob.size() & 0xFF),
                                                   static_cast<std::uint8_t>(blob.size() >> 8)};
  const std::vector<std::uint8_t> padding(kMaxBlobLength - blob.size(), 0);
  if (writeDataToFile(blob_length.data(), blob_length.size(), file) != kObSuccess ||
      writeDataToFile(blob.data(), blob.size(), file) != kObSuccess) {
    OB_LOG_ERROR("Failed to write encrypted data to file");
    return kObFailure;
  }
  if (writeDataToFile(padding.data(), padding.size(), file) != kObSuccess) {
    OB_LOG_ERROR("Failed to write complete data to file");
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CPersistedState::commitFile(const OBRuntime::UniqueFd& file) {
  if (::fsync(file.get()) != 0 || ::rename(temporary_path_.c_str(), full_path_.c_str()) != 0) {
    OB_LOG_ERROR("CPersistedData::writeToFile - FileWrite failed with %d.", errno);
    return kObFailure;
  }
  temporary_path_.clear();
  return kObSuccess;
}

OB_STATUSCODE CPersistedState::writeToFile(const std::uint8_t* value, std::uint32_t length) {
  if (value == nullptr) {
    return kObBadArgument;
  }
  OBRuntime::UniqueFd file;
  if (openFile(file, false) != kObSuccess) {
    OB_LOG_ERROR("CPersistedData::writeToFile - Write to data file failed.");
    return kObFailure;
  }
  OB_STATUSCODE status =
      protect_ ? writeProtected(value, length, file) : writeDataToFile(value, length, file);
  if (status == kObSuccess) {
    status = commitFile(file);
  }
  if (!temporary_path_.empty()) {
    ::unlink(temporary_path_.c_str());
    temporary_path_.clear();
  }
  return status;
}

OB_STATUSCODE CPersistedState::readProtected(std::uint8_t* buffer, std::uint32_t length,
                                             const OBRuntime::UniqueFd& file) {
  std::array<std::uint8_t, kProtectedFileSize> contents{};
  if (const OB_STATUSCODE status = readDataFromFile(contents.data(), contents.size(), file);
      status != kObSuccess) {
    return status;
  }
  const std::size_t blob_length = contents[0] | (std::size_t{contents[1]} << 8);
  if (blob_length > kMaxBlobLength) {
    OB_LOG_ERROR("Protected file %s states a blob of %zu bytes", full_path_.c_str(), blob_length);
    return kObFailure;
  }
  std::vector<std::uint8_t> value;
  if (protection_.Unprotect(std::span(contents).subspan(2, blob_length), value) != kObSuccess) {
    return kObFailure;
  }
  if (value.size() != length) {
    OB_LOG_DEBUG("Data in Persisted File not of expected length.");
    OPENSSL_cleanse(value.data(), value.size());
    return kObFailure;
  }
  std::memcpy(buffer, value.data(), length);
  OPENSSL_cleanse(cached_.data(), cached_.size());
  cached_ = std::move(value);
  return kObSuccess;
}

OB_STATUSCODE CPersistedState::readFromFile(std::uint8_t* buffer, std::uint32_t length) {
  if (buffer == nullptr) {
    return kObBadArgument;
  }
  OBRuntime::UniqueFd file;
  if (const OB_STATUSCODE status = openFile(file, true); status != kObSuccess) {
    OB_LOG_ERROR("CPersistedData::readFromFile()- File open failed");
    return status;
  }
  if (protect_) {
    return readProtected(buffer, length, file);
  }
  std::vector<std::uint8_t> value(length);
  if (const OB_STATUSCODE status = readDataFromFile(value.data(), length, file);
      status != kObSuccess) {
    return status;
  }
  std::memcpy(buffer, value.data(), length);
  cached_ = std::move(value);
  return kObSuccess;
}
