#include "core/service_host.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/exception/exception.hpp>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <system_error>
#include <utility>

#include "platform/sd_bus_handles.h"
#include "runtime/agent_thread.h"
#include "runtime/logger.h"
#include "runtime/unique_fd.h"

namespace {

// Log names of the operations whose messages are written from helpers.
constexpr char kReportStatusName[] = "CServiceHost::ReportStatusToSCMgr";
constexpr char kServiceMainName[] = "CServiceHost::ServiceMain";
constexpr char kTerminateServiceName[] = "CServiceHost::TerminateService";

// A status never moves back: once a stop is pending RUNNING is not reported again, and nothing
// but STOPPED follows STOPPED.
int Phase(std::uint32_t state) {
  switch (state) {
    case kServiceStopPending:
      return 1;
    case kServiceStopped:
      return 2;
    default:
      return 0;
  }
}

struct SignalControl {
  int signal;
  std::uint32_t control;
};

constexpr std::array<SignalControl, 5> kSignalControls{{
    {SIGTERM, kServiceControlStop},
    {SIGINT, kServiceControlStop},
    {SIGTSTP, kServiceControlPause},
    {SIGCONT, kServiceControlContinue},
    {SIGHUP, kServiceControlInterrogate},
}};

sigset_t HandledSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const SignalControl& entry : kSignalControls) {
    sigaddset(&set, entry.signal);
  }
  return set;
}

using OBPlatform::BusError;
using OBPlatform::BusPtr;
using OBPlatform::LoginMonitorPtr;
using OBPlatform::MessagePtr;
using OBPlatform::SlotPtr;

// The time left until a deadline on CLOCK_MONOTONIC in microseconds (as sd-bus and sd-login give
// it), for poll: -1 without one, rounded up so the deadline has passed when poll returns.
int PollTimeoutMs(std::uint64_t deadline_usec) {
  if (deadline_usec == UINT64_MAX) {
    return -1;
  }
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t now_usec = static_cast<std::uint64_t>(now.tv_sec) * 1000000U +
                                 static_cast<std::uint64_t>(now.tv_nsec) / 1000U;
  if (deadline_usec <= now_usec) {
    return 0;
  }
  const std::uint64_t left_ms = (deadline_usec - now_usec + 999U) / 1000U;
  return left_ms > 60000U ? 60000 : static_cast<int>(left_ms);
}

int EarlierTimeout(int a, int b) {
  if (a < 0) {
    return b;
  }
  return b < 0 ? a : std::min(a, b);
}

class SystemdServiceManager final : public IServiceManager {
 public:
  // Made once in RunService, before the host starts a thread.
  SystemdServiceManager()
      : under_systemd_(std::getenv("NOTIFY_SOCKET") != nullptr) {}  // NOLINT(concurrency-mt-unsafe)

  // IServiceManager
  int Notify(const std::string& message) override { return sd_notify(0, message.c_str()); }
  void StopUnit(const char* unit) override;

 private:
  static constexpr std::uint64_t kStopCallTimeoutUsec = 5000000;
  const bool under_systemd_;
};

void SystemdServiceManager::StopUnit(const char* unit) {
  if (!under_systemd_) {
    return;
  }
  sd_bus* raw_bus = nullptr;
  int result = sd_bus_open_system(&raw_bus);
  const BusPtr bus(raw_bus);
  if (result < 0) {
    OB_LOG_AS(LOG_ERROR, kTerminateServiceName,
              "TerminateService: OpenSCManager failed - Error: %d", -result);
    return;
  }
  static_cast<void>(sd_bus_set_method_call_timeout(bus.get(), kStopCallTimeoutUsec));
  BusError error;
  sd_bus_message* raw_reply = nullptr;
  result = sd_bus_call_method(bus.get(), "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                              "org.freedesktop.systemd1.Manager", "StopUnit", error.get(),
                              &raw_reply, "ss", unit, "replace");
  const MessagePtr reply(raw_reply);
  if (result < 0) {
    OB_LOG_AS(LOG_ERROR, kTerminateServiceName, "TerminateService: OpenService failed - Error: %d",
              -result);
    OB_LOG_AS(LOG_DEBUG, kTerminateServiceName, "StopUnit %s: %s", unit, error.message());
  }
}

