// The trusted network detector over the VPN state record, written by children playing the VPN
// module, and the network monitor's notices, given by hand.
#include "trust/orv_tnd.h"

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "common/network_type.h"
#include "vpn_state_test_util.h"

namespace {

using orv::test::WaitUntil;
using orv::test::WriteInChild;
using Clock = std::chrono::steady_clock;
namespace NetworkMonitor = OBRuntime::NetworkMonitor;

class RecordingObserver : public IORVNetworkChangeObserver {
 public:
  void OnVPNStateChanged(const VPNSharedState& state) override {
    const std::lock_guard lock(mutex_);
    tunnel_states_.push_back(state.vpn_config.tunnel_state);
  }
  void OnTrustedStateChanged() override {
    const std::lock_guard lock(mutex_);
    type_signals_.push_back(Clock::now());
  }
  void OnNetworkTypeChange() override { ++interface_signals; }
  // Copies of what came so far.
  std::vector<std::uint32_t> tunnel_states() { return Copy(tunnel_states_); }
  std::vector<Clock::time_point> type_signals() { return Copy(type_signals_); }

  std::atomic<int> interface_signals{0};

 private:
  template <typename T>
  std::vector<T> Copy(const std::vector<T>& list) {
    const std::lock_guard lock(mutex_);
    return list;
  }

  std::mutex mutex_;
  std::vector<std::uint32_t> tunnel_states_;
  std::vector<Clock::time_point> type_signals_;
};

class ORVTNDTest : public orv::test::VpnStateTest {
 protected:
  void SetUp() override { ASSERT_EQ(tnd_.RegisterForNetworkChange(&observer_), kObSuccess); }
  void TearDown() override {
    EXPECT_EQ(tnd_.Stop(), kObSuccess);
    EXPECT_EQ(tnd_.DeRegisterForNetworkChange(&observer_), kObSuccess);
  }

  // Has a child write with change, then waits for the type signals to reach signals.
  bool WriteAndWait(const std::function<bool(CInterModuleVPNStateReaderWriter&)>& change,
                    std::size_t signals, bool pulse = true) {
    return WriteInChild(names_, change, pulse) == 0 &&
           WaitUntil([&] { return observer_.type_signals().size() == signals; });
  }

  OBRuntime::NetworkMonitor::CNetworkMonitor monitor_;
  RecordingObserver observer_;
  CORVTND tnd_{names_, &monitor_};
};

TEST_F(ORVTNDTest, AnUnwrittenBlockIsTrustedTheInitialRecordNotAConnectedTunnelIsAndStopIsPrompt) {
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
  EXPECT_GE(observer_.type_signals()[0] - before_write, std::chrono::milliseconds(500));
  EXPECT_EQ(observer_.tunnel_states(), std::vector<std::uint32_t>{4});
  auto last = std::make_unique<VPNSharedState>();
  tnd_.CopyLastVpnState(*last);
  EXPECT_EQ(last->vpn_config.ipv4.header_word, 5u);  // the rest of the writer's initial record
  EXPECT_EQ(last->vpn_config.ipv6.header_word, 5u);

  ASSERT_TRUE(WriteAndWait([](auto& w) { return orv::test::SetTunnelState(w, 1); }, 2));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
  EXPECT_TRUE(tnd_.IsVpnConnected());
  EXPECT_EQ(observer_.tunnel_states(), (std::vector<std::uint32_t>{4, 1}));
  tnd_.CopyLastVpnState(*last);
  EXPECT_EQ(last->tnd_network_type, 2u);

  // A tunnel state change that keeps the type signals only the VPN state.
  ASSERT_EQ(WriteInChild(names_, [](auto& w) { return w.SetTndNetworkType(0); }), 0);
  ASSERT_EQ(WriteInChild(names_, [](auto& w) { return orv::test::SetTunnelState(w, 2); }), 0);
  ASSERT_TRUE(WaitUntil([&] { return observer_.tunnel_states().size() == 3; }));
  EXPECT_EQ(observer_.tunnel_states().back(), 2u);
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
  EXPECT_EQ(observer_.type_signals().size(), 2u);

  // Back to the initial record: Stop may come during the 500 ms pause before the type signal;
  // it cuts that short and keeps the type.
  ASSERT_EQ(WriteInChild(
                names_,
                [](auto& w) { return w.SetTndNetworkType(2) && orv::test::SetTunnelState(w, 4); }),
            0);
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

TEST_F(ORVTNDTest, AnUnreachableNetworkIsUntrustedAndAnInterfaceDownCountsOnlyWithoutATunnel) {
  ASSERT_EQ(tnd_.Start(), kObSuccess);
  tnd_.OnTrustedStateChange(0);
  EXPECT_TRUE(log_.Contains("Trusted state change notified."));
  tnd_.OnInterfaceChange(NetworkMonitor::kInterfaceUp);
  tnd_.OnInterfaceChange(NetworkMonitor::kInterfaceDown);
  EXPECT_EQ(observer_.interface_signals, 2);
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);  // no re-evaluation yet

  // Unreachable now: the verdict "trusted" is not enough...
  ASSERT_TRUE(WriteAndWait([](auto& w) { return w.SetTndNetworkType(0); }, 1));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNTRUSTED);

