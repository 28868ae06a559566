// The VPN state record's block, lock and writer operations, and the trusted network detector over
// it, against children playing the VPN module (the network monitor's notices are given by hand);
// orv-vpnstate against a detector on the real object names inside a private /dev/shm (user and
// mount namespaces), so a running agent is never touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/network_type.h"
#include "runtime/unique_fd.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/namespace_rerun.h"
#include "support/wait.h"
#include "trust/orv_tnd.h"
#include "trust/vpn_state_reader_writer.h"

namespace orv::test {
namespace {

using Clock = std::chrono::steady_clock;
using Change = std::function<bool(CInterModuleVPNStateReaderWriter&)>;
namespace NetworkMonitor = OBRuntime::NetworkMonitor;

// Sets the tunnel state through the writer's configuration operation.
bool SetTunnelState(CInterModuleVPNStateReaderWriter& writer, std::uint32_t tunnel_state) {
  auto state = std::make_unique<VPNSharedState>();
  if (!writer.GetCurrentState(*state)) {
    return false;
  }
  state->vpn_config.tunnel_state = tunnel_state;
  return writer.SetVpnConfig(state->vpn_config);
}

class RecordingObserver : public IORVNetworkChangeObserver {
 public:
  struct Seen {
    std::vector<std::uint32_t> tunnel_states;
    std::vector<Clock::time_point> type_signals;
    int interface_signals = 0;
  };
  void OnVPNStateChanged(const VPNSharedState& state) override {
    const std::lock_guard lock(mutex_);
    seen_.tunnel_states.push_back(state.vpn_config.tunnel_state);
  }
  void OnTrustedStateChanged() override {
    const std::lock_guard lock(mutex_);
    seen_.type_signals.push_back(Clock::now());
  }
  void OnNetworkTypeChange() override {
    const std::lock_guard lock(mutex_);
    ++seen_.interface_signals;
  }
  Seen seen() {
    const std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  std::mutex mutex_;
  Seen seen_;
};

// Object names of their own for each test, so no other test or running agent is touched.
class TrustTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(tnd_.RegisterForNetworkChange(&observer_), kObSuccess); }
  void TearDown() override {
    EXPECT_EQ(tnd_.Stop(), kObSuccess);
    EXPECT_EQ(tnd_.DeRegisterForNetworkChange(&observer_), kObSuccess);
  }

  // Plays the VPN module in a child process: attaches as writer (which writes the initial record
  // into a blank block), runs change, then pulses the event unless told not to.
  bool Write(const Change& change, bool pulse = true) {
    return RunInChild([&] {
             bool ok = false;
             CInterModuleVPNStateReaderWriter writer(ok, kVpnStateRoleWriter, names_);
             bool event_ok = false;
             CInterProcessSync event(kVpnStateRoleWriter, SYNC_OBJECT_EVENT, event_ok, names_);
             auto state = std::make_unique<VPNSharedState>();
             if (!ok || !event_ok || !writer.GetCurrentState(*state) || !change(writer)) {
               return 1;
             }
             return !pulse || event.SignalAll() ? 0 : 2;
           }) == 0;
  }
  // Writes change, then waits for the type signals to reach signals.
  bool WriteAndWait(const Change& change, std::size_t signals, bool pulse = true) {
    return Write(change, pulse) &&
           WaitUntil([&] { return observer_.seen().type_signals.size() == signals; });
  }
  const VPNSharedState& Last() {
    tnd_.CopyLastVpnState(*last_);
    return *last_;
  }

