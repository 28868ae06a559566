// The flow reporter with the kernel flow source, on the real kernel, as root, inside a network
// namespace of the test's own. The programs see every process on the machine, so each test
// looks only at the flows of its own processes. Skipped where the programs cannot load.
#include "driver/kernel_flow_source.h"

#include <sys/wait.h>

#include <array>
#include <atomic>
#include <climits>
#include <map>
#include <set>
#include <thread>

#include "reporter_fixture.h"
#include "support/child_process.h"

namespace {

using namespace orv::test::reporter;

// Runs in the namespace: sets up the links and skips unless the kernel flow source loads.
#define ORV_REQUIRE_KERNEL_SOURCE()                                          \
  do {                                                                       \
    ORV_RERUN_IN_NAMESPACE("-n");                                            \
    std::string why_not;                                                     \
    if (orv::driver::KernelFlowSource::Open(why_not) == nullptr) {           \
      GTEST_SKIP() << "the kernel flow source cannot run here: " << why_not; \
    }                                                                        \
    ASSERT_TRUE(SetUpLinks());                                               \
  } while (false)

// Serves short exchanges on its own thread: TCP takes 1000 bytes and answers 500, then closes;
// UDP answers each 100-byte datagram with 200 bytes.
class EchoServer {
 public:
  EchoServer() : thread_([this] { serve(); }) {}
  ~EchoServer() {
    stop_ = true;
    thread_.join();
  }
  const UniqueFd tcp = Bound(SOCK_STREAM, kServerAddress);
  const UniqueFd udp = Bound(SOCK_DGRAM, kServerAddress);

