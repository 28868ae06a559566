// The flow table over hand-made dumps and a fake owner source: which sockets are flows, their
// direction, interim and final reports, payload bytes, and that a quiet dump costs no owner
// lookup.
#include "driver/flow_table.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <map>

namespace orv::driver {
namespace {

class FakeOwners : public ISocketOwnerSource {
 public:
  void FindOwners(const std::unordered_set<std::uint32_t>& inodes,
                  std::unordered_map<std::uint32_t, ProcessDetails>& owners) override {
    for (std::uint32_t inode : inodes) {
      if (const auto owner = by_inode.find(inode); owner != by_inode.end()) {
        owners.emplace(inode, owner->second);
      }
    }
  }
  void ListProcesses(std::vector<std::uint32_t>&) override {}

  std::map<std::uint32_t, ProcessDetails> by_inode{
      {100, {4321, 1, 5, u"/usr/bin/curl", u"/bin/bash"}}, {200, {555, 1, 6, u"/usr/sbin/nginx"}}};
};

DiagSocket Socket(std::uint8_t state, std::uint16_t local_port, std::uint16_t remote_port,
                  std::uint32_t inode, std::uint64_t cookie, std::uint8_t protocol = IPPROTO_TCP) {
  DiagSocket socket;
  socket.family = AF_INET;
  socket.protocol = protocol;
  socket.state = state;
  socket.local_address = {192, 168, 1, 20};
  socket.remote_address = {93, 184, 216, 34};
  socket.local_port = local_port;
  socket.remote_port = remote_port;
  socket.inode = inode;
  socket.cookie = cookie;
  return socket;
}

class FlowTableTest : public ::testing::Test {
 protected:
  std::vector<KdfFlowData> Apply(const std::vector<DiagSocket>& sockets, int at_second,
                                 std::uint32_t interval = 0) {
    std::vector<KdfFlowData> reports;
    table_.ApplyDump(sockets, Clock(at_second), interval, reports);
    return reports;
  }
  FlowClock Clock(int at_second) const {
    return {start_ + std::chrono::seconds(at_second),
            1'700'000'000U + static_cast<std::uint32_t>(at_second)};
  }

  FakeOwners owners_;
  FlowTable table_{owners_};
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

TEST_F(FlowTableTest, TellsFlowsFromOtherSockets) {
  struct Case {
    std::uint8_t protocol, state;
    bool flow;
  } const cases[] = {
      {IPPROTO_TCP, 8 /* CLOSE-WAIT */, true}, {IPPROTO_TCP, kTcpListen, false},
      {IPPROTO_TCP, kTcpTimeWait, false},      {IPPROTO_TCP, 13, false},
      {IPPROTO_UDP, kTcpClose, false},         {IPPROTO_ICMP, kTcpEstablished, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsFlowSocket(Socket(c.state, 1, 2, 1, 3, c.protocol)), c.flow)
        << int(c.protocol) << " state " << int(c.state);
  }
}

TEST_F(FlowTableTest, ReportsAFlowEachIntervalAndOnceWhenItEndsAMappedOneAsIpv4) {
  // An IPv4-mapped IPv6 socket, reported as IPv4.
  DiagSocket outbound = Socket(kTcpEstablished, 51000, 443, 100, 7);
  outbound.family = AF_INET6;
  outbound.local_address = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 168, 1, 20};
  outbound.remote_address = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 93, 184, 216, 34};
  outbound.has_counters = true;
  outbound.bytes_acked = 10;
  EXPECT_TRUE(Apply({outbound}, 0, 2).empty());
  EXPECT_TRUE(Apply({outbound}, 1, 2).empty());
  outbound.bytes_acked = 300;
  outbound.bytes_received = 4000;
  std::vector<KdfFlowData> reports = Apply({outbound}, 2, 2);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].report_kind, kReportKindInterim);
  EXPECT_EQ(reports[0].flow_end, 1'700'000'002U);
  EXPECT_EQ(reports[0].bytes_in, 4000u);
  EXPECT_TRUE(Apply({outbound}, 3, 2).empty());
  EXPECT_TRUE(Apply({outbound}, 5, 0).empty());  // the interval may change; 0 stops them

  // Closed by its process: orphaned in FIN-WAIT, with the last counters.
  DiagSocket orphan = outbound;
  orphan.inode = 0;
  orphan.state = 4;
  orphan.bytes_acked = 302;  // the SYN and the FIN count as a byte each
  reports = Apply({orphan}, 7, 2);
  const KdfFlowData expected{.local = {kKdfFamilyIPv4, 51000, {192, 168, 1, 20}},
                             .remote = {kKdfFamilyIPv4, 443, {93, 184, 216, 34}},
                             .protocol = 6,
                             .bytes_in = 4000,
                             .bytes_out = 301,  // without payload counters: acknowledged less SYN
                             .process_start_time = 5,
                             .pid = 4321,
                             .parent_pid = 1,
                             .flow_start = 1'700'000'000U,
                             .flow_end = 1'700'000'007U,
                             .process_path = u"/usr/bin/curl",
                             .parent_path = u"/bin/bash",
                             .report_kind = kKdfReportKindFinal};
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], expected);
  EXPECT_EQ(table_.FlowCount(), 0u);
  EXPECT_TRUE(Apply({}, 8).empty());  // reported once
}