  static inline int counter_ = 0;
  const OBPlatform::VpnStateObjectNames names_ = OBPlatform::VpnStateObjectNames::WithSuffix(
      "." + std::to_string(::getpid()) + "." + std::to_string(counter_++));
  LogCapture log_;
  NetworkMonitor::CNetworkMonitor monitor_;
  RecordingObserver observer_;
  CORVTND tnd_{names_, &monitor_};
  std::unique_ptr<VPNSharedState> last_ = std::make_unique<VPNSharedState>();
};

TEST_F(TrustTest, TheBlockRefusesBadSizesOutlivesAKilledLockHolderAndWritersSetTheirWords) {
  bool ok = true;
  CSharedMemory too_big(kVpnStateRoleReader, kMaxSharedMemorySize + 1, ok, names_);
  EXPECT_FALSE(ok);
  CSharedMemory memory(kVpnStateRoleReader, kVPNSharedStateSize, ok, names_);
  ASSERT_TRUE(ok);
  EXPECT_EQ(memory.mapping_size(), 159744u);
  std::vector<std::uint8_t> buffer(kVPNSharedStateSize + 10, 0xAB);
  std::uint32_t size = 100;
  EXPECT_FALSE(memory.ReadSharedMemory(size, buffer.data()));
  EXPECT_EQ(size, kVPNSharedStateSize);
  EXPECT_FALSE(memory.ReadSharedMemory(size, nullptr));
  size = kVPNSharedStateSize - 1;
  EXPECT_FALSE(memory.WriteToSharedMemory(buffer.data(), size));
  EXPECT_EQ(size, kVPNSharedStateSize);
  // A larger buffer is fine for reading: the fresh block reads as zeros, the rest is untouched.
  size = static_cast<std::uint32_t>(buffer.size());
  ASSERT_TRUE(memory.ReadSharedMemory(size, buffer.data()));
  EXPECT_EQ(size, kVPNSharedStateSize);
  EXPECT_EQ(buffer[kVPNSharedStateSize - 1], 0);
  EXPECT_EQ(buffer[kVPNSharedStateSize], 0xAB);

  // A child takes the lock, says so through a pipe and waits (never reaching exec) to be killed
  // with it taken. While it lives, reads and writes give up after the lock's time-out.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const OBRuntime::UniqueFd read_end(fds[0]);
  const OBRuntime::UniqueFd write_end(fds[1]);
  {
    const ChildProcess holder("/", {}, [&] {
      CInterProcessSync lock(kVpnStateRoleWriter, SYNC_OBJECT_MUTEX, ok, names_);
      const char taken = ok && lock.Lock() ? 'y' : 'n';
      static_cast<void>(::write(fds[1], &taken, 1));
      ::pause();
    });
    char taken = 'n';
    ASSERT_TRUE(::read(fds[0], &taken, 1) == 1 && taken == 'y');
    EXPECT_FALSE(memory.ReadSharedMemory(size, buffer.data()));
    EXPECT_FALSE(memory.WriteToSharedMemory(buffer.data(), size));
  }
  auto record = std::make_unique<VPNSharedState>();
  ASSERT_TRUE(Write([](auto& writer) { return writer.SetTndNetworkType(9); }));
  EXPECT_TRUE(memory.ReadSharedMemory(size, record.get()));
  EXPECT_EQ(record->tnd_network_type, 9u);

  // Each operation sets its word and zeroes the change words.
  struct Case {
    bool (*operation)(CInterModuleVPNStateReaderWriter&);
    std::uint32_t expected[5];  // the first five words afterwards, from 11, 12, 13, 14, 15
  } const cases[] = {
      {[](auto& w) { return w.SetNetworkState(21); }, {21, 0, 0, 14, 15}},
      {[](auto& w) { return w.SetNetworkInterfaceChange(22); }, {11, 22, 0, 14, 15}},
      {[](auto& w) { return w.SetUserSessionChange(23); }, {11, 0, 23, 14, 15}},
      {[](auto& w) { return w.SetTndNetworkType(24); }, {11, 0, 0, 24, 15}},
      {[](auto& w) { return SetTunnelState(w, 25); }, {11, 0, 0, 14, 25}},
  };
  CInterModuleVPNStateReaderWriter writer(ok, kVpnStateRoleWriter, names_);
  ASSERT_TRUE(ok);
  for (const Case& c : cases) {
    const std::uint32_t before[5] = {11, 12, 13, 14, 15};
    std::memcpy(record.get(), before, sizeof(before));
    ASSERT_TRUE(memory.WriteToSharedMemory(record.get(), size));
    ASSERT_TRUE(writer.GetCurrentState(*record));  // refreshes the writer's own copy
    ASSERT_TRUE(c.operation(writer));
    ASSERT_TRUE(memory.ReadSharedMemory(size, record.get()));
    EXPECT_EQ(std::memcmp(record.get(), c.expected, sizeof(c.expected)), 0) << c.expected[0];
  }
}

TEST_F(TrustTest, AnUnwrittenBlockIsTrustedTheInitialRecordNotAConnectedTunnelIsAndStopIsPrompt) {
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNKNOWN);
  EXPECT_EQ(tnd_.RegisterForNetworkChange(nullptr), kObBadArgument);
  ASSERT_EQ(tnd_.Start(), kObSuccess);
  EXPECT_EQ(tnd_.Start(), kObAlreadyInitialised);
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
  EXPECT_FALSE(tnd_.IsVpnConnected());
  const Clock::time_point before_write = Clock::now();
  ASSERT_TRUE(WriteAndWait([](auto& w) { return w.is_writer(); }, 1));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNTRUSTED);
  EXPECT_TRUE(tnd_.IsVpnDisconnected());
  // The type signal waits 500 ms after the change was noticed, which follows the write.
  EXPECT_GE(observer_.seen().type_signals[0] - before_write, std::chrono::milliseconds(500));
  EXPECT_EQ(observer_.seen().tunnel_states, std::vector<std::uint32_t>{4});
  EXPECT_EQ(Last().vpn_config.ipv4.header_word, 5u);  // the rest of the writer's initial record
  EXPECT_EQ(Last().vpn_config.ipv6.header_word, 5u);

  ASSERT_TRUE(WriteAndWait([](auto& w) { return SetTunnelState(w, 1); }, 2));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
  EXPECT_TRUE(tnd_.IsVpnConnected());
  EXPECT_EQ(observer_.seen().tunnel_states, (std::vector<std::uint32_t>{4, 1}));
  EXPECT_EQ(Last().tnd_network_type, 2u);

  // A tunnel state change that keeps the type signals only the VPN state.
  ASSERT_TRUE(Write([](auto& w) { return w.SetTndNetworkType(0); }));
  ASSERT_TRUE(Write([](auto& w) { return SetTunnelState(w, 2); }));
  ASSERT_TRUE(WaitUntil([&] { return observer_.seen().tunnel_states.size() == 3; }));
  EXPECT_EQ(observer_.seen().tunnel_states.back(), 2u);
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
  EXPECT_EQ(observer_.seen().type_signals.size(), 2u);

  // Back to the initial record: Stop may come during the 500 ms pause before the type signal;
  // it cuts that short and keeps the type.
  ASSERT_TRUE(Write([](auto& w) { return w.SetTndNetworkType(2) && SetTunnelState(w, 4); }));
  ASSERT_TRUE(WaitUntil([&] { return tnd_.IsVpnDisconnected(); }));
  const Clock::time_point begin = Clock::now();
  EXPECT_EQ(tnd_.Stop(), kObSuccess);
  EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(1500));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNTRUSTED);
  EXPECT_EQ(tnd_.Stop(), kObSuccess);
  // The detector was the block's last user, so the block went with it: started again, it finds
  // a block no one has written again.
  ASSERT_EQ(tnd_.Start(), kObSuccess);
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
  EXPECT_FALSE(tnd_.IsVpnDisconnected());
}

