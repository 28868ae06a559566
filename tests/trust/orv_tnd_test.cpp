#include "trust/orv_tnd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "common/network_type.h"
#include "runtime/unique_fd.h"
#include "support/log_capture.h"
#include "vpn_state_test_util.h"

namespace {

using orv::test::WaitUntil;
using orv::test::WriteInChild;
using Clock = std::chrono::steady_clock;

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
  void OnNetworkTypeChange() override {
    const std::lock_guard lock(mutex_);
    ++interface_signals_;
  }

  std::vector<std::uint32_t> tunnel_states() {
    const std::lock_guard lock(mutex_);
    return tunnel_states_;
  }
  std::vector<Clock::time_point> type_signals() {
    const std::lock_guard lock(mutex_);
    return type_signals_;
  }
  int interface_signals() {
    const std::lock_guard lock(mutex_);
    return interface_signals_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::uint32_t> tunnel_states_;
  std::vector<Clock::time_point> type_signals_;
  int interface_signals_ = 0;
};

class ORVTNDTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(tnd_.RegisterForNetworkChange(&observer_), kObSuccess); }
  void TearDown() override {
    EXPECT_EQ(tnd_.Stop(), kObSuccess);
    EXPECT_EQ(tnd_.DeRegisterForNetworkChange(&observer_), kObSuccess);
  }

  // Number of network-type signals so far.
  std::size_t TypeSignals() { return observer_.type_signals().size(); }

  orv::test::LogCapture log_;
  const OBPlatform::VpnStateObjectNames names_ = orv::test::UniqueVpnStateNames();
  OBRuntime::NetworkMonitor::CNetworkMonitor monitor_;
  RecordingObserver observer_;
  CORVTND tnd_{names_, &monitor_};
};

TEST_F(ORVTNDTest, AnUnwrittenBlockReadsAsTrustedWhileReachable) {
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNKNOWN);
  ASSERT_EQ(tnd_.Start(), kObSuccess);
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
  EXPECT_FALSE(tnd_.IsVpnConnected());
  EXPECT_FALSE(tnd_.IsVpnDisconnected());

  EXPECT_EQ(tnd_.Start(), kObAlreadyInitialised);
  EXPECT_TRUE(log_.Has(LOG_ERROR, "CORVTND::Start", "ORVTND already initialized"));
  EXPECT_EQ(tnd_.RegisterForNetworkChange(nullptr), kObBadArgument);
}

TEST_F(ORVTNDTest, TheWritersInitialValuesReadAsUntrustedHalfASecondLater) {
  ASSERT_EQ(tnd_.Start(), kObSuccess);
  const Clock::time_point before_write = Clock::now();
  ASSERT_EQ(WriteInChild(names_, [](auto&) { return true; }), 0);
  ASSERT_TRUE(WaitUntil([&] { return TypeSignals() == 1; }));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNTRUSTED);
  EXPECT_TRUE(tnd_.IsVpnDisconnected());
  // The type signal waits 500 ms after the change was noticed, which follows the write.
  EXPECT_GE(observer_.type_signals()[0] - before_write, std::chrono::milliseconds(500));
  EXPECT_EQ(observer_.tunnel_states(), std::vector<std::uint32_t>{4});
  EXPECT_TRUE(log_.Has(LOG_DEBUG, "CORVTND::OnVPNModuleStateChanged", "Noticed change in network"));
  EXPECT_TRUE(
      log_.Has(LOG_DEBUG, "CORVTND::OnVPNModuleStateChanged", "change in vpn tunnel state"));
}

TEST_F(ORVTNDTest, AConnectedTunnelReadsAsTrustedWithTheVpnSignal) {
  ASSERT_EQ(tnd_.Start(), kObSuccess);
  ASSERT_EQ(WriteInChild(names_, [](auto&) { return true; }), 0);
  ASSERT_TRUE(WaitUntil([&] { return TypeSignals() == 1; }));
  ASSERT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNTRUSTED);

  ASSERT_EQ(WriteInChild(names_, [](auto& w) { return orv::test::SetTunnelState(w, 1); }), 0);
  ASSERT_TRUE(WaitUntil([&] { return TypeSignals() == 2; }));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
  EXPECT_TRUE(tnd_.IsVpnConnected());
  EXPECT_EQ(observer_.tunnel_states(), (std::vector<std::uint32_t>{4, 1}));
  auto last = std::make_unique<VPNSharedState>();
  tnd_.CopyLastVpnState(*last);
  EXPECT_EQ(last->tnd_network_type, 2u);

  // A tunnel state change that keeps the type signals only the VPN state.
  ASSERT_EQ(WriteInChild(names_, [](auto& w) { return w.SetTndNetworkType(0); }), 0);
  ASSERT_EQ(WriteInChild(names_, [](auto& w) { return orv::test::SetTunnelState(w, 2); }), 0);
  ASSERT_TRUE(WaitUntil([&] { return observer_.tunnel_states().size() == 3; }));
  EXPECT_EQ(observer_.tunnel_states().back(), 2u);
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
  EXPECT_EQ(TypeSignals(), 2u);
}

