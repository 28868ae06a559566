#include "config/file_monitor_linux.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string_view>
#include <utility>

#include "runtime/agent_thread.h"
#include "runtime/logger.h"
#include "runtime/text.h"

namespace {

// Changes of the directory's entries that concern the watched file.
constexpr std::uint32_t kFileEvents =
    IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO;
// The directory itself went away or was moved: the watch no longer follows the path.
constexpr std::uint32_t kWatchGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;
constexpr std::size_t kBatchBytes = 4096;

bool FileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

}  // namespace

std::unique_ptr<IFileMonitor> CreateFileMonitor() { return std::make_unique<CFileMonitorLinux>(); }

CFileMonitorLinux::~CFileMonitorLinux() { StopMonitor(); }

OB_STATUSCODE CFileMonitorLinux::StartMonitor(condition_event& event, const std::wstring& path) {
  const std::lock_guard lock(control_mutex_);
  if (thread_.joinable()) {
    OB_LOG_ERROR("Profile monitor already running.");
    return kObAlreadyRunning;
  }
  stop_.store(false);
  const std::string file = OBRuntime::WideToUtf8(path);
  std::error_code error;
  if (std::filesystem::is_directory(file, error)) {
    OB_LOG_ERROR("Failed as path to a directory passed. Expecting File Path.");
    return kObFailure;
  }
  const std::size_t slash = file.rfind('/');
  if (slash == std::string::npos || slash + 1 == file.size()) {
    OB_LOG_ERROR("Not a Valid Path");
    return kObFailure;
  }
  Target target{slash == 0 ? std::string("/") : file.substr(0, slash), file.substr(slash + 1)};
  stop_fd_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stop_fd_.valid()) {
    OB_LOG_ERROR("eventfd failed: %s", ErrnoText(errno).c_str());
    return kObFailure;
  }
  OBRuntime::UniqueFd inotify(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (!inotify.valid()) {
    OB_LOG_ERROR("inotify_init1 failed: %s", ErrnoText(errno).c_str());
    stop_fd_.Reset();
    return kObFailure;
  }
  const int watch = AddWatch(inotify.get(), target);
  const int watch_error = errno;
  thread_status_.store(kObSuccess);
  try {
    if (watch < 0) {
      OB_LOG_ERROR("Cannot watch %s: %s", target.directory.c_str(), ErrnoText(watch_error).c_str());
    }
    thread_ =
        OBRuntime::StartAgentThread(&CFileMonitorLinux::fileMonitorProc, this, std::ref(event),
                                    std::move(target), std::move(inotify), watch);
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Caught exception: %s", e.what());
    stop_fd_.Reset();
    return kObFailure;
  }
  OB_LOG_DEBUG("Profile monitor started.");
  return kObSuccess;
}

void CFileMonitorLinux::StopMonitor() {
  const std::lock_guard lock(control_mutex_);
  if (!thread_.joinable()) {
    return;
  }
  stop_.store(true);
  const std::uint64_t one = 1;
  if (::write(stop_fd_.get(), &one, sizeof(one)) != static_cast<ssize_t>(sizeof(one))) {
    // Only an overflowing counter can fail here, and then a wake-up is already pending.
    OB_LOG_WARN("eventfd write failed: %s", ErrnoText(errno).c_str());
  }
  thread_.join();
  stop_fd_.Reset();
  OB_LOG_DEBUG("Main profile monitor thread exited.");
}

void CFileMonitorLinux::fileMonitorProc(condition_event& event, const Target& target,
                                        OBRuntime::UniqueFd inotify, int watch) {
  if (watch < 0) {
    OB_LOG_ERROR("CreateFile returned invalid handle for the Directory");
    thread_status_.store(kObFailure);
    return;
  }
  const std::string file_path = target.directory + "/" + target.file_name;
  while (true) {
    bool readable = false;
    const int timeout = watch < 0 ? static_cast<int>(kRewatchInterval.count()) : -1;
    if (WaitForActivity(inotify.get(), timeout, readable)) {
      break;
    }
    if (readable) {
      bool watch_lost = false;
      if (ReadBatch(inotify.get(), target, watch, watch_lost)) {
        event.set();
      }
      change_batches_.fetch_add(1);
      if (watch_lost) {
        // A moved directory keeps its watch; drop it so the path is watched again instead.
        (void)::inotify_rm_watch(inotify.get(), watch);
        watch = -1;
      }
    }
    if (watch < 0) {
      watch = AddWatch(inotify.get(), target);
      if (watch >= 0) {
        OB_LOG_DEBUG("Watching %s again", target.directory.c_str());
        if (FileExists(file_path)) {
          event.set();
        }
      }
    }
  }
  stop_.store(false);
}

int CFileMonitorLinux::AddWatch(int inotify_fd, const Target& target) {
  return ::inotify_add_watch(inotify_fd, target.directory.c_str(),
                             kFileEvents | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
}

bool CFileMonitorLinux::WaitForActivity(int inotify_fd, int timeout_ms, bool& readable) {
  std::array<pollfd, 2> fds = {{{stop_fd_.get(), POLLIN, 0}, {inotify_fd, POLLIN, 0}}};
  const int ready = ::poll(fds.data(), fds.size(), timeout_ms);
  if (ready < 0) {
    if (errno != EINTR) {
      OB_LOG_ERROR("Wait for directory changes failed with error %d", errno);
    }
    return stop_.load();
  }
  // The stop descriptor is looked at first: a stop wins over a pending change.
  if ((fds[0].revents & POLLIN) != 0 || stop_.load()) {
    return true;
  }
  readable = (fds[1].revents & POLLIN) != 0;
  return false;
}

bool CFileMonitorLinux::ReadBatch(int inotify_fd, const Target& target, int watch,
                                  bool& watch_lost) {
  alignas(inotify_event) std::array<char, kBatchBytes> buffer{};
  const ssize_t length = ::read(inotify_fd, buffer.data(), buffer.size());
  if (length < 0) {
    if (errno != EAGAIN && errno != EINTR) {
      OB_LOG_ERROR("Reading directory changes failed: %s", ErrnoText(errno).c_str());
    }
    return false;
  }
  bool names_file = false;
  const char* at = buffer.data();
  const char* const end = buffer.data() + length;
  while (at + sizeof(inotify_event) <= end) {
    inotify_event header{};
    std::memcpy(&header, at, sizeof(header));
    const char* name = at + sizeof(inotify_event);
    if (name + header.len > end) {
      break;  // the kernel never splits an event; stop rather than read past the batch
    }
    // A queue overflow dropped changes, one of which may have been the file's.
    const bool overflow = (header.mask & IN_Q_OVERFLOW) != 0;
    if (!overflow && header.wd == watch && (header.mask & kWatchGone) != 0) {
      watch_lost = true;
    }
    if (overflow || (header.wd == watch && (header.mask & kWatchGone) != 0)) {
      names_file = true;
    } else if ((header.mask & kFileEvents) != 0 && header.len > 0 &&
               std::string_view(name, ::strnlen(name, header.len)) == target.file_name) {
      names_file = true;
    }
    at = name + header.len;
  }
  return names_file;
}
