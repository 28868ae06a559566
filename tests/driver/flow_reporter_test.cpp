// The flow reporter on the real kernel, inside a network namespace of the test's own: real TCP
// and UDP sockets between two non-loopback addresses, datagrams received on 127.0.0.1 and
// decoded with the channel's parsers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "driver/flow_table.h"
#include "driver/kdf_message.h"
#include "driver/orv_api_class_factory.h"
#include "driver/orv_api_linux.h"
#include "reporter_fixture.h"
#include "runtime/unique_fd.h"
#include "support/child_process.h"

namespace {

using namespace orv::test::reporter;

// A TCP connection between the two test addresses, both ends held by this process.
struct Connection {
  UniqueFd listener;
  UniqueFd client;
  UniqueFd server;
  std::uint16_t server_port = 0;
  std::uint16_t client_port = 0;
};

Connection Connect() {
  Connection connection;
  connection.listener.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in server = Ipv4(kServerAddress, 0);
  EXPECT_EQ(
      ::bind(connection.listener.get(), reinterpret_cast<const sockaddr*>(&server), sizeof(server)),
      0);
  EXPECT_EQ(::listen(connection.listener.get(), 4), 0);
  connection.server_port = LocalPort(connection.listener.get());
  connection.client.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in client = Ipv4(kClientAddress, 0);
  EXPECT_EQ(
      ::bind(connection.client.get(), reinterpret_cast<const sockaddr*>(&client), sizeof(client)),
      0);
  const sockaddr_in target = Ipv4(kServerAddress, connection.server_port);
  EXPECT_EQ(::connect(connection.client.get(), reinterpret_cast<const sockaddr*>(&target),
                      sizeof(target)),
            0);
  connection.server.Reset(::accept4(connection.listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  connection.client_port = LocalPort(connection.client.get());
  return connection;
}

void Transfer(int from, int to, std::size_t size) {
  const std::vector<char> data(size, 'x');
  ASSERT_EQ(::send(from, data.data(), data.size(), MSG_NOSIGNAL), static_cast<ssize_t>(size));
  std::vector<char> received(size);
  std::size_t total = 0;
  while (total < size) {
    const ssize_t got = ::recv(to, received.data() + total, size - total, 0);
    ASSERT_GT(got, 0);
    total += static_cast<std::size_t>(got);
  }
}

bool IsEnd(const KdfFlowData& flow, std::uint16_t local_port, std::uint16_t remote_port) {
  return flow.protocol == IPPROTO_TCP && flow.local.port == local_port &&
         flow.remote.port == remote_port;
}

TEST(FlowReporter, ReportsATcpConnectionFromBothEnds) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  ASSERT_TRUE(SetUpLinks());
  Channel channel;
  std::unique_ptr<IOrvApi> api = StartReporter(channel, 1);
  Connection connection = Connect();
  ASSERT_TRUE(connection.server.valid());
  Transfer(connection.client.get(), connection.server.get(), 1000);
  Transfer(connection.server.get(), connection.client.get(), 300);
  const auto own_pid = static_cast<std::uint32_t>(::getpid());
  const auto ppid = static_cast<std::uint32_t>(::getppid());

  // Interim reports while it lives, with the counters of the transfer.
  const auto interim = channel.WaitForFlow([&](const KdfFlowData& flow) {
    return IsEnd(flow, connection.client_port, connection.server_port) &&
           flow.report_kind != kKdfReportKindFinal && flow.bytes_out >= 1000;
  });
  ASSERT_TRUE(interim.has_value());
  EXPECT_EQ(interim->pid, own_pid);
  EXPECT_EQ(interim->parent_pid, ppid);
  EXPECT_FALSE(interim->process_path.empty());
  EXPECT_EQ(interim->address_family, kKdfFamilyIPv4);
  EXPECT_EQ(interim->local.ipv4, (std::array<std::uint8_t, 4>{10, 211, 0, 2}));
  EXPECT_EQ(interim->remote.ipv4, (std::array<std::uint8_t, 4>{10, 211, 0, 1}));
  EXPECT_EQ(interim->direction, 0);
  EXPECT_EQ(interim->bytes_in, 300u);
  EXPECT_EQ(interim->bytes_out, 1000u);

  const auto inbound = channel.WaitForFlow([&](const KdfFlowData& flow) {
    return IsEnd(flow, connection.server_port, connection.client_port);
  });
  ASSERT_TRUE(inbound.has_value());
  EXPECT_EQ(inbound->direction, kKdfDirectionRemoteIsSource);
  EXPECT_EQ(inbound->pid, own_pid);
  EXPECT_EQ(inbound->bytes_in, 1000u);
  EXPECT_EQ(inbound->bytes_out, 300u);

  // Closed: one final report with the whole transfer.
  const std::uint16_t client_port = connection.client_port;
  const std::uint16_t server_port = connection.server_port;
  connection.client.Reset();
  connection.server.Reset();
  EXPECT_EQ(api->NotifyNetworkChange(), kNgcSuccess);
  const auto final_report = channel.WaitForFlow([&](const KdfFlowData& flow) {
    return IsEnd(flow, client_port, server_port) && flow.report_kind == kKdfReportKindFinal;
  });
  ASSERT_TRUE(final_report.has_value());
  EXPECT_EQ(final_report->pid, own_pid);
  EXPECT_EQ(final_report->direction, 0);
  EXPECT_EQ(final_report->bytes_out, 1000u);
  EXPECT_EQ(final_report->bytes_in, 300u);
  EXPECT_GE(final_report->flow_end, final_report->flow_start);
  EXPECT_EQ(api->Uninitialize(), kNgcSuccess);
}

TEST(FlowReporter, ReportsConnectedUdpOverIpv6) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  ASSERT_TRUE(SetUpLinks());
  Channel channel;
  std::unique_ptr<IOrvApi> api = StartReporter(channel, 1);
  const UniqueFd udp(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in6 target{};
  target.sin6_family = AF_INET6;
  target.sin6_port = htons(5300);
  ::inet_pton(AF_INET6, "fd00:211::1", &target.sin6_addr);
  ASSERT_EQ(::connect(udp.get(), reinterpret_cast<const sockaddr*>(&target), sizeof(target)), 0);
  const std::uint16_t local_port = LocalPort(udp.get());
  const auto report = channel.WaitForFlow([&](const KdfFlowData& flow) {
    return flow.protocol == IPPROTO_UDP && flow.local.port == local_port;
  });
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->address_family, kKdfFamilyIPv6);
  EXPECT_EQ(report->remote.family, kKdfFamilyIPv6);
  EXPECT_EQ(report->remote.port, 5300);
  EXPECT_EQ(report->remote.ipv6[0], 0xfd);
  EXPECT_EQ(report->remote.ipv6[15], 1);
  EXPECT_EQ(report->bytes_in, 0u);  // the kernel keeps no UDP byte counters
  EXPECT_EQ(report->pid, static_cast<std::uint32_t>(::getpid()));
  EXPECT_EQ(api->Uninitialize(), kNgcSuccess);
}

TEST(FlowReporter, InterimReportsFollowTheInterval) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  ASSERT_TRUE(SetUpLinks());
  Channel channel;
  std::unique_ptr<IOrvApi> api = StartReporter(channel, 0);
  Connection connection = Connect();
  auto is_client = [&connection](const KdfFlowData& flow) {
    return IsEnd(flow, connection.client_port, connection.server_port);
  };
  // Interval 0: final reports only, so nothing arrives for the live connection.
  EXPECT_FALSE(channel.WaitForFlow(is_client, std::chrono::milliseconds(2500)).has_value());

