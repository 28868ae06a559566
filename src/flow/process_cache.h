// What the agent has learnt about each process that a process cannot change, kept across
// lookups so a flow's process data costs one /proc read instead of several.
//
// Entries are keyed by process id and start time (/proc/<pid>/stat field 22), so a reused id
// never finds the facts of its previous owner. exec keeps both but changes the image: each entry
// keeps the command name read with the start time and the device and inode of the image, and
// callers treat an entry whose name or image differs as absent (a launcher that execs a binary
// of the same name changes the image, not the name). The cache holds at most its capacity; when
// full, the least recently used half is dropped in one sweep. Entries are immutable snapshots: an
// update stores a new one.
//
// Every operation is safe from any thread.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// The identity of a process for as long as it lives.
struct ProcessKey {
  std::uint32_t pid = 0;
  std::uint64_t start_time = 0;
  bool operator==(const ProcessKey&) const = default;
};

struct ProcessFacts {
  std::string command_name;  // as read with the start time
  // Device and inode of /proc/<pid>/exe when first read; both 0 when it could not be stat'ed.
  std::uint64_t image_device = 0;
  std::uint64_t image_inode = 0;
  std::uint32_t parent_pid = 0;
  // The parent's start time when this process was first seen; empty when the parent could not
  // be read then (or is process 0). With parent_pid it keys the parent's own entry.
  std::optional<std::uint64_t> parent_start_time;
  bool kernel_thread = false;
  // The image path; empty when it could not be read, image_error then holds the errno.
  std::wstring image_path;
  int image_error = 0;
  bool has_hash = false;  // hash valid
  std::array<std::uint8_t, 32> hash{};
  // user_name and account_type valid, for the effective uid and groups below. A process can
  // change its user without exec, so callers compare these with the process's current ones
  // (read at user_checked, a steady-clock time).
  bool has_user = false;
  std::uint32_t effective_uid = 0;
  std::vector<std::uint32_t> groups;
  std::chrono::steady_clock::time_point user_checked{};
  std::wstring user_name;
  std::uint16_t account_type = 0;
};

class CProcessCache {
 public:
  static constexpr std::size_t kDefaultCapacity = 4096;

  // The process-wide cache, created on first use.
  static CProcessCache& Instance();

  // A cache of at most capacity entries (at least 2).
  explicit CProcessCache(std::size_t capacity = kDefaultCapacity);
  CProcessCache(const CProcessCache&) = delete;
  CProcessCache& operator=(const CProcessCache&) = delete;

  // The facts stored under key, or null.
  [[nodiscard]] std::shared_ptr<const ProcessFacts> Find(const ProcessKey& key);
  // Stores facts under key, replacing what was there.
  void Store(const ProcessKey& key, std::shared_ptr<const ProcessFacts> facts);
  [[nodiscard]] std::size_t Size() const;

 private:
  struct KeyHash {
    std::size_t operator()(const ProcessKey& key) const noexcept;
  };
  struct Entry {
    std::shared_ptr<const ProcessFacts> facts;
    std::uint64_t last_use = 0;
  };
  // Drops the least recently used half; mutex_ held.
  void EvictOlderHalf();

  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::uint64_t use_clock_ = 0;                             // guarded by mutex_
  std::unordered_map<ProcessKey, Entry, KeyHash> entries_;  // guarded by mutex_
};