TEST_F(TrustTest, AnUnreachableNetworkIsUntrustedAndAnInterfaceDownCountsOnlyWithoutATunnel) {
  ASSERT_EQ(tnd_.Start(), kObSuccess);
  tnd_.OnTrustedStateChange(0);
  EXPECT_TRUE(log_.Contains("Trusted state change notified."));
  tnd_.OnInterfaceChange(NetworkMonitor::kInterfaceUp);
  tnd_.OnInterfaceChange(NetworkMonitor::kInterfaceDown);
  EXPECT_EQ(observer_.seen().interface_signals, 2);
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);  // no re-evaluation yet

  // Unreachable now: the verdict "trusted" is not enough...
  ASSERT_TRUE(WriteAndWait([](auto& w) { return w.SetTndNetworkType(0); }, 1));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNTRUSTED);

  // ...but with the tunnel in state 2 an interface going down leaves reachability alone.
  tnd_.OnNetworkStateChange(NetworkMonitor::kNetworkReachable);
  ASSERT_TRUE(WriteAndWait([](auto& w) { return SetTunnelState(w, 2); }, 2));
  ASSERT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
  tnd_.OnInterfaceChange(NetworkMonitor::kInterfaceDown);
  ASSERT_TRUE(Write([](auto& w) { return w.SetNetworkState(5); }));
  ASSERT_TRUE(WaitUntil([&] { return Last().network_state == 5; }));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);

  // The monitor's own verdict counts the same way.
  tnd_.OnNetworkStateChange(NetworkMonitor::kNetworkNotReachable);
  ASSERT_TRUE(WriteAndWait([](auto& w) { return w.SetNetworkState(6); }, 3));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNTRUSTED);
}

