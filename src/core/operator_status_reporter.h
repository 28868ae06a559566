// Publishes the operator counters every 10 s: the status file (replaced atomically, 0644) that
// orv-status reads, the systemd status line, and a log line at most once a minute when flows were
// lost since the last one.
//
// Threads: Start and Stop belong to the agent's service thread; the reporter runs its own thread
// in between. PublishNow may be called from any thread (it is serialised internally).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "common/operator_counters.h"
#include "common/status.h"

class COperatorStatusReporter {
 public:
  static constexpr std::chrono::seconds kInterval{10};
  static constexpr std::chrono::seconds kLossLogInterval{60};
  // The status file's name in the ORV data directory.
  static constexpr const char* kStatusFileName = "AgentStatus.json";

  // notify receives each "STATUS=..." message (sd_notify in production).
  COperatorStatusReporter(std::filesystem::path status_file,
                          std::function<void(const std::string&)> notify);
  ~COperatorStatusReporter();
  COperatorStatusReporter(const COperatorStatusReporter&) = delete;
  COperatorStatusReporter& operator=(const COperatorStatusReporter&) = delete;

  void Start();
  // Publishes once more (the final state) and joins the thread.
  void Stop();
  // Reads the counters and publishes them; the monotonic time decides the loss line.
  void PublishNow(std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());

 private:
  [[nodiscard]] OB_STATUSCODE WriteStatusFile(const std::string& json) const;
  void LogLossSinceLastLine(const OperatorStatus& status,
                            std::chrono::steady_clock::time_point now);

  const std::filesystem::path status_file_;
  const std::function<void(const std::string&)> notify_;

  std::mutex publish_mutex_;  // serialises PublishNow; guards the fields below
  OperatorStatus last_logged_;
  std::chrono::steady_clock::time_point last_loss_line_{};

  std::mutex stop_mutex_;
  std::condition_variable stop_changed_;
  bool stopping_ = false;  // guarded by stop_mutex_
  std::thread thread_;
};
