// Host names from DNS on the real kernel, as root, in network and mount namespaces of the test's
// own: a DNS server of a few lines answers on 127.0.0.1, /etc/resolv.conf is bind-mounted to
// point at it, and a child resolves names and connects. Skipped where the programs cannot load.
#include <fcntl.h>
#include <netdb.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <map>
#include <thread>

#include "driver/dns_name_tracker.h"
#include "driver/dns_packet_socket.h"
#include "driver/kernel_flow_source.h"
#include "driver/socket_owner.h"
#include "reporter_fixture.h"
#include "support/dns_wire.h"
#include "support/temp_dir.h"

namespace {

using namespace orv::test::reporter;
using namespace orv::driver;
namespace dns = orv::test::dns;

constexpr std::uint32_t kTtl = 120;
const dns::Bytes kApiV4{10, 20, 0, 7};
const dns::Bytes kApiV6{0xfd, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
const dns::Bytes kIdnV4{10, 20, 0, 8};

// Fixed records by (question, type); other questions get no answer at all.
const std::map<std::pair<std::string, std::uint16_t>, std::vector<dns::Record>> kZone{
    {{"api.example.test", kDnsTypeA}, {{"api.example.test", kDnsTypeA, kTtl, kApiV4}}},
    {{"api.example.test", kDnsTypeAaaa},
     {{"api.example.test", kDnsTypeCname, kTtl, dns::Name("edge.example.test")},
      {"edge.example.test", kDnsTypeAaaa, kTtl, kApiV6}}},
    {{"xn--bcher-kva.test", kDnsTypeA}, {{"xn--bcher-kva.test", kDnsTypeA, kTtl, kIdnV4}}},
    {{"xn--bcher-kva.test", kDnsTypeAaaa}, {}},
};

class DnsServer {
 public:
  DnsServer() : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in local = Ipv4("127.0.0.1", 53);
    EXPECT_EQ(::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)), 0);
    thread_ = std::thread([this] { serve(); });
  }
  ~DnsServer() {
    stop_ = true;
    thread_.join();
  }

 private:
  void serve() {
    std::uint8_t buffer[512];
    DnsMessage query;
    while (!stop_) {
      pollfd fd{socket_.get(), POLLIN, 0};
      sockaddr_storage from{};
      socklen_t length = sizeof(from);
      if (::poll(&fd, 1, 50) <= 0) {
        continue;
      }
      const ssize_t size = ::recvfrom(socket_.get(), buffer, sizeof(buffer), 0,
                                      reinterpret_cast<sockaddr*>(&from), &length);
      if (size <= 0 || !ParseDnsMessage(std::span(buffer, static_cast<std::size_t>(size)), query)) {
        continue;
      }
      const auto found = kZone.find({query.question, query.question_type});
      if (found != kZone.end()) {
        const dns::Bytes answer =
            dns::Message(query.id, true, query.question, query.question_type, found->second);
        ::sendto(socket_.get(), answer.data(), answer.size(), 0,
                 reinterpret_cast<const sockaddr*>(&from), length);
      }
    }
  }

  UniqueFd socket_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Resolves name and makes a TCP connection to each address, ended at once with a reset.
int ConnectToEach(const char* name, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, std::to_string(port).c_str(), &hints, &found) != 0) {
    return 1;
  }
  int failures = 0;
  for (const addrinfo* each = found; each != nullptr; each = each->ai_next) {
    const UniqueFd fd(::socket(each->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const linger reset{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    failures += ::connect(fd.get(), each->ai_addr, each->ai_addrlen) != 0;
  }
  ::freeaddrinfo(found);
  return failures;
}

// A listener on a free port of every address, IPv4 (as mapped addresses) and IPv6.
UniqueFd DualStackListener() {
  UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof(any)), 0);
  EXPECT_EQ(::listen(fd.get(), 16), 0);
  return fd;
}

std::array<std::uint8_t, 16> Address(const dns::Bytes& bytes) {
  std::array<std::uint8_t, 16> address{};
  std::copy(bytes.begin(), bytes.end(), address.begin());
  return address;
}