TEST_F(FlowTableTest, MarksFlowsToListeningPortsInbound) {
  const DiagSocket listener = Socket(kTcpListen, 8080, 0, 50, 1);
  const DiagSocket udp_server = Socket(kTcpClose, 5353, 0, 51, 3, IPPROTO_UDP);
  EXPECT_TRUE(Apply({Socket(kTcpEstablished, 8080, 40000, 200, 2), listener, udp_server,
                     Socket(kTcpEstablished, 5353, 6000, 100, 4, IPPROTO_UDP),
                     Socket(kTcpEstablished, 5353, 7000, 100, 5) /* TCP on the UDP port */},
                    0)
                  .empty());
  const std::vector<KdfFlowData> reports = Apply({listener, udp_server}, 1);
  ASSERT_EQ(reports.size(), 3u);
  for (const KdfFlowData& report : reports) {
    const bool inbound = report.local.port == 8080 || report.protocol == IPPROTO_UDP;
    EXPECT_EQ(report.direction, inbound ? kKdfDirectionRemoteIsSource : 0) << report.local.port;
  }
}

TEST_F(FlowTableTest, LooksOwnersUpOnlyForNewSockets) {
  const DiagSocket owned = Socket(kTcpEstablished, 1000, 443, 100, 1);
  const DiagSocket unowned = Socket(kTcpEstablished, 1001, 443, 999, 2);  // no process holds it
  EXPECT_TRUE(Apply({owned, unowned}, 0).empty());
  EXPECT_TRUE(Apply({owned, unowned}, 1).empty());
  EXPECT_EQ(table_.OwnerLookups(), 1u);  // nothing new: no /proc walk
  EXPECT_EQ(table_.FlowCount(), 1u);

  // The unowned socket is never reported, also when it goes; a new socket reusing its inode is
  // looked up afresh.
  EXPECT_TRUE(Apply({owned}, 2).empty());
  owners_.by_inode[999] = {77, 1, 9, u"/bin/late", u""};
  const std::vector<KdfFlowData> reports = Apply({Socket(kTcpEstablished, 1002, 443, 999, 3)}, 3);
  EXPECT_EQ(table_.OwnerLookups(), 2u);
  ASSERT_EQ(reports.size(), 1u);  // the owned flow vanished from this dump
  EXPECT_EQ(reports[0].pid, 4321u);
  EXPECT_EQ(table_.FlowCount(), 1u);
}

TEST_F(FlowTableTest, DestroyNotificationsEndFlowsWithPayloadBytes) {
  struct Case {
    std::uint8_t state;
    bool sent_counters;
    std::uint64_t received, acked, sent, retrans;
    std::uint64_t expect_in, expect_out;
  } const cases[] = {
      {kTcpEstablished, true, 300, 1001, 1000, 0, 300, 1000},
      {8 /* CLOSE-WAIT */, true, 301, 1001, 1000, 0, 300, 1000},  // FIN in
      {kTcpClose, true, 301, 1002, 1500, 500, 300, 1000},  // closed; retransmissions left out
      {kTcpClose, true, 0, 0, 0, 0, 0, 0},                 // reset before anything: no underflow
      {kTcpEstablished, false, 0, 0, 0, 0, 0, 0},
  };
  std::uint64_t cookie = 1;
  for (const Case& c : cases) {
    DiagSocket socket = Socket(kTcpEstablished, 1000, 443, 100, ++cookie);
    EXPECT_TRUE(Apply({socket}, 0).empty());
    socket.state = c.state;
    socket.inode = 0;
    socket.has_counters = true;
    socket.has_sent_counters = c.sent_counters;
    socket.bytes_received = c.received;
    socket.bytes_acked = c.acked;
    socket.bytes_sent = c.sent;
    socket.bytes_retrans = c.retrans;
    DiagSocket stranger = socket;
    stranger.cookie = 99;
    std::vector<KdfFlowData> reports;
    table_.ApplyDestroyed({stranger, socket}, Clock(3), reports);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].report_kind, kKdfReportKindFinal);
    EXPECT_EQ(reports[0].flow_end, 1'700'000'003U);
    EXPECT_EQ(reports[0].bytes_in, c.expect_in) << int(c.state) << " " << c.received;
    EXPECT_EQ(reports[0].bytes_out, c.expect_out) << int(c.state) << " " << c.acked;
    EXPECT_TRUE(Apply({}, 4).empty());  // not reported twice
  }
}

}  // namespace
}  // namespace orv::driver
