#include "runtime/sha256_hash_manager.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/unique_fd.h"
#include "runtime/utils.h"

namespace OBRuntime {
namespace {

constexpr std::size_t kMinReadBlock = std::size_t{4} * 1024;
constexpr std::size_t kMaxReadBlock = std::size_t{256} * 1024;

// Feeds the whole file to the hasher in blocks sized to the file, within fixed bounds.
OB_STATUSCODE HashDescriptor(int fd, off_t size, const std::string& path, std::uint32_t pid,
                             CSha256Hasher& hasher) {
  const std::size_t block =
      std::clamp(static_cast<std::size_t>(size), kMinReadBlock, kMaxReadBlock);
  const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(block);
  for (;;) {
    const ssize_t got = ::read(fd, buffer.get(), block);
    if (got == 0) {
      return kObSuccess;
    }
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      OB_LOG_WARN("read failed on %s (pid %u): errno %d", path.c_str(), pid, errno);
      return kObNotFound;
    }
    const OB_STATUSCODE status = hasher.Update({buffer.get(), static_cast<std::size_t>(got)});
    if (!ObSucceeded(status)) {
      return status;
    }
  }
}

std::uint64_t Mix(std::uint64_t seed, std::uint64_t value) noexcept {
  return seed ^ (value + 0x9E3779B97F4A7C15ULL + (seed << 6) + (seed >> 2));
}

}  // namespace

CSha256HashManagerImpl& CSha256HashManagerImpl::AcquireInstance() {
  static CSha256HashManagerImpl instance;
  return instance;
}

CSha256HashManagerImpl::CSha256HashManagerImpl(std::size_t cache_capacity)
    : capacity_(std::max<std::size_t>(cache_capacity, 2)) {}

std::size_t CSha256HashManagerImpl::FileKeyHash::operator()(const FileKey& key) const noexcept {
  std::uint64_t seed = static_cast<std::uint64_t>(key.inode);
  seed = Mix(seed, static_cast<std::uint64_t>(key.device));
  seed = Mix(seed, static_cast<std::uint64_t>(key.size));
  seed = Mix(seed, static_cast<std::uint64_t>(key.modified_seconds));
  seed = Mix(seed, static_cast<std::uint64_t>(key.modified_nanoseconds));
  seed = Mix(seed, static_cast<std::uint64_t>(key.changed_seconds));
  return Mix(seed, static_cast<std::uint64_t>(key.changed_nanoseconds));
}

CSha256HashManagerImpl::FileKey CSha256HashManagerImpl::KeyOf(const struct stat& info) noexcept {
  return {info.st_dev,          info.st_ino,         info.st_size,        info.st_mtim.tv_sec,
          info.st_mtim.tv_nsec, info.st_ctim.tv_sec, info.st_ctim.tv_nsec};
}

OB_STATUSCODE CSha256HashManagerImpl::GetHashSHA256(const std::wstring& path, std::uint8_t* out,
                                                    std::uint32_t out_size, std::uint32_t pid) {
  if (out == nullptr || out_size < kDigestSize) {
    OB_LOG_ERROR("output of %u bytes for pid %u, %u needed", out == nullptr ? 0 : out_size, pid,
                 kDigestSize);
    return kObBadArgument;
  }
  try {
    return HashPath(WideToUtf8(path), pid, out);
  } catch (const std::bad_alloc&) {
    OB_LOG_ERROR("out of memory hashing a file for pid %u", pid);
    return kObOutOfMemory;
  }
}

OB_STATUSCODE CSha256HashManagerImpl::HashPath(const std::string& path, std::uint32_t pid,
                                               std::uint8_t* out) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    OB_LOG_DEBUG("cannot stat %s (pid %u): errno %d", path.c_str(), pid, errno);
    return kObNotFound;
  }
  if (!S_ISREG(info.st_mode)) {
    OB_LOG_DEBUG("%s (pid %u) is not a regular file", path.c_str(), pid);
    return kObNotFound;
  }
  Sha256Digest digest;
  if (!Lookup(KeyOf(info), digest)) {
    const OB_STATUSCODE status = HashFile(path, pid, digest);
    if (!ObSucceeded(status)) {
      return status;
    }
  }
  std::copy(digest.begin(), digest.end(), out);
  return kObSuccess;
}

