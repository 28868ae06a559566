// Host names learned from DNS: the tracker that pairs answers with their queries, and the
// address-to-name cache behind it, on a clock the tests move.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "driver/dns_name_cache.h"
#include "driver/dns_name_tracker.h"
#include "driver/dns_packet_socket.h"
#include "support/dns_wire.h"

namespace {

using orv::driver::DnsAddress;
using orv::driver::DnsNameCache;
using orv::driver::DnsNameTracker;
using orv::driver::DnsPacket;
using std::chrono::seconds;
using namespace orv::test::dns;
using Time = std::chrono::steady_clock::time_point;

const Time kStart{seconds(5000)};
const std::array<std::uint8_t, 16> kServer{10, 0, 0, 53};
const std::array<std::uint8_t, 16> kTarget{10, 0, 0, 7};
const std::array<std::uint8_t, 16> kMappedTarget{0, 0, 0,    0,    0,  0, 0, 0,
                                                 0, 0, 0xff, 0xff, 10, 0, 0, 7};

DnsPacket Packet(const Bytes& message, bool egress, std::uint16_t remote_port = 53,
                 std::uint8_t protocol = IPPROTO_UDP) {
  DnsPacket packet;
  packet.protocol = protocol;
  packet.family = AF_INET;
  packet.egress = egress;
  packet.local_address = {10, 0, 0, 1};
  packet.remote_address = kServer;
  packet.local_port = 40000;
  packet.remote_port = remote_port;
  packet.pid = 42;
  packet.payload = message;
  return packet;
}

Bytes Answer(std::uint16_t id, const char* question = "api.example.test") {
  return Message(id, true, question, 1, {{question, 1, 300, {10, 0, 0, 7}}});
}

TEST(DnsNameTracker, LearnsOnlyAnswersToPendingQueriesFromPort53) {
  const Bytes query = Message(9, false, "api.example.test", 1);
  Bytes tcp_query{0, static_cast<std::uint8_t>(query.size())};
  tcp_query.insert(tcp_query.end(), query.begin(), query.end());
  const Bytes answer = Answer(9);
  Bytes tcp_answer{0, static_cast<std::uint8_t>(answer.size())};
  tcp_answer.insert(tcp_answer.end(), answer.begin(), answer.end());
  Bytes failed = answer;
  failed[3] |= 3;  // NXDOMAIN
  const Bytes other_id = Answer(10);
  const Bytes other_question = Answer(9, "evil.test");
  struct Case {
    const char* what;
    std::vector<DnsPacket> packets;
    bool learned;
    std::size_t pending;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DnsNameCache cache;
    DnsNameTracker tracker(cache);
    for (const DnsPacket& packet : c.packets) {
      tracker.Apply(packet, kStart);
    }
    const std::string expected = c.learned ? "api.example.test" : "";
    EXPECT_EQ(cache.HostNameOf(42, AF_INET, kTarget, kStart), expected);
    EXPECT_EQ(cache.HostNameOf(7, AF_INET6, kMappedTarget, kStart), expected);
    EXPECT_EQ(tracker.PendingQueries(), c.pending);
  }
  // The answer comes after the query's lifetime: ignored.
  DnsNameCache cache;
  DnsNameTracker tracker(cache);
  tracker.Apply(Packet(query, true), kStart);
  tracker.Apply(Packet(answer, false), kStart + orv::driver::kDnsQueryLifetime);
  EXPECT_EQ(cache.Size(), 0u);
  EXPECT_EQ(tracker.IgnoredAnswers(), 1u);
}

TEST(DnsNameCache, ClampsTtlsPrefersTheOwnProcessAndEvictsTheLeastRecentlyUsed) {
  DnsNameCache cache;
  const auto address = [](std::uint8_t last, std::uint32_t ttl) {
    DnsAddress result{AF_INET, {10, 0, 0, last}, ttl};
    return result;
  };
  const auto name = [&](std::uint32_t pid, std::uint8_t last, Time at) {
    return cache.HostNameOf(pid, AF_INET, {10, 0, 0, last}, at);
  };
  cache.Remember(1, address(1, 5), "short.test", kStart);
  cache.Remember(1, address(2, 10'000'000), "long.test", kStart);
  EXPECT_EQ(name(1, 1, kStart + seconds(59)), "short.test");
  EXPECT_EQ(name(1, 1, kStart + seconds(60)), "");
  EXPECT_EQ(name(2, 2, kStart + seconds(86'399)), "long.test");
  EXPECT_EQ(name(1, 2, kStart + seconds(86'400)), "");

  cache.Remember(1, address(3, 300), "one.test", kStart);
  cache.Remember(2, address(3, 300), "two.test", kStart);
  EXPECT_EQ(name(1, 3, kStart), "one.test");
  EXPECT_EQ(name(2, 3, kStart), "two.test");
  EXPECT_EQ(name(3, 3, kStart), "two.test");  // machine-wide: the latest answer

  DnsNameCache small(2);
  small.Remember(0, address(1, 300), "a.test", kStart);
  small.Remember(0, address(2, 300), "b.test", kStart);
  EXPECT_EQ(small.HostNameOf(0, AF_INET, {10, 0, 0, 1}, kStart), "a.test");
  small.Remember(0, address(3, 300), "c.test", kStart);
  EXPECT_EQ(small.Size(), 2u);
  EXPECT_EQ(small.HostNameOf(0, AF_INET, {10, 0, 0, 1}, kStart), "a.test");
  EXPECT_EQ(small.HostNameOf(0, AF_INET, {10, 0, 0, 2}, kStart), "");
  EXPECT_EQ(small.HostNameOf(0, AF_INET, {10, 0, 0, 3}, kStart), "c.test");
}

}  // namespace

namespace {

// An IP packet from 10.0.0.1:40000 (or fd00::1) to port 53 of the server around payload.
Bytes IpPacket(int version, std::uint8_t protocol, const Bytes& payload) {
  const std::size_t transport = protocol == IPPROTO_UDP ? 8 : 20;
  const auto size = static_cast<std::uint16_t>(transport + payload.size());
  Bytes out;
  if (version == 4) {
    out = {0x45, 0, 0, 0, 0, 0, 0x40, 0, 64, protocol, 0, 0, 10, 0, 0, 1, 10, 0, 0, 53};
    out[2] = static_cast<std::uint8_t>((size + 20) >> 8);
    out[3] = static_cast<std::uint8_t>(size + 20);
  } else {
    out = {0x60,     0, 0, 0, static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size),
           protocol, 64};
    for (std::uint8_t host : {1, 53}) {
      out.insert(out.end(), {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, host});
    }
  }
  Put16(out, 40000);
  Put16(out, 53);
  out.resize(out.size() + transport - 4);
  if (protocol == IPPROTO_TCP) {
    out[out.size() - 8] = 0x50;  // data offset: 5 words
  }
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

TEST(DnsPacketSocket, ReadsIpPacketsAroundDnsMessages) {
  const Bytes query = Message(9, false, "api.example.test", 1);
  Bytes fragment = IpPacket(4, IPPROTO_UDP, query);
  fragment[6] = 0x20;  // more fragments follow
  const struct {
    Bytes packet;
    int family;  // 0: refused
  } cases[] = {
      {IpPacket(4, IPPROTO_UDP, query), AF_INET},
      {IpPacket(6, IPPROTO_TCP, query), AF_INET6},
      {IpPacket(4, 1, query), 0},
      {fragment, 0},  // staying inside the packet is the fuzz target's
  };
  for (const auto& c : cases) {
    DnsPacket packet;
    const bool read = orv::driver::ReadIpPacket(c.packet, true, packet);
    EXPECT_EQ(read, c.family != 0) << testing::PrintToString(c.packet);
    if (read) {
      EXPECT_EQ(packet.family, c.family);
      EXPECT_EQ(packet.local_port, 40000);
      EXPECT_EQ(packet.remote_port, 53);
      EXPECT_EQ(packet.remote_address[c.family == AF_INET ? 3 : 15], 53);
      EXPECT_TRUE(
          std::equal(query.begin(), query.end(), packet.payload.begin(), packet.payload.end()));
    }
  }
}

}  // namespace
