// A named POSIX shared memory block with the lifetime of a Windows named file mapping.
//
// Every attached process holds a shared flock on the block. The process that gets the lock
// exclusively while attaching is alone with it: it is the creator and zero-fills the block. The
// process that gets it exclusively while detaching is the last one: it removes the block and the
// companion objects named at Open, so the next process starts from zeros again. A block smaller
// than asked for is grown (the new bytes are zero); objects are created with O_EXCL and mode
// 0600, and one that is not root's or this account's, or that others may write, is replaced
// (see trusted_shm.h). Map refuses a block that has become smaller than its size.
//
// Not thread-safe: one owner thread opens, maps and closes; the mapped bytes are the caller's to
// guard (the VPN state guards them with a named mutex).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "runtime/unique_fd.h"

namespace OBPlatform {

class SharedMemoryBlock {
 public:
  SharedMemoryBlock() = default;
  ~SharedMemoryBlock();
  SharedMemoryBlock(const SharedMemoryBlock&) = delete;
  SharedMemoryBlock& operator=(const SharedMemoryBlock&) = delete;

  // Creates or opens the object name (a "/name" shm name) of at least size bytes and attaches
  // to it; companions are removed with it by the last process to detach. 0 or an errno value.
  [[nodiscard]] int Open(const std::string& name, std::size_t size,
                         std::vector<std::string> companions);
  // Maps the opened block read-write; 0 or an errno value.
  [[nodiscard]] int Map();
  // Unmaps the view (nothing when not mapped); 0 or an errno value.
  [[nodiscard]] int Unmap();
  // Unmaps and detaches; the last process to detach removes the block and its companions.
  void Close();

  [[nodiscard]] bool is_open() const noexcept { return fd_.valid(); }
  // True when Open found no other process attached and zero-filled the block.
  [[nodiscard]] bool created() const noexcept { return created_; }
  // The mapped view, or nullptr before Map.
  [[nodiscard]] void* data() const noexcept { return view_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

 private:
  OBRuntime::UniqueFd fd_;
  std::string name_;
  std::vector<std::string> companions_;
  std::size_t size_ = 0;
  void* view_ = nullptr;
  bool created_ = false;
};

}  // namespace OBPlatform