// The control handler's Linux side, on the main thread: the signalfd, logind's login monitor and
// its shut-down and sleep signals on the system bus, and the event the service thread sets when
// ServiceMain has returned. logind and the bus are optional: without them their controls never
// come, which is logged once.
class ControlSource {
 public:
  explicit ControlSource(CServiceHost& host) : host_(host) {}

  // Opens the signal and done descriptors (0, or the errno that stopped it), then logind's
  // sources when the machine has them.
  [[nodiscard]] int Open();
  // Ends Run; any thread.
  void SignalDone();
  // Dispatches controls until SignalDone; at once when Open failed before the done event.
  void Run() noexcept;

 private:
  void openLoginMonitor();
  void openBus();
  void readSignals();
  void processBus();
  static int onPrepareForShutdown(sd_bus_message* message, void* source, sd_bus_error* error);
  static int onPrepareForSleep(sd_bus_message* message, void* source, sd_bus_error* error);

  CServiceHost& host_;
  OBRuntime::UniqueFd done_fd_;
  OBRuntime::UniqueFd signal_fd_;
  LoginMonitorPtr login_;  // null without logind
  BusPtr bus_;             // null without a system bus, or once it failed
  SlotPtr shutdown_slot_;
  SlotPtr sleep_slot_;
};

int ControlSource::Open() {
  done_fd_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!done_fd_.valid()) {
    return errno;
  }
  if (BlockServiceSignals() != kObSuccess) {
    return EINVAL;
  }
  const sigset_t set = HandledSignals();
  signal_fd_.Reset(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signal_fd_.valid()) {
    return errno;
  }
  openLoginMonitor();
  openBus();
  return 0;
}

void ControlSource::openLoginMonitor() {
  // All categories: seats (the active console session), sessions and users all count as a
  // session change.
  sd_login_monitor* raw = nullptr;
  const int result = sd_login_monitor_new(nullptr, &raw);
  if (result < 0) {
    OB_LOG_DEBUG("No logind login monitor (%s): session changes are not followed",
                 ErrnoText(-result).c_str());
    return;
  }
  login_.reset(raw);
}

