#include "runtime/network_monitor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "support/namespace_rerun.h"
#include "support/wait.h"

namespace OBRuntime::NetworkMonitor {
namespace {

using internal::NetlinkEvent;

// Records every callback in order: "up", "down", "reachable", "unreachable", "trusted".
class RecordingObserver : public INetworkChangeObserver {
 public:
  void OnInterfaceChange(int state) override { Add(state == kInterfaceDown ? "down" : "up"); }
  void OnTrustedStateChange(int /*state*/) override { Add("trusted"); }
  void OnNetworkStateChange(int state) override {
    Add(state == kNetworkReachable ? "reachable" : "unreachable");
  }

  std::vector<std::string> Events() {
    const std::lock_guard lock(mutex_);
    return events_;
  }
  // Waits until, after the first mark events, interface_event was seen count times and the
  // latest event is network_state: the state reported after the batch that carried them.
  bool WaitFor(std::size_t mark, const std::string& interface_event, std::ptrdiff_t count,
               const std::string& network_state) {
    return orv::test::WaitUntil([&] {
      const std::vector<std::string> events = Events();
      return events.size() > mark && events.back() == network_state &&
             std::count(events.begin() + static_cast<std::ptrdiff_t>(mark), events.end(),
                        interface_event) >= count;
    });
  }

 private:
  void Add(const char* event) {
    const std::lock_guard lock(mutex_);
    events_.emplace_back(event);
  }

  std::mutex mutex_;
  std::vector<std::string> events_;  // guarded by mutex_
};

// Runs an ip(8) command, which lives in sbin (often not in an ordinary user's PATH).
orv::test::NamespaceRun RunIp(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(),
                   ::access("/usr/sbin/ip", X_OK) == 0 ? "/usr/sbin/ip" : "/sbin/ip");
  return orv::test::RunCollecting(arguments, {});
}

bool Ip(const std::vector<std::string>& arguments) {
  const orv::test::NamespaceRun run = RunIp(arguments);
  EXPECT_EQ(run.exit_status, 0) << "ip command failed: " << run.output;
  return run.exit_status == 0;
}

TEST(NetworkMonitorParserTest, ParsesALinkMessageAndStopsSafelyAtTruncatedOrMalformedInput) {
  // RTM_NEWLINK for link 3 with IFF_UP and an IFLA_OPERSTATE attribute of IF_OPER_UP.
  const std::vector<std::uint8_t> whole = {
      40, 0, 0,  0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // nlmsghdr: length, type
      0,  0, 0,  0, 3,  0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,  // ifinfomsg: index, flags
      5,  0, 16, 0, 6,  0, 0, 0};                         // rtattr: length, type, value, padding
  std::vector<NetlinkEvent> events = internal::ParseNetlinkBuffer(whole);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, NetlinkEvent::Kind::kLinkNew);
  EXPECT_EQ(events[0].link.index, 3);
  EXPECT_TRUE(events[0].link.up);
  // A header claiming less than itself, and an attribute running past its message (operstate
  // unread: UNKNOWN without IFF_RUNNING is down).
  for (const std::size_t at : {0, 32}) {
    std::vector<std::uint8_t> bad = whole;
    bad[at] = at == 0 ? 4 : 200;
    events = internal::ParseNetlinkBuffer(bad);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind,
              at == 0 ? NetlinkEvent::Kind::kOverrun : NetlinkEvent::Kind::kLinkNew);
    EXPECT_FALSE(events[0].link.up);
  }
}

TEST(NetworkMonitorTest, ReportsLinksAndReachabilityButNotTheBaselineInNamespace) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  if (RunIp({"-V"}).exit_status != 0) {
    GTEST_SKIP() << "ip(8) from iproute2 is not installed";
  }
  ASSERT_TRUE(Ip({"link", "add", "v0", "type", "veth", "peer", "name", "v1"}));
  ASSERT_TRUE(Ip({"link", "set", "v0", "up"}) && Ip({"link", "set", "v1", "up"}));
  ASSERT_TRUE(Ip({"addr", "add", "10.200.0.1/24", "dev", "v0"}));
  ASSERT_TRUE(Ip({"route", "add", "default", "via", "10.200.0.2"}));
  // Carrier comes up asynchronously; the baseline must be taken once both ends are up.
  ASSERT_TRUE(orv::test::WaitUntil([] {
    const std::string links = RunIp({"-o", "link", "show"}).output;
    return links.find("state UP") != links.rfind("state UP");  // lo is down
  })) << "veth carrier never came up";
  RecordingObserver observer;  // outlives the monitor's thread
  CNetworkMonitor monitor;
  ASSERT_EQ(monitor.RegisterForNetworkChange(&observer), kObSuccess);
  ASSERT_EQ(monitor.Start(), kObSuccess);
  EXPECT_EQ(monitor.Start(), kObAlreadyRunning);
  EXPECT_EQ(monitor.RegisterForNetworkChange(nullptr), kObBadArgument);

  // Loopback is ignored and the baseline is not reported: the route's removal comes first.
  ASSERT_TRUE(Ip({"link", "set", "lo", "up"}) && Ip({"route", "del", "default"}));
  ASSERT_TRUE(observer.WaitFor(0, "up", 0, "unreachable"));
  EXPECT_EQ(observer.Events(), std::vector<std::string>{"unreachable"});
  // A new address on an up link is an interface change; a default route over it makes the
  // network reachable.
  const std::size_t mark = observer.Events().size();
  ASSERT_TRUE(Ip({"addr", "add", "10.200.0.3/24", "dev", "v0"}) &&
              Ip({"route", "add", "default", "via", "10.200.0.2"}));
  ASSERT_TRUE(observer.WaitFor(mark, "up", 1, "reachable"));
  // The peer going down takes v0's carrier: both down, and the route no longer leads out;
  // carrier back: the kernel kept the route; deleting the pair removes both links and the route.
  const std::tuple<std::vector<std::string>, const char*, const char*> steps[] = {
      {{"link", "set", "v1", "down"}, "down", "unreachable"},
      {{"link", "set", "v1", "up"}, "up", "reachable"},
      {{"link", "del", "v0"}, "down", "unreachable"},
  };
  for (const auto& [command, event, network] : steps) {
    const std::size_t before = observer.Events().size();
    ASSERT_TRUE(Ip(command));
    ASSERT_TRUE(observer.WaitFor(before, event, 2, network)) << command[2];
  }
  ASSERT_EQ(monitor.DeRegisterForNetworkChange(&observer), kObSuccess);
  EXPECT_EQ(monitor.Stop(), kObSuccess);
  EXPECT_EQ(monitor.Stop(), kObSuccess);
  EXPECT_EQ(monitor.Start(), kObSuccess);  // again after a stop
  const std::vector<std::string> events = observer.Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "trusted"), 0);
}

}  // namespace
}  // namespace OBRuntime::NetworkMonitor
