// The VPN module's shared block, read and written whole under the named lock.
//
// The block is the record size rounded up to whole 4096-byte pages and is zero-filled by the
// process that creates it; it disappears when the last process detaches (see
// platform/shared_memory_block.h). Every read or write takes "VarnoObMemoryLock" for at most
// 1000 ms and copies the whole record, so no reader sees a half-written record.
//
// Reads and writes are safe from any thread; construction and removal belong to the owner.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/shared_memory_block.h"
#include "platform/vpn_state_objects.h"
#include "trust/inter_process_sync.h"

// Largest record a shared block may hold.
inline constexpr std::uint32_t kMaxSharedMemorySize = 262144;

class ISharedMemory {
 public:
  virtual ~ISharedMemory() = default;
  // Creates or opens the block and maps it; false (logged) on failure.
  [[nodiscard]] virtual bool InitSharedMemory() = 0;
  // Copies the record into buffer when size is at least the record size; size is set to the
  // record size either way.
  [[nodiscard]] virtual bool ReadSharedMemory(std::uint32_t& size, void* buffer) = 0;
  // Copies buffer into the block; size must equal the record size and is set to it.
  [[nodiscard]] virtual bool WriteToSharedMemory(const void* buffer, std::uint32_t& size) = 0;
  // Detaches, closes the lock and leaves the block; the last process removes the objects.
  virtual bool RemoveSharedMemory() = 0;
  // Unmaps the view.
  virtual bool detachSharedMemory() = 0;
};

class CSharedMemory final : public ISharedMemory {
 public:
  // Opens the block and its lock for a record of record_size bytes; ok reports success (each
  // failure is logged).
  CSharedMemory(std::int32_t role, std::uint32_t record_size, bool& ok,
                OBPlatform::VpnStateObjectNames names = {});
  ~CSharedMemory() override;
  CSharedMemory(const CSharedMemory&) = delete;
  CSharedMemory& operator=(const CSharedMemory&) = delete;

  // ISharedMemory
  [[nodiscard]] bool InitSharedMemory() override;
  [[nodiscard]] bool ReadSharedMemory(std::uint32_t& size, void* buffer) override;
  [[nodiscard]] bool WriteToSharedMemory(const void* buffer, std::uint32_t& size) override;
  bool RemoveSharedMemory() override;
  bool detachSharedMemory() override;

  // As WriteToSharedMemory, but only into a record that is all zeros, the state of a block no
  // one has written yet; written says whether it wrote. The test and the write share one hold
  // of the lock.
  [[nodiscard]] bool WriteToSharedMemoryIfBlank(const void* buffer, std::uint32_t& size,
                                                bool& written);

  [[nodiscard]] std::uint32_t record_size() const noexcept { return record_size_; }
  // Size of the mapping: the record size rounded up to whole pages.
  [[nodiscard]] std::uint32_t mapping_size() const noexcept;

 private:
  [[nodiscard]] bool write(const void* buffer, std::uint32_t& size, bool only_if_blank,
                           bool& written);

  const std::int32_t role_;
  const std::uint32_t record_size_;
  const OBPlatform::VpnStateObjectNames names_;
  OBPlatform::SharedMemoryBlock block_;
  std::unique_ptr<CInterProcessSync> lock_;  // null when the lock could not be opened
};
