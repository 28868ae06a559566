#include "core/service_host.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <semaphore>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/unique_fd.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;
using orv::test::LogCapture;

constexpr auto kDeadline = 20s;
const std::string kStartPending = "STATUS=Starting\nEXTEND_TIMEOUT_USEC=20000000";
const std::string kRunning = "READY=1\nSTATUS=Running";
const std::string kStopPending = "STOPPING=1\nSTATUS=Stopping\nEXTEND_TIMEOUT_USEC=6000000";
const std::string kStopped = "STATUS=Stopped";

// Records every report; `result` is what sd_notify would have answered. The host serialises
// reports, and the tests read what was recorded once the service thread is joined.
struct FakeServiceManager : public IServiceManager {
  int Notify(const std::string& message) override {
    on_notify();
    messages.push_back(message);
    return result;
  }
  void StopUnit(const char* unit) override { stopped_units.emplace_back(unit); }

  int result = 1;
  std::function<void()> on_notify = [] {};  // runs before the message is recorded
  std::vector<std::string> messages;
  std::vector<std::string> stopped_units;
};

// Runs until Stop when `blocks`, else returns `code` at once; `report` hears what it does.
class FakeAgent : public IServiceAgent {
 public:
  explicit FakeAgent(bool blocks = true, int code = 0) : blocks_(blocks), code_(code) {}

  int MainThreadProc() override {
    report("AGENT=running");
    running_.release();
    if (blocks_) {
      stop_.acquire();
    }
    returned = true;
    report("AGENT=returned");
    return code_;
  }
  void Stop() override {
    ++stops;
    stop_.release();
  }
  void OnSessionChange() override { ++sessions; }

  bool WaitRunning() { return running_.try_acquire_for(kDeadline); }

  std::atomic<int> stops{0};
  std::atomic<int> sessions{0};
  std::atomic<bool> returned{false};
  std::function<void(const std::string&)> report = [](const std::string&) {};

 private:
  const bool blocks_;
  const int code_;
  std::counting_semaphore<> running_{0};
  std::counting_semaphore<> stop_{0};
};

class ServiceHostTest : public ::testing::Test {
 protected:
  ServiceHostTest()
      : host_(agent_, manager_, [this](int code) {
          returned_at_exit_ = agent_.returned.load();
          exit_codes_.push_back(code);
        }) {}

  LogCapture log_;
  FakeAgent agent_{/*blocks=*/true, /*code=*/7};
  FakeServiceManager manager_;
  std::vector<int> exit_codes_;
  bool returned_at_exit_ = false;
  CServiceHost host_;
};

TEST_F(ServiceHostTest, ControlTableActsAndAnswers) {
  struct Case {
    std::uint32_t control;
    std::uint32_t result;
    std::vector<std::string> messages;
    int stops;
    int sessions;
    std::string log;  // empty: none expected
  };
  const std::string kStop = "ServiceControl: SERVICE_CONTROL STOP/SHUTDOWN received";
  const Case cases[] = {
      {0, 120, {}, 0, 0, ""},
      {1, 0, {kStopPending}, 1, 0, kStop},
      {2, 0, {}, 0, 0, "ServiceControl: SERVICE_CONTROL_PAUSE received"},
      {3, 0, {kRunning}, 0, 0, "ServiceControl: SERVICE_CONTROL_CONTINUE received"},
      {4, 0, {kRunning}, 0, 0, ""},
      {5, 0, {kStopPending}, 1, 0, kStop},
      {13, 0, {}, 0, 0, "ServiceControl: SERVICE_CONTROL_POWEREVENT received"},
      {14, 0, {kRunning}, 0, 1, "ServiceControl: SERVICE_CONTROL_SESSIONCHANGE received"},
      {6, 120, {}, 0, 0, ""},
  };
  for (const Case& c : cases) {
    LogCapture log;
    FakeAgent agent;
    FakeServiceManager manager;
    CServiceHost host(agent, manager, [](int) { FAIL() << "no control ends the process"; });
    host.RegisterControlHandler(0);
    ASSERT_TRUE(host.ReportStatusToSCMgr(kServiceRunning, 0, 0, 0));
    const ServiceStatus before = host.Status();

    EXPECT_EQ(host.ServiceControl(c.control), c.result) << c.control;
    EXPECT_EQ(std::vector(manager.messages.begin() + 1, manager.messages.end()), c.messages)
        << c.control;
    EXPECT_EQ(std::pair(agent.stops.load(), agent.sessions.load()), std::pair(c.stops, c.sessions));
    EXPECT_TRUE(c.log.empty() || log.Has(LOG_DEBUG, "CServiceHost::ServiceControl", c.log))
        << c.log;
    EXPECT_TRUE(!c.messages.empty() || host.Status() == before) << "nothing reported, nothing set";
  }
}

