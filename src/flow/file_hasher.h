// SHA-256 of the files a flow record names (process images, scripts, archives), computed off
// the flow data channel's thread.
//
// A caller opens the file (through the process it belongs to) and hands over the descriptor.
// CFileHashWorker answers at once: the digest when it is known, "not ready" while a worker
// hashes it, or "not hashed" for a file that never will be (not a regular file, larger than the
// size limit, unreadable). A not-ready answer costs the caller nothing: it exports the record
// without the hash and the next flow of the same image finds it ready. Work is bounded three
// ways: a fixed number of workers, a fixed-size queue (a full queue answers "not ready" and
// forgets the request) and a size limit per file (larger files are said once in the log).
//
// Digests are kept under the file's identity and version (device, inode, size, modification
// and status-change times), so a rewritten file is hashed again; at most known_capacity
// answers are kept (the least recently used half goes when full).
//
// Threads: HashOpenFile is safe from any thread; the workers start with the first request that
// needs them and are joined by the destructor. A queued request owns its descriptor, so the file
// is read even when the process that named it has exited.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/status.h"
#include "runtime/openssl_utility.h"
#include "runtime/unique_fd.h"

class IFileHasher {
 public:
  virtual ~IFileHasher() = default;
  // The digest of the open file into digest: kObSuccess when known; kObMessageParked when it is
  // not ready yet (ask again later); kObNotFound when the file is not hashed. pid only names the
  // process in log lines. Safe from any thread.
  [[nodiscard]] virtual OB_STATUSCODE HashOpenFile(OBRuntime::UniqueFd&& file, std::uint32_t pid,
                                                   OBRuntime::Sha256Digest& digest) = 0;
};

// Opens path for hashing: read-only, never blocking on a FIFO or becoming a controlling tty.
[[nodiscard]] OBRuntime::UniqueFd OpenForHashing(const std::string& path);

// Hashes on the caller's thread, within the size limit; for tools, benchmarks and tests.
class CInlineFileHasher : public IFileHasher {
 public:
  explicit CInlineFileHasher(std::uint64_t max_file_bytes = std::uint64_t{256} << 20)
      : max_file_bytes_(max_file_bytes) {}
  // IFileHasher
  OB_STATUSCODE HashOpenFile(OBRuntime::UniqueFd&& file, std::uint32_t pid,
                             OBRuntime::Sha256Digest& digest) override;

  // Files read and hashed so far.
  [[nodiscard]] std::uint64_t FilesHashed() const noexcept { return files_hashed_; }

 private:
  const std::uint64_t max_file_bytes_;
  std::atomic<std::uint64_t> files_hashed_{0};
};

class CFileHashWorker : public IFileHasher {
 public:
  struct Limits {
    std::size_t workers = 2;
    std::size_t queue_capacity = 64;
    std::uint64_t max_file_bytes = std::uint64_t{256} << 20;  // 256 MiB
    std::size_t known_capacity = 4096;                        // digests and verdicts kept
  };

  // The process-wide worker, created on first use; its threads start with the first request.
  static CFileHashWorker& Instance();

  explicit CFileHashWorker(Limits limits);
  CFileHashWorker() : CFileHashWorker(Limits{}) {}
  // Stops the workers; a file being hashed is abandoned at its next block.
  ~CFileHashWorker() override;
  CFileHashWorker(const CFileHashWorker&) = delete;
  CFileHashWorker& operator=(const CFileHashWorker&) = delete;

  // IFileHasher
  OB_STATUSCODE HashOpenFile(OBRuntime::UniqueFd&& file, std::uint32_t pid,
                             OBRuntime::Sha256Digest& digest) override;

  // Files read and hashed so far.
  [[nodiscard]] std::uint64_t FilesHashed() const;

 private:
  struct FileKey {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modified_ns = 0;
    std::int64_t changed_ns = 0;
    bool operator==(const FileKey&) const = default;
  };
  struct FileKeyHash {
    std::size_t operator()(const FileKey& key) const noexcept;
  };
  enum class State { kQueued, kReady, kNotHashed };
  struct Known {
    State state = State::kQueued;
    OBRuntime::Sha256Digest digest{};
    std::uint64_t last_use = 0;
  };
  struct Request {
    FileKey key;
    OBRuntime::UniqueFd file;
    std::uint32_t pid = 0;
  };

  static FileKey KeyOf(const struct stat& info) noexcept;
  // The answer known_ holds for the file, if any; mutex_ held.
  [[nodiscard]] std::optional<OB_STATUSCODE> AnswerLocked(const FileKey& key,
                                                          OBRuntime::Sha256Digest& digest);
  [[nodiscard]] OB_STATUSCODE QueueLocked(const FileKey& key, OBRuntime::UniqueFd&& file,
                                          std::uint32_t pid);
  Known& RememberLocked(const FileKey& key, State state);
  void EvictOlderHalfLocked();
  void StartWorkersLocked();
  void WorkerLoop();
  void Finish(const Request& request, OB_STATUSCODE status, const OBRuntime::Sha256Digest& digest);

  const Limits limits_;  // set at construction
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<bool> stopping_{false};  // set under mutex_, read by workers between blocks
  std::uint64_t use_clock_ = 0;        // guarded by mutex_
  std::uint64_t files_hashed_ = 0;     // guarded by mutex_
  std::deque<Request> queue_;          // guarded by mutex_
  std::unordered_map<FileKey, Known, FileKeyHash> known_;  // guarded by mutex_
  std::vector<std::thread> workers_;                       // started under mutex_
};

// Reads the file from its start, at most max_bytes, into the digest; kObNotFound on a read
// error, or when stop becomes true between blocks.
[[nodiscard]] OB_STATUSCODE HashDescriptor(int fd, std::uint64_t max_bytes,
                                           OBRuntime::Sha256Digest& digest,
                                           const std::atomic<bool>* stop = nullptr);
