// The flow reporter with the kernel flow source, on the real kernel, as root, inside a network
// namespace of the test's own. The programs see every process on the machine, so the test looks
// only at the flows of its own processes. Skipped where the programs cannot load.
#include "driver/kernel_flow_source.h"

#include <sys/wait.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "reporter_fixture.h"
#include "support/child_process.h"

namespace {

using namespace orv::test::reporter;

std::u16string Utf16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// A child's short exchanges, both ends its own: TCP sends 1000 bytes and is answered 500, UDP
// sends 100 and is answered 200. Exit status: the number of failed exchanges.
int ShortExchanges(int count) {
  const UniqueFd listener = Bound(SOCK_STREAM, kServerAddress);
  const UniqueFd udp_server = Bound(SOCK_DGRAM, kServerAddress);
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    UniqueFd client = ConnectTo(SOCK_STREAM, LocalPort(listener.get()));
    const UniqueFd server(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    failures += !(SendAll(client.get(), 1000) && ReceiveAll(server.get(), 1000) &&
                  SendAll(server.get(), 500) && ReceiveAll(client.get(), 500));
    client.Reset();  // the client closes first, so the server's port stays free
    const UniqueFd udp = ConnectTo(SOCK_DGRAM, LocalPort(udp_server.get()));
    sockaddr_storage from{};
    socklen_t length = sizeof(from);
    std::array<char, 200> buffer{};
    failures += !(SendAll(udp.get(), 100) &&
                  ::recvfrom(udp_server.get(), buffer.data(), buffer.size(), 0,
                             reinterpret_cast<sockaddr*>(&from), &length) == 100 &&
                  ::sendto(udp_server.get(), buffer.data(), 200, 0,
                           reinterpret_cast<const sockaddr*>(&from), length) == 200 &&
                  ::recv(udp.get(), nullptr, 0, MSG_TRUNC) == 200);
  }
  return std::min(failures, 100);
}

TEST(KernelFlowSource, OwnsEveryFlowWithExactBytesAcrossExitExecAndOlderSockets) {
  ORV_RERUN_IN_NAMESPACE("-n");
  std::string why_not;
  if (orv::driver::KernelFlowSource::Open(why_not) == nullptr) {
    GTEST_SKIP() << "the kernel flow source cannot run here: " << why_not;
  }
  ASSERT_TRUE(SetUpLinks() && Ip({"addr", "add", "10.211.0.3/24", "dev", "fr0"}));
  // A listener older than the source: its connections are still this process's.
  const UniqueFd listener = Bound(SOCK_STREAM, kServerAddress);
  Channel channel;
  const std::unique_ptr<IOrvApi> api = StartReporter(channel, 0);
  const auto own = static_cast<std::uint32_t>(::getpid());
  std::vector<KdfFlowData> finals;
  std::map<std::pair<std::uint32_t, std::uint8_t>, int> counts;  // by protocol and local host
  const auto collect = [&](std::uint32_t pid, const std::function<bool()>& done) {
    return channel.ReceiveFlows(
        [&](const KdfFlowData& flow) {
          if (flow.pid == pid && flow.report_kind == kKdfReportKindFinal) {
            finals.push_back(flow);
            ++counts[{flow.protocol, flow.local.ipv4[3]}];
          }
          return done();
        },
        std::chrono::seconds(30));
  };

  // One unconnected socket, two servers that each answer 5 bytes: two flows.
  UniqueFd sender = Bound(SOCK_DGRAM, kClientAddress);
  const std::uint16_t sender_port = LocalPort(sender.get());
  for (const char* server : {kServerAddress, "10.211.0.3"}) {
    const UniqueFd receiver = Bound(SOCK_DGRAM, server, 5353);
    const sockaddr_in target = Ipv4(server, 5353);
    const std::size_t size = server == kServerAddress ? 10 : 20;
    const std::vector<char> data(size, 'x');
    ASSERT_EQ(::sendto(sender.get(), data.data(), size, 0,
                       reinterpret_cast<const sockaddr*>(&target), sizeof(target)),
              static_cast<ssize_t>(size));
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

  // 16 MiB one way over a connection to the older listener.
  constexpr std::size_t kLarge = 16u << 20;
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
  // Both ends and the sender's two pairs (the receivers' pairs may come too).
  std::map<std::uint8_t, KdfFlowData> pairs;  // the sender's flows by the remote's last byte
  std::vector<KdfFlowData> tcp;
  EXPECT_TRUE(channel.ReceiveFlows([&](const KdfFlowData& flow) {
    if (flow.pid == own && flow.report_kind == kKdfReportKindFinal) {
      if (flow.protocol == IPPROTO_TCP) {
        tcp.push_back(flow);
      } else if (flow.local.port == sender_port) {
        pairs[flow.remote.ipv4[3]] = flow;
      }
    }
    return pairs.size() == 2 && tcp.size() == 2;
  }));
  for (const std::uint8_t last : {1, 3}) {
    ASSERT_TRUE(pairs.contains(last)) << "no flow to 10.211.0." << int{last};
    EXPECT_EQ(pairs.at(last).bytes_out, last == 1 ? 10u : 20u);
    EXPECT_EQ(pairs.at(last).bytes_in, 5u);
    EXPECT_EQ(pairs.at(last).remote.port, 5353);
  }
  for (const KdfFlowData& flow : tcp) {
    const bool client = flow.local.port == client_port;
    EXPECT_EQ(flow.bytes_out, client ? kLarge : 0u);
    EXPECT_EQ(flow.bytes_in, client ? 0u : kLarge);
    EXPECT_EQ(flow.direction, client ? 0 : 1);
  }

  // This image is now known by inode and device, so a child gone before its flows are looked up
  // still gets it: every flow of its short exchanges, both ends, with exact bytes (the UDP
  // server's pairs are left out: a client port used again joins an ended exchange's pair).
  constexpr int kExchanges = 100;
  const pid_t child = ::fork();
  if (child == 0) {
    ::_exit(ShortExchanges(kExchanges));
  }
  const std::pair<std::uint32_t, std::uint8_t> kinds[] = {
      {IPPROTO_TCP, 2}, {IPPROTO_TCP, 1}, {IPPROTO_UDP, 2}};
  static_cast<void>(collect(static_cast<std::uint32_t>(child), [&] {
    return std::ranges::all_of(kinds, [&](const auto& kind) { return counts[kind] == kExchanges; });
  }));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  const std::u16string image = Utf16(orv::test::ChildProcess::ImageOf("/proc/self/exe"));
  for (const KdfFlowData& flow : finals) {
    const bool client = flow.local.ipv4[3] == 2;
    if (flow.protocol == IPPROTO_UDP && !client) {
      continue;
    }
    SCOPED_TRACE(testing::Message() << "protocol " << flow.protocol << " client " << client);
    EXPECT_EQ(flow.process_path, image);
    const std::uint64_t sent = flow.protocol == IPPROTO_TCP ? 1000 : 100;
    const std::uint64_t answered = flow.protocol == IPPROTO_TCP ? 500 : 200;
    EXPECT_EQ(flow.bytes_out, client ? sent : answered);
    EXPECT_EQ(flow.bytes_in, client ? answered : sent);
    EXPECT_EQ(flow.direction, client ? 0 : 1);
  }
  for (const auto& kind : kinds) {
    EXPECT_GE(counts[kind] + 1, kExchanges) << kind.first << " " << int{kind.second};
  }

  // Connects as this test's image, then becomes bash, which connects again and stays: the flow
  // made by bash is bash's, the one made before the exec never taken for bash's.
  char bash[PATH_MAX] = {};
  ASSERT_NE(::realpath("/bin/bash", bash), nullptr) << "the test needs bash";
  const std::string script = "exec 3<>/dev/tcp/" + std::string(kServerAddress) + "/" +
                             std::to_string(LocalPort(listener.get())) +
                             "; printf abc >&3; exec 3>&-; sleep 30; exit 0";
  const orv::test::ChildProcess execing("/bin/bash", {"bash", "-c", script}, [&] {
    const UniqueFd fd = ConnectTo(SOCK_STREAM, LocalPort(listener.get()));
    static_cast<void>(::write(fd.get(), "x", 1));
  });
  finals.clear();
  EXPECT_TRUE(
      collect(static_cast<std::uint32_t>(execing.pid()), [&] { return finals.size() == 2; }));
  std::multiset<std::uint64_t> sizes;
  for (const KdfFlowData& flow : finals) {
    sizes.insert(flow.bytes_out);
    EXPECT_EQ(flow.process_path == Utf16(bash), flow.bytes_out == 3) << flow.bytes_out;
  }
  EXPECT_EQ(sizes, (std::multiset<std::uint64_t>{1, 3}));
  EXPECT_EQ(api->Uninitialize(), kNgcSuccess);
}

}  // namespace
