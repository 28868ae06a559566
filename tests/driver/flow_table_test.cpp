// The flow tables on hand-made input: the sock_diag flow table over a fake owner source, the
// kernel flow source's table fed events as bytes with fake kernel maps; the /proc owner lookup and
// the plugin's factory.
#include "driver/flow_table.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>
#include <map>

#include "driver/kernel_flow_table.h"
#include "driver/orv_api_class_factory.h"
#include "driver/socket_owner.h"
#include "platform/process_query.h"

namespace orv::driver {
namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::seconds;

// Both owner seams: the sock_diag table's by inode, the kernel table's from the event's owner.
class FakeOwners : public ISocketOwnerSource, public IOwnerResolver {
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
  ProcessDetails Resolve(const KernelOwner& owner) override {
    return {owner.pid, owner.parent_pid, 0, u"/usr/bin/app", u"/usr/bin/parent"};
  }

  std::map<std::uint32_t, ProcessDetails> by_inode{
      {100, {4321, 1, 5, u"/usr/bin/curl", u"/bin/bash"}},
      {200, {555, 1, 6, u"/usr/sbin/nginx", u""}}};
};

FlowClock At(int second) {
  return {std::chrono::steady_clock::time_point(seconds(1000 + second)),
          static_cast<std::uint32_t>(1'700'000'000 + second)};
}

DiagSocket Socket(std::uint8_t state, std::uint16_t local_port, std::uint16_t remote_port,
                  std::uint32_t inode, std::uint64_t cookie, std::uint8_t protocol = IPPROTO_TCP) {
  return {AF_INET,     protocol, state, {192, 168, 1, 20}, {93, 184, 216, 34}, local_port,
          remote_port, inode,    cookie};
}

class FlowTableTest : public ::testing::Test {
 protected:
  std::vector<KdfFlowData> Apply(const std::vector<DiagSocket>& sockets, int at_second,
                                 std::uint32_t interval = 0) {
    std::vector<KdfFlowData> reports;
    table_.ApplyDump(sockets, At(at_second), interval, reports);
    return reports;
  }

  FakeOwners owners_;
  FlowTable table_{owners_};
};

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
  EXPECT_EQ(std::tie(reports[0].report_kind, reports[0].flow_end, reports[0].bytes_in),
            std::tuple(kReportKindInterim, 1'700'000'002U, 4000u));
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
                             .host_name = {},
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
  EXPECT_THAT(reports, testing::ElementsAre(expected));
  EXPECT_EQ(table_.FlowCount(), 0u);
  EXPECT_TRUE(Apply({}, 8).empty());  // reported once
}

TEST_F(FlowTableTest, TellsFlowsMarksInboundOnesAndLooksOwnersUpOnlyForNewSockets) {
  const DiagSocket listener = Socket(kTcpListen, 8080, 0, 50, 1);
  const DiagSocket udp_server = Socket(kTcpClose, 5353, 0, 51, 3, IPPROTO_UDP);
  const DiagSocket unowned = Socket(kTcpEstablished, 1001, 443, 999, 10);  // no process holds it
  EXPECT_TRUE(Apply({Socket(kTcpEstablished, 8080, 40000, 200, 2), listener, udp_server, unowned,
                     Socket(kTcpEstablished, 5353, 6000, 100, 4, IPPROTO_UDP),
                     Socket(kTcpEstablished, 5353, 7000, 100, 5) /* TCP on the UDP port */,
                     Socket(8 /* CLOSE-WAIT */, 1, 1, 100, 6), Socket(kTcpTimeWait, 1, 2, 100, 7),
                     Socket(13, 1, 3, 100, 8), Socket(kTcpEstablished, 1, 4, 100, 9, IPPROTO_ICMP)},
                    0)
                  .empty());
  // The flows vanish: reported, CLOSE-WAIT too, but no socket of another state or protocol, and
  // never the unowned one.
  const std::vector<KdfFlowData> reports = Apply({listener, udp_server, unowned}, 1);
  ASSERT_EQ(reports.size(), 4u);
  for (const KdfFlowData& report : reports) {
    const bool inbound = report.local.port == 8080 || report.protocol == IPPROTO_UDP;
    EXPECT_EQ(report.direction, inbound ? kKdfDirectionRemoteIsSource : 0) << report.local.port;
  }
  EXPECT_EQ(table_.OwnerLookups(), 1u);  // nothing new in the second dump: no /proc walk
  EXPECT_TRUE(Apply({}, 2).empty());

  // A new socket reusing the unowned one's inode is looked up afresh.
  owners_.by_inode[999] = {77, 1, 9, u"/bin/late", u""};
  EXPECT_TRUE(Apply({Socket(kTcpEstablished, 1002, 443, 999, 11)}, 3).empty());
  EXPECT_EQ(table_.OwnerLookups(), 2u);
  EXPECT_EQ(table_.FlowCount(), 1u);
}

TEST_F(FlowTableTest, DestroyNotificationsEndFlowsWithPayloadBytes) {
  const struct {
    std::uint8_t state;
    bool sent_counters;
    std::uint64_t received, acked, sent, retrans;
    std::uint64_t expect_in, expect_out;
  } cases[] = {
      {kTcpEstablished, true, 300, 1001, 1000, 0, 300, 1000},
      {8 /* CLOSE-WAIT */, true, 301, 1001, 1000, 0, 300, 1000},  // FIN in
      {kTcpClose, true, 301, 1002, 1500, 500, 300, 1000},  // closed; retransmissions left out
      {kTcpClose, true, 0, 0, 0, 0, 0, 0},                 // reset before anything: no underflow
      {kTcpEstablished, false, 0, 0, 0, 0, 0, 0},
  };
  std::uint64_t cookie = 1;
  for (const auto& c : cases) {
    DiagSocket socket = Socket(kTcpEstablished, 1000, 443, 100, ++cookie);
    EXPECT_TRUE(Apply({socket}, 0).empty());
    std::tie(socket.state, socket.inode, socket.has_counters, socket.has_sent_counters,
             socket.bytes_received, socket.bytes_acked, socket.bytes_sent, socket.bytes_retrans) =
        std::tuple(c.state, 0, true, c.sent_counters, c.received, c.acked, c.sent, c.retrans);
    std::vector<KdfFlowData> reports;
    table_.ApplyDestroyed({Socket(c.state, 1000, 443, 0, 99) /* a stranger */, socket}, At(3),
                          reports);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(std::tie(reports[0].report_kind, reports[0].flow_end, reports[0].bytes_in,
                       reports[0].bytes_out),
              std::tuple(kKdfReportKindFinal, 1'700'000'003U, c.expect_in, c.expect_out))
        << int(c.state) << " " << c.received;
    EXPECT_TRUE(Apply({}, 4).empty());  // not reported twice
  }
}

class FakeMaps : public IKernelFlowMaps {
 public:
  bool ReadTcp(std::uint64_t cookie, orv_tcp_counters& out) override {
    const auto found = tcp.find(cookie);
    return found != tcp.end() && (out = found->second, true);
  }
  bool ReadUdp(const orv_flow_key& key, orv_udp_counters& out) override {
    const auto found = udp.find({key.cookie, key.remote_address[3]});
    return found != udp.end() && (out = found->second, true);
  }
  bool TakeUdp(const orv_flow_key& key, orv_udp_counters& out) override {
    return ReadUdp(key, out) && udp.erase({key.cookie, key.remote_address[3]}) == 1;
  }

  std::map<std::uint64_t, orv_tcp_counters> tcp;
  std::map<std::pair<std::uint64_t, std::uint8_t>, orv_udp_counters> udp;  // by remote's 4th byte
};

std::uint64_t Ns(int second) { return (1000ULL + second) * 1'000'000'000ULL; }

Bytes Event(std::uint8_t type, std::uint64_t cookie, std::uint8_t remote_host = 9,
            const std::function<void(orv_flow_event&)>& change = {}) {
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
  if (change) {
    change(event);
  }
  const auto* begin = reinterpret_cast<const std::uint8_t*>(&event);
  return {begin, begin + sizeof(event)};
}

struct KernelFlowTableTest : testing::Test {
  void Apply(const Bytes& bytes, int second = 0) { table.Apply(bytes, At(second), reports); }
  FakeMaps maps;
  FakeOwners owners;
  KernelFlowTable table{maps, owners};
  std::vector<KdfFlowData> reports;
};

TEST_F(KernelFlowTableTest, DropsTruncatedOversizedAndUnknownEvents) {
  Bytes oversized = Event(ORV_EVENT_TCP_OPENED, 4);
  oversized.push_back(0);
  const std::vector<Bytes> cases = {
      {},
      {ORV_EVENT_TCP_OPENED},
      oversized,
      Event(9, 1),
      Event(ORV_EVENT_TCP_OPENED, 2, 9, [](orv_flow_event& event) { event.family = 0; }),
      Event(ORV_EVENT_UDP_OPENED, 3, 9,
            [](orv_flow_event& event) { event.protocol = IPPROTO_TCP; }),
  };
  for (const auto& bytes : cases) {
    Apply(bytes);
  }
  EXPECT_EQ(table.MalformedEvents(), cases.size());
  EXPECT_EQ(table.FlowCount(), 0u);
  EXPECT_TRUE(reports.empty());
}

TEST_F(KernelFlowTableTest, TcpEndsWithTheClosingCountersAlsoWhenItsOpeningWasNotSeen) {
  Apply(Event(ORV_EVENT_TCP_CLOSED, 7, 9,
              [](orv_flow_event& event) {
                event.direction = 1;
                event.bytes_in = 500;
                event.bytes_out = 1000;
              }),
        3);
  ASSERT_EQ(reports.size(), 1u);
  const KdfFlowData& flow = reports[0];
  EXPECT_EQ(std::tie(flow.report_kind, flow.direction, flow.bytes_in, flow.bytes_out, flow.pid,
                     flow.process_path),
            std::tuple(kKdfReportKindFinal, kKdfDirectionRemoteIsSource, 500u, 1000u, 42u,
                       u"/usr/bin/app"));
  EXPECT_EQ(flow.remote.ipv4, (std::array<std::uint8_t, 4>{10, 0, 0, 9}));
  EXPECT_EQ(flow.flow_end - flow.flow_start, 3u);
  EXPECT_EQ(table.FlowCount(), 0u);
}

TEST_F(KernelFlowTableTest, UdpPairsEndAtReleaseOrWhenIdle) {
  for (const std::uint8_t host : {1, 2}) {
    Apply(Event(ORV_EVENT_UDP_OPENED, 5, host));
    maps.udp[{5, host}] = {host * 10ULL, host * 100ULL, Ns(30)};
  }
  Apply(Event(ORV_EVENT_UDP_OPENED, 6, 3));
  maps.udp[{6, 3}] = {7, 8, Ns(1)};
  table.ReportDue(At(30), 0, reports);
  EXPECT_TRUE(reports.empty()) << "nothing is due before the 60 s period";

  Apply(Event(ORV_EVENT_UDP_RELEASED, 5), 40);
  ASSERT_EQ(reports.size(), 2u);
  for (const KdfFlowData& flow : reports) {
    const std::uint8_t host = flow.remote.ipv4[3];
    EXPECT_EQ(std::tie(flow.bytes_in, flow.bytes_out, flow.report_kind),
              std::tuple(host * 10u, host * 100u, kKdfReportKindFinal));
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
  Apply(Event(ORV_EVENT_TCP_OPENED, 9));
  maps.tcp[9] = {300, 1000, Ns(0), 0, {}};
  table.ReportDue(At(1), 2, reports);
  EXPECT_TRUE(reports.empty());
  table.ReportDue(At(2), 2, reports);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(std::tie(reports[0].report_kind, reports[0].bytes_in),
            std::tuple(kReportKindInterim, 300u));

  // Gone from the kernel without a closing event: ended at the second check that misses it.
  maps.tcp.clear();
  reports.clear();
  table.ReportDue(At(4), 2, reports);
  EXPECT_TRUE(reports.empty());
  table.ReportDue(At(6), 2, reports);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(std::tie(reports[0].report_kind, reports[0].bytes_out),
            std::tuple(kKdfReportKindFinal, 1000u));
  EXPECT_EQ(table.FlowCount(), 0u);
}

TEST(ProcOwnerResolver, AProcessGoneBeforeItsLookupStillGetsItsImageByInode) {
  struct stat image {};
  ASSERT_EQ(::stat("/proc/self/exe", &image), 0);
  platform::ProcStat stat;
  int error = 0;
  ASSERT_EQ(platform::ReadProcStat(static_cast<std::uint32_t>(::getpid()), stat, error),
            kObSuccess);
  const auto device = static_cast<std::uint32_t>(major(image.st_dev) << 20 | minor(image.st_dev));
  const KernelOwner self{static_cast<std::uint32_t>(::getpid()), 0,
                         stat.start_time * (1'000'000'000ULL / ::sysconf(_SC_CLK_TCK)),
                         image.st_ino, device};
  KernelOwner gone = self;
  gone.pid = 0x3ffffff0U;  // no such process

  ProcOwnerResolver resolver;
  EXPECT_TRUE(resolver.Resolve(gone).path.empty());  // nothing known of that image yet
  const std::u16string path = resolver.Resolve(self).path;
  ASSERT_FALSE(path.empty());
  const ProcessDetails details = resolver.Resolve(gone);
  EXPECT_EQ(std::tie(details.pid, details.path), std::tie(gone.pid, path));
  EXPECT_TRUE(resolver.Resolve({gone.pid, 0, self.start_boottime_ns, image.st_ino + 1, device})
                  .path.empty());  // another image
}

TEST(COrvApiClassFactory, HandsOutInstancesOverOneProcessWidePlugin) {
  COrvApiClassFactory& factory = COrvApiClassFactory::Instance();
  std::unique_ptr<IOrvApi> api = factory.CreateInstance();
  ASSERT_NE(api, nullptr);
  ASSERT_EQ(api->Uninitialize(), kNgcSuccess);  // whatever an earlier test left

  // Closed: every request but Uninitialize is refused.
  OrvEndpointPair endpoints;
  endpoints.second_address.family = 2;
  endpoints.second_address.bytes = {127, 0, 0, 1};
  endpoints.second_port = htons(9);
  EXPECT_THAT((std::vector{api->EnableAppFlow(&endpoints), api->DisableAppFlow(),
                           api->NotifyNetworkChange(), api->SetFlowReportInterval(999)}),
              testing::Each(kNgcNotOpen));

  // Open once per process, whichever instance asks.
  EXPECT_EQ(api->OpenPlugin(), kNgcSuccess);
  EXPECT_EQ(api->ClosePlugin(), kNgcSuccess);
  EXPECT_EQ(factory.ReleaseInstance(api), kNgcSuccess);
  EXPECT_EQ(api, nullptr);
  api = factory.CreateInstance();
  EXPECT_EQ(api->OpenPlugin(), kNgcAlreadyOpen);
  EXPECT_EQ(api->SetFlowReportInterval(999), kNgcSuccess);
  EXPECT_EQ(api->NotifyNetworkChange(), kNgcSuccess);  // no reporter thread yet: nothing to do
  EXPECT_EQ(api->DisableAppFlow(), kNgcSuccess);

  // Unusable endpoints: none, no port, Linux's AF_INET6 (not a wire value).
  EXPECT_EQ(api->EnableAppFlow(nullptr), kNgcInvalidArgument);
  for (const auto& [family, port] : {std::pair<std::uint16_t, std::uint16_t>{2, 0}, {10, 9}}) {
    OrvEndpointPair bad = endpoints;
    bad.second_address.family = family;
    bad.second_port = htons(port);
    EXPECT_EQ(api->EnableAppFlow(&bad), kNgcInvalidArgument) << family;
  }

  EXPECT_EQ(api->Uninitialize(), kNgcSuccess);
  EXPECT_EQ(api->SetFlowReportInterval(1), kNgcNotOpen);
  EXPECT_EQ(api->OpenPlugin(), kNgcSuccess);
  EXPECT_EQ(api->Uninitialize(), kNgcSuccess);
}

}  // namespace
}  // namespace orv::driver
