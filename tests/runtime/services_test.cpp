// The context provider's socket service and the network monitor, each over a live kernel socket.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "runtime/byte_order.h"
#include "runtime/context_provider_service_base.h"
#include "runtime/network_monitor.h"
#include "support/child_process.h"
#include "support/context_provider_test_client.h"
#include "support/log_capture.h"
#include "support/namespace_rerun.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace OBRuntime {
namespace {

using orv::test::ContextTestClient;
using orv::test::WaitUntil;

// Calls a fake received, in order, safe to read while another thread adds to them.
class CallLog {
 public:
  void Record(std::string call) {
    const std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  // The calls so far that start with kind.
  [[nodiscard]] std::vector<std::string> Calls(const std::string& kind = "") {
    const std::lock_guard lock(mutex_);
    std::vector<std::string> calls;
    std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(calls),
                 [&](const std::string& call) { return call.starts_with(kind); });
    return calls;
  }
  [[nodiscard]] bool WaitFor(const std::string& kind, std::size_t count) {
    return WaitUntil([&] { return Calls(kind).size() == count; });
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> calls_;  // guarded by mutex_
};

// Records the base's calls: "start", "stop <identity>", "message <type>".
class RecordingProvider : public CContextProviderServiceBase, public CallLog {
 public:
  RecordingProvider(ContextProviderOptions options, OB_STATUSCODE& status)
      : CContextProviderServiceBase(4, 0, {5}, 32557, status, 5, std::move(options)) {}
  ~RecordingProvider() override { Shutdown(); }

