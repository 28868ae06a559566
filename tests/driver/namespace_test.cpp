// The driver on the real kernel, as root, inside a network namespace of the test's own: real TCP
// and UDP sockets between the two non-loopback addresses of a veth pair (IPv4 and IPv6), reports
// received on 127.0.0.1 and decoded with the channel's parsers. The kernel programs see every
// process on the machine, so their tests look only at the flows of their own processes, and are
// skipped where the programs cannot load.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/dns_packet_socket.h"
#include "driver/flow_table.h"
#include "driver/kernel_flow_source.h"
#include "driver/orv_api_class_factory.h"
#include "runtime/unique_fd.h"
#include "support/child_process.h"
#include "support/dns_wire.h"
#include "support/namespace_rerun.h"

namespace {

using namespace orv::driver;
using OBRuntime::UniqueFd;
using Clock = std::chrono::steady_clock;
using V4 = std::array<std::uint8_t, 4>;
namespace dns = orv::test::dns;

constexpr auto kDeadline = std::chrono::seconds(15);
constexpr char kServerAddress[] = "10.211.0.1";
constexpr char kClientAddress[] = "10.211.0.2";

// Loopback for the channel; a veth pair carrying the two test addresses (IPv4 and IPv6).
bool SetUpLinks() {
  const std::string failed = orv::test::RunScript(
      "ip link set lo up; ip link add fr0 type veth peer name fr1\n"
      "ip link set fr0 up; ip link set fr1 up\n"
      "ip addr add " +
      std::string(kServerAddress) +
      "/24 dev fr0\n"
      "ip addr add " +
      std::string(kClientAddress) +
      "/24 dev fr1\n"
      "ip addr add fd00:211::1/64 dev fr0 nodad; ip addr add fd00:211::2/64 dev fr1 nodad");
  EXPECT_EQ(failed, "");
  return failed.empty();
}

sockaddr_in Ipv4(const char* address, std::uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  ::inet_pton(AF_INET, address, &result.sin_addr);
  return result;
}

std::uint16_t LocalPort(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(address).sin_port
                                            : reinterpret_cast<sockaddr_in6&>(address).sin6_port);
}

// An IPv4 socket of type bound to address and port; a TCP one listens.
UniqueFd Bound(int type, const char* address, std::uint16_t port = 0) {
  UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  const sockaddr_in local = Ipv4(address, port);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)), 0);
  EXPECT_TRUE(type != SOCK_STREAM || ::listen(fd.get(), 512) == 0);
  return fd;
}

// A socket of type from the client address connected to port of the server address; invalid
// when the connection failed.
UniqueFd ConnectTo(int type, std::uint16_t port) {
  UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  const sockaddr_in local = Ipv4(kClientAddress, 0);
  const sockaddr_in target = Ipv4(kServerAddress, port);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0 ||
      ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
    fd.Reset();
  }
  return fd;
}