// Each state is reported with its mask, check point and wait hint; STOP_PENDING before the agent
// returns, RUNNING never again once a stop is pending; the agent's error is only logged.
TEST_F(ServiceHostTest, StopReportsStopPendingBeforeTheAgentReturnsAndNeverRunningAgain) {
  std::vector<std::pair<ServiceStatus, bool>> seen;  // each status reported, agent returned
  manager_.on_notify = [&] { seen.emplace_back(host_.Status(), agent_.returned.load()); };
  host_.RegisterControlHandler(0);
  bool ran = false;
  std::thread service([&] { ran = host_.ServiceMain(); });
  ASSERT_TRUE(agent_.WaitRunning());

  EXPECT_EQ(host_.ServiceControl(kServiceControlStop), kNoError);
  EXPECT_EQ(host_.ServiceControl(kServiceControlInterrogate), kNoError);
  EXPECT_EQ(host_.ServiceControl(kServiceControlSessionChange), kNoError);
  service.join();
  EXPECT_EQ(host_.ServiceControl(kServiceControlStop), kNoError);

  EXPECT_TRUE(ran);
  EXPECT_TRUE(exit_codes_.empty());
  const std::vector<std::pair<ServiceStatus, bool>> expected = {
      {{16, kServiceStartPending, 0, 0, 0, 1, 20000}, false},
      {{16, kServiceRunning, 199, 0, 0, 0, 0}, false},
      {{16, kServiceStopPending, 199, 0, 0, 1, 6000}, false},
      {{16, kServiceStopped, 199, 0, 0, 0, 0}, true}};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(agent_.stops.load(), 2);
  EXPECT_EQ(agent_.sessions.load(), 1);
  EXPECT_TRUE(log_.Has(LOG_ERROR, "CServiceHost::ServiceMain",
                       "Agent shutdown failed with the following error - 7"));
}

// Without a control handler nothing runs or is reported. Outside systemd reports succeed; a
// failed one terminates the service, and in ServiceMain the agent never runs after it.
TEST_F(ServiceHostTest, ReportsNeedAHandlerSucceedOutsideSystemdAndAFailedOneTerminates) {
  host_.RegisterControlHandler(EMFILE);
  EXPECT_FALSE(host_.ServiceMain());
  EXPECT_FALSE(host_.ReportStatusToSCMgr(kServiceRunning, 0, 0, 0));
  EXPECT_TRUE(manager_.messages.empty());
  EXPECT_TRUE(log_.Has(LOG_ERROR, "CServiceHost::ServiceMain",
                       "ServiceMain : RegisterServiceCtrlHandler failed - Error: 24"));
  EXPECT_TRUE(log_.Has(LOG_ERROR, "CServiceHost::ReportStatusToSCMgr",
                       "ReportStatusToSCMgr: Service handle invalid:  1, 0, 0, 0"));

  host_.RegisterControlHandler(0);
  manager_.result = 0;  // sd_notify without NOTIFY_SOCKET
  EXPECT_TRUE(host_.ReportStatusToSCMgr(kServiceStartPending, 0, 1, 20000));
  EXPECT_EQ(host_.Status().current_state, kServiceStartPending);
  EXPECT_TRUE(exit_codes_.empty());

  manager_.result = -EIO;
  EXPECT_FALSE(host_.ReportStatusToSCMgr(kServiceRunning, 0, 0, 0));

  EXPECT_EQ(exit_codes_, std::vector<int>{1});
  EXPECT_EQ(agent_.stops.load(), 1);
  EXPECT_EQ(manager_.stopped_units, std::vector<std::string>{"oborvagent.service"});
  EXPECT_TRUE(log_.Has(LOG_ERROR, "CServiceHost::ReportStatusToSCMgr",
                       "ReportStatusToSCMgr: SetServiceStatus failed, Error: 4, 0, 0, 0"));
  EXPECT_TRUE(
      log_.Has(LOG_DEBUG, "CServiceHost::TerminateService", "TerminateService: exitcode = 1"));

  EXPECT_FALSE(host_.ServiceMain());
  EXPECT_FALSE(agent_.returned.load());
  EXPECT_EQ(exit_codes_, (std::vector<int>{1, 1, 1}));  // and then start pending and stopped
  EXPECT_TRUE(log_.Has(LOG_ERROR, "CServiceHost::ServiceMain",
                       "ServiceMain : ReportStatusToSCMgr (start pending) failed - Error: 5"));
}

// TerminateService lets a running agent finish before the process exits; an exception from the
// agent is caught and logged.
TEST_F(ServiceHostTest, TerminateServiceLetsTheAgentFinishAndAnAgentExceptionIsCaught) {
  host_.RegisterControlHandler(0);
  std::thread service([&] { static_cast<void>(host_.ServiceMain()); });
  ASSERT_TRUE(agent_.WaitRunning());
  host_.TerminateService(3);
  service.join();
  EXPECT_TRUE(returned_at_exit_);
  EXPECT_EQ(exit_codes_, std::vector<int>{3});

  class ThrowingAgent : public FakeAgent {
   public:
    int MainThreadProc() override { throw std::runtime_error("broken"); }
  } agent;
  CServiceHost host(agent, manager_, [](int) { FAIL() << "no failure"; });
  host.RegisterControlHandler(0);
  EXPECT_FALSE(host.ServiceMain());
  EXPECT_TRUE(log_.Has(LOG_ERROR, "CServiceHost::ServiceMain",
                       "CORVAgent: ServiceMain standard exception"));
}

