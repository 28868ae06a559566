#include "trust/shared_memory.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "runtime/logger.h"

namespace {

constexpr std::uint32_t kPageSize = 4096;

}  // namespace

CSharedMemory::CSharedMemory(std::int32_t role, std::uint32_t record_size, bool& ok,
                             OBPlatform::VpnStateObjectNames names)
    : role_(role), record_size_(record_size), names_(std::move(names)) {
  ok = false;
  if (record_size_ == 0 || record_size_ > kMaxSharedMemorySize) {
    OB_LOG_ERROR("Unable to allocate %u bytes of memory. Maximum limit allowed - %u bytes",
                 record_size_, kMaxSharedMemorySize);
    return;
  }
  if (!InitSharedMemory()) {
    OB_LOG_ERROR("Unable to initialize shared memory");
    return;
  }
  bool lock_ok = false;
  auto lock = std::make_unique<CInterProcessSync>(role_, SYNC_OBJECT_MUTEX, lock_ok, names_);
  if (!lock_ok) {
    OB_LOG_ERROR("Unable to initialize shared memory");
    return;
  }
  lock_ = std::move(lock);
  ok = true;
}

CSharedMemory::~CSharedMemory() {
  if (!RemoveSharedMemory()) {
    OB_LOG_ERROR("Failed to remove shared memory");
  }
}

std::uint32_t CSharedMemory::mapping_size() const noexcept {
  return (record_size_ + kPageSize - 1) / kPageSize * kPageSize;
}

bool CSharedMemory::InitSharedMemory() {
  if (const int error = block_.Open(names_.block, mapping_size(), {names_.lock, names_.event});
      error != 0) {
    OB_LOG_ERROR("Unable to initialize shared memory - (%d)", error);
    return false;
  }
  // A creator's block is zero-filled by Open already.
  if (const int error = block_.Map(); error != 0) {
    OB_LOG_ERROR("Could not map view of file - (%d)", error);
    block_.Close();
    return false;
  }
  return true;
}

bool CSharedMemory::ReadSharedMemory(std::uint32_t& size, void* buffer) {
  const bool usable = block_.data() != nullptr && buffer != nullptr && size >= record_size_;
  size = record_size_;
  if (lock_ == nullptr) {
    OB_LOG_ERROR("Lock to read the shared memory not initialized");
    return false;
  }
  if (!usable) {
    OB_LOG_ERROR("Unable to read the shared memory, memory corrupted or not initialized");
    return false;
  }
  if (!lock_->Lock()) {
    OB_LOG_ERROR("Unable to read the shared memory as the lock was not available");
    return false;
  }
  std::memcpy(buffer, block_.data(), record_size_);
  lock_->Unlock();
  return true;
}

bool CSharedMemory::WriteToSharedMemory(const void* buffer, std::uint32_t& size) {
  bool written = false;
  return write(buffer, size, false, written);
}

bool CSharedMemory::WriteToSharedMemoryIfBlank(const void* buffer, std::uint32_t& size,
                                               bool& written) {
  return write(buffer, size, true, written);
}

bool CSharedMemory::write(const void* buffer, std::uint32_t& size, bool only_if_blank,
                          bool& written) {
  written = false;
  const bool usable = block_.data() != nullptr && buffer != nullptr && size == record_size_;
  size = record_size_;
  if (lock_ == nullptr) {
    OB_LOG_ERROR("Lock to write into shared memory not initialized");
    return false;
  }
  if (!usable) {
    OB_LOG_ERROR("Unable to write in the shared memory, memory corrupted or not initialized");
    return false;
  }
  if (!lock_->Lock()) {
    OB_LOG_ERROR("Unable to write to shared memory as the lock was not available");
    return false;
  }
  auto* view = static_cast<unsigned char*>(block_.data());
  if (!only_if_blank ||
      std::all_of(view, view + record_size_, [](unsigned char c) { return c == 0; })) {
    std::memcpy(view, buffer, record_size_);
    written = true;
  }
  lock_->Unlock();
  return true;
}

bool CSharedMemory::detachSharedMemory() {
  if (const int error = block_.Unmap(); error != 0) {
    OB_LOG_ERROR("Unable to detach shared memory from the process (%d)", error);
    return false;
  }
  return true;
}

bool CSharedMemory::RemoveSharedMemory() {
  bool ok = true;
  if (!detachSharedMemory()) {
    OB_LOG_ERROR("Failed to detach shared memory from the process");
    ok = false;
  }
  // The lock closes before the block, whose last user removes the lock's name too.
  if (lock_ != nullptr) {
    lock_->CloseHandles();
    lock_.reset();
  }
  block_.Close();
  return ok;
}
