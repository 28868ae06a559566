// The readers of what the kernel and the network hand the driver, and what DNS teaches: the DNS
// message reader (CNAME chains, compression, every way a message can break its bounds), the
// tracker that pairs answers with their queries, the address-to-name cache behind it on a clock
// the tests move, the packet socket's IP reader, and the netlink answer parsers (sock_diag and the
// process connector). Staying inside any buffer is the fuzz targets'; what a refusal answers is
// here.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "driver/dns_message.h"
#include "driver/dns_name_cache.h"
#include "driver/dns_name_tracker.h"
#include "driver/dns_packet_socket.h"
#include "driver/inet_diag.h"
#include "driver/proc_connector.h"
#include "support/dns_wire.h"

namespace orv::driver {
namespace {

using namespace orv::test::dns;
using std::chrono::seconds;
using Time = std::chrono::steady_clock::time_point;
using Address = std::array<std::uint8_t, 16>;

Bytes Join(Bytes front, const Bytes& back) {
  front.insert(front.end(), back.begin(), back.end());
  return front;
}

// bytes with the byte at `at` set to value.
Bytes With(Bytes bytes, std::size_t at, std::uint8_t value) {
  bytes[at] = value;
  return bytes;
}

// The bytes of value as they lie in memory.
template <typename T>
Bytes Raw(const T& value) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
  return Bytes(bytes, bytes + sizeof(T));
}

const Bytes kV4{10, 0, 0, 7};
const Bytes kV6{0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

// An answer whose single A record names its owner with a pointer to the question (offset 12).
Bytes CompressedAnswer(std::uint8_t pointer_high, std::uint8_t pointer_low) {
  Bytes out = Message(7, true, "a.test", 1);
  out[7] = 1;  // one answer
  out.insert(out.end(), {pointer_high, pointer_low, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4});
  out.insert(out.end(), kV4.begin(), kV4.end());
  return out;
}

// An answer whose A record's owner is a pointer to a chain of links pointers long (held in the
// data of a record of an unknown type before it) that ends at the question's name.
Bytes PointerChain(std::uint8_t links) {
  Bytes out = Message(7, true, "a.test", 1);
  out[7] = 2;
  out.insert(out.end(), {0, 0, 99, 0, 1, 0, 0, 0, 60, 0, static_cast<std::uint8_t>(2 * links)});
  const auto base = static_cast<std::uint8_t>(out.size());
  for (std::uint8_t link = 0; link < links; ++link) {
    out.insert(out.end(),
               {0xC0, static_cast<std::uint8_t>(link == 0 ? 12 : base + 2 * (link - 1))});
  }
  out.insert(out.end(), {0xC0, static_cast<std::uint8_t>(base + 2 * (links - 1)), 0, 1, 0, 1, 0, 0,
                         0, 60, 0, 4, 10, 0, 0, 7});
  return out;
}

TEST(DnsMessage, ReadsTheAddressesOfTheNameAsked) {
  const struct {
    Bytes message;
    const char* question;
    std::vector<std::pair<int, std::uint32_t>> addresses;  // family, TTL
  } cases[] = {
      // AAAA through a CNAME chain: the smallest TTL on the way.
      {Message(3, true, "API.Example.test", 28,
               {{"api.example.test", 5, 100, Name("edge.cdn.test")},
                {"edge.cdn.test", 5, 900, Name("node.cdn.test")},
                {"node.cdn.test", 28, 500, kV6},
                {"other.test", 1, 500, kV4}}),
       "api.example.test",
       {{AF_INET6, 100}}},
      {Message(4, true, "xn--bcher-kva.test", 1, {{"xn--bcher-kva.test", 1, 60, kV4}}),
       "xn--bcher-kva.test",
       {{AF_INET, 60}}},  // an IDN kept in its ACE form
      {CompressedAnswer(0xC0, 12), "a.test", {{AF_INET, 60}}},
  };
  for (const auto& c : cases) {
    DnsMessage message;
    ASSERT_TRUE(ParseDnsMessage(c.message, message)) << c.question;
    EXPECT_EQ(message.question, c.question);
    std::vector<std::pair<int, std::uint32_t>> addresses;
    for (const DnsAddress& address : message.addresses) {
      addresses.emplace_back(address.family, address.ttl_seconds);
    }
    EXPECT_EQ(addresses, c.addresses) << c.question;
  }
}

TEST(DnsMessage, RefusesMessagesThatBreakABound) {
  const Bytes good = Message(2, true, "api.example.test", 1, {{"api.example.test", 1, 300, kV4}});
  const struct {
    const char* what;
    Bytes message;
  } cases[] = {
      {"two questions", With(good, 5, 2)},
      {"label over 63 bytes", Message(1, false, std::string(64, 'a') + ".test", 1)},
      {"dot inside a label", With(Message(1, false, "a.test", 1), 13, '.')},
      {"A of 3 bytes", Message(2, true, "a.test", 1, {{"a.test", 1, 300, {10, 0, 0}}})},
      {"more answers than the bytes can hold", With(good, 6, 0x40)},
      {"pointer forwards", CompressedAnswer(0xC0, 200)},
      {"pointer to itself", CompressedAnswer(0xC0, 34)},
      {"obsolete label type", CompressedAnswer(0x40, 12)},
      {"header only", Bytes(12, 0)},
      {"a chain of 17 pointers", PointerChain(16)},
  };
  DnsMessage message;
  for (const auto& c : cases) {
    EXPECT_FALSE(ParseDnsMessage(c.message, message)) << c.what;
  }
  EXPECT_TRUE(ParseDnsMessage(PointerChain(15), message));  // 16 jumps pass
  EXPECT_EQ(message.addresses.size(), 1u);
}

const Time kStart{seconds(5000)};
const Address kTarget{10, 0, 0, 7};

DnsPacket Packet(const Bytes& message, bool egress, std::uint16_t remote_port = 53,
                 std::uint8_t protocol = IPPROTO_UDP) {
  return {protocol, AF_INET,     egress, {10, 0, 0, 1}, {10, 0, 0, 53},
          40000,    remote_port, 42,     message};
}

Bytes Answer(std::uint16_t id, const char* question = "api.example.test") {
  return Message(id, true, question, 1, {{question, 1, 300, kV4}});
}

TEST(DnsNameTracker, LearnsOnlyAnswersToPendingQueriesFromPort53) {
  const Bytes query = Message(9, false, "api.example.test", 1);
  const Bytes tcp_query = Join({0, static_cast<std::uint8_t>(query.size())}, query);
  const Bytes answer = Answer(9);
  const Bytes tcp_answer = Join({0, static_cast<std::uint8_t>(answer.size())}, answer);
  const Bytes failed = With(answer, 3, answer[3] | 3);  // NXDOMAIN
  const Bytes other_id = Answer(10);
  const Bytes other_question = Answer(9, "evil.test");
  const struct {
    const char* what;
    std::vector<DnsPacket> packets;
    bool learned;
    std::size_t pending;
  } cases[] = {
      {"UDP", {Packet(query, true), Packet(answer, false)}, true, 0},
      {"TCP, one message per segment",
       {Packet(tcp_query, true, 53, IPPROTO_TCP), Packet(tcp_answer, false, 53, IPPROTO_TCP)},
       true,
       0},
      {"nobody asked", {Packet(answer, false)}, false, 0},
      {"from port 5353", {Packet(query, true), Packet(answer, false, 5353)}, false, 1},
      {"another id", {Packet(query, true), Packet(other_id, false)}, false, 1},
      {"another question", {Packet(query, true), Packet(other_question, false)}, false, 1},
      {"error answer", {Packet(query, true), Packet(failed, false)}, false, 0},
      {"TCP without the length",
       {Packet(query, true, 53, IPPROTO_TCP), Packet(answer, false, 53, IPPROTO_TCP)},
       false,
       0},
  };
  for (const auto& c : cases) {
    DnsNameCache cache;
    DnsNameTracker tracker(cache);
    for (const DnsPacket& packet : c.packets) {
      tracker.Apply(packet, kStart);
    }
    const std::string expected = c.learned ? "api.example.test" : "";
    EXPECT_EQ(cache.HostNameOf(42, AF_INET, kTarget, kStart), expected) << c.what;
    const Address mapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 7};
    EXPECT_EQ(cache.HostNameOf(7, AF_INET6, mapped, kStart), expected) << c.what;
    EXPECT_EQ(tracker.PendingQueries(), c.pending) << c.what;
  }
  // The answer comes after the query's lifetime: ignored.
  DnsNameCache cache;
  DnsNameTracker tracker(cache);
  tracker.Apply(Packet(query, true), kStart);
  tracker.Apply(Packet(answer, false), kStart + kDnsQueryLifetime);
  EXPECT_EQ(cache.Size(), 0u);
  EXPECT_EQ(tracker.IgnoredAnswers(), 1u);
}

TEST(DnsNameCache, ClampsTtlsPrefersTheOwnProcessAndEvictsTheLeastRecentlyUsed) {
  DnsNameCache cache;
  DnsNameCache small(2);
  const auto remember = [](DnsNameCache& in, std::uint32_t pid, std::uint8_t last,
                           std::uint32_t ttl, const char* name) {
    in.Remember(pid, {AF_INET, {10, 0, 0, last}, ttl}, name, kStart);
  };
  const auto name = [](DnsNameCache& in, std::uint32_t pid, std::uint8_t last, seconds after) {
    return in.HostNameOf(pid, AF_INET, {10, 0, 0, last}, kStart + after);
  };
  remember(cache, 1, 1, 5, "short.test");
  remember(cache, 1, 2, 10'000'000, "long.test");
  EXPECT_EQ(name(cache, 1, 1, seconds(59)), "short.test");
  EXPECT_EQ(name(cache, 1, 1, seconds(60)), "");
  EXPECT_EQ(name(cache, 2, 2, seconds(86'399)), "long.test");
  EXPECT_EQ(name(cache, 1, 2, seconds(86'400)), "");

  remember(cache, 1, 3, 300, "one.test");
  remember(cache, 2, 3, 300, "two.test");
  EXPECT_EQ(name(cache, 1, 3, {}), "one.test");
  EXPECT_EQ(name(cache, 2, 3, {}), "two.test");
  EXPECT_EQ(name(cache, 3, 3, {}), "two.test");  // machine-wide: the latest answer

  remember(small, 0, 1, 300, "a.test");
  remember(small, 0, 2, 300, "b.test");
  EXPECT_EQ(name(small, 0, 1, {}), "a.test");
  remember(small, 0, 3, 300, "c.test");
  EXPECT_EQ(small.Size(), 2u);
  EXPECT_THAT((std::vector{name(small, 0, 1, {}), name(small, 0, 2, {}), name(small, 0, 3, {})}),
              testing::ElementsAre("a.test", "", "c.test"));
}

// Bytes from hexadecimal text, spaces skipped.
Bytes Hex(std::string_view text) {
  Bytes out;
  for (std::size_t at = text.find_first_not_of(' '); at != std::string_view::npos;
       at = text.find_first_not_of(' ', at + 2)) {
    out.push_back(
        static_cast<std::uint8_t>(std::stoul(std::string(text.substr(at, 2)), nullptr, 16)));
  }
  return out;
}

TEST(DnsPacketSocket, ReadsIpPacketsAroundDnsMessages) {
  // From 10.0.0.1:40000 (or fd00::1) to port 53 of 10.0.0.53 (or fd00::53), the payload "abcd"
  // after a UDP header (or a TCP one of 5 words). Staying inside the packet is the fuzz target's.
  const std::string v4 = "4500 0020 0000 ";
  const std::string v4_rest = " 0000 0a000001 0a000035 9c40 0035 000c 0000 61626364";
  const struct {
    std::string packet;
    int family;  // 0: refused
  } cases[] = {
      {v4 + "0000 4011" + v4_rest, AF_INET},
      {"6000 0000 0018 0640 fd00 0000 0000 0000 0000 0000 0000 0001 fd00 0000 0000 0000 0000 0000 "
       "0000 0035 9c40 0035 00000000 00000000 5000 0000 0000 0000 61626364",
       AF_INET6},
      {v4 + "0000 4001" + v4_rest, 0},  // ICMP
      {v4 + "2000 4011" + v4_rest, 0},  // more fragments follow
  };
  for (const auto& c : cases) {
    const Bytes bytes = Hex(c.packet);
    DnsPacket packet;
    const bool read = ReadIpPacket(bytes, true, packet);
    EXPECT_EQ(read, c.family != 0) << c.packet;
    if (read) {
      EXPECT_EQ(std::tie(packet.family, packet.local_port, packet.remote_port),
                std::tuple(c.family, 40000, 53));
      EXPECT_EQ(packet.remote_address[c.family == AF_INET ? 3 : 15], 0x35);
      EXPECT_TRUE(std::ranges::equal(packet.payload, Bytes{'a', 'b', 'c', 'd'}));
    }
  }
}

// One netlink message of type whose body is body.
Bytes Netlink(std::uint16_t type, const Bytes& body) {
  return Join(Raw(nlmsghdr{static_cast<std::uint32_t>(NLMSG_HDRLEN + body.size()), type, 0, 0, 0}),
              body);
}

void AppendAttribute(Bytes& body, std::uint16_t type, const void* payload, std::size_t size) {
  rtattr attribute{};
  attribute.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
  attribute.rta_type = type;
  const std::size_t start = body.size();
  body.resize(start + RTA_SPACE(size));
  std::memcpy(body.data() + start, &attribute, sizeof(attribute));
  std::memcpy(body.data() + start + RTA_LENGTH(0), payload, size);
}

// A socket of 10.0.0.1 talking to 10.0.0.2 with a protocol attribute unless protocol is 0, and
// TCP info cut to info_size: 1500 bytes acknowledged, 9000 received, 100 retransmitted.
Bytes SocketBody(std::uint8_t family, std::uint8_t state, std::uint16_t local_port,
                 std::uint16_t remote_port, std::uint32_t inode, std::uint64_t cookie,
                 std::size_t info_size, std::uint8_t protocol = 0) {
  inet_diag_msg message{};
  message.idiag_family = family;
  message.idiag_state = state;
  message.id.idiag_sport = htons(local_port);
  message.id.idiag_dport = htons(remote_port);
  message.id.idiag_src[0] = htonl(0x0a000001);
  message.id.idiag_dst[0] = htonl(0x0a000002);
  message.id.idiag_cookie[0] = static_cast<std::uint32_t>(cookie);
  message.id.idiag_cookie[1] = static_cast<std::uint32_t>(cookie >> 32);
  message.idiag_inode = inode;
  Bytes body = Raw(message);
  if (protocol != 0) {
    AppendAttribute(body, INET_DIAG_PROTOCOL, &protocol, 1);
  }
  tcp_info info{};
  info.tcpi_bytes_acked = 1500;
  info.tcpi_bytes_received = 9000;
  info.tcpi_bytes_sent = 1600;
  info.tcpi_bytes_retrans = 100;
  AppendAttribute(body, INET_DIAG_INFO, &info, info_size);
  return body;
}

// A dump answer: a TCP socket, then a destroy notification that names its protocol and whose TCP
// info is too short for the counters (an old kernel's: no reason to reject the socket).
Bytes DumpAnswer() {
  const Bytes first =
      Netlink(SOCK_DIAG_BY_FAMILY, SocketBody(AF_INET, kTcpEstablished, 40000, 443, 777,
                                              0x1122334455667788ULL, sizeof(tcp_info)));
  const Bytes second = Netlink(SOCK_DIAG_BY_FAMILY,
                               SocketBody(AF_INET6, kTcpClose, 1, 2, 0, 3,
                                          offsetof(tcp_info, tcpi_bytes_received), IPPROTO_UDP));
  return Join(Join(first, second), Netlink(NLMSG_DONE, Raw(0)));
}

TEST(InetDiagParser, DecodesADumpAnswerWithAProtocolAttributeAndAShortTcpInfo) {
  const Bytes answer = DumpAnswer();
  std::vector<DiagSocket> sockets;
  DiagBufferEnd end = DiagBufferEnd::kDone;
  // Without its closing message (16 + 4 bytes) the dump goes on in the next buffer.
  ASSERT_EQ(ParseInetDiagBuffer(std::span(answer).first(answer.size() - 20), 6, sockets, end),
            kObSuccess);
  EXPECT_EQ(end, DiagBufferEnd::kMore);
  sockets.clear();
  ASSERT_EQ(ParseInetDiagBuffer(answer, IPPROTO_TCP, sockets, end), kObSuccess);
  EXPECT_EQ(end, DiagBufferEnd::kDone);
  ASSERT_EQ(sockets.size(), 2u);
  EXPECT_THAT(sockets[0],
              testing::FieldsAre(AF_INET, IPPROTO_TCP, kTcpEstablished, Address{10, 0, 0, 1},
                                 Address{10, 0, 0, 2}, 40000, 443, 777u, 0x1122334455667788ULL,
                                 true, true, 9000u, 1500u, 1600u, 100u));
  EXPECT_EQ(sockets[1].protocol, IPPROTO_UDP);
  EXPECT_FALSE(sockets[1].has_counters || sockets[1].has_sent_counters);
}

TEST(InetDiagParser, RejectsMalformedMessages) {
  Bytes lying_attribute = SocketBody(AF_INET, kTcpEstablished, 1, 2, 3, 4, sizeof(tcp_info));
  // The attribute claims more bytes than its message holds.
  reinterpret_cast<rtattr*>(lying_attribute.data() + NLMSG_ALIGN(sizeof(inet_diag_msg)))->rta_len =
      0xffff;
  const Bytes whole = DumpAnswer();
  const struct {
    const char* name;
    Bytes buffer;
    OB_STATUSCODE status;
  } cases[] = {
      {"lying attribute", Netlink(SOCK_DIAG_BY_FAMILY, lying_attribute), kObBadArgument},
      {"error answer", Netlink(NLMSG_ERROR, Raw(-EPERM)), kObFailure},
      {"error code that cannot be negated", Netlink(NLMSG_ERROR, Raw(INT_MIN)), kObFailure},
      {"short error", Netlink(NLMSG_ERROR, Bytes(2, 0)), kObBadArgument},
      {"cut inside a message", Bytes(whole.begin(), whole.begin() + 40), kObBadArgument},
  };
  for (const auto& test : cases) {
    std::vector<DiagSocket> sockets;
    DiagBufferEnd end = DiagBufferEnd::kMore;
    EXPECT_EQ(ParseInetDiagBuffer(test.buffer, IPPROTO_TCP, sockets, end), test.status)
        << test.name;
    EXPECT_TRUE(sockets.empty()) << test.name;
  }
}

TEST(ProcConnectorParser, ReportsProcessStartsButNotThreads) {
  Bytes buffer;
  for (const auto& [what, pid, tgid] : {std::tuple{proc_event::PROC_EVENT_FORK, 100, 100},
                                        {proc_event::PROC_EVENT_FORK, 101, 100},  // a thread
                                        {proc_event::PROC_EVENT_EXEC, 102, 102},
                                        {proc_event::PROC_EVENT_EXIT, 100, 100}}) {
    proc_event event{};
    event.what = what;
    if (what == proc_event::PROC_EVENT_FORK) {
      event.event_data.fork.child_pid = pid;
      event.event_data.fork.child_tgid = tgid;
    } else {
      event.event_data.exec.process_pid = pid;
      event.event_data.exec.process_tgid = tgid;
    }
    cn_msg message{};
    message.id = {CN_IDX_PROC, CN_VAL_PROC};
    message.len = sizeof(event);
    buffer = Join(buffer, Netlink(NLMSG_DONE, Join(Raw(message), Raw(event))));
  }
  std::vector<std::uint32_t> started;
  ASSERT_EQ(ParseProcConnectorBuffer(buffer, started), kObSuccess);
  EXPECT_EQ(started, (std::vector<std::uint32_t>{100, 102}));
}

}  // namespace
}  // namespace orv::driver
