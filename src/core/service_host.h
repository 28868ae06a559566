// The service host: runs the agent as a foreground process, under systemd (Type=notify) or on
// its own, and turns signals and logind events into the service control table's actions.
//
// The status record, the service states, the control codes and the accepted-controls mask keep
// the values of the service control protocol the agent was written for; only the transport
// differs. A status report becomes one sd_notify message (START_PENDING: STATUS= and
// EXTEND_TIMEOUT_USEC=, RUNNING: READY=1, STOP_PENDING: STOPPING=1 and EXTEND_TIMEOUT_USEC=,
// STOPPED: STATUS=); outside systemd nothing is sent and every report succeeds.
//
// Controls: SIGTERM and SIGINT stop (1), SIGTSTP pause (2), SIGCONT continue (3), SIGHUP
// interrogate (4), logind's PrepareForShutdown shut-down (5), PrepareForSleep power event (13),
// any login, session or seat change session change (14). SIGPIPE is ignored.
//
// Threads: the agent's main procedure runs on a service thread; signals, logind and the system
// bus are read on the main thread, which must have blocked the handled signals before any thread
// started. main therefore reads:
//
//   ... create the crash handler (it must start no thread) ...
//   if (BlockServiceSignals() != kObSuccess) return 1;
//   ... create the agent ...
//   return RunService(agent);
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/status.h"

// What the host needs of the agent object.
class IServiceAgent {
 public:
  virtual ~IServiceAgent() = default;
  // Runs until shut-down on the calling thread; 0 or an error code.
  virtual int MainThreadProc() = 0;
  // Sets the shut-down event; any thread.
  virtual void Stop() = 0;
  // Sets the session change event; any thread.
  virtual void OnSessionChange() = 0;
};

// Current states of the status record.
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;

// Control codes; 6 to 12 and anything outside 1 to 14 are not implemented.
inline constexpr std::uint32_t kServiceControlStop = 1;
inline constexpr std::uint32_t kServiceControlPause = 2;
inline constexpr std::uint32_t kServiceControlContinue = 3;
inline constexpr std::uint32_t kServiceControlInterrogate = 4;
inline constexpr std::uint32_t kServiceControlShutdown = 5;
inline constexpr std::uint32_t kServiceControlPowerEvent = 13;
inline constexpr std::uint32_t kServiceControlSessionChange = 14;

// ServiceControl results.
inline constexpr std::uint32_t kNoError = 0;
inline constexpr std::uint32_t kErrorCallNotImplemented = 120;

// Accepted-controls bits: stop, pause and continue, shut-down, power event, session change.
inline constexpr std::uint32_t kAcceptStop = 0x01;
inline constexpr std::uint32_t kAcceptPauseContinue = 0x02;
inline constexpr std::uint32_t kAcceptShutdown = 0x04;
inline constexpr std::uint32_t kAcceptPowerEvent = 0x40;
inline constexpr std::uint32_t kAcceptSessionChange = 0x80;
// Accepted in every state but START_PENDING, which accepts none.
inline constexpr std::uint32_t kAcceptedControls =
    kAcceptStop | kAcceptPauseContinue | kAcceptShutdown | kAcceptPowerEvent | kAcceptSessionChange;
static_assert(kAcceptedControls == 199);

inline constexpr std::uint32_t kServiceOwnProcess = 16;
inline constexpr std::uint32_t kStartPendingWaitHintMs = 20000;
inline constexpr std::uint32_t kStopPendingWaitHintMs = 6000;
// The unit TerminateService asks systemd to stop.
inline constexpr char kServiceUnitName[] = "oborvagent.service";

// The service status record; one per host.
struct ServiceStatus {
  std::uint32_t service_type = kServiceOwnProcess;
  std::uint32_t current_state = 0;  // 0 until the first report
  std::uint32_t controls_accepted = 0;
  std::uint32_t win32_exit_code = 0;
  std::uint32_t service_specific_exit_code = 0;
  std::uint32_t check_point = 0;
  std::uint32_t wait_hint = 0;  // milliseconds

  bool operator==(const ServiceStatus&) const = default;
};

// The sd_notify message for a status: empty fields are left out, the wait hint becomes
// EXTEND_TIMEOUT_USEC (microseconds) so systemd waits that long for the next report.
[[nodiscard]] std::string NotifyMessage(const ServiceStatus& status);

// What the host needs of the service manager (systemd in production, a fake in tests).
class IServiceManager {
 public:
  virtual ~IServiceManager() = default;
  // Sends one notification with sd_notify's result: > 0 sent, 0 not run by a service manager
  // (nothing sent), < 0 a negative errno. Called with reports serialised.
  virtual int Notify(const std::string& message) = 0;
  // Asks the service manager to stop the unit (job mode "replace") when run by one; does nothing
  // otherwise. Failures are logged under TerminateService's messages.
  virtual void StopUnit(const char* unit) = 0;
};

