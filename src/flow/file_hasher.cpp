#include "flow/file_hasher.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <system_error>

#include "runtime/agent_thread.h"
#include "runtime/log_limiter.h"
#include "runtime/logger.h"

namespace {

constexpr std::size_t kReadBlock = std::size_t{256} * 1024;

std::int64_t Nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

// The file's status when it is a regular file within the size limit; kObNotFound otherwise,
// with too large a file logged by the caller.
OB_STATUSCODE StatForHashing(int fd, struct stat& info) {
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    return kObNotFound;
  }
  return kObSuccess;
}

}  // namespace

OBRuntime::UniqueFd OpenForHashing(const std::string& path) {
  return OBRuntime::UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
}

OB_STATUSCODE HashDescriptor(int fd, std::uint64_t max_bytes, OBRuntime::Sha256Digest& digest,
                             const std::atomic<bool>* stop) {
  OBRuntime::CSha256Hasher hasher;
  const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kReadBlock);
  std::uint64_t offset = 0;
  while (offset < max_bytes) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
      return kObNotFound;
    }
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(kReadBlock, max_bytes - offset));
    const ssize_t got = ::pread(fd, buffer.get(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      OB_LOG_LIMITED(LOG_WARNING, "read of a file to hash failed: errno %d", errno);
      return kObNotFound;
    }
    if (got == 0) {
      break;
    }
    if (const OB_STATUSCODE status = hasher.Update({buffer.get(), static_cast<std::size_t>(got)});
        !ObSucceeded(status)) {
      return status;
    }
    offset += static_cast<std::uint64_t>(got);
  }
  return hasher.Final(digest);
}

OB_STATUSCODE CInlineFileHasher::HashOpenFile(OBRuntime::UniqueFd&& file, std::uint32_t pid,
                                              OBRuntime::Sha256Digest& digest) {
  struct stat info {};
  if (!file.valid() || StatForHashing(file.get(), info) != kObSuccess) {
    return kObNotFound;
  }
  if (static_cast<std::uint64_t>(info.st_size) > max_file_bytes_) {
    OB_LOG_LIMITED(LOG_WARNING, "file of %lld bytes (process %u) is over the hashing limit",
                   static_cast<long long>(info.st_size), pid);
    return kObNotFound;
  }
  if (HashDescriptor(file.get(), max_file_bytes_, digest) != kObSuccess) {
    return kObNotFound;
  }
  ++files_hashed_;
  return kObSuccess;
}

CFileHashWorker& CFileHashWorker::Instance() {
  static CFileHashWorker instance;
  return instance;
}

CFileHashWorker::CFileHashWorker(Limits limits) : limits_(limits) {}

CFileHashWorker::~CFileHashWorker() {
  {
    const std::scoped_lock lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) {
    worker.join();
  }
}

std::size_t CFileHashWorker::FileKeyHash::operator()(const FileKey& key) const noexcept {
  std::uint64_t seed = static_cast<std::uint64_t>(key.inode) * 0x9E3779B97F4A7C15ULL;
  for (const std::uint64_t value :
       {static_cast<std::uint64_t>(key.device), static_cast<std::uint64_t>(key.size),
        static_cast<std::uint64_t>(key.modified_ns), static_cast<std::uint64_t>(key.changed_ns)}) {
    seed ^= value + 0x9E3779B97F4A7C15ULL + (seed << 6) + (seed >> 2);
  }
  return static_cast<std::size_t>(seed);
}

CFileHashWorker::FileKey CFileHashWorker::KeyOf(const struct stat& info) noexcept {
  return {info.st_dev, info.st_ino, info.st_size, Nanoseconds(info.st_mtim),
          Nanoseconds(info.st_ctim)};
}

OB_STATUSCODE CFileHashWorker::HashOpenFile(OBRuntime::UniqueFd&& file, std::uint32_t pid,
                                            OBRuntime::Sha256Digest& digest) {
  struct stat info {};
  if (!file.valid() || StatForHashing(file.get(), info) != kObSuccess) {
    return kObNotFound;
  }
  const FileKey key = KeyOf(info);
  try {
    const std::scoped_lock lock(mutex_);
    if (const std::optional<OB_STATUSCODE> known = AnswerLocked(key, digest)) {
      return *known;
    }
    if (static_cast<std::uint64_t>(info.st_size) > limits_.max_file_bytes) {
      RememberLocked(key, State::kNotHashed);
      OB_LOG_WARN(
          "image or module of process %u has %lld bytes, over the %llu-byte limit: not "
          "hashed",
          pid, static_cast<long long>(info.st_size),
          static_cast<unsigned long long>(limits_.max_file_bytes));
      return kObNotFound;
    }
    return QueueLocked(key, std::move(file), pid);
  } catch (const std::exception& error) {
    OB_LOG_LIMITED(LOG_ERROR, "Caught exception: %s.", error.what());
    return kObNotFound;
  }
}