void ControlSource::openBus() {
  sd_bus* raw_bus = nullptr;
  int result = sd_bus_open_system(&raw_bus);
  BusPtr bus(raw_bus);
  sd_bus_slot* raw_shutdown = nullptr;
  sd_bus_slot* raw_sleep = nullptr;
  if (result >= 0) {
    result = sd_bus_match_signal(bus.get(), &raw_shutdown, "org.freedesktop.login1",
                                 "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                 "PrepareForShutdown", &ControlSource::onPrepareForShutdown, this);
  }
  shutdown_slot_.reset(raw_shutdown);
  if (result >= 0) {
    result = sd_bus_match_signal(bus.get(), &raw_sleep, "org.freedesktop.login1",
                                 "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                 "PrepareForSleep", &ControlSource::onPrepareForSleep, this);
  }
  sleep_slot_.reset(raw_sleep);
  if (result < 0) {
    OB_LOG_DEBUG("No system bus (%s): shut-down and sleep notices are not followed",
                 ErrnoText(-result).c_str());
    sleep_slot_.reset();
    shutdown_slot_.reset();
    return;
  }
  bus_ = std::move(bus);
}

void ControlSource::SignalDone() {
  if (done_fd_.valid()) {
    const std::uint64_t one = 1;
    static_cast<void>(::write(done_fd_.get(), &one, sizeof(one)));
  }
}

void ControlSource::Run() noexcept {
  if (!done_fd_.valid()) {
    return;
  }
  enum { kDone, kSignals, kLogin, kBus, kCount };
  for (;;) {
    // poll ignores negative descriptors, so absent sources keep their slot.
    std::array<pollfd, kCount> fds{};
    fds[kDone] = {done_fd_.get(), POLLIN, 0};
    fds[kSignals] = {signal_fd_.get(), POLLIN, 0};
    fds[kLogin] = {-1, 0, 0};
    fds[kBus] = {-1, 0, 0};
    int timeout = -1;
    if (login_) {
      std::uint64_t deadline = UINT64_MAX;
      fds[kLogin] = {sd_login_monitor_get_fd(login_.get()),
                     static_cast<short>(sd_login_monitor_get_events(login_.get())), 0};
      if (sd_login_monitor_get_timeout(login_.get(), &deadline) >= 0) {
        timeout = EarlierTimeout(timeout, PollTimeoutMs(deadline));
      }
    }
    if (bus_) {
      std::uint64_t deadline = UINT64_MAX;
      fds[kBus] = {sd_bus_get_fd(bus_.get()), static_cast<short>(sd_bus_get_events(bus_.get())), 0};
      if (sd_bus_get_timeout(bus_.get(), &deadline) >= 0) {
        timeout = EarlierTimeout(timeout, PollTimeoutMs(deadline));
      }
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno != EINTR) {
        OB_LOG_ERROR("poll failed: %s", ErrnoText(errno).c_str());
        ::usleep(100000);  // a transient failure (ENOMEM) must not become a busy loop
      }
      continue;
    }
    if (fds[kDone].revents != 0) {
      return;
    }
    if (fds[kSignals].revents != 0) {
      readSignals();
    }
    if (login_ && fds[kLogin].revents != 0) {
      static_cast<void>(sd_login_monitor_flush(login_.get()));
      static_cast<void>(host_.ServiceControl(kServiceControlSessionChange));
    }
    if (bus_) {
      processBus();
    }
  }
}

void ControlSource::readSignals() {
  signalfd_siginfo info{};
  while (::read(signal_fd_.get(), &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
    for (const SignalControl& entry : kSignalControls) {
      if (info.ssi_signo == static_cast<std::uint32_t>(entry.signal)) {
        OB_LOG_DEBUG("Signal %d from pid %u: control %u", entry.signal, info.ssi_pid,
                     entry.control);
        static_cast<void>(host_.ServiceControl(entry.control));
      }
    }
  }
}

void ControlSource::processBus() {
  int result = 0;
  do {
    result = sd_bus_process(bus_.get(), nullptr);
  } while (result > 0);
  if (result < 0) {
    OB_LOG_DEBUG("System bus lost (%s): shut-down and sleep notices are no longer followed",
                 ErrnoText(-result).c_str());
    sleep_slot_.reset();
    shutdown_slot_.reset();
    bus_.reset();
  }
}

int ControlSource::onPrepareForShutdown(sd_bus_message* message, void* source, sd_bus_error*) {
  int starting = 0;
  if (sd_bus_message_read(message, "b", &starting) < 0) {
    OB_LOG_WARN("PrepareForShutdown without its boolean argument");
    return 0;
  }
  if (starting != 0) {  // false announces a cancelled shut-down
    static_cast<void>(
        static_cast<ControlSource*>(source)->host_.ServiceControl(kServiceControlShutdown));
  }
  return 0;
}

int ControlSource::onPrepareForSleep(sd_bus_message*, void* source, sd_bus_error*) {
  // Both going to sleep and waking up are power events.
  static_cast<void>(
      static_cast<ControlSource*>(source)->host_.ServiceControl(kServiceControlPowerEvent));
  return 0;
}

}  // namespace

std::string NotifyMessage(const ServiceStatus& status) {
  std::string message;
  switch (status.current_state) {
    case kServiceStartPending:
      message = "STATUS=Starting";
      break;
    case kServiceRunning:
      message = "READY=1\nSTATUS=Running";
      break;
    case kServiceStopPending:
      message = "STOPPING=1\nSTATUS=Stopping";
      break;
    case kServiceStopped:
      message = "STATUS=Stopped";
      break;
    default:
      message = "STATUS=State " + std::to_string(status.current_state);
      break;
  }
  if (status.wait_hint > 0) {
    message += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(std::uint64_t{status.wait_hint} * 1000U);
  }
  return message;
}

std::unique_ptr<IServiceManager> CreateSystemdServiceManager() {
  return std::make_unique<SystemdServiceManager>();
}

CServiceHost::CServiceHost(IServiceAgent& agent, IServiceManager& manager,
                           ExitFunction exit_process)
    : agent_(agent), manager_(manager), exit_process_(std::move(exit_process)) {}

void CServiceHost::RegisterControlHandler(int error) { registration_error_ = error; }

bool CServiceHost::ServiceMain() {
  try {
    return serviceMain();
  } catch (const std::exception& exception) {
    OB_LOG_ERROR("CORVAgent: ServiceMain standard exception");
    OB_LOG_DEBUG("Caught exception: %s.", exception.what());
  } catch (const boost::exception&) {
    OB_LOG_ERROR("CORVAgent: ServiceMain boost exception");
  } catch (...) {
    OB_LOG_ERROR("CORVAgent: ServiceMain unknown exception");
  }
  return false;
}

bool CServiceHost::serviceMain() {
  {
    const std::lock_guard lock(agent_mutex_);
    service_thread_ = std::this_thread::get_id();
  }
  int error = 0;
  bool ran = false;
  if (registration_error_ != 0) {
    OB_LOG_AS(LOG_ERROR, kServiceMainName,
              "ServiceMain : RegisterServiceCtrlHandler failed - Error: %d", registration_error_);
  } else if (!reportStatus(kServiceStartPending, kNoError, 1, kStartPendingWaitHintMs, error)) {
    OB_LOG_AS(LOG_ERROR, kServiceMainName,
              "ServiceMain : ReportStatusToSCMgr (start pending) failed - Error: %d", error);
  } else if (!reportStatus(kServiceRunning, kNoError, 0, 0, error)) {
    OB_LOG_AS(LOG_ERROR, kServiceMainName,
              "ServiceMain : ReportStatusToSCMgr (running) failed - Error: %d", error);
  } else {
    runAgent();
    ran = true;
  }
  static_cast<void>(reportStatus(kServiceStopped, kNoError, 0, 0, error));
  return ran;
}

void CServiceHost::runAgent() {
  // Clears the running flag on every way out, an exception included, so TerminateService
  // never waits for a main procedure that has already left.
  struct Finished {
    CServiceHost& host;
    ~Finished() {
      const std::lock_guard lock(host.agent_mutex_);
      host.agent_running_ = false;
      host.agent_finished_.notify_all();
    }
  };
  {
    const std::lock_guard lock(agent_mutex_);
    agent_running_ = true;
  }
  const Finished finished{*this};
  const int code = agent_.MainThreadProc();
  agent_result_ = code;
  if (code != 0) {
    OB_LOG_AS(LOG_ERROR, kServiceMainName, "Agent shutdown failed with the following error - %d",
              code);
  }
}

std::uint32_t CServiceHost::ServiceControl(std::uint32_t control) {
  int error = 0;
  switch (control) {
    case kServiceControlStop:
    case kServiceControlShutdown:
      OB_LOG_DEBUG("ServiceControl: SERVICE_CONTROL STOP/SHUTDOWN received");
      static_cast<void>(
          reportStatus(kServiceStopPending, kNoError, 1, kStopPendingWaitHintMs, error));
      agent_.Stop();
      return kNoError;
    case kServiceControlPause:
      OB_LOG_DEBUG("ServiceControl: SERVICE_CONTROL_PAUSE received");
      return kNoError;
    case kServiceControlContinue:
      OB_LOG_DEBUG("ServiceControl: SERVICE_CONTROL_CONTINUE received");
      static_cast<void>(reportStatus(kServiceRunning, kNoError, 0, 0, error));
      return kNoError;
    case kServiceControlInterrogate:
      static_cast<void>(reportStatus(kServiceRunning, kNoError, 0, 0, error));
      return kNoError;
    case kServiceControlPowerEvent:
      OB_LOG_DEBUG("ServiceControl: SERVICE_CONTROL_POWEREVENT received");
      return kNoError;
    case kServiceControlSessionChange:
      OB_LOG_DEBUG("ServiceControl: SERVICE_CONTROL_SESSIONCHANGE received");
      static_cast<void>(reportStatus(kServiceRunning, kNoError, 0, 0, error));
      agent_.OnSessionChange();
      return kNoError;
    default:
      return kErrorCallNotImplemented;
  }
}

bool CServiceHost::ReportStatusToSCMgr(std::uint32_t state, std::uint32_t win32_exit_code,
                                       std::uint32_t check_point, std::uint32_t wait_hint) {
  int error = 0;
  return reportStatus(state, win32_exit_code, check_point, wait_hint, error);
}

bool CServiceHost::reportStatus(std::uint32_t state, std::uint32_t win32_exit_code,
                                std::uint32_t check_point, std::uint32_t wait_hint, int& error) {
  if (registration_error_ != 0) {
    OB_LOG_AS(LOG_ERROR, kReportStatusName,
              "ReportStatusToSCMgr: Service handle invalid:  %d, %d, %d, %d", state,
              win32_exit_code, check_point, wait_hint);
    error = EBADF;
    return false;
  }
  int result = 0;
  {
    const std::lock_guard report_lock(report_mutex_);
    ServiceStatus reported;
    {
      const std::lock_guard status_lock(status_mutex_);
      if (Phase(state) < Phase(status_.current_state)) {
        return true;
      }
      status_.current_state = state;
      status_.controls_accepted = state == kServiceStartPending ? 0 : kAcceptedControls;
      status_.win32_exit_code = win32_exit_code;
      status_.check_point = check_point;
      status_.wait_hint = wait_hint;
      reported = status_;
    }
    result = manager_.Notify(NotifyMessage(reported));
  }
  if (result >= 0) {
    return true;
  }
  error = -result;
  OB_LOG_AS(LOG_ERROR, kReportStatusName,
            "ReportStatusToSCMgr: SetServiceStatus failed, Error: %d, %d, %d, %d", state,
            win32_exit_code, check_point, wait_hint);
  OB_LOG_AS(LOG_DEBUG, kReportStatusName, "sd_notify failed: %s", ErrnoText(error).c_str());
  TerminateService(1);
  return false;
}

void CServiceHost::TerminateService(int exit_code) {
  OB_LOG_DEBUG("TerminateService: exitcode = %d", exit_code);
  agent_.Stop();
  manager_.StopUnit(kServiceUnitName);
  {
    std::unique_lock lock(agent_mutex_);
    if (service_thread_ != std::this_thread::get_id()) {
      agent_finished_.wait_for(lock, std::chrono::milliseconds(kStopPendingWaitHintMs),
                               [this] { return !agent_running_; });
    }
  }
  exit_process_(exit_code);
}

ServiceStatus CServiceHost::Status() const {
  const std::lock_guard lock(status_mutex_);
  return status_;
}

OB_STATUSCODE BlockServiceSignals() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (::sigaction(SIGPIPE, &ignore, nullptr) != 0) {
    OB_LOG_ERROR("Ignoring SIGPIPE failed: %s", ErrnoText(errno).c_str());
    return kObFailure;
  }
  const sigset_t set = HandledSignals();
  const int result = ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (result != 0) {
    OB_LOG_ERROR("Blocking the service signals failed: %s", ErrnoText(result).c_str());
    return kObFailure;
  }
  // A signal inherited as ignored (a shell starts background jobs with SIGINT ignored) would be
  // discarded before the signalfd saw it. Reset only now that they are blocked, so none arriving
  // in between can take its default action.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  for (const SignalControl& entry : kSignalControls) {
    if (::sigaction(entry.signal, &default_action, nullptr) != 0) {
      OB_LOG_ERROR("Resetting signal %d failed: %s", entry.signal, ErrnoText(errno).c_str());
      return kObFailure;
    }
  }
  return kObSuccess;
}

int RunService(IServiceAgent& agent) {
  const std::unique_ptr<IServiceManager> manager = CreateSystemdServiceManager();
  return RunService(agent, *manager, [](int exit_code) { std::_Exit(exit_code); });
}

int RunService(IServiceAgent& agent, IServiceManager& manager, const ExitFunction& exit_process) {
  CServiceHost host(agent, manager, exit_process);
  ControlSource controls(host);
  host.RegisterControlHandler(controls.Open());
  bool orderly = false;
  try {
    std::thread service = OBRuntime::StartAgentThread([&host, &controls, &orderly] {
      orderly = host.ServiceMain();
      controls.SignalDone();
    });
    controls.Run();
    service.join();
  } catch (const std::system_error& exception) {
    OB_LOG_ERROR("Caught exception: %s.", exception.what());
    return 1;
  }
  // An agent that could not start exits non-zero, so the service manager sees the failure (and
  // its restart policy applies) instead of a clean stop.
  return orderly && host.AgentResult() == 0 ? 0 : 1;
}
