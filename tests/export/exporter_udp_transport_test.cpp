#include "export/exporter_udp_transport.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "export/ipfix_test_support.h"
#include "support/child_process.h"
#include "support/namespace_rerun.h"

namespace {

namespace asio = boost::asio;
using asio::ip::udp;
using orv::test::Receiver;

constexpr unsigned kHighestTriedPort = ExporterUDPTransport::kFirstLocalPort + 4 * 9;
const std::vector<std::uint8_t> kMessage = orv::test::Wire::Message(1).Finish();

// Sends kMessage and checks that the receiver gets it from the transport's local port.
void ExpectDelivery(ExporterUDPTransport& transport, Receiver& receiver) {
  OB_STATUSCODE reported = 1;
  std::size_t reported_bytes = 0;
  ASSERT_EQ(transport.Send(kMessage.data(), kMessage.size(),
                           [&](OB_STATUSCODE status, std::size_t bytes) {
                             reported = status;
                             reported_bytes = bytes;
                           }),
            kObSuccess);
  EXPECT_EQ(reported, kObSuccess);
  EXPECT_EQ(reported_bytes, kMessage.size());
  std::uint16_t sender = 0;
  EXPECT_EQ(receiver.Receive(10000, &sender), kMessage);
  EXPECT_EQ(sender, transport.LocalPort());
}

TEST(ExporterUDPTransportTest, DeliversOverBothFamiliesAndKeepsTheSocketWithinOne) {
  Receiver first;
  Receiver second;
  ExporterUDPTransport transport;
  // Ports that are not a number from 1 to 65535 and hosts that do not resolve open no socket.
  const std::vector<std::pair<std::string, std::string>> unusable = {
      {"127.0.0.1", "ipfix"}, {"127.0.0.1", "20x5"},  {"127.0.0.1", ""},
      {"127.0.0.1", "0"},     {"127.0.0.1", "65536"}, {"10.1.2.300", "4739"}};
  for (const auto& [host, port] : unusable) {
    EXPECT_EQ(transport.Connect(host, port), kObFailure) << host << " port " << port;
    EXPECT_EQ(transport.Family(), ExporterUDPTransport::kFamilyNone);
  }
  EXPECT_EQ(transport.Send(kMessage.data(), kMessage.size(), {}), kObNoSocket);
  ASSERT_EQ(transport.Connect("127.0.0.1", first.Port()), kObSuccess);
  const std::uint16_t port = transport.LocalPort();
  EXPECT_GE(port, ExporterUDPTransport::kFirstLocalPort);
  EXPECT_LE(port, kHighestTriedPort);
  EXPECT_EQ(transport.Family(), ExporterUDPTransport::kFamilyIPv4);
  ExpectDelivery(transport, first);
  ASSERT_EQ(transport.Connect("127.0.0.1", second.Port()), kObSuccess);
  EXPECT_EQ(transport.LocalPort(), port);
  ExpectDelivery(transport, second);

  // A failed resolution keeps the socket and the earlier collector; so does a failed send.
  EXPECT_EQ(transport.Connect("collector.invalid", "4739"), kObFailure);
  const std::vector<std::uint8_t> oversized(70000, 0xAB);
  OB_STATUSCODE reported = 1;
  EXPECT_EQ(transport.Send(oversized.data(), oversized.size(),
                           [&](OB_STATUSCODE status, std::size_t) { reported = status; }),
            kObFailure);
  EXPECT_EQ(reported, kObFailure);
  ExpectDelivery(transport, second);

  Receiver six(udp::v6());
  if (!six.ok()) GTEST_SKIP() << "no IPv6 loopback for the family switch";
  ASSERT_EQ(transport.Connect("::1", six.Port()), kObSuccess);
  EXPECT_EQ(transport.Family(), ExporterUDPTransport::kFamilyIPv6);
  ExpectDelivery(transport, six);
  ASSERT_EQ(transport.Connect("127.0.0.1", first.Port()), kObSuccess);
  EXPECT_EQ(transport.Family(), ExporterUDPTransport::kFamilyIPv4);
  ExpectDelivery(transport, first);
  EXPECT_EQ(transport.Disconnect(), kObSuccess);
  EXPECT_EQ(transport.Send(kMessage.data(), kMessage.size(), {}), kObNoSocket);
}

// Binds a socket of the protocol to the port on the any-address; null when that fails.
std::unique_ptr<udp::socket> Occupy(asio::io_context& io, const udp& protocol, unsigned port) {
  auto socket = std::make_unique<udp::socket>(io);
  boost::system::error_code error;
  socket->open(protocol, error);
  socket->bind(udp::endpoint(protocol, static_cast<std::uint16_t>(port)), error);
  return error ? nullptr : std::move(socket);
}

// Ports are machine-wide, so the tests that take 25001 and its neighbours run in their own
// network namespace, where no other test competes for them.
TEST(ExporterUDPTransportTest, GivesUpAfterFiveBindsAndMovesUpFromATakenLocalPort) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  asio::io_context io;
  std::vector<std::unique_ptr<udp::socket>> all;
  for (unsigned port = ExporterUDPTransport::kFirstLocalPort; port <= kHighestTriedPort; ++port) {
    all.push_back(Occupy(io, udp::v4(), port));
    ASSERT_NE(all.back(), nullptr) << port;
  }
  ExporterUDPTransport transport;
  EXPECT_EQ(transport.Connect("10.1.2.3", "2055"), kObFailure);
  EXPECT_EQ(transport.Send(kMessage.data(), kMessage.size(), {}), kObNoSocket);
  // With only the first port still taken, the next Connect moves up from it.
  all.resize(1);
  EXPECT_EQ(transport.Connect("10.1.2.3", "2055"), kObSuccess);
  EXPECT_GT(transport.LocalPort(), ExporterUDPTransport::kFirstLocalPort);
  EXPECT_LE(transport.LocalPort(), kHighestTriedPort);
}

// The family is recorded only once the new socket is open: a switch that cannot open one leaves
// no socket behind. Run in a forked child, which leaves with _exit before the transport's
// destructor: tearing down Boost.Asio with no descriptors left is not what this is about.
TEST(ExporterUDPTransportTest, FailedFamilySwitchLeavesNoSocket) {
  EXPECT_EQ(orv::test::RunInChild([] {
              // Static, so the child's _exit leaves it standing.
              static std::optional<ExporterUDPTransport> kept;
              ExporterUDPTransport& transport = kept.emplace();
              if (transport.Connect("127.0.0.1", "4739") != kObSuccess) return 10;
              // No descriptor can be opened from now on; those already open stay usable.
              const rlimit bound{3, 3};
              if (::setrlimit(RLIMIT_NOFILE, &bound) != 0) return 11;
              if (transport.Connect("::1", "4739") != kObFailure) return 12;
              if (transport.Family() != ExporterUDPTransport::kFamilyNone) return 13;
              return transport.Send(kMessage.data(), kMessage.size(), {}) == kObNoSocket ? 0 : 14;
            }),
            0);
}

}  // namespace