// Sends (or receives) size bytes in whole; false when the peer went first.
bool Transfer(int fd, std::size_t size, bool send) {
  std::vector<char> data(std::min<std::size_t>(size, 1 << 20), 'x');
  for (std::size_t done = 0; done < size;) {
    const std::size_t chunk = std::min(data.size(), size - done);
    const ssize_t now =
        send ? ::send(fd, data.data(), chunk, MSG_NOSIGNAL) : ::recv(fd, data.data(), chunk, 0);
    if (now <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(now);
  }
  return true;
}
bool SendAll(int fd, std::size_t size) { return Transfer(fd, size, true); }
bool ReceiveAll(int fd, std::size_t size) { return Transfer(fd, size, false); }

// Sends request from the socket from (to `to`, or to its peer when null) to the UDP socket
// server, which answers with answer; true when the answer arrived whole.
bool UdpExchange(int from, const sockaddr_in* to, int server,
                 const std::vector<std::uint8_t>& request,
                 const std::vector<std::uint8_t>& answer) {
  std::vector<std::uint8_t> received(request.size() + 1);
  sockaddr_storage peer{};
  socklen_t length = sizeof(peer);
  return ::sendto(from, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(to),
                  to == nullptr ? 0 : sizeof(*to)) == static_cast<ssize_t>(request.size()) &&
         ::recvfrom(server, received.data(), received.size(), 0, reinterpret_cast<sockaddr*>(&peer),
                    &length) == static_cast<ssize_t>(request.size()) &&
         ::sendto(server, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
                  length) == static_cast<ssize_t>(answer.size()) &&
         ::recv(from, nullptr, 0, MSG_TRUNC) == static_cast<ssize_t>(answer.size());
}

// The flow data channel's stand-in: a UDP socket on 127.0.0.1, port chosen by the kernel.
class Channel {
 public:
  Channel() : fd_(Bound(SOCK_DGRAM, "127.0.0.1")) {
    // Room for bursts of reports (forced where the test may: it runs as root).
    const int buffer = 16 << 20;
    static_cast<void>(::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer)));
    const timeval wait{0, 100'000};  // a receive wakes up to look at its deadline
    static_cast<void>(::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait)));
  }

  [[nodiscard]] OrvEndpointPair Endpoints() const {
    OrvEndpointPair endpoints;
    endpoints.second_address.family = 2;
    endpoints.second_address.bytes = {127, 0, 0, 1};
    endpoints.second_port = htons(LocalPort(fd_.get()));
    return endpoints;
  }

  // Hands each datagram to take until it answers true (then true) or the time is up.
  bool Receive(const std::function<bool(const std::vector<std::uint8_t>&)>& take,
               Clock::duration within = kDeadline) {
    std::vector<std::uint8_t> buffer(2048);
    for (const auto deadline = Clock::now() + within; Clock::now() < deadline;) {
      const ssize_t got = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
      if (got > 0 && take(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + got))) {
        return true;
      }
    }
    return false;
  }

  // Hands each flow report to take likewise.
  bool ReceiveFlows(const std::function<bool(const KdfFlowData&)>& take,
                    Clock::duration within = kDeadline) {
    return Receive(
        [&](const std::vector<std::uint8_t>& bytes) {
          KdfFlowData flow;
          return bytes.size() == kKdfFlowDataSize && ParseKdfFlowData(bytes, flow) == kObSuccess &&
                 take(flow);
        },
        within);
  }

  // The first flow report that satisfies match, if one comes in time.
  std::optional<KdfFlowData> WaitForFlow(const std::function<bool(const KdfFlowData&)>& match) {
    std::optional<KdfFlowData> found;
    ReceiveFlows([&](const KdfFlowData& flow) { return match(flow) && (found = flow, true); });
    return found;
  }

 private:
  UniqueFd fd_;
};

// Opens the plugin and starts reporting to channel with the interval.
std::unique_ptr<IOrvApi> StartReporter(const Channel& channel, std::uint32_t interval) {
  std::unique_ptr<IOrvApi> api = COrvApiClassFactory::Instance().CreateInstance();
  EXPECT_EQ(api->OpenPlugin(), kNgcSuccess);
  EXPECT_EQ(api->SetFlowReportInterval(interval), kNgcSuccess);
  const OrvEndpointPair endpoints = channel.Endpoints();
  EXPECT_EQ(api->EnableAppFlow(&endpoints), kNgcSuccess);
  return api;
}

