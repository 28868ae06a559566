// The per-process questions a flow record asks: image path, parent id and path, SHA-256 of the
// image, and the account that runs the process with its account type; the same for the parent.
//
// Process id 0 and kernel threads are "SYSTEM": image path "SYSTEM", parent 0, a hash of 32 zero
// bytes. Any other process is read from /proc (through IProcessQueries) and identified by its
// start time and the identity of its image (a same-named exec is a new image); what it cannot
// change is kept in the process-wide CProcessCache, so a warm lookup of a process and its parent
// costs a read of /proc/<pid>/stat and a stat of its image, or nothing when the driver gave the
// process's start time (SetReported). A process may change its user without exec: its
// credentials are read again when the account was resolved over kUserRecheckInterval ago, and a
// new uid or group list resolves the account afresh.
// Images are hashed off the caller's thread (IFileHasher): until the digest is ready the hash
// answers kObMessageParked. The parent is the one seen
// when the process was first looked up (its id and start time are kept with the process): a
// newer process that took over the parent's id is never taken for it. A process that has
// exited, or one the agent may not inspect, gives kObFailure; the flow record turns that into
// "Unknown" or a zero hash.
//
// Objects are temporary, made per lookup on one thread; the shared cache is thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "common/status.h"
#include "flow/file_hasher.h"
#include "flow/process_cache.h"
#include "flow/process_info_surrogateable.h"
#include "flow/process_queries.h"

// What CProcessInfo reads through; all borrowed and outliving every CProcessInfo.
struct ProcessInfoServices {
  IProcessQueries& queries;
  IAccountDirectory& accounts;
  CProcessCache& cache;
  IFileHasher& hasher;
  // The steady clock; tests give their own.
  std::chrono::steady_clock::time_point (*clock)() = &std::chrono::steady_clock::now;

  // /proc, NSS, the process-wide cache and the process-wide hash worker.
  static const ProcessInfoServices& Default();
};

class CProcessInfo : public CProcessInfoSurrogateable {
 public:
  static constexpr std::uint32_t kUnknownParentId = 0xFFFFFFFF;
  static constexpr std::uint32_t kHashSize = 32;
  // The callers' buffer sizes, in wide characters.
  static constexpr std::uint32_t kPathCapacity = 260;
  static constexpr std::uint32_t kUserCapacity = 512;
  static constexpr std::chrono::seconds kUserRecheckInterval{1};

  explicit CProcessInfo(std::uint32_t process_id,
                        const ProcessInfoServices& services = ProcessInfoServices::Default());

  // The image path with its terminator into buffer of capacity wide characters: the cached path
  // when set, else "SYSTEM" or the system's answer. kObBufferTooSmall when it does not fit,
  // kObBadArgument for a null buffer, kObFailure when the process cannot be read.
  [[nodiscard]] OB_STATUSCODE GetProcessPath(wchar_t* buffer, std::uint32_t capacity);
  // The parent process id, looked up once and then kept; 0 for id 0 and kernel threads.
  [[nodiscard]] OB_STATUSCODE GetParentProcessId(std::uint32_t& parent_id);
  // GetProcessPath for the parent process id.
  [[nodiscard]] OB_STATUSCODE GetParentProcessPath(wchar_t* buffer, std::uint32_t capacity);
  // The SHA-256 of the process image into buffer; size holds the capacity and becomes 32.
  // kObBufferTooSmall with size 32 for a smaller (or null) buffer; kObMessageParked while the
  // digest is being computed; kObFailure when the process cannot be read or its image is not
  // hashed.
  [[nodiscard]] OB_STATUSCODE GetProcessHash(std::uint8_t* buffer, std::uint32_t& size);
  // GetProcessHash for the parent process id.
  [[nodiscard]] OB_STATUSCODE GetParentProcessHash(std::uint8_t* buffer, std::uint32_t& size);
  // The "domain\user" account of the process (effective uid) and its account type; buffer and
  // size as CopyAccountName. kObFailure when the process cannot be read or its uid has no name,
  // kObExportNotPossible (-9989) when the account's name is empty.
  [[nodiscard]] OB_STATUSCODE GetProcessUser(wchar_t* buffer, std::uint32_t& size,
                                             std::uint16_t& account_type);
  // GetProcessUser for the parent process id.
  [[nodiscard]] OB_STATUSCODE GetParentProcessUser(wchar_t* buffer, std::uint32_t& size,
                                                   std::uint16_t& account_type);