// systemd through sd_notify and sd-bus; "run by systemd" means NOTIFY_SOCKET was set on creation.
[[nodiscard]] std::unique_ptr<IServiceManager> CreateSystemdServiceManager();

// Ends the process; production passes std::_Exit, tests record the code and return.
using ExitFunction = std::function<void(int exit_code)>;

// The service's state machine and control table:
//
//   (none) -ServiceMain-> START_PENDING -ServiceMain-> RUNNING -stop/shut-down-> STOP_PENDING
//   RUNNING or STOP_PENDING -main procedure returned-> STOPPED
//
// Continue, interrogate and session change re-report RUNNING, but never once a stop is pending:
// systemd would otherwise read a second READY=1 after STOPPING=1. ServiceMain belongs to the
// service thread; every other operation is safe from any thread and never waits for the agent
// (TerminateService excepted).
class CServiceHost {
 public:
  CServiceHost(IServiceAgent& agent, IServiceManager& manager, ExitFunction exit_process);
  CServiceHost(const CServiceHost&) = delete;
  CServiceHost& operator=(const CServiceHost&) = delete;

  // Records how opening the control source ended (0, or its errno); the status handle is valid
  // after 0. Called once, before ServiceMain and before any control.
  void RegisterControlHandler(int error);

  // Reports START_PENDING and RUNNING, runs the agent's main procedure (its error code is only
  // logged) and reports STOPPED. True when the main procedure ran and returned; false when the
  // handler was not registered, a report failed before the agent ran, or an exception escaped.
  [[nodiscard]] bool ServiceMain();

  // Acts on one control as the control table says; kNoError, or kErrorCallNotImplemented for
  // 6 to 12 and codes outside 1 to 14 (which change nothing).
  [[nodiscard]] std::uint32_t ServiceControl(std::uint32_t control);

  // Stores the status (mask 0 while START_PENDING, kAcceptedControls otherwise) and reports it;
  // a report that would move the status back (RUNNING once a stop is pending, anything but
  // STOPPED after STOPPED) is skipped and counts as success. False, logged, without a status
  // handle; a failed report ends the process through
  // TerminateService(1), so false is only seen when the exit function returns.
  bool ReportStatusToSCMgr(std::uint32_t state, std::uint32_t win32_exit_code,
                           std::uint32_t check_point, std::uint32_t wait_hint);

  // Logs, signals the agent's shut-down event, asks systemd to stop the unit, waits up to the
  // stop wait hint for a running main procedure to return (unless called from it: queued flows
  // reach the cache) and ends the process with the exit code. Returns only if the exit function
  // does.
  void TerminateService(int exit_code);

  // What the agent's main procedure returned; read after ServiceMain has returned.
  [[nodiscard]] int AgentResult() const { return agent_result_; }

  // A copy of the status record.
  [[nodiscard]] ServiceStatus Status() const;

 private:
  // ReportStatusToSCMgr with the failure's errno, for ServiceMain's log lines.
  bool reportStatus(std::uint32_t state, std::uint32_t win32_exit_code, std::uint32_t check_point,
                    std::uint32_t wait_hint, int& error);
  bool serviceMain();
  void runAgent();

  IServiceAgent& agent_;
  IServiceManager& manager_;
  const ExitFunction exit_process_;
  int registration_error_ = -1;  // set before the service thread starts; -1 not registered
  int agent_result_ = 0;         // written by the service thread in runAgent

  std::mutex report_mutex_;  // serialises reports, so messages leave in record order
  mutable std::mutex status_mutex_;
  ServiceStatus status_;  // guarded by status_mutex_, written under report_mutex_ too

  std::mutex agent_mutex_;
  std::condition_variable agent_finished_;
  bool agent_running_ = false;      // guarded by agent_mutex_
  std::thread::id service_thread_;  // guarded by agent_mutex_; the thread in ServiceMain
};

// Ignores SIGPIPE, blocks the signals the host reads (for the calling thread and every thread it
// starts later) and resets their dispositions, so one inherited as ignored still arrives; main
// calls it before anything starts a thread. kObFailure (logged) on error.
[[nodiscard]] OB_STATUSCODE BlockServiceSignals();

// Runs the service with systemd glue: the agent's main procedure on a service thread, controls
// read on the calling thread until it returns. 0 after an orderly stop; 1 when the main
// procedure returned an error (a failed start-up), could not run, or ended by an exception.
[[nodiscard]] int RunService(IServiceAgent& agent);

// RunService with the service manager and the process exit replaced (tests).
[[nodiscard]] int RunService(IServiceAgent& agent, IServiceManager& manager,
                             const ExitFunction& exit_process);