 private:
  void serve() {
    while (!stop_) {
      pollfd fds[2] = {{tcp.get(), POLLIN, 0}, {udp.get(), POLLIN, 0}};
      if (::poll(fds, 2, 50) <= 0) {
        continue;
      }
      if (fds[0].revents & POLLIN) {
        const UniqueFd peer(::accept4(tcp.get(), nullptr, nullptr, SOCK_CLOEXEC));
        // The client closes first, so its port stays out of use while in TIME-WAIT.
        if (ReceiveAll(peer.get(), 1000) && SendAll(peer.get(), 500)) {
          char end = 0;
          static_cast<void>(::recv(peer.get(), &end, 1, 0));
        }
      }
      sockaddr_storage from{};
      socklen_t length = sizeof(from);
      std::array<char, 200> buffer{};
      if ((fds[1].revents & POLLIN) &&
          ::recvfrom(udp.get(), buffer.data(), 100, 0, reinterpret_cast<sockaddr*>(&from),
                     &length) == 100) {
        ::sendto(udp.get(), buffer.data(), buffer.size(), 0,
                 reinterpret_cast<const sockaddr*>(&from), length);
      }
    }
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Final reports of pid's flows over protocol.
std::vector<KdfFlowData> FinalsOf(const std::vector<KdfFlowData>& seen, std::uint32_t pid,
                                  std::uint32_t protocol) {
  std::vector<KdfFlowData> finals;
  std::copy_if(seen.begin(), seen.end(), std::back_inserter(finals), [&](const KdfFlowData& flow) {
    return flow.pid == pid && flow.protocol == protocol && flow.report_kind == kKdfReportKindFinal;
  });
  return finals;
}

std::u16string Utf16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

TEST(KernelFlowSource, ReportsEveryShortFlowOfAChildWithExactBytes) {
  ORV_REQUIRE_KERNEL_SOURCE();
  Channel channel;
  const std::unique_ptr<IOrvApi> api = StartReporter(channel, 0);
  const EchoServer server;
  const std::uint16_t tcp_port = LocalPort(server.tcp.get());
  const std::uint16_t udp_port = LocalPort(server.udp.get());
  const auto own = static_cast<std::uint32_t>(::getpid());
  // A flow of this process first, so its image is known by inode and device when the child's
  // flows are looked up after it exited (a process gone before any process running its image
  // was resolved is reported without one).
  const UniqueFd primer_listener = Bound(SOCK_STREAM, kServerAddress);
  const std::uint16_t primer_port = LocalPort(primer_listener.get());
  ConnectTo(SOCK_STREAM, primer_port).Reset();
  ASSERT_TRUE(channel
                  .WaitForFlow([&](const KdfFlowData& flow) {
                    return flow.pid == own && flow.remote.port == primer_port &&
                           flow.report_kind == kKdfReportKindFinal;
                  })
                  .has_value());
  constexpr int kExchanges = 200;
  const pid_t child = ::fork();
  if (child == 0) {
    int failures = 0;
    for (int i = 0; i < kExchanges; ++i) {
      {
        const UniqueFd tcp = ConnectTo(SOCK_STREAM, tcp_port);
        failures += !(SendAll(tcp.get(), 1000) && ReceiveAll(tcp.get(), 500));
      }
      const UniqueFd udp = ConnectTo(SOCK_DGRAM, udp_port);
      failures += !(SendAll(udp.get(), 100) && ::recv(udp.get(), nullptr, 0, MSG_TRUNC) == 200);
    }
    ::_exit(std::min(failures, 100));
  }
  const auto pid = static_cast<std::uint32_t>(child);
  std::vector<KdfFlowData> seen;
  // Waits for all of them, and ends content with 99.5% after the deadline.
  static_cast<void>(channel.ReceiveFlows(
      [&](const KdfFlowData& flow) {
        seen.push_back(flow);
        return FinalsOf(seen, pid, IPPROTO_TCP).size() == kExchanges &&
               FinalsOf(seen, pid, IPPROTO_UDP).size() == kExchanges &&
               FinalsOf(seen, own, IPPROTO_TCP).size() == kExchanges;
      },
      std::chrono::seconds(30)));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);

  const std::u16string image = Utf16(orv::test::ChildProcess::ImageOf("/proc/self/exe"));
  const struct {
    std::uint32_t pid, protocol;
    std::uint8_t direction;
    std::uint64_t bytes_in, bytes_out;
    std::uint16_t remote_port;  // 0: any
  } expectations[] = {{pid, IPPROTO_TCP, 0, 500, 1000, tcp_port},
                      {pid, IPPROTO_UDP, 0, 200, 100, udp_port},
                      {own, IPPROTO_TCP, 1, 1000, 500, 0}};
  for (const auto& expected : expectations) {
    SCOPED_TRACE(testing::Message() << "pid " << expected.pid << " protocol " << expected.protocol);
    const auto finals = FinalsOf(seen, expected.pid, expected.protocol);
    EXPECT_GE(finals.size() * 1000, kExchanges * 995u);
    for (const KdfFlowData& flow : finals) {
      EXPECT_EQ(flow.direction, expected.direction);
      EXPECT_EQ(flow.bytes_in, expected.bytes_in);
      EXPECT_EQ(flow.bytes_out, expected.bytes_out);
      EXPECT_EQ(flow.process_path, image);
      const std::uint8_t host = expected.direction != 0 ? 1 : 2;
      EXPECT_EQ(flow.local.ipv4, (std::array<std::uint8_t, 4>{10, 211, 0, host}));
      EXPECT_TRUE(expected.remote_port == 0 || flow.remote.port == expected.remote_port);
    }
  }
  EXPECT_EQ(api->Uninitialize(), kNgcSuccess);
}

TEST(KernelFlowSource, CountsUdpPairsAndLargeTransfersExactly) {
  ORV_REQUIRE_KERNEL_SOURCE();
  ASSERT_TRUE(Ip({"addr", "add", "10.211.0.3/24", "dev", "fr0"}) &&
              Ip({"addr", "add", "10.211.0.4/24", "dev", "fr0"}));
  // A listener older than the source: its connections are still this process's.
  const UniqueFd listener = Bound(SOCK_STREAM, kServerAddress);
  Channel channel;
  const std::unique_ptr<IOrvApi> api = StartReporter(channel, 0);
  const auto own = static_cast<std::uint32_t>(::getpid());

  // One unconnected socket, three servers that each answer 5 bytes: three flows.
  UniqueFd sender = Bound(SOCK_DGRAM, kClientAddress);
  const std::uint16_t sender_port = LocalPort(sender.get());
  const std::array<const char*, 3> servers = {kServerAddress, "10.211.0.3", "10.211.0.4"};
  for (std::size_t i = 0; i < servers.size(); ++i) {
    const UniqueFd receiver = Bound(SOCK_DGRAM, servers[i], 5353);
    const sockaddr_in target = Ipv4(servers[i], 5353);
    const std::vector<char> data(10 * (i + 1), 'x');
    ASSERT_EQ(::sendto(sender.get(), data.data(), data.size(), 0,
                       reinterpret_cast<const sockaddr*>(&target), sizeof(target)),
              static_cast<ssize_t>(data.size()));
    sockaddr_storage from{};
    socklen_t length = sizeof(from);
    ASSERT_GT(::recvfrom(receiver.get(), nullptr, 0, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from),
                         &length),
              0);
    ASSERT_EQ(::sendto(receiver.get(), "hello", 5, 0, reinterpret_cast<sockaddr*>(&from), length),
              5);
    ASSERT_EQ(::recv(sender.get(), nullptr, 0, MSG_TRUNC), 5);
  }
  sender.Reset();  // released: every pair ends