bool PointResolverAt(const std::string& directory) {
  const std::string file = directory + "/resolv.conf";
  // One query at a time, with room for a loaded machine: the answers, not the timing, are tested.
  std::ofstream(file) << "nameserver 127.0.0.1\noptions timeout:5 attempts:3 single-request\n";
  return ::mount(file.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
}

TEST(DnsNamesSource, FlowsCarryTheNameTheirProcessResolved) {
  ORV_RERUN_IN_NAMESPACE("-nm");
  std::string why_not;
  const std::unique_ptr<KernelFlowSource> source = KernelFlowSource::Open(why_not);
  if (source == nullptr) {
    GTEST_SKIP() << "the kernel flow source cannot run here: " << why_not;
  }
  const orv::test::TempDir directory;
  ASSERT_TRUE(PointResolverAt(directory.path()));
  ASSERT_TRUE(Ip({"link", "set", "lo", "up"}) && Ip({"addr", "add", "10.20.0.7/32", "dev", "lo"}) &&
              Ip({"addr", "add", "10.20.0.8/32", "dev", "lo"}) &&
              Ip({"addr", "add", "fd00:20::7/128", "dev", "lo", "nodad"}));
  DnsNameCache names;
  DnsNameTracker tracker(names);
  ProcOwnerResolver owners;
  KernelFlowTable table(*source, owners, &names);
  source->LearnNamesWith(tracker);
  const DnsServer server;
  const UniqueFd listener = DualStackListener();
  const std::uint16_t port = LocalPort(listener.get());

  const pid_t child = ::fork();
  if (child == 0) {
    ::_exit(ConnectToEach("api.example.test", port) + ConnectToEach("xn--bcher-kva.test", port));
  }
  const auto pid = static_cast<std::uint32_t>(child);
  std::map<std::uint8_t, std::string>
      names_by_host;  // a TCP flow's name by its address's last byte
  std::vector<KdfFlowData> reports;
  const auto consume = [&] {
    pollfd fd{source->Fd(), POLLIN, 0};
    ::poll(&fd, 1, 100);
    reports.clear();
    source->Consume(table, {Clock::now(), static_cast<std::uint32_t>(std::time(nullptr))}, reports);
    for (const KdfFlowData& flow : reports) {
      if (flow.pid == pid && flow.protocol == IPPROTO_TCP) {
        names_by_host[flow.IsIPv4() ? flow.remote.ipv4[3] + 100 : flow.remote.ipv6[15]] =
            flow.host_name;
      }
    }
  };
  for (const auto deadline = Clock::now() + kDeadline;
       names_by_host.size() < 3 && Clock::now() < deadline;) {
    consume();
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(names_by_host,
            (std::map<std::uint8_t, std::string>{
                {107, "api.example.test"}, {108, "xn--bcher-kva.test"}, {7, "api.example.test"}}));
  // After the answer's TTL the mapping is gone.
  const auto now = Clock::now();
  EXPECT_EQ(names.HostNameOf(pid, AF_INET6, Address(kApiV6), now), "api.example.test");
  EXPECT_EQ(names.HostNameOf(pid, AF_INET, Address(kApiV4), now + std::chrono::seconds(kTtl)), "");

  // A query to 127.0.0.2:53 waits; a forged answer from port 5353 of that address is never
  // learned, the genuine one from port 53 that follows it is.
  const sockaddr_in server_address = Ipv4("127.0.0.2", 53);
  const sockaddr_in forger_address = Ipv4("127.0.0.2", 5353);
  const UniqueFd asker(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const UniqueFd genuine(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const UniqueFd forger(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  for (const auto& [fd, address] :
       {std::pair(genuine.get(), server_address), std::pair(forger.get(), forger_address)}) {
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  }
  const dns::Bytes query = dns::Message(0x4242, false, "planted.test", kDnsTypeA);
  ASSERT_EQ(::sendto(asker.get(), query.data(), query.size(), 0,
                     reinterpret_cast<const sockaddr*>(&server_address), sizeof(server_address)),
            static_cast<ssize_t>(query.size()));
  sockaddr_in asker_address{};
  socklen_t length = sizeof(asker_address);
  ASSERT_EQ(::recvfrom(genuine.get(), nullptr, 0, MSG_TRUNC,
                       reinterpret_cast<sockaddr*>(&asker_address), &length),
            static_cast<ssize_t>(query.size()));
  for (const auto& [fd, last] : {std::pair(forger.get(), 9), std::pair(genuine.get(), 10)}) {
    const dns::Bytes answer = dns::Message(
        0x4242, true, "planted.test", kDnsTypeA,
        {{"planted.test", kDnsTypeA, kTtl, {10, 20, 0, static_cast<std::uint8_t>(last)}}});
    ::sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&asker_address),
             length);
  }
  // The answers have passed the kernel programs once the socket holds them.
  for (int i = 0; i < 2; ++i) {
    pollfd fd{asker.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&fd, 1, 15'000), 1);
    ASSERT_GT(::recv(asker.get(), nullptr, 0, MSG_TRUNC), 0);
  }
  consume();
  const auto own = static_cast<std::uint32_t>(::getpid());
  EXPECT_EQ(names.HostNameOf(own, AF_INET, Address({10, 20, 0, 9}), Clock::now()), "");
  EXPECT_EQ(names.HostNameOf(own, AF_INET, Address({10, 20, 0, 10}), Clock::now()), "planted.test");
}

TEST(DnsPacketSocket, OnlyDnsPacketsReachUserSpaceAndAnswersAreLearned) {
  ORV_RERUN_IN_NAMESPACE("-n");
  ASSERT_TRUE(Ip({"link", "set", "lo", "up"}));
  std::string why_not;
  const std::unique_ptr<DnsPacketSocket> packets = DnsPacketSocket::Open(why_not);
  if (packets == nullptr) {
    GTEST_SKIP() << "no packet socket here: " << why_not;
  }
  const UniqueFd client(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const UniqueFd server(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in client_address = Ipv4("127.0.0.1", 0);
  const sockaddr_in server_address = Ipv4("127.0.0.1", 53);
  ASSERT_EQ(::bind(client.get(), reinterpret_cast<const sockaddr*>(&client_address),
                   sizeof(client_address)),
            0);
  ASSERT_EQ(::bind(server.get(), reinterpret_cast<const sockaddr*>(&server_address),
                   sizeof(server_address)),
            0);
  const sockaddr_in client_bound = Ipv4("127.0.0.1", LocalPort(client.get()));
  const auto exchange = [&](const dns::Bytes& query, const dns::Bytes& answer,
                            const sockaddr_in& to) {
    ::sendto(client.get(), query.data(), query.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof(to));
    if (to.sin_port == server_address.sin_port) {
      ASSERT_GT(::recv(server.get(), nullptr, 0, MSG_TRUNC), 0);
      ::sendto(server.get(), answer.data(), answer.size(), 0,
               reinterpret_cast<const sockaddr*>(&client_bound), sizeof(client_bound));
    }
    ASSERT_GT(::recv(client.get(), nullptr, 0, MSG_TRUNC), 0);
  };
  // A datagram between two other ports (here the client to itself) never reaches the socket.
  exchange(dns::Message(1, false, "api.example.test", kDnsTypeA), {}, client_bound);
  pollfd readable{packets->Fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&readable, 1, 0), 0);

  exchange(dns::Message(2, false, "api.example.test", kDnsTypeA),
           dns::Message(2, true, "api.example.test", kDnsTypeA,
                        {{"api.example.test", kDnsTypeA, kTtl, kApiV4}}),
           server_address);
  DnsNameCache names;
  DnsNameTracker tracker(names);
  for (const auto deadline = Clock::now() + kDeadline;
       names.Size() == 0 && Clock::now() < deadline;) {
    ::poll(&readable, 1, 100);
    packets->Consume(tracker, Clock::now());
  }
  EXPECT_EQ(names.HostNameOf(1, AF_INET, Address(kApiV4), Clock::now()), "api.example.test");
}

}  // namespace
