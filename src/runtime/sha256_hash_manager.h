// SHA-256 of files (executables, loaded modules) with a cache, and of memory buffers.
//
// A file's digest is cached under its identity and version: device, inode, size, modification
// time and status-change time, both with nanoseconds. Asking again for an unchanged file costs
// one stat(2) and a lookup under a shared lock; any rewrite (even one that restores the
// modification time) changes the status-change time and so forces a new hash. The cache holds at
// most its capacity; when full, the least recently used half is dropped in one sweep, which keeps
// eviction amortised O(1) without the lock upgrade a strict LRU list would need on every hit.
//
// All operations are safe from any thread. Two threads asking for the same new file may both
// hash it; both get the right digest.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/status.h"
#include "runtime/openssl_utility.h"

namespace OBRuntime {

class CSha256HashManagerImpl {
 public:
  static constexpr std::uint32_t kDigestSize = 32;
  static constexpr std::size_t kDefaultCacheCapacity = 4096;

  // The process-wide hasher, created on first use (thread-safe).
  static CSha256HashManagerImpl& AcquireInstance();

  // A separate hasher with its own cache of at most cache_capacity (at least 2) entries.
  explicit CSha256HashManagerImpl(std::size_t cache_capacity = kDefaultCacheCapacity);
  CSha256HashManagerImpl(const CSha256HashManagerImpl&) = delete;
  CSha256HashManagerImpl& operator=(const CSha256HashManagerImpl&) = delete;

  // Writes the 32-byte digest of the regular file at path (symbolic links followed). pid only
  // names the process in log lines. kObNotFound when the file was not hashed (missing,
  // unreadable, not a regular file, read error); kObBadArgument for a null out or out_size < 32;
  // kObFailure when OpenSSL fails; kObOutOfMemory.
  [[nodiscard]] OB_STATUSCODE GetHashSHA256(const std::wstring& path, std::uint8_t* out,
                                            std::uint32_t out_size, std::uint32_t pid);

  // One lowercase hexadecimal digest (64 characters) per path, in order; an empty text marks a
  // file that could not be hashed (the caller substitutes its placeholder). kObSuccess even when
  // some entries are empty; kObOutOfMemory is the only failure.
  [[nodiscard]] OB_STATUSCODE GetHashSHA256List(const std::vector<std::wstring>& paths,
                                                std::vector<std::string>& out_hashes,
                                                std::uint32_t pid = 0);

  // Lowercase hexadecimal SHA-256 of length bytes at data (64 characters); empty, with a log
  // line, for null data with a non-zero length or an OpenSSL failure.
  [[nodiscard]] static std::string GetHashSHA256(const void* data, std::size_t length);

  // Number of files read and hashed so far (cache misses that succeeded).
  [[nodiscard]] std::uint64_t FilesHashed() const noexcept;
  // Number of digests in the cache.
  [[nodiscard]] std::size_t CachedEntries() const;

 private:
  // Identity and version of a file's contents as stat(2) reports them.
  struct FileKey {
    dev_t device;
    ino_t inode;
    off_t size;
    std::int64_t modified_seconds;
    std::int64_t modified_nanoseconds;
    std::int64_t changed_seconds;
    std::int64_t changed_nanoseconds;
    bool operator==(const FileKey&) const = default;
  };
  struct FileKeyHash {
    std::size_t operator()(const FileKey& key) const noexcept;
  };
  struct CacheEntry {
    Sha256Digest digest{};
    std::atomic<std::uint64_t> last_use{0};  // use tick; written under the shared lock
  };

  static FileKey KeyOf(const struct stat& info) noexcept;
  [[nodiscard]] bool Lookup(const FileKey& key, Sha256Digest& digest);
  void Insert(const FileKey& key, const Sha256Digest& digest);
  // Drops the least recently used half of the cache; mutex_ held exclusively.
  void EvictOlderHalf();
  // GetHashSHA256 for a valid output of 32 bytes: cache hit, or HashFile.
  [[nodiscard]] OB_STATUSCODE HashPath(const std::string& path, std::uint32_t pid,
                                       std::uint8_t* out);
  // Reads and hashes the file, caching the digest when the file did not change meanwhile.
  [[nodiscard]] OB_STATUSCODE HashFile(const std::string& path, std::uint32_t pid,
                                       Sha256Digest& digest);

  const std::size_t capacity_;  // set at construction
  std::atomic<std::uint64_t> use_clock_{0};
  std::atomic<std::uint64_t> files_hashed_{0};
  mutable std::shared_mutex mutex_;
  std::unordered_map<FileKey, CacheEntry, FileKeyHash> cache_;  // guarded by mutex_
};

}  // namespace OBRuntime
