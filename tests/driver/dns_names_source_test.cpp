// Host names from DNS on the real kernel, as root, in a network namespace of the test's own: the
// test asks a server socket on 127.0.0.2:53 and answers itself, then connects to the addresses
// learned; the fallback packet socket watches the same exchanges. Which answers count (ports, ids,
// questions) and for how long is the tracker's and the cache's unit tests'. Skipped where the
// programs or the packet socket cannot be had.
#include <netinet/in.h>

#include <map>
#include <thread>

#include "driver/dns_name_tracker.h"
#include "driver/dns_packet_socket.h"
#include "driver/kernel_flow_source.h"
#include "driver/socket_owner.h"
#include "reporter_fixture.h"
#include "support/dns_wire.h"

namespace {

using namespace orv::test::reporter;
using namespace orv::driver;
namespace dns = orv::test::dns;

constexpr std::uint32_t kTtl = 120;
const dns::Bytes kApiV4{10, 20, 0, 7};
const dns::Bytes kApiV6{0xfd, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};

// Sends query from asker to server and the answer back; returns once the asker holds it, so it
// has passed the kernel's filters.
void Exchange(int asker, int server, const dns::Bytes& query, const dns::Bytes& answer) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  ASSERT_EQ(::getsockname(server, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ASSERT_EQ(::sendto(asker, query.data(), query.size(), 0,
                     reinterpret_cast<const sockaddr*>(&address), length),
            static_cast<ssize_t>(query.size()));
  ASSERT_GT(
      ::recvfrom(server, nullptr, 0, MSG_TRUNC, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ::sendto(server, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&address),
           length);
  pollfd ready{asker, POLLIN, 0};
  ASSERT_EQ(::poll(&ready, 1, 15'000), 1);
  ASSERT_GT(::recv(asker, nullptr, 0, MSG_TRUNC), 0);
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

std::array<std::uint8_t, 16> Address(const dns::Bytes& bytes) {
  std::array<std::uint8_t, 16> address{};
  std::copy(bytes.begin(), bytes.end(), address.begin());
  return address;
}

TEST(DnsNamesSource, FlowsCarryTheNameTheirProcessLearnedAndThePacketSocketSeesOnlyDns) {
  ORV_RERUN_IN_NAMESPACE("-n");
  std::string why_not;
  const std::unique_ptr<KernelFlowSource> source = KernelFlowSource::Open(why_not);
  if (source == nullptr) {
    GTEST_SKIP() << "the kernel flow source cannot run here: " << why_not;
  }
  ASSERT_TRUE(Ip({"link", "set", "lo", "up"}) && Ip({"addr", "add", "10.20.0.7/32", "dev", "lo"}) &&
              Ip({"addr", "add", "fd00:20::7/128", "dev", "lo", "nodad"}));
  const std::unique_ptr<DnsPacketSocket> packets = DnsPacketSocket::Open(why_not);
  if (packets == nullptr) {
    GTEST_SKIP() << "no packet socket here: " << why_not;
  }
  DnsNameCache names;
  DnsNameTracker tracker(names);
  ProcOwnerResolver owners;
  KernelFlowTable table(*source, owners, &names);
  source->LearnNamesWith(tracker);

  // A datagram between two other ports (here the asker to itself) never reaches the packet
  // socket.
  const UniqueFd asker = Bound(SOCK_DGRAM, "127.0.0.1");
  const dns::Bytes query = dns::Message(kDnsTypeA, false, "api.example.test", kDnsTypeA);
  const sockaddr_in itself = Ipv4("127.0.0.1", LocalPort(asker.get()));
  ASSERT_GT(::sendto(asker.get(), query.data(), query.size(), 0,
                     reinterpret_cast<const sockaddr*>(&itself), sizeof(itself)),
            0);
  ASSERT_GT(::recv(asker.get(), nullptr, 0, MSG_TRUNC), 0);
  pollfd readable{packets->Fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&readable, 1, 0), 0);

  // The AAAA answer goes through a CNAME.
  const UniqueFd server = Bound(SOCK_DGRAM, "127.0.0.2", 53);
  for (const auto& [type, records] : std::map<std::uint16_t, std::vector<dns::Record>>{
           {kDnsTypeA, {{"api.example.test", kDnsTypeA, kTtl, kApiV4}}},
           {kDnsTypeAaaa,
            {{"api.example.test", kDnsTypeCname, kTtl, dns::Name("edge.example.test")},
             {"edge.example.test", kDnsTypeAaaa, kTtl, kApiV6}}}}) {
    Exchange(asker.get(), server.get(), dns::Message(type, false, "api.example.test", type),
             dns::Message(type, true, "api.example.test", type, records));
  }
  // A TCP connection to each address learned.
  UniqueFd listener(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&any), sizeof(any)), 0);
  ASSERT_EQ(::listen(listener.get(), 16), 0);
  const std::uint16_t port = LocalPort(listener.get());
  sockaddr_in6 v6 = any;
  v6.sin6_port = htons(port);
  std::copy(kApiV6.begin(), kApiV6.end(), v6.sin6_addr.s6_addr);
  const sockaddr_in v4 = Ipv4("10.20.0.7", port);
  ASSERT_TRUE(ConnectAndReset(AF_INET, reinterpret_cast<const sockaddr*>(&v4), sizeof(v4)));
  ASSERT_TRUE(ConnectAndReset(AF_INET6, reinterpret_cast<const sockaddr*>(&v6), sizeof(v6)));
  const auto own = static_cast<std::uint32_t>(::getpid());
  std::map<std::uint32_t, std::string> names_by_family;  // of the client ends
  std::vector<KdfFlowData> reports;
  for (const auto deadline = Clock::now() + kDeadline;
       names_by_family.size() < 2 && Clock::now() < deadline;) {
    pollfd ready{source->Fd(), POLLIN, 0};
    ::poll(&ready, 1, 100);
    reports.clear();
    source->Consume(table, {Clock::now(), static_cast<std::uint32_t>(std::time(nullptr))}, reports);
    for (const KdfFlowData& flow : reports) {
      if (flow.pid == own && flow.protocol == IPPROTO_TCP && flow.remote.port == port) {
        names_by_family[flow.address_family] = flow.host_name;
      }
    }
  }
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
  EXPECT_EQ(packet_names.HostNameOf(1, AF_INET, Address(kApiV4), Clock::now()), "api.example.test");
}

}  // namespace
