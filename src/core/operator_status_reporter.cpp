#include "core/operator_status_reporter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/agent_thread.h"
#include "runtime/fd_io.h"
#include "runtime/logger.h"
#include "runtime/unique_fd.h"

COperatorStatusReporter::COperatorStatusReporter(std::filesystem::path status_file,
                                                 std::function<void(const std::string&)> notify)
    : status_file_(std::move(status_file)), notify_(std::move(notify)) {}

COperatorStatusReporter::~COperatorStatusReporter() { Stop(); }

void COperatorStatusReporter::Start() {
  if (thread_.joinable()) {
    return;
  }
  {
    const std::lock_guard lock(stop_mutex_);
    stopping_ = false;
  }
  thread_ = OBRuntime::StartAgentThread([this] {
    std::unique_lock lock(stop_mutex_);
    while (!stop_changed_.wait_for(lock, kInterval, [this] { return stopping_; })) {
      lock.unlock();
      PublishNow();
      lock.lock();
    }
  });
}

void COperatorStatusReporter::Stop() {
  if (!thread_.joinable()) {
    return;
  }
  {
    const std::lock_guard lock(stop_mutex_);
    stopping_ = true;
  }
  stop_changed_.notify_all();
  thread_.join();
  PublishNow();
}

void COperatorStatusReporter::PublishNow(std::chrono::steady_clock::time_point now) {
  const std::lock_guard lock(publish_mutex_);
  const auto wall = std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
  const OperatorStatus status = COperatorCounters::Instance().Read(wall);
  if (WriteStatusFile(FormatStatusJson(status)) != kObSuccess) {
    OB_LOG_WARN("Cannot write the status file %s", status_file_.c_str());
  }
  if (notify_) {
    notify_("STATUS=" + FormatStatusLine(status));
  }
  LogLossSinceLastLine(status, now);
}

OB_STATUSCODE COperatorStatusReporter::WriteStatusFile(const std::string& json) const {
  // A temporary name beside the file, then rename: readers see the old or the new file whole.
  const std::filesystem::path temporary = status_file_.string() + ".tmp";
  ::unlink(temporary.c_str());
  OBRuntime::UniqueFd fd(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.valid()) {
    return kObFailure;
  }
  // The mode is meant for other readers: the umask must not narrow it.
  if (::fchmod(fd.get(), 0644) != 0 || !OBRuntime::WriteAll(fd.get(), json.data(), json.size())) {
    ::unlink(temporary.c_str());
    return kObFailure;
  }
  fd.Reset();
  if (::rename(temporary.c_str(), status_file_.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return kObFailure;
  }
  return kObSuccess;
}

void COperatorStatusReporter::LogLossSinceLastLine(const OperatorStatus& status,
                                                   std::chrono::steady_clock::time_point now) {
  if (status.Lost() == last_logged_.Lost() ||
      (last_loss_line_ != std::chrono::steady_clock::time_point{} &&
       now - last_loss_line_ < kLossLogInterval)) {
    return;
  }
  std::string losses;
  for (std::size_t i = 0; i < status.counts.size(); ++i) {
    const std::uint64_t delta = status.counts[i] - last_logged_.counts[i];
    if (kFlowCounterInfo[i].lost && delta > 0) {
      losses += (losses.empty() ? "" : ", ") + std::string(kFlowCounterInfo[i].name) + " " +
                std::to_string(delta);
    }
  }
  OB_LOG_WARN("Flows lost since the last report: %s (%s)", losses.c_str(),
              FormatStatusLine(status).c_str());
  last_logged_ = status;
  last_loss_line_ = now;
}