TEST(FlowReporter, ReportsTcpFromBothEndsUdpOverIpv6NewProcessesAndStopsWhenDisabled) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  ASSERT_TRUE(SetUpLinks());
  Channel channel;
  std::unique_ptr<IOrvApi> api = StartReporter(channel, 1);
  // A TCP connection between the two test addresses, both ends this process's.
  const UniqueFd listener = Bound(SOCK_STREAM, kServerAddress);
  UniqueFd client = ConnectTo(SOCK_STREAM, LocalPort(listener.get()));
  UniqueFd server(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  const std::uint16_t server_port = LocalPort(listener.get());
  const std::uint16_t client_port = LocalPort(client.get());
  const auto is_client_end = [&](const KdfFlowData& flow) {
    return flow.protocol == IPPROTO_TCP && flow.local.port == client_port &&
           flow.remote.port == server_port;
  };
  ASSERT_TRUE(SendAll(client.get(), 1000) && ReceiveAll(server.get(), 1000));
  ASSERT_TRUE(SendAll(server.get(), 300) && ReceiveAll(client.get(), 300));
  const auto own_pid = static_cast<std::uint32_t>(::getpid());

  // Interim reports while it lives, with the counters of the transfer.
  const auto interim = channel.WaitForFlow([&](const KdfFlowData& flow) {
    return is_client_end(flow) && flow.report_kind == kReportKindInterim && flow.bytes_out >= 1000;
  });
  ASSERT_TRUE(interim.has_value());
  EXPECT_EQ(
      std::tie(interim->pid, interim->parent_pid, interim->address_family, interim->direction,
               interim->bytes_in, interim->bytes_out),
      std::tuple(own_pid, static_cast<std::uint32_t>(::getppid()), kKdfFamilyIPv4, 0, 300u, 1000u));
  EXPECT_EQ(std::tie(interim->local.ipv4, interim->remote.ipv4),
            std::tuple(V4{10, 211, 0, 2}, V4{10, 211, 0, 1}));
  EXPECT_FALSE(interim->process_path.empty());
  const auto inbound = channel.WaitForFlow([&](const KdfFlowData& flow) {
    return flow.protocol == IPPROTO_TCP && flow.local.port == server_port &&
           flow.remote.port == client_port;
  });
  ASSERT_TRUE(inbound.has_value());
  EXPECT_EQ(std::tie(inbound->direction, inbound->bytes_in),
            std::tuple(kKdfDirectionRemoteIsSource, 1000u));

  // Connected UDP over IPv6.
  const UniqueFd udp(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in6 target{};
  target.sin6_family = AF_INET6;
  target.sin6_port = htons(5300);
  ::inet_pton(AF_INET6, "fd00:211::1", &target.sin6_addr);
  ASSERT_EQ(::connect(udp.get(), reinterpret_cast<const sockaddr*>(&target), sizeof(target)), 0);
  const auto report = channel.WaitForFlow([&](const KdfFlowData& flow) {
    return flow.protocol == IPPROTO_UDP && flow.local.port == LocalPort(udp.get());
  });
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(std::tie(report->address_family, report->remote.port, report->pid),
            std::tuple(kKdfFamilyIPv6, 5300, own_pid));
  EXPECT_EQ(std::memcmp(report->remote.ipv6.data(), target.sin6_addr.s6_addr, 16), 0);

  // Reports came, so a poll has run and a child started now is new to the reporter.
  const orv::test::ChildProcess child("/bin/sleep", {"sleep", "30"});
  EXPECT_TRUE(channel.Receive([&](const std::vector<std::uint8_t>& bytes) {
    KdfPidInfo info;
    return bytes.size() == kKdfPidInfoSize && ParseKdfPidInfo(bytes, info) == kObSuccess &&
           info.pid == static_cast<std::uint32_t>(child.pid());
  }));

  // Disabled, nothing comes (once what was in flight is read); enabled again, the live
  // connection is reported afresh.
  EXPECT_EQ(api->DisableAppFlow(), kNgcSuccess);
  channel.Receive([](const auto&) { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(api->NotifyNetworkChange(), kNgcSuccess);
  EXPECT_FALSE(channel.Receive([](const auto&) { return true; }, std::chrono::milliseconds(1500)));
  const OrvEndpointPair endpoints = channel.Endpoints();
  EXPECT_EQ(api->EnableAppFlow(&endpoints), kNgcSuccess);
  EXPECT_TRUE(channel.WaitForFlow(is_client_end).has_value());

  // Closed: one final report with the whole transfer.
  client.Reset();
  server.Reset();
  EXPECT_EQ(api->NotifyNetworkChange(), kNgcSuccess);
  const auto final_report = channel.WaitForFlow([&](const KdfFlowData& flow) {
    return is_client_end(flow) && flow.report_kind == kKdfReportKindFinal;
  });
  ASSERT_TRUE(final_report.has_value());
  EXPECT_EQ(std::tie(final_report->bytes_out, final_report->bytes_in), std::tuple(1000u, 300u));
  EXPECT_GE(final_report->flow_end, final_report->flow_start);
  EXPECT_EQ(api->Uninitialize(), kNgcSuccess);
}

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
    failures +=
        !UdpExchange(udp.get(), nullptr, udp_server.get(), dns::Bytes(100), dns::Bytes(200));
  }
  return std::min(failures, 100);
}

// Connects a new socket to address and ends the connection at once with a reset. A fresh IPv6
// address gets its route from a kernel work item a moment later, so an unreachable network is
// tried again until the deadline.
bool ConnectAndReset(int family, const sockaddr* address, socklen_t length) {
  for (const auto deadline = Clock::now() + kDeadline; Clock::now() < deadline;
       std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    const UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const linger reset{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    if (::connect(fd.get(), address, length) == 0) {
      return true;
    }
    if (errno != ENETUNREACH) {
      return false;
    }
  }
  return false;
}

TEST(KernelFlowSource, OwnsEveryFlowWithExactBytesAndItsHostNameAcrossExitExecAndOlderSockets) {
  ORV_RERUN_IN_NAMESPACE("-n");
  std::string why_not;
  if (KernelFlowSource::Open(why_not) == nullptr) {
    GTEST_SKIP() << "the kernel flow source cannot run here: " << why_not;
  }
  ASSERT_TRUE(SetUpLinks());
  ASSERT_EQ(orv::test::RunScript("ip addr add 10.211.0.3/24 dev fr0"), "");
  // A listener older than the source: its connections are still this process's.
  const UniqueFd listener = Bound(SOCK_STREAM, kServerAddress);
  Channel channel;
  const std::unique_ptr<IOrvApi> api = StartReporter(channel, 0);
  const auto own = static_cast<std::uint32_t>(::getpid());

  // One unconnected socket, two servers that each answer 5 bytes: two flows.
  UniqueFd sender = Bound(SOCK_DGRAM, kClientAddress);
  const std::uint16_t sender_port = LocalPort(sender.get());
  for (const char* server : {kServerAddress, "10.211.0.3"}) {
    const UniqueFd receiver = Bound(SOCK_DGRAM, server, 5353);
    const sockaddr_in target = Ipv4(server, 5353);
    ASSERT_TRUE(UdpExchange(sender.get(), &target, receiver.get(),
                            dns::Bytes(server == kServerAddress ? 10 : 20), dns::Bytes(5)));
  }
  sender.Reset();  // released: every pair ends

  // 16 MiB one way over a connection to the older listener.
  constexpr std::uint64_t kLarge = 16u << 20;
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
  // Both ends and the sender's two pairs (the receivers' pairs may come too): bytes out, in and
  // direction by the remote's last address byte, the local port and the remote port.
  using Ends = std::tuple<std::uint8_t, std::uint16_t, std::uint16_t>;
  std::map<Ends, std::tuple<std::uint64_t, std::uint64_t, int>> flows;
  EXPECT_TRUE(channel.ReceiveFlows([&](const KdfFlowData& flow) {
    if (flow.pid == own && flow.report_kind == kKdfReportKindFinal &&
        (flow.protocol == IPPROTO_TCP || flow.local.port == sender_port)) {
      flows[{flow.remote.ipv4[3], flow.local.port, flow.remote.port}] = {
          flow.bytes_out, flow.bytes_in, flow.direction};
    }
    return flows.size() == 4;
  }));
  const std::uint16_t server_port = LocalPort(listener.get());
  EXPECT_EQ(flows, (decltype(flows){{{1, sender_port, 5353}, {10, 5, 0}},
                                    {{3, sender_port, 5353}, {20, 5, 0}},
                                    {{1, client_port, server_port}, {kLarge, 0, 0}},
                                    {{2, server_port, client_port}, {0, kLarge, 1}}}));

  // This image is now known by inode and device, so a child gone before its flows are looked up
  // still gets it: every flow of its short exchanges, both ends, with exact bytes (the UDP
  // server's pairs are left out: a client port used again joins an ended exchange's pair).
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
    const bool is_tcp = flow.protocol == IPPROTO_TCP;
    if (is_tcp || client) {
      const std::uint64_t sent = is_tcp ? 1000 : 100;
      const std::uint64_t answered = is_tcp ? 500 : 200;
      EXPECT_EQ(std::tie(flow.process_path, flow.bytes_out, flow.bytes_in, flow.direction),
                std::tuple(image, client ? sent : answered, client ? answered : sent, !client))
          << "protocol " << flow.protocol << " client " << client;
    }
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

  // Host names: the test asks a server socket on 127.0.0.2:53 and answers itself (once the asker
  // holds the answer, it has passed the kernel's filters) with the server's addresses, then
  // connects to them; the fallback packet socket watches the same exchanges. Which answers count
  // (ports, ids, questions) and for how long is the tracker's and the cache's unit tests'.
  const std::unique_ptr<DnsPacketSocket> packets = DnsPacketSocket::Open(why_not);
  if (packets == nullptr) {
    GTEST_SKIP() << "no packet socket here: " << why_not;
  }
  // A datagram between two other ports (here the asker to itself) never reaches the packet
  // socket.
  const UniqueFd asker = Bound(SOCK_DGRAM, "127.0.0.1");
  const dns::Bytes query = dns::Message(kDnsTypeA, false, "api.example.test", kDnsTypeA);
  const sockaddr_in itself = Ipv4("127.0.0.1", LocalPort(asker.get()));
  ASSERT_TRUE(UdpExchange(asker.get(), &itself, asker.get(), query, query));
  pollfd readable{packets->Fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&readable, 1, 0), 0);

  // The AAAA answer goes through a CNAME.
  const dns::Bytes v6{0xfd, 0, 2, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};  // fd00:211::1
  const UniqueFd server = Bound(SOCK_DGRAM, "127.0.0.2", 53);
  const sockaddr_in server_address = Ipv4("127.0.0.2", 53);
  for (const auto& [type, records] : std::map<std::uint16_t, std::vector<dns::Record>>{
           {kDnsTypeA, {{"api.example.test", kDnsTypeA, 120, {10, 211, 0, 1}}}},
           {kDnsTypeAaaa,
            {{"api.example.test", kDnsTypeCname, 120, dns::Name("edge.example.test")},
             {"edge.example.test", kDnsTypeAaaa, 120, v6}}}}) {
    ASSERT_TRUE(UdpExchange(asker.get(), &server_address, server.get(),
                            dns::Message(type, false, "api.example.test", type),
                            dns::Message(type, true, "api.example.test", type, records)));
  }
  // A TCP connection to each address learned.
  UniqueFd web(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  ASSERT_EQ(::bind(web.get(), reinterpret_cast<const sockaddr*>(&any), sizeof(any)), 0);
  ASSERT_EQ(::listen(web.get(), 16), 0);
  const std::uint16_t port = LocalPort(web.get());
  sockaddr_in6 to_v6 = any;
  to_v6.sin6_port = htons(port);
  std::copy(v6.begin(), v6.end(), to_v6.sin6_addr.s6_addr);
  const sockaddr_in to_v4 = Ipv4(kServerAddress, port);
  ASSERT_TRUE(ConnectAndReset(AF_INET, reinterpret_cast<const sockaddr*>(&to_v4), sizeof(to_v4)));
  ASSERT_TRUE(ConnectAndReset(AF_INET6, reinterpret_cast<const sockaddr*>(&to_v6), sizeof(to_v6)));
  std::map<std::uint32_t, std::string> names_by_family;  // of the client ends
  EXPECT_TRUE(channel.ReceiveFlows([&](const KdfFlowData& flow) {
    if (flow.pid == own && flow.protocol == IPPROTO_TCP && flow.remote.port == port) {
      names_by_family[flow.address_family] = flow.host_name;
    }
    return names_by_family.size() == 2;
  }));
  EXPECT_EQ(names_by_family,
            (std::map<std::uint32_t, std::string>{{kKdfFamilyIPv4, "api.example.test"},
                                                  {kKdfFamilyIPv6, "api.example.test"}}));

  // The packet socket saw the same exchanges.
  DnsNameCache packet_names;
  DnsNameTracker packet_tracker(packet_names);
  for (const auto deadline = Clock::now() + kDeadline;
       packet_names.Size() < 2 && Clock::now() < deadline;) {
    ::poll(&readable, 1, 100);
    packets->Consume(packet_tracker, Clock::now());
  }
  EXPECT_EQ(packet_names.HostNameOf(1, AF_INET, {10, 211, 0, 1}, Clock::now()), "api.example.test");
  EXPECT_EQ(api->Uninitialize(), kNgcSuccess);
}

}  // namespace
