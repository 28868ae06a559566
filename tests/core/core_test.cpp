// The agent core: the service host against a recording service manager and in a forked process,
// the agent object in-process against a recording platform framework inside namespaces of its
// own (a private /dev/shm for the VPN state, a link with a default route so the network is
// reachable and, with a blank VPN state, trusted), and the address rules, pid table and status
// reporter it relies on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <semaphore>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "context/context_test_support.h"
#include "core/operator_status_reporter.h"
#include "core/orv_agent.h"
#include "core/orv_utils.h"
#include "core/pid_info_table.h"
#include "core/service_host.h"
#include "runtime/unique_fd.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/namespace_rerun.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "trust/inter_process_sync.h"
#include "trust/vpn_state_reader_writer.h"

namespace {

using namespace std::chrono_literals;
using orv::test::LogCapture;
using ::testing::ElementsAre;

constexpr auto kDeadline = 30s;

constexpr std::uint32_t kIPv4 = 2, kIPv6 = 23;

// Which of multicast (M), link-local (L) and loopback (O) each address text is, for its family.
TEST(ORVUtilsTest, AddressRulesFollowTheirFamilies) {
  const std::tuple<std::string, std::uint32_t, std::string> cases[] = {
      {"224.0.0.1", kIPv4, "M"},
      {"240.0.0.1", kIPv4, ""},
      {"223.255.255.255", kIPv4, ""},
      {"169.254.1.1", kIPv4, "L"},
      {"169.1.2.3", kIPv4, ""},  // routable public space
      {"127.4.5.6", kIPv4, "O"},
      {"FF02::1", kIPv6, "M"},
      {"FE80::1", kIPv6, "L"},
      {"febf::1", kIPv6, "L"},
      {"fec0::1", kIPv6, ""},
      {"fe8::1", kIPv6, ""},
      {"::1", kIPv6, "O"},
      {"abc.0.0.1", kIPv4, ""},  // unreadable texts match nothing
      {"not an address", kIPv6, ""},
      {std::string(200, '1'), kIPv4, ""},
      {"ff02::1", 99, ""},  // nor do unknown families
  };
  LogCapture log;
  for (const auto& [address, family, expected] : cases) {
    EXPECT_EQ(std::string(ORVUtils::CheckMulticast(address, family) ? "M" : "") +
                  (ORVUtils::CheckLinkLocal(address, family) ? "L" : "") +
                  (ORVUtils::CheckLoopback(address) ? "O" : ""),
              expected)
        << address;
  }
  EXPECT_TRUE(log.Contains("CORVAgent::checkMulticast - could not cast IP to int."));
  EXPECT_TRUE(log.Contains("Exception while converting string to ip address"));
}

TEST(ORVUtilsTest, BroadcastIsTheLimitedAddressOrAnInterfaceBroadcast) {
  int lookups = 0;
  const auto interfaces = [&lookups](std::string_view address) {
    ++lookups;
    return address == "192.168.1.255";
  };
  EXPECT_FALSE(ORVUtils::CheckBroadcast("ff02::1", interfaces));
  EXPECT_EQ(lookups, 0) << "an IPv6 text needs no interface lookup";
  EXPECT_TRUE(ORVUtils::CheckBroadcast("255.255.255.255", interfaces));
  EXPECT_TRUE(ORVUtils::CheckBroadcast("192.168.1.255", interfaces));
}

// A full table evicts the hundred least recently used; replacement and erasure keep the order
// consistent, so eviction after erasures does not trip over stale order entries.
TEST(CPidInfoTableTest, EvictsTheHundredLeastRecentlyUsedWithTheOrderKeptThroughErasures) {
  CPidInfoTable table;
  for (std::uint32_t pid = 1; pid <= CPidInfoTable::kCapacity; ++pid) {
    table.Insert(pid, std::make_shared<ORVFlowObject>());
  }
  table.Erase(50);  // its old place in the order must go with it
  EXPECT_EQ(table.Find(50), nullptr);
  const auto replacement = std::make_shared<ORVFlowObject>();
  table.Insert(50, std::make_shared<ORVFlowObject>());
  table.Insert(50, replacement);  // and so must a replaced entry's
  ASSERT_EQ(table.Size(), 1000U);
  ASSERT_EQ(table.Find(50), replacement);
  ASSERT_NE(table.Find(1), nullptr);  // now the most recently used

  table.Insert(5000, std::make_shared<ORVFlowObject>());
  EXPECT_EQ(table.Size(), 901U);
  std::string kept;  // per pid below: + kept, - evicted
  for (const std::uint32_t pid : {1U, 2U, 49U, 50U, 51U, 102U, 103U, 5000U}) {
    kept += table.Find(pid) != nullptr ? '+' : '-';
  }
  EXPECT_EQ(kept, "+--+--++") << "1 looked up and 50 re-inserted are recent";
}

TEST(OperatorStatusReporterTest, PublishesFileAndStatusLineAndLogsLossesOnceAMinute) {
  orv::test::TempDir directory;
  const auto file = directory.path() / COperatorStatusReporter::kStatusFileName;
  std::vector<std::string> notified;
  COperatorStatusReporter reporter(file, [&](const std::string& m) { notified.push_back(m); });
  auto& counters = COperatorCounters::Instance();
  const OperatorStatus before = counters.Read(0);
  LogCapture log;
  const auto start = std::chrono::steady_clock::now();

  counters.Add(FlowCounter::kExported, 3);
  counters.Add(FlowCounter::kQueueFull, 2);
  reporter.PublishNow(start);
  OperatorStatus published;
  ASSERT_EQ(ParseStatusJson(orv::test::ChildProcess::ReadAll(file), published), kObSuccess);
  EXPECT_EQ(published.Count(FlowCounter::kExported) - before.Count(FlowCounter::kExported), 3U);
  EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0644));
  EXPECT_THAT(notified, ElementsAre(::testing::AllOf(::testing::StartsWith("STATUS="),
                                                     ::testing::HasSubstr(" flows exported, "))));
  EXPECT_EQ(log.Lines().size(), 1U);  // the first loss is told at once

  counters.Add(FlowCounter::kQueueFull);
  reporter.PublishNow(start + std::chrono::seconds(10));
  counters.Add(FlowCounter::kDroppedLoopback);  // filtered, not lost
  reporter.PublishNow(start + std::chrono::seconds(70));
  ASSERT_EQ(log.Lines().size(), 2U);  // the next one a minute later, with what it missed
  EXPECT_NE(log.Lines()[1].message.find("queue_full 1"), std::string::npos);
  reporter.PublishNow(start + std::chrono::seconds(200));
  EXPECT_EQ(log.Lines().size(), 2U);  // nothing lost since
}

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

