// The agent object in-process, against a recording platform framework, inside namespaces of its
// own (a private /dev/shm for the VPN state, a link with a default route so the network is
// reachable and, with a blank VPN state, trusted).
#include "core/orv_agent.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <ranges>
#include <string>
#include <vector>

#include "context/context_test_support.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/namespace_rerun.h"
#include "support/temp_dir.h"
#include "trust/inter_process_sync.h"
#include "trust/vpn_state_reader_writer.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

constexpr std::chrono::seconds kDeadline(30);

class RecordingFramework final : public IPlatformFramework {
 public:
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

  [[nodiscard]] std::vector<std::string> Calls() const {
    const std::scoped_lock lock(mutex_);
    return calls_;
  }
  // Waits until the calls made after the first `after` include call.
  [[nodiscard]] bool WaitForCall(const std::string& call, std::size_t after = 0) const {
    return orv::test::WaitUntil(
        [&] { return std::ranges::count(Calls() | std::views::drop(after), call) > 0; }, kDeadline);
  }

 private:
  OB_STATUSCODE record(const std::string& call) {
    const std::scoped_lock lock(mutex_);
    calls_.push_back(call);
    return kObSuccess;
  }

  mutable std::mutex mutex_;
  std::vector<std::string> calls_;

 public:
  std::atomic<IKdfMessageSink*> sink_{nullptr};  // what the channel delivers to
};

// Namespaces, a private /dev/shm, a reachable network and data directories of the test's own;
// the agent runs on a thread of its own and is stopped when the test ends.
class AgentTest : public ::testing::Test {
 protected:
  // Empty, or why the test cannot run here.
  [[nodiscard]] std::string Prepare() {
    if (::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
      return "cannot mount a private /dev/shm";
    }
    for (const char* command :
         {"ip link set lo up", "ip link add orv-t0 type veth peer name orv-t1",
          "ip addr add 10.79.0.1/24 dev orv-t0", "ip link set orv-t0 up", "ip link set orv-t1 up",
          "ip route add default via 10.79.0.2 dev orv-t0"}) {
      if (std::system(command) != 0) {
        return std::string("failed: ") + command;
      }
    }
    const std::string base = root_.path().string();
    setenv("PROGRAMDATA", (base + "/programdata").c_str(), 1);
    setenv("ALLUSERSPROFILE", (base + "/allusers").c_str(), 1);
    setenv("TMPDIR", base.c_str(), 1);
    return {};
  }
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
  // Starts the agent's main procedure and waits until it watches the profile.
  void StartAgent(AgentEnvironment environment = {}) {
    environment.framework = &framework_;
    agent_.emplace(std::move(environment));
    result_ = std::async(std::launch::async, [this] { return agent_->MainThreadProc(); });
    ASSERT_TRUE(
        orv::test::WaitUntil([&] { return log_.Contains("Profile monitor started."); }, kDeadline));
  }

  orv::test::TempDir root_;
  orv::test::LogCapture log_;
  RecordingFramework framework_;
  std::optional<CORVAgent> agent_;
  std::future<int> result_;  // the main procedure's; waited for before the agent goes
};

#define PREPARE_AGENT_TEST()                                 \
  ORV_RERUN_IN_NAMESPACE("-rnm");                            \
  if (const std::string error = Prepare(); !error.empty()) { \
    GTEST_SKIP() << error;                                   \
  }

// Plays the VPN module: sets the VPN module's verdict (0 trusted, else untrusted) and pulses.
[[nodiscard]] bool SetVpnVerdict(std::uint32_t tnd_network_type) {
  bool ok = false;
  CInterModuleVPNStateReaderWriter writer(ok, kVpnStateRoleWriter, {});
  bool event_ok = false;
  CInterProcessSync event(kVpnStateRoleWriter, SYNC_OBJECT_EVENT, event_ok, {});
  return ok && event_ok && writer.SetTndNetworkType(tnd_network_type) && event.SignalAll();
}