// The real sd_notify; StopUnit does nothing, so no test can stop an installed agent.
class NotifyOnlyManager : public IServiceManager {
 public:
  int Notify(const std::string& message) override { return real_->Notify(message); }
  void StopUnit(const char*) override {}

 private:
  std::unique_ptr<IServiceManager> real_ = CreateSystemdServiceManager();
};

const std::vector<std::string> kStarted = {kStartPending, kRunning, "AGENT=running"};

// One run of RunService in a forked child whose fake agent reports to the receiver too: each
// signal is sent once the reports before it came, then what it makes the process report.
struct ServiceRun {
  enum class Notify { kReceiver, kNone, kUnreachable } notify = Notify::kReceiver;
  bool ignore_sigint = false;  // inherited as ignored, as a shell's background job has it
  bool agent_blocks = true;
  int agent_code = 0;
  std::vector<std::pair<int, std::vector<std::string>>> steps{};  // signal (0: none), reports
  int exit_code = 0;
};

void ExpectServiceRun(const ServiceRun& run) {
  // An abstract AF_UNIX datagram socket stands in for systemd's notify socket.
  const std::string name = "orv-service-host-test-" + std::to_string(::getpid());
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  name.copy(address.sun_path + 1, sizeof(address.sun_path) - 1);
  const auto* to = reinterpret_cast<const sockaddr*>(&address);
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  const OBRuntime::UniqueFd receiver(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::bind(receiver.get(), to, length), 0);
  struct sigaction previous {};
  struct sigaction inherited {};
  inherited.sa_handler = run.ignore_sigint ? SIG_IGN : SIG_DFL;
  ASSERT_EQ(::sigaction(SIGINT, &inherited, &previous), 0);
  // The child runs the service instead of another image; the object kills and reaps it when the
  // test leaves early.
  const orv::test::ChildProcess child("", {}, [&] {
    if (run.notify == ServiceRun::Notify::kNone) {
      ::unsetenv("NOTIFY_SOCKET");
    } else {
      const bool reachable = run.notify == ServiceRun::Notify::kReceiver;
      ::setenv("NOTIFY_SOCKET", ("@" + name + (reachable ? "" : "-nobody")).c_str(), 1);
    }
    FakeAgent agent(run.agent_blocks, run.agent_code);
    agent.report = [&](const std::string& text) {
      const OBRuntime::UniqueFd sender(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
      static_cast<void>(::sendto(sender.get(), text.data(), text.size(), 0, to, length));
    };
    NotifyOnlyManager manager;
    // exit, not _Exit, when RunService returns: coverage data is written at exit.
    std::exit(RunService(agent, manager, [](int code) { std::_Exit(code); }));
  });
  ::sigaction(SIGINT, &previous, nullptr);
  for (const auto& [signal, reports] : run.steps) {
    ASSERT_TRUE(signal == 0 || ::kill(child.pid(), signal) == 0);
    std::vector<std::string> received;
    pollfd fd{receiver.get(), POLLIN, 0};
    char buffer[512];
    while (received.size() < reports.size() && ::poll(&fd, 1, 20000) == 1) {
      const ssize_t got = ::recv(receiver.get(), buffer, sizeof(buffer), 0);
      received.emplace_back(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    EXPECT_EQ(received, reports) << "signal " << signal;
  }
  int status = 0;
  const bool exited = orv::test::WaitUntil(
      [&] { return ::waitpid(child.pid(), &status, WNOHANG) == child.pid(); }, kDeadline);
  EXPECT_EQ(exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1, run.exit_code);
}

// Signals map to controls and SIGTERM stops with every state notified; outside systemd an
// inherited ignored SIGINT still stops; an agent error and an unreachable notify socket both end
// the process with 1 (systemd must see the unit fail).
TEST(ServiceProcessTest, SignalsStopTheServiceAndFailuresExitWithOne) {
  std::vector<std::string> error_reports = kStarted;
  error_reports.insert(error_reports.end(), {"AGENT=returned", kStopped});
  const ServiceRun runs[] = {
      {.steps = {{0, kStarted},
                 {SIGHUP, {kRunning}},  // interrogate
                 {SIGTSTP, {}},         // pause: acknowledged, nothing reported
                 {SIGCONT, {kRunning}},
                 {SIGPIPE, {}},  // ignored
                 {SIGTERM, {kStopPending, "AGENT=returned", kStopped}}}},
      {.notify = ServiceRun::Notify::kNone,
       .ignore_sigint = true,
       .steps = {{0, {"AGENT=running"}}, {SIGINT, {"AGENT=returned"}}}},
      {.agent_blocks = false, .agent_code = -9999, .steps = {{0, error_reports}}, .exit_code = 1},
      {.notify = ServiceRun::Notify::kUnreachable, .exit_code = 1},
  };
  for (const ServiceRun& run : runs) {
    ExpectServiceRun(run);
  }
}

}  // namespace
