// One small binary value kept in one file of the agent's data directory across restarts,
// optionally sealed to this machine and account (the cache key).
//
// Unprotected file: the value's bytes. Protected file: always 514 bytes, a u16 little-endian blob
// length L, the L-byte blob, then zeros. A load accepts only a file of exactly the expected size,
// so a partial file never reads as a wrong value; a store writes a temporary file and renames it
// into place, so a crash mid-write leaves the previous file whole.
//
// Each user makes a fresh object per load or store, from one thread; there is no locking.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/status.h"
#include "platform/data_protection.h"
#include "runtime/unique_fd.h"

class CPersistedState {
 public:
  static constexpr std::size_t kProtectedFileSize = 514;
  static constexpr std::size_t kMaxBlobLength = 512;

  // The file directory + "/" + file_name; protect seals the value to the current account.
  CPersistedState(const std::wstring& directory, const std::wstring& file_name, bool protect);
  // As above with an explicit sealing (tests pass one with a temporary secret).
  CPersistedState(const std::wstring& directory, const std::wstring& file_name,
                  OBPlatform::CDataProtection protection);
  // Wipes the copy of the value it keeps (a key, for the cache).
  virtual ~CPersistedState();
  CPersistedState(const CPersistedState&) = delete;
  CPersistedState& operator=(const CPersistedState&) = delete;

  // Writes the value (creating the directory when missing); on success it becomes the cached
  // copy. kObBadArgument for a null value; kObFailure when writing fails.
  [[nodiscard]] OB_STATUSCODE StoreData(const std::uint8_t* value, std::uint32_t length);
  // Fills buffer with exactly length bytes: from the cached copy when there is one (its size
  // must equal length), else from the file. kObBadArgument for a null buffer, kObNotFound when
  // the file cannot be opened, kObFailure for a file of another size or a blob that will not open.
  [[nodiscard]] OB_STATUSCODE LoadData(std::uint8_t* buffer, std::uint32_t length);

 private:
  [[nodiscard]] OB_STATUSCODE openFile(OBRuntime::UniqueFd& file, bool for_reading);
  [[nodiscard]] OB_STATUSCODE writeToFile(const std::uint8_t* value, std::uint32_t length);
  [[nodiscard]] OB_STATUSCODE readFromFile(std::uint8_t* buffer, std::uint32_t length);
  [[nodiscard]] OB_STATUSCODE writeDataToFile(const std::uint8_t* bytes, std::size_t length,
                                              const OBRuntime::UniqueFd& file);
  [[nodiscard]] OB_STATUSCODE readDataFromFile(std::uint8_t* buffer, std::size_t length,
                                               const OBRuntime::UniqueFd& file);
  [[nodiscard]] OB_STATUSCODE writeProtected(const std::uint8_t* value, std::uint32_t length,
                                             const OBRuntime::UniqueFd& file);
  [[nodiscard]] OB_STATUSCODE readProtected(std::uint8_t* buffer, std::uint32_t length,
                                            const OBRuntime::UniqueFd& file);
  // Makes the temporary file durable and renames it over the real one.
  [[nodiscard]] OB_STATUSCODE commitFile(const OBRuntime::UniqueFd& file);

  std::string directory_;  // UTF-8
  std::string full_path_;  // UTF-8
  bool protect_;
  OBPlatform::CDataProtection protection_;
  std::vector<std::uint8_t> cached_;  // empty until a load or store succeeds
  std::string temporary_path_;        // set while a store is in progress
};