  // Paths already known (from the driver's pid information) are answered without a lookup.
  void SetProcessPath(std::wstring path) { process_path_ = std::move(path); }
  // The start time (clock ticks after boot; 0 unknown) and image path (empty when unknown;
  // borrowed, it must outlive this object) the driver reported with a flow. A cached process
  // with this id and start time, and with that path when one is given, is taken without reading
  // /proc: an exec shows in the reported path and in the pid information that the driver sends
  // for it, a reused id in the start time, so no read per flow is needed. A newer process
  // holding the id is never taken for the one reported.
  void SetReported(std::uint64_t start_time, std::wstring_view image_path) {
    start_time_ = start_time;
    reported_path_ = image_path;
  }
  void SetParentProcessPath(std::wstring path) { parent_path_ = std::move(path); }

 private:
  // One process as this object has seen it, read on first need.
  struct Subject {
    std::uint32_t pid = 0;
    bool loaded = false;
    OB_STATUSCODE status = kObFailure;          // of the load; valid when loaded
    ProcessKey key;                             // valid when loaded with a facts entry
    std::shared_ptr<const ProcessFacts> facts;  // null for id 0
  };

  [[nodiscard]] OB_STATUSCODE Load(Subject& subject);
  // The subject is the process the driver gave a start time for.
  [[nodiscard]] bool IsReported(const Subject& subject) const {
    return &subject == &self_ && start_time_ != 0;
  }
  // The cached facts of the process the driver named by id and start time, when they still
  // describe the image path known for it; false when /proc has to be read.
  [[nodiscard]] bool LoadReported(Subject& subject);
  [[nodiscard]] OB_STATUSCODE LoadParent();
  [[nodiscard]] std::shared_ptr<const ProcessFacts> ReadFacts(std::uint32_t pid,
                                                              const orv::platform::ProcStat& stat);
  // The image path, viewed in the subject's facts (or the "SYSTEM" text), so a lookup copies it
  // only into the caller's buffer.
  [[nodiscard]] OB_STATUSCODE ImagePathOf(Subject& subject, std::wstring_view& path);
  [[nodiscard]] OB_STATUSCODE HashOf(Subject& subject, std::uint8_t* buffer, std::uint32_t& size);
  [[nodiscard]] OB_STATUSCODE UserOf(Subject& subject, wchar_t* buffer, std::uint32_t& size,
                                     std::uint16_t& account_type);
  // True when the process read at load time still holds its id with the same image.
  [[nodiscard]] bool StillSame(const Subject& subject);
  // Reads the credentials and resolves the account when they changed; stores the result.
  [[nodiscard]] OB_STATUSCODE ResolveUser(Subject& subject,
                                          std::chrono::steady_clock::time_point now);
  // Device and inode of the process's image; zeros when it cannot be stat'ed.
  [[nodiscard]] std::pair<std::uint64_t, std::uint64_t> ImageIdentity(std::uint32_t pid);
  void Update(Subject& subject, std::shared_ptr<const ProcessFacts> facts);
  [[nodiscard]] static bool IsSystem(const Subject& subject);

  const ProcessInfoServices services_;
  Subject self_;
  Subject parent_;
  std::uint32_t parent_id_ = kUnknownParentId;  // kept once looked up
  std::wstring process_path_;                   // empty unless set
  std::wstring parent_path_;                    // likewise
  std::uint64_t start_time_ = 0;                // from the driver; 0 when unknown
  std::wstring_view reported_path_;             // likewise, empty when unknown
};
