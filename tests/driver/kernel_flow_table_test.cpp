// The kernel flow source's user-space table, fed events as bytes, with fake kernel maps and a
// fake process lookup.
#include "driver/kernel_flow_table.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <map>
#include <vector>

namespace {

using orv::driver::FlowClock;
using orv::driver::KernelFlowTable;
using orv::driver::KernelOwner;
using orv::driver::ProcessDetails;
using std::chrono::seconds;

class FakeMaps : public orv::driver::IKernelFlowMaps {
 public:
  bool ReadTcp(std::uint64_t cookie, orv_tcp_counters& out) override {
    const auto found = tcp.find(cookie);
    return found != tcp.end() && (out = found->second, true);
  }
  bool ReadUdp(const orv_flow_key& key, orv_udp_counters& out) override {
    const auto found = udp.find(Key(key));
    return found != udp.end() && (out = found->second, true);
  }
  bool TakeUdp(const orv_flow_key& key, orv_udp_counters& out) override {
    return ReadUdp(key, out) && udp.erase(Key(key)) == 1;
  }
  static std::pair<std::uint64_t, std::uint8_t> Key(const orv_flow_key& key) {
    return {key.cookie, key.remote_address[3]};
  }

  std::map<std::uint64_t, orv_tcp_counters> tcp;
  std::map<std::pair<std::uint64_t, std::uint8_t>, orv_udp_counters> udp;  // by remote's 4th byte
};

class FakeOwners : public orv::driver::IOwnerResolver {
 public:
  ProcessDetails Resolve(const KernelOwner& owner) override {
    return {owner.pid, owner.parent_pid, 0, u"/usr/bin/app", u"/usr/bin/parent"};
  }
};

FlowClock At(int second) {
  return {std::chrono::steady_clock::time_point(seconds(1000 + second)),
          static_cast<std::uint32_t>(1'700'000'000 + second)};
}

std::uint64_t Ns(int second) { return (1000ULL + second) * 1'000'000'000ULL; }

orv_flow_event Event(std::uint8_t type, std::uint64_t cookie, std::uint8_t remote_host = 9) {
  orv_flow_event event{};
  event.type = type;
  event.protocol = type <= ORV_EVENT_TCP_CLOSED ? IPPROTO_TCP : IPPROTO_UDP;
  event.family = AF_INET;
  event.cookie = cookie;
  event.time_ns = event.start_ns = Ns(0);
  event.local_port = 40000;
  event.remote_port = 53;
  const std::uint8_t local[4] = {10, 0, 0, 1};
  const std::uint8_t remote[4] = {10, 0, 0, remote_host};
  std::memcpy(event.local_address, local, 4);
  std::memcpy(event.remote_address, remote, 4);
  event.owner.tgid = 42;
  event.owner.parent_tgid = 1;
  return event;
}

std::vector<std::uint8_t> Bytes(const orv_flow_event& event) {
  const auto* begin = reinterpret_cast<const std::uint8_t*>(&event);
  return {begin, begin + sizeof(event)};
}

struct KernelFlowTableTest : testing::Test {
  void Apply(const std::vector<std::uint8_t>& bytes, int second = 0) {
    table.Apply(bytes, At(second), reports);
  }
  FakeMaps maps;
  FakeOwners owners;
  KernelFlowTable table{maps, owners};
  std::vector<KdfFlowData> reports;
};

TEST_F(KernelFlowTableTest, DropsTruncatedOversizedAndUnknownEvents) {
  orv_flow_event unknown = Event(9, 1);
  orv_flow_event no_family = Event(ORV_EVENT_TCP_OPENED, 2);
  no_family.family = 0;
  orv_flow_event wrong_protocol = Event(ORV_EVENT_UDP_OPENED, 3);
  wrong_protocol.protocol = IPPROTO_TCP;
  std::vector<std::uint8_t> oversized = Bytes(Event(ORV_EVENT_TCP_OPENED, 4));
  oversized.push_back(0);
  const std::vector<std::vector<std::uint8_t>> cases = {{},
                                                        {ORV_EVENT_TCP_OPENED},
                                                        oversized,
                                                        Bytes(unknown),
                                                        Bytes(no_family),
                                                        Bytes(wrong_protocol)};
  for (const auto& bytes : cases) {
    Apply(bytes);
  }
  EXPECT_EQ(table.MalformedEvents(), cases.size());
  EXPECT_EQ(table.FlowCount(), 0u);
  EXPECT_TRUE(reports.empty());
}

TEST_F(KernelFlowTableTest, TcpEndsWithTheClosingCountersAlsoWhenItsOpeningWasNotSeen) {
  orv_flow_event closed = Event(ORV_EVENT_TCP_CLOSED, 7);
  closed.direction = 1;
  closed.bytes_in = 500;
  closed.bytes_out = 1000;
  Apply(Bytes(closed), 3);
  ASSERT_EQ(reports.size(), 1u);
  const KdfFlowData& flow = reports[0];
  EXPECT_EQ(flow.report_kind, kKdfReportKindFinal);
  EXPECT_EQ(flow.remote.ipv4, (std::array<std::uint8_t, 4>{10, 0, 0, 9}));
  EXPECT_EQ(flow.direction, kKdfDirectionRemoteIsSource);
  EXPECT_EQ(flow.bytes_in, 500u);
  EXPECT_EQ(flow.bytes_out, 1000u);
  EXPECT_EQ(flow.pid, 42u);
  EXPECT_EQ(flow.process_path, u"/usr/bin/app");
  EXPECT_EQ(flow.flow_end - flow.flow_start, 3u);
  EXPECT_EQ(table.FlowCount(), 0u);
}

TEST_F(KernelFlowTableTest, UdpPairsEndAtReleaseOrWhenIdle) {
  for (const std::uint8_t host : {1, 2}) {
    Apply(Bytes(Event(ORV_EVENT_UDP_OPENED, 5, host)));
    maps.udp[{5, host}] = {host * 10ULL, host * 100ULL, Ns(30)};
  }
  Apply(Bytes(Event(ORV_EVENT_UDP_OPENED, 6, 3)));
  maps.udp[{6, 3}] = {7, 8, Ns(1)};
  table.ReportDue(At(30), 0, reports);
  EXPECT_TRUE(reports.empty()) << "nothing is due before the 60 s period";

  orv_flow_event released = Event(ORV_EVENT_UDP_RELEASED, 5);
  Apply(Bytes(released), 40);
  ASSERT_EQ(reports.size(), 2u);
  for (const KdfFlowData& flow : reports) {
    const std::uint8_t host = flow.remote.ipv4[3];
    EXPECT_EQ(flow.bytes_in, host * 10u);
    EXPECT_EQ(flow.bytes_out, host * 100u);
    EXPECT_EQ(flow.report_kind, kKdfReportKindFinal);
  }
  // The third pair, silent since second 1, ends at the check after 60 s of silence.
  reports.clear();
  table.ReportDue(At(61), 0, reports);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].bytes_out, 8u);
  EXPECT_TRUE(maps.udp.empty()) << "ended pairs leave the kernel's map";
  EXPECT_EQ(table.FlowCount(), 0u);
}

TEST_F(KernelFlowTableTest, InterimReportsFollowTheIntervalAndVanishedFlowsEnd) {
  Apply(Bytes(Event(ORV_EVENT_TCP_OPENED, 9)));
  maps.tcp[9] = {300, 1000, Ns(0), 0, {}};
  table.ReportDue(At(1), 2, reports);
  EXPECT_TRUE(reports.empty());
  table.ReportDue(At(2), 2, reports);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].report_kind, orv::driver::kReportKindInterim);
  EXPECT_EQ(reports[0].bytes_in, 300u);

  // Gone from the kernel without a closing event: ended at the second check that misses it.
  maps.tcp.clear();
  reports.clear();
  table.ReportDue(At(4), 2, reports);
  EXPECT_TRUE(reports.empty());
  table.ReportDue(At(6), 2, reports);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].report_kind, kKdfReportKindFinal);
  EXPECT_EQ(reports[0].bytes_out, 1000u);
  EXPECT_EQ(table.FlowCount(), 0u);
}

}  // namespace