TEST_F(AgentTest, CollectionFollowsTheProfileAndTheNetworkAndEveryStopCleansUpInOrder) {
  PREPARE_AGENT_TEST();
  // No profile: defaults, collection off, the driver told to stop reporting.
  StartAgent();
  ASSERT_TRUE(log_.Contains("ORV profile is missing, reseting to default values."));
  ASSERT_TRUE(framework_.WaitForCall("disable"));
  EXPECT_THAT(framework_.Calls(), Not(Contains("enable")));

  // A profile collecting on trusted networks, on a trusted network: reports every 60 s.
  WriteProfile("trusted");
  ASSERT_TRUE(framework_.WaitForCall("interval 60"));

  // The network becomes untrusted: collection stops.
  std::size_t seen = framework_.Calls().size();
  ASSERT_TRUE(SetVpnVerdict(2));
  ASSERT_TRUE(framework_.WaitForCall("disable", seen));

  // Mode all while untrusted: collection on, with the untrusted report interval.
  seen = framework_.Calls().size();
  WriteProfile("all");
  ASSERT_TRUE(framework_.WaitForCall("interval 999", seen));

  seen = framework_.Calls().size();
  agent_->Stop();
  ASSERT_EQ(result_.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(result_.get(), 0);
  // The stop's own calls, in order; a network change notice still on its way may come between.
  std::vector<std::string> tail = framework_.Calls();
  tail.erase(tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(seen));
  std::erase(tail, "network change");
  EXPECT_THAT(tail, ElementsAre("disable", "listener stopped", "uninitialize"));
  EXPECT_TRUE(log_.Contains("ORV service shutdown. Exiting now."));

  // A stop that comes before the loop starts still cleans up in full.
  agent_.reset();
  RecordingFramework framework;
  AgentEnvironment environment;
  environment.framework = &framework;
  CORVAgent agent(environment);
  agent.Stop();
  EXPECT_EQ(agent.MainThreadProc(), 0);
  const std::vector<std::string> calls = framework.Calls();
  ASSERT_GE(calls.size(), 3U);
  EXPECT_EQ(calls.front() + " " + calls.back(), "initialize uninitialize");
}

// A finished TCP flow from a non-loopback address, as the driver reports it.
std::shared_ptr<KdfFlowData> FinishedFlow(std::uint16_t source_port) {
  auto flow = std::make_shared<KdfFlowData>();
  flow->protocol = 6;
  flow->local.port = source_port;
  (void)inet_pton(AF_INET, "10.79.0.1", flow->local.ipv4.data());
  flow->remote.port = 443;
  (void)inet_pton(AF_INET, "198.51.100.7", flow->remote.ipv4.data());
  flow->pid = 4242;
  flow->report_kind = kKdfReportKindFinal;
  return flow;
}

// Finished flows are counted into the statistics file once a day of the test's clock has passed;
// the context offers processes that make flows, not those that only started.
TEST_F(AgentTest, FlowsFeedTheDailyStatisticsAndTheContextOffersOnlyProcessesThatMakeFlows) {
  PREPARE_AGENT_TEST();
  std::atomic<std::int64_t> minutes{0};
  WriteProfile("all");
  AgentEnvironment environment;
  environment.statistics_clock = [&minutes] { return std::chrono::minutes(minutes.load()); };
  StartAgent(environment);
  IKdfMessageSink& sink = *framework_.sink_.load();

  const auto file =
      root_.path() / "allusers/Varno/Varno Ombrix Suite/Tellwick/moduledata/ORVPhoneHome.tlw.temp";
  for (std::uint16_t port = 40000; port < 40003; ++port) {
    sink.OnFlowUpdate(FinishedFlow(port));
  }
  EXPECT_FALSE(std::filesystem::exists(file)) << "nothing is written before a period has passed";
  minutes = 1440;
  sink.OnFlowUpdate(FinishedFlow(40003));
  const std::string text = orv::test::ChildProcess::ReadAll(file);
  EXPECT_TRUE(text.starts_with("d11:DbFile Sizei")) << text;
  EXPECT_TRUE(text.ends_with("e7:Enabledi1e13:Flows per dayi4ee")) << text;

  orv::test::ContextTestClient client(
      (root_.path() / "programdata/Varno/Varno Ombrix Suite/ORV/ContextProvider.sock").string());
  ASSERT_TRUE(client.connected());
  orv::context::ExpectRestart(client);
  // The client may connect before the agent has attached the provider: rounds go on until
  // something arrives, each with a process that only started and one that made a flow.
  std::optional<OBRuntime::IPC_MESSAGE> message;
  for (std::uint32_t round = 0; !message && round < 100; ++round) {
    auto started = std::make_shared<KdfPidInfo>();
    started->pid = 3000000 + round;
    sink.OnPidInfo(started);
    sink.OnFlowUpdate(FinishedFlow(40000));  // process 4242
    message = client.ReceiveMessage(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(message);
  std::uint32_t process_id = 0;
  std::wstring name;
  ASSERT_EQ(orv::context::ReadNetworkAppPayload(message->payload, process_id, name), kObSuccess);
  EXPECT_EQ(process_id, 4242u);
}

}  // namespace