std::optional<OB_STATUSCODE> CFileHashWorker::AnswerLocked(const FileKey& key,
                                                           OBRuntime::Sha256Digest& digest) {
  const auto found = known_.find(key);
  if (found == known_.end()) {
    return std::nullopt;
  }
  Known& known = found->second;
  known.last_use = ++use_clock_;
  switch (known.state) {
    case State::kReady:
      digest = known.digest;
      return kObSuccess;
    case State::kQueued:
      return kObMessageParked;
    case State::kNotHashed:
      break;
  }
  return kObNotFound;
}

OB_STATUSCODE CFileHashWorker::QueueLocked(const FileKey& key, OBRuntime::UniqueFd&& file,
                                           std::uint32_t pid) {
  if (stopping_ || limits_.workers == 0) {
    return kObNotFound;
  }
  if (queue_.size() >= limits_.queue_capacity) {
    OB_LOG_LIMITED(LOG_DEBUG, "hash queue full (%zu files): image of process %u hashed later",
                   queue_.size(), pid);
    return kObMessageParked;
  }
  StartWorkersLocked();
  RememberLocked(key, State::kQueued);
  queue_.push_back(Request{key, std::move(file), pid});
  wake_.notify_one();
  return kObMessageParked;
}

CFileHashWorker::Known& CFileHashWorker::RememberLocked(const FileKey& key, State state) {
  if (known_.size() >= limits_.known_capacity && !known_.contains(key)) {
    EvictOlderHalfLocked();
  }
  Known& known = known_[key];
  known.state = state;
  known.last_use = ++use_clock_;
  return known;
}

// Queued entries stay: their worker still reports to them.
void CFileHashWorker::EvictOlderHalfLocked() {
  std::vector<std::uint64_t> uses;
  uses.reserve(known_.size());
  for (const auto& [key, known] : known_) {
    uses.push_back(known.last_use);
  }
  const auto middle = uses.begin() + static_cast<std::ptrdiff_t>(uses.size() / 2);
  std::nth_element(uses.begin(), middle, uses.end());
  const std::uint64_t threshold = *middle;
  std::erase_if(known_, [threshold](const auto& item) {
    return item.second.state != State::kQueued && item.second.last_use < threshold;
  });
}

void CFileHashWorker::StartWorkersLocked() {
  while (workers_.size() < limits_.workers) {
    workers_.push_back(OBRuntime::StartAgentThread([this] { WorkerLoop(); }));
  }
}

void CFileHashWorker::WorkerLoop() {
  for (;;) {
    Request request;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) {
        return;
      }
      request = std::move(queue_.front());
      queue_.pop_front();
    }
    OBRuntime::Sha256Digest digest{};
    OB_STATUSCODE status =
        HashDescriptor(request.file.get(), limits_.max_file_bytes, digest, &stopping_);
    struct stat after {};
    if (status == kObSuccess &&
        (::fstat(request.file.get(), &after) != 0 || !(KeyOf(after) == request.key))) {
      status = kObMessageParked;  // changed while read: hashed again when asked again
    }
    Finish(request, status, digest);
  }
}

void CFileHashWorker::Finish(const Request& request, OB_STATUSCODE status,
                             const OBRuntime::Sha256Digest& digest) {
  const std::scoped_lock lock(mutex_);
  const auto found = known_.find(request.key);
  if (found == known_.end()) {
    return;
  }
  if (status == kObMessageParked) {
    known_.erase(found);
    return;
  }
  files_hashed_ += status == kObSuccess ? 1 : 0;
  found->second.state = status == kObSuccess ? State::kReady : State::kNotHashed;
  found->second.digest = digest;
}

std::uint64_t CFileHashWorker::FilesHashed() const {
  const std::scoped_lock lock(mutex_);
  return files_hashed_;
}