// Runs until Stop, then returns `code`.
class FakeAgent : public IServiceAgent {
 public:
  explicit FakeAgent(int code = 0) : code_(code) {}

  int MainThreadProc() override {
    running_.release();
    stop_.acquire();
    returned = true;
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

 private:
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
  FakeAgent agent_{7};
  FakeServiceManager manager_;
  std::vector<int> exit_codes_;
  bool returned_at_exit_ = false;
  CServiceHost host_;
};

TEST_F(ServiceHostTest, ControlTableActsAndAnswers) {
  // Control, answer, what is reported after RUNNING, the agent's (stops, session changes), the
  // line logged (empty: none expected).
  const std::string kStop = "ServiceControl: SERVICE_CONTROL STOP/SHUTDOWN received";
  const std::tuple<std::uint32_t, std::uint32_t, std::vector<std::string>, std::pair<int, int>,
                   std::string>
      cases[] = {
          {0, 120, {}, {0, 0}, ""},
          {1, 0, {kStopPending}, {1, 0}, kStop},
          {2, 0, {}, {0, 0}, "ServiceControl: SERVICE_CONTROL_PAUSE received"},
          {3, 0, {kRunning}, {0, 0}, "ServiceControl: SERVICE_CONTROL_CONTINUE received"},
          {4, 0, {kRunning}, {0, 0}, ""},
          {5, 0, {kStopPending}, {1, 0}, kStop},
          {13, 0, {}, {0, 0}, "ServiceControl: SERVICE_CONTROL_POWEREVENT received"},
          {14, 0, {kRunning}, {0, 1}, "ServiceControl: SERVICE_CONTROL_SESSIONCHANGE received"},
          {6, 120, {}, {0, 0}, ""},
      };
  for (const auto& [control, result, messages, agent_calls, line] : cases) {
    LogCapture log;
    FakeAgent agent;
    FakeServiceManager manager;
    CServiceHost host(agent, manager, [](int) { FAIL() << "no control ends the process"; });
    host.RegisterControlHandler(0);
    ASSERT_TRUE(host.ReportStatusToSCMgr(kServiceRunning, 0, 0, 0));
    const ServiceStatus before = host.Status();

    EXPECT_EQ(host.ServiceControl(control), result) << control;
    EXPECT_EQ(std::vector(manager.messages.begin() + 1, manager.messages.end()), messages);
    EXPECT_EQ(std::pair(agent.stops.load(), agent.sessions.load()), agent_calls) << control;
    EXPECT_TRUE(line.empty() || log.Has(LOG_DEBUG, "CServiceHost::ServiceControl", line)) << line;
    EXPECT_TRUE(!messages.empty() || host.Status() == before) << "nothing reported, nothing set";
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
  EXPECT_EQ(seen, (decltype(seen){{{16, kServiceStartPending, 0, 0, 0, 1, 20000}, false},
                                  {{16, kServiceRunning, 199, 0, 0, 0, 0}, false},
                                  {{16, kServiceStopPending, 199, 0, 0, 1, 6000}, false},
                                  {{16, kServiceStopped, 199, 0, 0, 0, 0}, true}}));
  EXPECT_EQ(std::pair(agent_.stops.load(), agent_.sessions.load()), std::pair(2, 1));
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
  EXPECT_EQ(std::pair(returned_at_exit_, exit_codes_), std::pair(true, std::vector<int>{3}));

  struct ThrowingAgent : FakeAgent {
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

// Each run is RunService in a forked child, with an abstract AF_UNIX datagram socket standing in
// for systemd's notify socket: each signal is sent once the reports before it came, then what it
// makes the process report. Signals map to controls and SIGTERM stops with every state notified;
// an inherited ignored SIGINT still stops; an unreachable notify socket ends the process with 1
// (systemd must see the unit fail).
TEST(ServiceProcessTest, SignalsStopTheServiceAndFailuresExitWithOne) {
  const struct Run {
    bool reachable = true;       // the notify socket
    bool ignore_sigint = false;  // inherited as ignored, as a shell's background job has it
    std::vector<std::pair<int, std::vector<std::string>>> steps{};  // signal (0: none), reports
    int exit_code = 0;
  } runs[] = {
      {.steps = {{0, {kStartPending, kRunning}},
                 {SIGHUP, {kRunning}},  // interrogate
                 {SIGTSTP, {}},         // pause: acknowledged, nothing reported
                 {SIGCONT, {kRunning}},
                 {SIGPIPE, {}},  // ignored
                 {SIGTERM, {kStopPending, kStopped}}}},
      {.ignore_sigint = true,
       .steps = {{0, {kStartPending, kRunning}}, {SIGINT, {kStopPending, kStopped}}}},
      {.reachable = false, .exit_code = 1},
  };
  const std::string name = "orv-service-host-test-" + std::to_string(::getpid());
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  name.copy(address.sun_path + 1, sizeof(address.sun_path) - 1);
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  const OBRuntime::UniqueFd receiver(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::bind(receiver.get(), reinterpret_cast<const sockaddr*>(&address), length), 0);
  for (const Run& run : runs) {
    // The child runs the service instead of another image; the object kills and reaps it when
    // the test leaves early.
    orv::test::ChildProcess child("", {}, [&] {
      ::setenv("NOTIFY_SOCKET", ("@" + name + (run.reachable ? "" : "-nobody")).c_str(), 1);
      ::signal(SIGINT, run.ignore_sigint ? SIG_IGN : SIG_DFL);
      FakeAgent agent;
      NotifyOnlyManager manager;
      // exit, not _Exit, when RunService returns: coverage data is written at exit.
      std::exit(RunService(agent, manager, [](int code) { std::_Exit(code); }));
    });
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
    EXPECT_EQ(child.WaitExit(kDeadline), run.exit_code);
  }
}

class RecordingFramework final : public IPlatformFramework {
 public:
  std::atomic<IKdfMessageSink*> sink_{nullptr};  // what the channel delivers to

  OB_STATUSCODE EnableAppFlow() override { return record("enable"); }
  OB_STATUSCODE DisableAppFlow() override { return record("disable"); }
  void UninitializeListener() override { (void)record("listener stopped"); }
  OB_STATUSCODE Initialize(IKdfMessageSink* agent) override {
    sink_ = agent;
    return agent != nullptr ? record("initialize") : kObFailure;
  }
  OB_STATUSCODE Uninitialize() override { return record("uninitialize"); }
  OB_STATUSCODE SetFlowReportInterval(std::uint32_t seconds) override {
    return record("interval " + std::to_string(seconds));
  }
  OB_STATUSCODE NotifyNetworkChange() override { return record("network change"); }

  // The calls made after the first `after`.
  [[nodiscard]] std::vector<std::string> Calls(std::size_t after = 0) const {
    const std::scoped_lock lock(mutex_);
    return {calls_.begin() + static_cast<std::ptrdiff_t>(after), calls_.end()};
  }
  [[nodiscard]] bool WaitForCall(const std::string& call, std::size_t after = 0) const {
    return orv::test::WaitUntil([&] { return std::ranges::count(Calls(after), call) > 0; });
  }

 private:
  OB_STATUSCODE record(const std::string& call) {
    const std::scoped_lock lock(mutex_);
    calls_.push_back(call);
    return kObSuccess;
  }

  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

// Data directories of the test's own; the agent runs on a thread of its own and is stopped when
// the test ends.
class AgentTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (agent_) {
      agent_->Stop();
    }
  }

  void WriteProfile(const std::string& mode) const {
    const auto directory = root_.path() / "programdata/Varno/Varno Ombrix Suite/ORV";
    std::filesystem::create_directories(directory);
    std::ofstream(root_.path() / "staging")
        << "<ORVProfile>\n<CollectorConfiguration>\n<CollectorIP>127.0.0.1</CollectorIP>\n"
           "<Port>9</Port>\n</CollectorConfiguration>\n<CollectionMode>"
        << mode << "</CollectionMode>\n<IPFIXInterval>60</IPFIXInterval>\n</ORVProfile>\n";
    std::filesystem::rename(root_.path() / "staging", directory / "ORV_ServiceProfile.xml");
  }

  orv::test::TempDir root_;
  orv::test::LogCapture log_;
  RecordingFramework framework_;
  std::optional<CORVAgent> agent_;
  std::future<int> result_;  // the main procedure's; waited for before the agent goes
};

// A finished TCP flow from a non-loopback address, as the driver reports it.
std::shared_ptr<KdfFlowData> FinishedFlow(std::uint16_t source_port) {
  auto flow = std::make_shared<KdfFlowData>();
  flow->local = {.port = source_port, .ipv4 = {10, 79, 0, 1}};
  flow->remote = {.port = 443, .ipv4 = {198, 51, 100, 7}};
  flow->protocol = 6;
  flow->pid = 4242;
  flow->report_kind = kKdfReportKindFinal;
  return flow;
}

// Collection follows the profile and the network; finished flows are counted into the statistics
// file once a day of the test's clock has passed; the context offers processes that make flows,
// not those that only started; every stop cleans up in order.
TEST_F(AgentTest, CollectionFollowsProfileAndNetworkFlowsFeedStatisticsAndContextStopsCleanUp) {
  ORV_RERUN_IN_NAMESPACE("-rnm");
  if (const std::string failed = orv::test::PrepareEndpoint("orv-t", "10.79.0"); !failed.empty()) {
    GTEST_SKIP() << failed;
  }
  const std::string base = root_.path().string();
  setenv("PROGRAMDATA", (base + "/programdata").c_str(), 1);
  setenv("ALLUSERSPROFILE", (base + "/allusers").c_str(), 1);
  setenv("TMPDIR", base.c_str(), 1);
  std::atomic<std::int64_t> minutes{0};
  AgentEnvironment environment;
  environment.framework = &framework_;
  environment.statistics_clock = [&minutes] { return std::chrono::minutes(minutes.load()); };
  agent_.emplace(environment);
  result_ = std::async(std::launch::async, [this] { return agent_->MainThreadProc(); });
  ASSERT_TRUE(orv::test::WaitUntil([&] { return log_.Contains("Profile monitor started."); }));
  // No profile: defaults, collection off, the driver told to stop reporting.
  ASSERT_TRUE(log_.Contains("ORV profile is missing, reseting to default values."));
  ASSERT_TRUE(framework_.WaitForCall("disable"));
  EXPECT_EQ(std::ranges::count(framework_.Calls(), "enable"), 0);

  // A profile collecting on trusted networks, on a trusted network: reports every 60 s.
  WriteProfile("trusted");
  ASSERT_TRUE(framework_.WaitForCall("interval 60"));

  // The network becomes untrusted (the VPN module's verdict, pulsed): collection stops.
  std::size_t seen = framework_.Calls().size();
  bool ok = false;
  CInterModuleVPNStateReaderWriter writer(ok, kVpnStateRoleWriter, {});
  bool event_ok = false;
  CInterProcessSync event(kVpnStateRoleWriter, SYNC_OBJECT_EVENT, event_ok, {});
  ASSERT_TRUE(ok && event_ok && writer.SetTndNetworkType(2) && event.SignalAll());
  ASSERT_TRUE(framework_.WaitForCall("disable", seen));

  // Mode all while untrusted: collection on, with the untrusted report interval.
  WriteProfile("all");
  ASSERT_TRUE(framework_.WaitForCall("interval 999", seen));
  // An address added while collecting: the driver is told the network changed.
  seen = framework_.Calls().size();
  ASSERT_EQ(orv::test::RunScript("ip addr add 10.79.0.3/24 dev orv-t0"), "");
  ASSERT_TRUE(framework_.WaitForCall("network change", seen));

  // Finished flows are counted once a day of the test's clock has passed.
  IKdfMessageSink& sink = *framework_.sink_.load();
  const auto file =
      root_.path() / "allusers/Varno/Varno Ombrix Suite/Tellwick/moduledata/ORVPhoneHome.tlw.temp";
  for (std::uint16_t port = 40000; port < 40003; ++port) {
    sink.OnFlowUpdate(FinishedFlow(port));
  }
  minutes = 1440;
  sink.OnFlowUpdate(FinishedFlow(40003));
  EXPECT_THAT(orv::test::ChildProcess::ReadAll(file),
              ::testing::AllOf(::testing::StartsWith("d11:DbFile Sizei"),
                               ::testing::EndsWith("e7:Enabledi1e13:Flows per dayi4ee")));

  orv::test::ContextTestClient client(
      (root_.path() / "programdata/Varno/Varno Ombrix Suite/ORV/ContextProvider.sock").string());
  orv::context::ExpectRestart(client);
  // The client may connect before the agent has attached the provider: rounds go on until
  // something arrives, each with a process that only started and one that made a flow.
  std::optional<OBRuntime::IPC_MESSAGE> message;
  for (std::uint32_t round = 0; !message && round < 100; ++round) {
    sink.OnPidInfo(std::make_shared<KdfPidInfo>(KdfPidInfo{.pid = 3000000 + round}));
    sink.OnFlowUpdate(FinishedFlow(40000));  // process 4242
    message = client.ReceiveMessage(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(message);
  std::uint32_t process_id = 0;
  std::wstring name;
  ASSERT_EQ(orv::context::ReadNetworkAppPayload(message->payload, process_id, name), kObSuccess);
  EXPECT_EQ(process_id, 4242u);

  seen = framework_.Calls().size();
  agent_->Stop();
  ASSERT_EQ(result_.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(result_.get(), 0);
  // The stop's own calls, in order; a network change notice still on its way may come between.
  std::vector<std::string> tail = framework_.Calls(seen);
  std::erase(tail, "network change");
  EXPECT_THAT(tail, ElementsAre("disable", "listener stopped", "uninitialize"));
  EXPECT_TRUE(log_.Contains("ORV service shutdown. Exiting now."));

  // A stop that comes before the loop starts still cleans up in full.
  agent_.reset();  // whatever the first agent still calls on its way out comes before this
  seen = framework_.Calls().size();
  agent_.emplace(environment);
  agent_->Stop();
  EXPECT_EQ(agent_->MainThreadProc(), 0);
  const std::vector<std::string> calls = framework_.Calls(seen);
  ASSERT_GE(calls.size(), 3U);
  EXPECT_EQ(calls.front() + " " + calls.back(), "initialize uninitialize");
}

}  // namespace