TEST_F(ORVTNDTest, AnUnreachableNetworkIsUntrustedWhateverTheVerdict) {
  ASSERT_EQ(tnd_.Start(), kObSuccess);
  tnd_.OnNetworkStateChange(OBRuntime::NetworkMonitor::kNetworkNotReachable);
  EXPECT_TRUE(log_.Has(LOG_DEBUG, "CORVTND::OnNetworkStateChange",
                       "Network State change notified - Network Not Reachable."));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);  // no re-evaluation yet

  ASSERT_EQ(WriteInChild(names_, [](auto& w) { return w.SetTndNetworkType(0); }), 0);
  ASSERT_TRUE(WaitUntil([&] { return TypeSignals() == 1; }));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNTRUSTED);

  tnd_.OnNetworkStateChange(OBRuntime::NetworkMonitor::kNetworkReachable);
  ASSERT_EQ(WriteInChild(names_, [](auto& w) { return w.SetNetworkState(3); }), 0);
  ASSERT_TRUE(WaitUntil([&] { return TypeSignals() == 2; }));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
}

TEST_F(ORVTNDTest, AnInterfaceGoingDownCountsOnlyWithoutATunnel) {
  ASSERT_EQ(tnd_.Start(), kObSuccess);
  tnd_.OnTrustedStateChange(0);
  EXPECT_TRUE(
      log_.Has(LOG_DEBUG, "CORVTND::OnTrustedStateChange", "Trusted state change notified."));
  tnd_.OnInterfaceChange(OBRuntime::NetworkMonitor::kInterfaceUp);
  EXPECT_TRUE(log_.Has(LOG_DEBUG, "CORVTND::OnInterfaceChange",
                       "Network Interface change notified - Interface up."));
  tnd_.OnInterfaceChange(OBRuntime::NetworkMonitor::kInterfaceDown);
  EXPECT_TRUE(log_.Has(LOG_DEBUG, "CORVTND::OnInterfaceChange",
                       "Network Interface change notified - Interface down."));
  EXPECT_EQ(observer_.interface_signals(), 2);
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);  // only the flag changed

  // Unreachable now: the verdict "trusted" is not enough...
  ASSERT_EQ(WriteInChild(names_, [](auto& w) { return w.SetTndNetworkType(0); }), 0);
  ASSERT_TRUE(WaitUntil([&] { return TypeSignals() == 1; }));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNTRUSTED);

  // ...but with the tunnel in state 2 an interface going down leaves reachability alone.
  tnd_.OnNetworkStateChange(OBRuntime::NetworkMonitor::kNetworkReachable);
  ASSERT_EQ(WriteInChild(names_, [](auto& w) { return orv::test::SetTunnelState(w, 2); }), 0);
  ASSERT_TRUE(WaitUntil([&] { return TypeSignals() == 2; }));
  ASSERT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
  tnd_.OnInterfaceChange(OBRuntime::NetworkMonitor::kInterfaceDown);
  ASSERT_EQ(WriteInChild(names_, [](auto& w) { return w.SetNetworkState(5); }), 0);
  ASSERT_TRUE(WaitUntil([&] {
    auto last = std::make_unique<VPNSharedState>();
    tnd_.CopyLastVpnState(*last);
    return last->network_state == 5;
  }));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
}

TEST_F(ORVTNDTest, StopReturnsPromptlyAndKeepsTheLastType) {
  ASSERT_EQ(tnd_.Start(), kObSuccess);
  ASSERT_EQ(WriteInChild(names_, [](auto&) { return true; }), 0);
  ASSERT_TRUE(WaitUntil([&] { return tnd_.IsVpnDisconnected(); }));
  // Stop may come during the 500 ms pause before the type signal; it cuts that short.
  const Clock::time_point begin = Clock::now();
  EXPECT_EQ(tnd_.Stop(), kObSuccess);
  EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(1500));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNTRUSTED);
  EXPECT_EQ(tnd_.Stop(), kObSuccess);
  // The detector was the block's last user, so the block went with it: started again, it finds
  // a block no one has written.
  ASSERT_EQ(tnd_.Start(), kObSuccess);
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_TRUSTED);
  EXPECT_FALSE(tnd_.IsVpnDisconnected());
}

TEST_F(ORVTNDTest, AStartThatCannotReadTheBlockLeavesTheTypeUnknown) {
  // The lock's name is held by an object of another layout, so no reader can be made.
  const OBRuntime::UniqueFd fd(::shm_open(names_.lock.c_str(), O_RDWR | O_CREAT, 0600));
  ASSERT_TRUE(fd.valid());
  ASSERT_EQ(::ftruncate(fd.get(), 1), 0);
  EXPECT_EQ(tnd_.Start(), kObFailure);
  EXPECT_TRUE(log_.Has(LOG_ERROR, "CORVTND::Start",
                       "Not able to create an instance of the Inter Module VPN State Reader"));
  EXPECT_EQ(tnd_.GetNetworkType(), NETWORK_TYPE_UNKNOWN);
  tnd_.OnVPNModuleStateChanged();
  EXPECT_TRUE(log_.Has(LOG_ERROR, "CORVTND::getCurrentVPNState",
                       "Inter Module VPN State Reader not initialized"));
  EXPECT_TRUE(
      log_.Has(LOG_ERROR, "CORVTND::OnVPNModuleStateChanged", "Unable to fetch current VPN state"));
  ::shm_unlink(names_.lock.c_str());
}

}  // namespace