OB_STATUSCODE CSha256HashManagerImpl::GetHashSHA256List(const std::vector<std::wstring>& paths,
                                                        std::vector<std::string>& out_hashes,
                                                        std::uint32_t pid) {
  try {
    std::vector<std::string> hashes;
    hashes.reserve(paths.size());
    for (const std::wstring& path : paths) {
      Sha256Digest digest;
      const bool hashed = ObSucceeded(GetHashSHA256(path, digest.data(), kDigestSize, pid));
      hashes.push_back(hashed ? Utils::EncodeToHex(digest) : std::string());
    }
    out_hashes = std::move(hashes);
    return kObSuccess;
  } catch (const std::bad_alloc&) {
    OB_LOG_ERROR("out of memory hashing %zu files for pid %u", paths.size(), pid);
    return kObOutOfMemory;
  }
}

std::string CSha256HashManagerImpl::GetHashSHA256(const void* data, std::size_t length) {
  if (data == nullptr && length != 0) {
    OB_LOG_ERROR("null buffer of %zu bytes", length);
    return {};
  }
  Sha256Digest digest;
  const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(data), length);
  if (!ObSucceeded(CSha256Hasher::Digest(bytes, digest))) {
    return {};
  }
  return Utils::EncodeToHex(digest);
}

std::uint64_t CSha256HashManagerImpl::FilesHashed() const noexcept {
  return files_hashed_.load(std::memory_order_relaxed);
}

std::size_t CSha256HashManagerImpl::CachedEntries() const {
  const std::shared_lock lock(mutex_);
  return cache_.size();
}

bool CSha256HashManagerImpl::Lookup(const FileKey& key, Sha256Digest& digest) {
  const std::shared_lock lock(mutex_);
  const auto found = cache_.find(key);
  if (found == cache_.end()) {
    return false;
  }
  digest = found->second.digest;
  found->second.last_use.store(use_clock_.fetch_add(1, std::memory_order_relaxed) + 1,
                               std::memory_order_relaxed);
  return true;
}

void CSha256HashManagerImpl::Insert(const FileKey& key, const Sha256Digest& digest) {
  const std::unique_lock lock(mutex_);
  if (cache_.size() >= capacity_ && !cache_.contains(key)) {
    EvictOlderHalf();
  }
  CacheEntry& entry = cache_.try_emplace(key).first->second;
  entry.digest = digest;
  entry.last_use.store(use_clock_.fetch_add(1, std::memory_order_relaxed) + 1,
                       std::memory_order_relaxed);
}

void CSha256HashManagerImpl::EvictOlderHalf() {
  using Iterator = decltype(cache_)::iterator;
  std::vector<std::pair<std::uint64_t, Iterator>> by_use;
  by_use.reserve(cache_.size());
  for (auto it = cache_.begin(); it != cache_.end(); ++it) {
    by_use.emplace_back(it->second.last_use.load(std::memory_order_relaxed), it);
  }
  const auto middle = by_use.begin() + static_cast<std::ptrdiff_t>(by_use.size() / 2);
  std::nth_element(by_use.begin(), middle, by_use.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto it = by_use.begin(); it != middle; ++it) {
    cache_.erase(it->second);
  }
}

// Hashes through the open descriptor and caches the digest under the descriptor's own stat, so a
// file swapped between the caller's stat and open is still keyed correctly. When the file changed
// while it was read, the digest is returned but not cached.
OB_STATUSCODE CSha256HashManagerImpl::HashFile(const std::string& path, std::uint32_t pid,
                                               Sha256Digest& digest) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) {
    OB_LOG_DEBUG("cannot open %s (pid %u): errno %d", path.c_str(), pid, errno);
    return kObNotFound;
  }
  struct stat before {};
  if (::fstat(fd.get(), &before) != 0 || !S_ISREG(before.st_mode)) {
    OB_LOG_DEBUG("%s (pid %u) is not a readable regular file", path.c_str(), pid);
    return kObNotFound;
  }
  CSha256Hasher hasher;
  OB_STATUSCODE status = HashDescriptor(fd.get(), before.st_size, path, pid, hasher);
  if (ObSucceeded(status)) {
    status = hasher.Final(digest);
  }
  if (!ObSucceeded(status)) {
    return status;
  }
  files_hashed_.fetch_add(1, std::memory_order_relaxed);
  struct stat after {};
  if (::fstat(fd.get(), &after) == 0 && KeyOf(after) == KeyOf(before)) {
    Insert(KeyOf(before), digest);
  } else {
    OB_LOG_DEBUG("%s (pid %u) changed while being hashed; digest not cached", path.c_str(), pid);
  }
  return kObSuccess;
}

}  // namespace OBRuntime