TEST_F(TrustTest, NeitherAMissedPulseNorAnEventLeftSetHidesChangesOrSpins) {
  ASSERT_EQ(tnd_.Start(), kObSuccess);
  // No pulse: the change is found by the reader's re-read at its next 500 ms time-out.
  ASSERT_TRUE(WriteAndWait([](auto&) { return true; }, 1, false));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNTRUSTED);

  bool ok = false;
  CInterProcessSync event(kVpnStateRoleWriter, SYNC_OBJECT_EVENT, ok, names_);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(event.Signal());  // set and never reset, as by a writer that died in its pulse
  timespec before{};
  timespec after{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
  const auto cpu = std::chrono::seconds(after.tv_sec - before.tv_sec) +
                   std::chrono::nanoseconds(after.tv_nsec - before.tv_nsec);
  EXPECT_LT(cpu, std::chrono::milliseconds(100));        // a spinning reader takes the second
  EXPECT_EQ(observer_.seen().tunnel_states.size(), 1u);  // nothing changed
  ASSERT_TRUE(WriteAndWait([](auto& w) { return w.SetTndNetworkType(0); }, 2, false));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
}

TEST_F(TrustTest, ObjectsOfAForeignLayoutAreRefusedAndLeaveTheTypeUnknown) {
  for (const std::string& name : {names_.lock, names_.event}) {
    // A one-byte object under one of our names, as something foreign could leave it.
    const OBRuntime::UniqueFd foreign(::shm_open(name.c_str(), O_RDWR | O_CREAT, 0600));
    EXPECT_TRUE(foreign.valid() && ::ftruncate(foreign.get(), 1) == 0);
    EXPECT_EQ(tnd_.Start(), kObFailure) << name;
    EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNKNOWN);
    ::shm_unlink(name.c_str());
  }
  EXPECT_TRUE(log_.Contains("Unable to create the lock - " + std::to_string(EPROTO)));
  EXPECT_TRUE(log_.Contains("Unable to fetch the named event - " + std::to_string(EPROTO)));
  tnd_.OnVPNModuleStateChanged();
  EXPECT_TRUE(log_.Contains("Inter Module VPN State Reader not initialized"));
}

NamespaceRun Tool(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), ORV_VPNSTATE_PATH);
  return RunCollecting(arguments, {});
}

TEST(VpnStateToolTest, RejectsBadUsage) {
  const std::vector<std::vector<std::string>> cases = {{},
                                                       {"frob"},
                                                       {"show", "extra"},
                                                       {"set", "--bogus", "1"},
                                                       {"set", "--tnd-type"},
                                                       {"set", "--tnd-type="},
                                                       {"set", "--tunnel-state", "1x"},
                                                       {"set", "--tnd-type", "1", "--tnd-type=2"}};
  for (const auto& arguments : cases) {
    const NamespaceRun run = Tool(arguments);
    EXPECT_EQ(run.exit_status, 2) << run.output;
    EXPECT_NE(run.output.find("usage: orv-vpnstate"), std::string::npos);
  }
}

TEST(VpnStateToolTest, DrivesTheDetectorThroughTheSharedState) {
  ORV_RERUN_IN_NAMESPACE("-rmn");
  if (const std::string failed = orv::test::MountPrivateShm(); !failed.empty()) {
    GTEST_SKIP() << failed;
  }
  NetworkMonitor::CNetworkMonitor monitor;
  CORVTND tnd({}, &monitor);
  ASSERT_EQ(tnd.Start(), kObSuccess);
  EXPECT_EQ(tnd.GetNetworkType(), NETWORK_TYPE_TRUSTED);

  NamespaceRun run = Tool({"set", "--tnd-type", "2"});
  ASSERT_EQ(run.exit_status, 0) << run.output;
  // The writer's initial record, with the type asked for (which it starts with anyway).
  EXPECT_EQ(run.output,
            "network_state=1\nnetwork_interface_change=0\nuser_session_change=0\n"
            "tnd_network_type=2\ntunnel_state=4\n");
  ASSERT_TRUE(WaitUntil([&] { return tnd.GetNetworkType() == NETWORK_TYPE_UNTRUSTED; }));

  ASSERT_EQ(Tool({"set", "--tunnel-state=1", "--network-state", "7"}).exit_status, 0);
  ASSERT_TRUE(WaitUntil([&] { return tnd.IsVpnConnected(); }));
  EXPECT_EQ(tnd.GetNetworkType(), NETWORK_TYPE_TRUSTED);
  run = Tool({"show"});
  ASSERT_EQ(run.exit_status, 0) << run.output;
  EXPECT_EQ(run.output,
            "network_state=7\nnetwork_interface_change=0\nuser_session_change=0\n"
            "tnd_network_type=2\ntunnel_state=1\n");
  EXPECT_EQ(tnd.Stop(), kObSuccess);
}

}  // namespace
}  // namespace orv::test