  EXPECT_EQ(api->SetFlowReportInterval(2), kNgcSuccess);
  std::vector<std::uint32_t> times;
  while (times.size() < 3) {
    const auto report = channel.WaitForFlow(is_client);
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->report_kind, orv::driver::kReportKindInterim);
    times.push_back(report->flow_end);
  }
  // Two seconds apart by the monotonic clock: at least one apart in whole wall seconds.
  EXPECT_GE(times[1] - times[0], 1u);
  EXPECT_GE(times[2] - times[1], 1u);
  EXPECT_EQ(api->Uninitialize(), kNgcSuccess);
}

TEST(FlowReporter, AnnouncesStartedProcesses) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  ASSERT_TRUE(SetUpLinks());
  Channel channel;
  std::unique_ptr<IOrvApi> api = StartReporter(channel, 1);
  // A report of a connection proves a poll has run, so the child below is new to the reporter.
  const Connection connection = Connect();
  ASSERT_TRUE(channel
                  .WaitForFlow([&](const KdfFlowData& flow) {
                    return IsEnd(flow, connection.client_port, connection.server_port);
                  })
                  .has_value());
  const orv::test::ChildProcess child("/bin/sleep", {"sleep", "30"});
  EXPECT_TRUE(channel.WaitForPidInfo(static_cast<std::uint32_t>(child.pid())));
  EXPECT_EQ(api->Uninitialize(), kNgcSuccess);
}

TEST(FlowReporter, DisableAppFlowStopsTheDatagrams) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  ASSERT_TRUE(SetUpLinks());
  Channel channel;
  std::unique_ptr<IOrvApi> api = StartReporter(channel, 1);
  const Connection connection = Connect();
  auto is_client = [&connection](const KdfFlowData& flow) {
    return IsEnd(flow, connection.client_port, connection.server_port);
  };
  ASSERT_TRUE(channel.WaitForFlow(is_client).has_value());
  EXPECT_EQ(api->DisableAppFlow(), kNgcSuccess);
  channel.CountArrivals(std::chrono::milliseconds(100));  // what was sent before the stop
  EXPECT_EQ(api->NotifyNetworkChange(), kNgcSuccess);
  EXPECT_EQ(channel.CountArrivals(std::chrono::milliseconds(2500)), 0);

  // Enabled again, it reports the live connection afresh.
  const OrvEndpointPair endpoints = channel.Endpoints();
  EXPECT_EQ(api->EnableAppFlow(&endpoints), kNgcSuccess);
  EXPECT_TRUE(channel.WaitForFlow(is_client).has_value());
  EXPECT_EQ(api->Uninitialize(), kNgcSuccess);
}

}  // namespace