  // ...but with the tunnel in state 2 an interface going down leaves reachability alone.
  tnd_.OnNetworkStateChange(NetworkMonitor::kNetworkReachable);
  ASSERT_TRUE(WriteAndWait([](auto& w) { return orv::test::SetTunnelState(w, 2); }, 2));
  ASSERT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
  tnd_.OnInterfaceChange(NetworkMonitor::kInterfaceDown);
  ASSERT_EQ(WriteInChild(names_, [](auto& w) { return w.SetNetworkState(5); }), 0);
  ASSERT_TRUE(WaitUntil([&] {
    auto last = std::make_unique<VPNSharedState>();
    tnd_.CopyLastVpnState(*last);
    return last->network_state == 5;
  }));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);

  // The monitor's own verdict counts the same way.
  tnd_.OnNetworkStateChange(NetworkMonitor::kNetworkNotReachable);
  ASSERT_TRUE(WriteAndWait([](auto& w) { return w.SetNetworkState(6); }, 3));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNTRUSTED);
}

TEST_F(ORVTNDTest, NeitherAMissedPulseNorAnEventLeftSetHidesChangesOrSpins) {
  ASSERT_EQ(tnd_.Start(), kObSuccess);
  // No pulse: the change is found by the reader's re-read at its next 500 ms time-out.
  ASSERT_EQ(WriteInChild(
                names_, [](auto&) { return true; }, false),
            0);
  ASSERT_TRUE(WaitUntil([&] { return observer_.type_signals().size() == 1; }));
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
  EXPECT_LT(cpu, std::chrono::milliseconds(100));   // a spinning reader takes the whole second
  EXPECT_EQ(observer_.tunnel_states().size(), 1u);  // nothing changed
  ASSERT_TRUE(WriteAndWait([](auto& w) { return w.SetTndNetworkType(0); }, 2, false));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
}

TEST_F(ORVTNDTest, ObjectsOfAForeignLayoutAreRefusedAndLeaveTheTypeUnknown) {
  for (const std::string& name : {names_.lock, names_.event}) {
    const orv::test::ForeignObject foreign(name);
    EXPECT_EQ(tnd_.Start(), kObFailure) << name;
    EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNKNOWN);
  }
  EXPECT_TRUE(log_.Contains("Unable to create the lock - " + std::to_string(EPROTO)));
  EXPECT_TRUE(log_.Contains("Unable to fetch the named event - " + std::to_string(EPROTO)));
  tnd_.OnVPNModuleStateChanged();
  EXPECT_TRUE(log_.Contains("Inter Module VPN State Reader not initialized"));
}

}  // namespace
