// The profile file monitor on inotify.
//
// One inotify watch on the file's directory is kept for the monitor's whole run, so no change
// between two reads is lost. Events: create, delete, modify, close-after-write, attribute change
// (touch), moved-from and moved-to, compared with the file name exactly (case-sensitive). A queue
// overflow counts as a change. When the directory itself is deleted or renamed the event is set,
// and the watch is re-added (polling every kRewatchInterval) once a directory exists at that path
// again; the event is then set once more if the file is there. If the directory cannot be watched
// when the monitor starts, the thread logs and ends with -9999 and the monitor stays "running"
// until StopMonitor, after which it can be started again.
//
// Threads: StartMonitor and StopMonitor are safe from any thread (serialised by control_mutex_).
// StartMonitor adds the watch before it returns, so no change made after that is missed; the
// monitor thread then owns the inotify descriptor. Stop is signalled through an eventfd, which the
// thread checks before reading changes, so a stop wins over a pending change.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "config/file_monitor.h"
#include "runtime/unique_fd.h"

class CFileMonitorLinux final : public IFileMonitor {
 public:
  static constexpr std::chrono::milliseconds kRewatchInterval{200};

  CFileMonitorLinux() = default;
  CFileMonitorLinux(const CFileMonitorLinux&) = delete;
  CFileMonitorLinux& operator=(const CFileMonitorLinux&) = delete;
  ~CFileMonitorLinux() override;

  // IFileMonitor
  [[nodiscard]] OB_STATUSCODE StartMonitor(condition_event& event,
                                           const std::wstring& path) override;
  void StopMonitor() override;

  // Batches of directory changes read so far, whether or not they named the file (diagnostics;
  // lets a caller know a change was seen and judged).
  [[nodiscard]] std::uint64_t ChangeBatches() const noexcept { return change_batches_.load(); }
  // The status the monitor thread ended with: 0 while running or after a clean stop.
  [[nodiscard]] OB_STATUSCODE ThreadStatus() const noexcept { return thread_status_.load(); }

 private:
  // What the thread needs; fixed before it starts.
  struct Target {
    std::string directory;  // UTF-8
    std::string file_name;  // UTF-8
  };

  // The thread. watch is the directory watch StartMonitor added, -1 when that failed.
  void fileMonitorProc(condition_event& event, const Target& target, OBRuntime::UniqueFd inotify,
                       int watch);
  // Adds the directory watch: its descriptor, or -1 when the directory cannot be watched.
  [[nodiscard]] static int AddWatch(int inotify_fd, const Target& target);
  // Reads one batch of inotify events: true when one names the file (or the queue overflowed);
  // watch_lost is set when the directory watch has gone.
  [[nodiscard]] bool ReadBatch(int inotify_fd, const Target& target, int watch, bool& watch_lost);
  // Waits for a stop or inotify readiness; timeout -1 for none. True when a stop was asked.
  [[nodiscard]] bool WaitForActivity(int inotify_fd, int timeout_ms, bool& readable);

  std::mutex control_mutex_;
  std::thread thread_;           // guarded by control_mutex_; joinable while "running"
  OBRuntime::UniqueFd stop_fd_;  // eventfd; created by StartMonitor before the thread
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> change_batches_{0};
  std::atomic<OB_STATUSCODE> thread_status_{kObSuccess};
};