 protected:
  void start() override { Record("start"); }
  void stop(std::int32_t identity) override { Record("stop " + std::to_string(identity)); }
  void OnNewMessageReceived(const IPC_MESSAGE& message) override {
    Record("message " + std::to_string(message.type));
  }
};

using Bytes = std::vector<std::uint8_t>;

// Version 3, type, payload length and one part, each 32 bits little-endian.
Bytes Header(std::uint32_t type, std::uint32_t length) {
  Bytes header = {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  StoreLe<std::uint32_t>(header.data() + 4, type);
  StoreLe<std::uint32_t>(header.data() + 8, length);
  return header;
}

class ContextProviderServiceBaseTest : public ::testing::Test {
 protected:
  std::unique_ptr<RecordingProvider> MakeProvider(std::size_t max_backlog_bytes = 1 << 20) {
    OB_STATUSCODE status = kObFailure;
    auto provider = std::make_unique<RecordingProvider>(
        ContextProviderOptions{.socket_path = path_, .max_backlog_bytes = max_backlog_bytes},
        status);
    EXPECT_EQ(status, kObSuccess);
    EXPECT_EQ(provider->Listen(), kObSuccess);
    return provider;
  }

  orv::test::TempDir dir_;
  const std::string path_ = (dir_.path() / "ContextProvider.sock").string();
  orv::test::LogCapture log_;
};

TEST(IpcMessageTest, EncodesHeaderAndPayloadAndRejectsMalformedPackets) {
  IPC_MESSAGE message{.type = 2002, .payload_length = 3, .payload = {1, 2, 3}};
  Bytes packet;
  ASSERT_EQ(EncodeIpcMessage(message, packet), kObSuccess);
  const Bytes expected = {3, 0, 0, 0, 0xd2, 0x07, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 1, 2, 3};
  EXPECT_EQ(packet, expected);
  IPC_MESSAGE decoded;
  ASSERT_EQ(DecodeIpcMessage(packet, packet.size(), decoded), kObSuccess);
  EXPECT_EQ(std::tie(decoded.type, decoded.part_count, decoded.payload),
            std::tuple(2002u, 1u, message.payload));
  message.payload_length = 4;  // disagrees with the payload
  EXPECT_EQ(EncodeIpcMessage(message, packet), kObBadArgument);
  message.payload.assign(kIpcMaxPayloadSize + 1, 0);
  message.payload_length = static_cast<std::uint32_t>(message.payload.size());
  EXPECT_EQ(EncodeIpcMessage(message, packet), kObBadArgument);

  // The length as recv reported it: past the buffer when the packet was cut.
  const std::tuple<Bytes, std::size_t, const char*> cases[] = {
      {{}, 0, "shorter than the 16-byte header"},
      {Header(3000, 1), 16, "its header gives a payload of 1 bytes"},
      {expected, 18, "its header gives a payload of 3 bytes"},
      {{2, 0, 0, 0, 0xb8, 0x0b, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}, 16, "version 2, expected 3"},
      {Header(3000, 0), kIpcMaxPacketSize + 1, "larger than 65536 bytes"},
  };
  for (const auto& [bytes, length, logged] : cases) {
    orv::test::LogCapture log;
    Bytes buffer = bytes;
    buffer.resize(std::max(bytes.size(), std::min(length, kIpcMaxPacketSize)));
    EXPECT_EQ(DecodeIpcMessage(buffer, length, decoded), kObBadArgument) << logged;
    EXPECT_TRUE(log.Contains(logged)) << logged;
  }
  EXPECT_TRUE(IsContextPeerAllowed(0, 1000) && IsContextPeerAllowed(1000, 1000));
  EXPECT_FALSE(IsContextPeerAllowed(1001, 1000) || IsContextPeerAllowed(1000, 0));
}

TEST_F(ContextProviderServiceBaseTest, ConnectionsStartHangUpsStopAndMessagesReachEveryPeer) {
  auto provider = MakeProvider();
  EXPECT_FALSE(provider->ArePeersConnected());
  ContextTestClient first(path_);
  ASSERT_TRUE(provider->WaitFor("start", 1));
  ContextTestClient second(path_);
  ASSERT_TRUE(provider->WaitFor("start", 2));
  const IPC_MESSAGE message{.type = 3001, .payload = {}};
  ASSERT_EQ(provider->SendMessageToAllPeers(message), kObSuccess);
  EXPECT_EQ(first.Receive(), Header(3001, 0));
  EXPECT_EQ(second.Receive(), Header(3001, 0));

  // Bad packets, one cut by recv, are dropped; the connection stays and later messages arrive.
  Bytes oversized = Header(3000, kIpcMaxPayloadSize + 1);
  oversized.resize(kIpcMaxPacketSize + 1);
  ASSERT_TRUE(first.SendRaw({3, 0, 0, 0}) && first.SendRaw(oversized));
  ASSERT_TRUE(first.SendMessage(3000, {9}));
  ASSERT_TRUE(provider->WaitFor("message", 1));
  EXPECT_EQ(provider->Calls("message"), std::vector<std::string>{"message 3000"});
  EXPECT_TRUE(log_.Contains("Dropped a context message of 65537 bytes: larger than 65536 bytes"));

  first.Close();
  ASSERT_TRUE(provider->WaitFor("stop", 1));
  EXPECT_EQ(provider->Calls("stop"), std::vector<std::string>{"stop 0"});
  // Removed after stop returned.
  EXPECT_TRUE(WaitUntil([&] { return provider->DisconnectPeer(0) == kObNotFound; }));
  EXPECT_TRUE(provider->ArePeersConnected());
  EXPECT_EQ(provider->DisconnectPeer(1), kObSuccess);
  EXPECT_TRUE(second.WaitForEof());
  EXPECT_FALSE(provider->ArePeersConnected());
  EXPECT_EQ(provider->SendMessageToAllPeers(message), kObSuccess);  // nobody to send to

  ContextTestClient third(path_);
  ASSERT_TRUE(provider->WaitFor("start", 3));
  provider->Shutdown();
  EXPECT_TRUE(third.WaitForEof());
  EXPECT_EQ(provider->Calls("stop").size(), 1u);  // shutting down calls no stop
}

TEST_F(ContextProviderServiceBaseTest,
       SocketFileIsPrivateReplacedOnlyWhenStaleAndRemovedAtShutdown) {
  ASSERT_EQ(::mknod(path_.c_str(), S_IFSOCK | 0600, 0), 0);  // left behind by a dead process
  auto provider = MakeProvider();
  struct stat info {};
  ASSERT_EQ(::lstat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & (S_IFMT | 0777), S_IFSOCK | 0600u);
  EXPECT_EQ(provider->Listen(), kObAlreadyRunning);

  OB_STATUSCODE status = kObFailure;
  RecordingProvider rival({.socket_path = path_}, status);
  EXPECT_EQ(rival.Listen(), kObAlreadyRunning);  // someone listens: the file is not taken
  // The rival's probe was a connection that ended at once.
  ASSERT_TRUE(provider->WaitFor("stop", 1));
  provider->Shutdown();
  EXPECT_FALSE(std::filesystem::exists(path_));

  std::ofstream(path_) << "not a socket";
  EXPECT_EQ(rival.Listen(), kObFailure);
  EXPECT_TRUE(std::filesystem::is_regular_file(path_));
  EXPECT_TRUE(log_.Contains("exists and is not a socket; left alone"));
  RecordingProvider too_long({.socket_path = "/tmp/" + std::string(120, 'x')}, status);
  EXPECT_EQ(too_long.Listen(), kObBadArgument);
}

TEST_F(ContextProviderServiceBaseTest, RefusesAPeerOfAnotherUid) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to run a peer under another uid; IsContextPeerAllowed is tested";
  }
  auto provider = MakeProvider();
  // Let the other uid reach the socket, so that only the credential check can refuse it.
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::all);
  ASSERT_EQ(::chmod(path_.c_str(), 0666), 0);
  EXPECT_EQ(orv::test::RunInChild([&] {
              if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
                return 3;
              }
              ContextTestClient intruder(path_);
              return !intruder.connected() ? 4 : intruder.WaitForEof() ? 0 : 5;
            }),
            0);  // connected, then closed at once
  EXPECT_TRUE(log_.Contains("uid 65534: only root and uid 0 may connect"));
  EXPECT_TRUE(provider->Calls("start").empty());
  EXPECT_FALSE(provider->ArePeersConnected());
}

