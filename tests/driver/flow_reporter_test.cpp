// The flow reporter on the real kernel, inside a network namespace of the test's own: real TCP
// and UDP sockets between two non-loopback addresses, datagrams received on 127.0.0.1 and
// decoded with the channel's parsers.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/flow_table.h"
#include "reporter_fixture.h"
#include "support/child_process.h"

namespace {

using namespace orv::test::reporter;

// A TCP connection between the two test addresses, both ends held by this process.
struct Connection {
  UniqueFd listener = Bound(SOCK_STREAM, kServerAddress);
  UniqueFd client = ConnectTo(SOCK_STREAM, LocalPort(listener.get()));
  UniqueFd server{::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC)};
  std::uint16_t server_port = LocalPort(listener.get());
  std::uint16_t client_port = LocalPort(client.get());

  [[nodiscard]] bool IsClientEnd(const KdfFlowData& flow) const {
    return flow.protocol == IPPROTO_TCP && flow.local.port == client_port &&
           flow.remote.port == server_port;
  }
};

TEST(FlowReporter, ReportsTcpFromBothEndsUdpOverIpv6NewProcessesAndStopsWhenDisabled) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  ASSERT_TRUE(SetUpLinks());
  Channel channel;
  std::unique_ptr<IOrvApi> api = StartReporter(channel, 1);
  Connection connection;
  ASSERT_TRUE(SendAll(connection.client.get(), 1000) && ReceiveAll(connection.server.get(), 1000));
  ASSERT_TRUE(SendAll(connection.server.get(), 300) && ReceiveAll(connection.client.get(), 300));
  const auto own_pid = static_cast<std::uint32_t>(::getpid());

  // Interim reports while it lives, with the counters of the transfer.
  const auto interim = channel.WaitForFlow([&](const KdfFlowData& flow) {
    return connection.IsClientEnd(flow) && flow.report_kind == orv::driver::kReportKindInterim &&
           flow.bytes_out >= 1000;
  });
  ASSERT_TRUE(interim.has_value());
  EXPECT_EQ(interim->pid, own_pid);
  EXPECT_EQ(interim->parent_pid, static_cast<std::uint32_t>(::getppid()));
  EXPECT_FALSE(interim->process_path.empty());
  EXPECT_EQ(interim->address_family, kKdfFamilyIPv4);
  EXPECT_EQ(interim->local.ipv4, (std::array<std::uint8_t, 4>{10, 211, 0, 2}));
  EXPECT_EQ(interim->remote.ipv4, (std::array<std::uint8_t, 4>{10, 211, 0, 1}));
  EXPECT_EQ(interim->direction, 0);
  EXPECT_EQ(interim->bytes_in, 300u);
  EXPECT_EQ(interim->bytes_out, 1000u);
  const auto inbound = channel.WaitForFlow([&](const KdfFlowData& flow) {
    return flow.protocol == IPPROTO_TCP && flow.local.port == connection.server_port &&
           flow.remote.port == connection.client_port;
  });
  ASSERT_TRUE(inbound.has_value());
  EXPECT_EQ(inbound->direction, kKdfDirectionRemoteIsSource);
  EXPECT_EQ(inbound->bytes_in, 1000u);

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
  EXPECT_EQ(report->address_family, kKdfFamilyIPv6);
  EXPECT_EQ(report->remote.port, 5300);
  EXPECT_EQ(std::memcmp(report->remote.ipv6.data(), target.sin6_addr.s6_addr, 16), 0);
  EXPECT_EQ(report->pid, own_pid);

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
  EXPECT_TRUE(channel.WaitForFlow([&](const KdfFlowData& f) { return connection.IsClientEnd(f); })
                  .has_value());

  // Closed: one final report with the whole transfer.
  connection.client.Reset();
  connection.server.Reset();
  EXPECT_EQ(api->NotifyNetworkChange(), kNgcSuccess);
  const auto final_report = channel.WaitForFlow([&](const KdfFlowData& flow) {
    return connection.IsClientEnd(flow) && flow.report_kind == kKdfReportKindFinal;
  });
  ASSERT_TRUE(final_report.has_value());
  EXPECT_EQ(final_report->bytes_out, 1000u);
  EXPECT_EQ(final_report->bytes_in, 300u);
  EXPECT_GE(final_report->flow_end, final_report->flow_start);
  EXPECT_EQ(api->Uninitialize(), kNgcSuccess);
}

}  // namespace
