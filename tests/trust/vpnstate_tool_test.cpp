// orv-vpnstate against a detector in the test process, on the real object names inside a private
// /dev/shm (user and mount namespaces), so a running agent is never touched.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <string>

#include "common/network_type.h"
#include "support/namespace_rerun.h"
#include "trust/orv_tnd.h"
#include "vpn_state_test_util.h"

namespace {

using orv::test::RunCollecting;
using orv::test::WaitUntil;

orv::test::NamespaceRun Tool(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), ORV_VPNSTATE_PATH);
  return RunCollecting(arguments, {});
}

TEST(VpnStateToolTest, RejectsBadUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frob"},
      {"show", "extra"},
      {"set", "--bogus", "1"},
      {"set", "--tnd-type"},
      {"set", "--tnd-type="},
      {"set", "--tunnel-state", "1x"},
      {"set", "--tnd-type", "1", "--tnd-type=2"},
  };
  for (const auto& arguments : cases) {
    const orv::test::NamespaceRun run = Tool(arguments);
    EXPECT_EQ(run.exit_status, 2) << run.output;
    EXPECT_NE(run.output.find("usage: orv-vpnstate"), std::string::npos);
  }
}

TEST(VpnStateToolTest, DrivesTheDetectorThroughTheSharedState) {
  ORV_RERUN_IN_NAMESPACE("-rmn");
  if (::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
    GTEST_SKIP() << "cannot mount a private /dev/shm: errno " << errno;
  }
  OBRuntime::NetworkMonitor::CNetworkMonitor monitor;
  CORVTND tnd({}, &monitor);
  ASSERT_EQ(tnd.Start(), kObSuccess);
  EXPECT_EQ(tnd.GetNetworkType(), NETWORK_TYPE_TRUSTED);

  orv::test::NamespaceRun run = Tool({"set", "--tnd-type", "2"});
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