TEST_F(ContextProviderServiceBaseTest, PeerThatStopsReadingIsDroppedWithoutBlockingOthers) {
  auto provider = MakeProvider(64 * 1024);
  ContextTestClient slow(path_);
  ASSERT_TRUE(provider->WaitFor("start", 1));
  ContextTestClient reader(path_);
  ASSERT_TRUE(provider->WaitFor("start", 2));

  const IPC_MESSAGE message{.type = 2002, .payload_length = 1024, .payload = Bytes(1024, 0)};
  // The slow peer's socket buffer and then its backlog fill; sending never waits on it, and the
  // reader is never held up.
  for (int sent = 0; sent < 5000 && provider->Calls("stop").empty(); ++sent) {
    (void)provider->SendMessageToAllPeers(message);
    const auto packet = reader.Receive();
    ASSERT_TRUE(packet && packet->size() == kIpcHeaderSize + 1024) << "message " << sent;
  }
  ASSERT_TRUE(provider->WaitFor("stop 0", 1));
  EXPECT_TRUE(log_.Contains("Dropping context consumer 0: it stopped reading"));
  EXPECT_TRUE(slow.WaitForEof());
  EXPECT_TRUE(provider->ArePeersConnected());
}

using namespace NetworkMonitor;
using NetworkMonitor::internal::NetlinkEvent;

// Records every callback: "up", "down", "reachable", "unreachable", "trusted".
class RecordingObserver : public INetworkChangeObserver, public CallLog {
 public:
  void OnInterfaceChange(int state) override { Record(state == kInterfaceDown ? "down" : "up"); }
  void OnTrustedStateChange(int /*state*/) override { Record("trusted"); }
  void OnNetworkStateChange(int state) override {
    Record(state == kNetworkReachable ? "reachable" : "unreachable");
  }

  // Waits until, after the first mark events, interface_event was seen count times and the
  // latest event is network_state: the state reported after the batch that carried them.
  bool WaitForBatch(std::size_t mark, const std::string& interface_event, std::ptrdiff_t count,
                    const std::string& network_state) {
    return WaitUntil([&] {
      const std::vector<std::string> events = Calls();
      return events.size() > mark && events.back() == network_state &&
             std::count(events.begin() + static_cast<std::ptrdiff_t>(mark), events.end(),
                        interface_event) >= count;
    });
  }
};

// Runs commands in sh -e, finding ip(8) in sbin (often not in an ordinary user's PATH); "" when
// they all succeeded, else what they wrote.
std::string Failure(const std::string& commands) {
  const orv::test::NamespaceRun run =
      orv::test::RunCollecting({"sh", "-ec", "PATH=/usr/sbin:/sbin:$PATH\n" + commands});
  return run.exit_status == 0 ? "" : "failed: " + run.output;
}