  // 100 MB one way over one connection.
  constexpr std::size_t kLarge = 100u << 20;
  std::uint16_t client_port = 0;
  std::thread sending([&] {
    const UniqueFd client = ConnectTo(SOCK_STREAM, LocalPort(listener.get()));
    client_port = LocalPort(client.get());
    EXPECT_TRUE(SendAll(client.get(), kLarge));
  });
  {
    const UniqueFd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_TRUE(ReceiveAll(peer.get(), kLarge));
    sending.join();
  }

  std::map<std::uint8_t, KdfFlowData> pairs;  // the UDP flows by the remote's last address byte
  std::vector<KdfFlowData> tcp;
  EXPECT_TRUE(channel.ReceiveFlows([&](const KdfFlowData& flow) {
    if (flow.pid == own && flow.report_kind == kKdfReportKindFinal) {
      if (flow.protocol == IPPROTO_TCP) {
        tcp.push_back(flow);
      } else if (flow.local.port == sender_port) {
        pairs[flow.remote.ipv4[3]] = flow;
      }
    }
    return pairs.size() == 3 && tcp.size() == 2;
  }));
  for (std::uint8_t last : {1, 3, 4}) {
    ASSERT_TRUE(pairs.contains(last)) << "no flow to 10.211.0." << int{last};
    EXPECT_EQ(pairs.at(last).bytes_out, last == 1 ? 10u : last == 3 ? 20u : 30u);
    EXPECT_EQ(pairs.at(last).bytes_in, 5u);
    EXPECT_EQ(pairs.at(last).remote.port, 5353);
  }
  for (const KdfFlowData& flow : tcp) {
    const bool client = flow.local.port == client_port;
    EXPECT_EQ(flow.bytes_out, client ? kLarge : 0u);
    EXPECT_EQ(flow.bytes_in, client ? 0u : kLarge);
    EXPECT_EQ(flow.direction, client ? 0 : 1);
  }
  EXPECT_EQ(api->Uninitialize(), kNgcSuccess);
}

TEST(KernelFlowSource, FlowsAfterAnExecBelongToTheNewImage) {
  ORV_REQUIRE_KERNEL_SOURCE();
  char bash[PATH_MAX] = {};
  ASSERT_NE(::realpath("/bin/bash", bash), nullptr) << "the test needs bash";
  Channel channel;
  const std::unique_ptr<IOrvApi> api = StartReporter(channel, 0);
  const UniqueFd listener = Bound(SOCK_STREAM, kServerAddress);
  const std::string port = std::to_string(LocalPort(listener.get()));
  const std::string script = "exec 3<>/dev/tcp/" + std::string(kServerAddress) + "/" + port +
                             "; printf abc >&3; exec 3>&-; sleep 30; exit 0";
  // Connects as this test's image, then becomes bash, which connects again and stays (a process
  // gone, or running another image, when looked up is reported without one).
  const orv::test::ChildProcess child("/bin/bash", {"bash", "-c", script}, [&] {
    const UniqueFd fd = ConnectTo(SOCK_STREAM, LocalPort(listener.get()));
    static_cast<void>(::write(fd.get(), "x", 1));
  });
  const auto pid = static_cast<std::uint32_t>(child.pid());
  std::vector<KdfFlowData> finals;
  EXPECT_TRUE(channel.ReceiveFlows([&](const KdfFlowData& flow) {
    if (flow.pid == pid && flow.protocol == IPPROTO_TCP &&
        flow.report_kind == kKdfReportKindFinal) {
      finals.push_back(flow);
    }
    return finals.size() == 2;
  }));
  std::multiset<std::uint64_t> sizes;
  for (const KdfFlowData& flow : finals) {
    sizes.insert(flow.bytes_out);
    // The flow made by bash is bash's; the one made before the exec is never taken for bash's.
    EXPECT_EQ(flow.process_path == Utf16(bash), flow.bytes_out == 3) << flow.bytes_out;
  }
  EXPECT_EQ(sizes, (std::multiset<std::uint64_t>{1, 3}));
  EXPECT_EQ(api->Uninitialize(), kNgcSuccess);
}

}  // namespace