TEST(NetworkMonitorParserTest, ParsesALinkMessageAndStopsSafelyAtTruncatedOrMalformedInput) {
  // RTM_NEWLINK for link 3 with IFF_UP and an IFLA_OPERSTATE attribute of IF_OPER_UP.
  const Bytes whole = {
      40, 0, 0,  0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // nlmsghdr: length, type
      0,  0, 0,  0, 3,  0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,  // ifinfomsg: index, flags
      5,  0, 16, 0, 6,  0, 0, 0};                         // rtattr: length, type, value, padding
  // The kind, link index and state of the one event parsed.
  const auto parse = [](const Bytes& bytes) {
    const std::vector<NetlinkEvent> events = internal::ParseNetlinkBuffer(bytes);
    EXPECT_EQ(events.size(), 1u);
    const NetlinkEvent event = events.empty() ? NetlinkEvent{} : events[0];
    return std::tuple(event.kind, event.link.index, event.link.up);
  };
  EXPECT_EQ(parse(whole), std::tuple(NetlinkEvent::Kind::kLinkNew, 3, true));
  // An attribute running past its message (operstate unread: UNKNOWN without IFF_RUNNING is
  // down), then a header claiming less than itself.
  Bytes bad = whole;
  bad[32] = 200;
  EXPECT_EQ(parse(bad), std::tuple(NetlinkEvent::Kind::kLinkNew, 3, false));
  bad[0] = 4;
  EXPECT_EQ(parse(bad), std::tuple(NetlinkEvent::Kind::kOverrun, 0, false));
}

TEST(NetworkMonitorTest, ReportsLinksAndReachabilityButNotTheBaselineInNamespace) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  if (!Failure("ip -V").empty()) {
    GTEST_SKIP() << "ip(8) from iproute2 is not installed";
  }
  ASSERT_EQ(Failure("ip link add v0 type veth peer name v1; ip link set v0 up; ip link set v1 up\n"
                    "ip addr add 10.200.0.1/24 dev v0; ip route add default via 10.200.0.2"),
            "");
  // Carrier comes up asynchronously; the baseline must be taken once both ends are up (lo is
  // down).
  ASSERT_TRUE(WaitUntil([] {
    return Failure("[ $(ip -o link show | grep -c 'state UP') = 2 ]").empty();
  })) << "veth carrier never came up";
  RecordingObserver observer;  // outlives the monitor's thread
  CNetworkMonitor monitor;
  ASSERT_EQ(monitor.RegisterForNetworkChange(&observer), kObSuccess);
  ASSERT_EQ(monitor.Start(), kObSuccess);
  EXPECT_EQ(monitor.Start(), kObAlreadyRunning);
  EXPECT_EQ(monitor.RegisterForNetworkChange(nullptr), kObBadArgument);

  // Loopback is ignored and the baseline is not reported: the route's removal comes first.
  ASSERT_EQ(Failure("ip link set lo up; ip route del default"), "");
  ASSERT_TRUE(observer.WaitForBatch(0, "up", 0, "unreachable"));
  EXPECT_EQ(observer.Calls(), std::vector<std::string>{"unreachable"});
  // A new address on an up link is an interface change; a default route over it makes the
  // network reachable.
  const std::size_t mark = observer.Calls().size();
  ASSERT_EQ(Failure("ip addr add 10.200.0.3/24 dev v0; ip route add default via 10.200.0.2"), "");
  ASSERT_TRUE(observer.WaitForBatch(mark, "up", 1, "reachable"));
  // The peer going down takes v0's carrier: both down, and the route no longer leads out;
  // carrier back: the kernel kept the route; deleting the pair removes both links and the route.
  for (const auto& [command, event, network] :
       {std::tuple{"ip link set v1 down", "down", "unreachable"},
        {"ip link set v1 up", "up", "reachable"},
        {"ip link del v0", "down", "unreachable"}}) {
    const std::size_t before = observer.Calls().size();
    ASSERT_EQ(Failure(command), "");
    ASSERT_TRUE(observer.WaitForBatch(before, event, 2, network)) << command;
  }
  ASSERT_EQ(monitor.DeRegisterForNetworkChange(&observer), kObSuccess);
  EXPECT_EQ(monitor.Stop(), kObSuccess);
  EXPECT_EQ(monitor.Stop(), kObSuccess);
  EXPECT_EQ(monitor.Start(), kObSuccess);  // again after a stop
  const std::vector<std::string> events = observer.Calls();
  EXPECT_EQ(std::count(events.begin(), events.end(), "trusted"), 0);
}

}  // namespace
}  // namespace OBRuntime
