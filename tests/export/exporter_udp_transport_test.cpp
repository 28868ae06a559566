#include "export/exporter_udp_transport.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/ip/v6_only.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/namespace_rerun.h"

namespace {

namespace asio = boost::asio;
using asio::ip::udp;

constexpr unsigned kHighestTriedPort = ExporterUDPTransport::kFirstLocalPort + 4 * 9;

// A collector socket on loopback port 0.
class Receiver {
 public:
  explicit Receiver(const udp& protocol) : socket_(io_) {
    boost::system::error_code error;
    socket_.open(protocol, error);
    const auto loopback = protocol == udp::v6()
                              ? asio::ip::address(asio::ip::address_v6::loopback())
                              : asio::ip::address(asio::ip::address_v4::loopback());
    if (!error) {
      socket_.bind(udp::endpoint(loopback, 0), error);
    }
    ok_ = !error;
  }
  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] std::string Port() { return std::to_string(socket_.local_endpoint().port()); }
  // The next datagram and its sender, waiting up to 10 s.
  [[nodiscard]] std::optional<std::vector<std::uint8_t>> Receive(udp::endpoint* sender) {
    pollfd poller{socket_.native_handle(), POLLIN, 0};
    if (::poll(&poller, 1, 10000) != 1) {
      return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(65536);
    bytes.resize(socket_.receive_from(asio::buffer(bytes), *sender));
    return bytes;
  }

 private:
  asio::io_context io_;
  udp::socket socket_;
  bool ok_ = false;
};

const std::vector<std::uint8_t> kMessage = {0x00, 0x0a, 0x00, 0x10, 1, 2, 3, 4,
                                            0,    0,    0,    1,    0, 0, 0, 127};

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
  udp::endpoint sender;
  const auto received = receiver.Receive(&sender);
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(*received, kMessage);
  EXPECT_EQ(sender.port(), transport.LocalPort());
}

bool IPv6LoopbackAvailable() { return Receiver(udp::v6()).ok(); }

TEST(ExporterUDPTransportTest, DeliversToLoopbackCollectorOverBothFamilies) {
  struct Case {
    udp protocol;
    std::string host;
    int family;
  };
  const std::vector<Case> cases = {{udp::v4(), "127.0.0.1", ExporterUDPTransport::kFamilyIPv4},
                                   {udp::v6(), "::1", ExporterUDPTransport::kFamilyIPv6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    Receiver receiver(c.protocol);
    if (!receiver.ok()) {
      continue;  // no IPv6 loopback on this machine
    }
    orv::test::LogCapture log;
    ExporterUDPTransport transport;
    ASSERT_EQ(transport.Connect(c.host, receiver.Port()), kObSuccess);
    EXPECT_EQ(transport.Family(), c.family);
    EXPECT_GE(transport.LocalPort(), ExporterUDPTransport::kFirstLocalPort);
    EXPECT_LE(transport.LocalPort(), kHighestTriedPort);
    EXPECT_TRUE(
        log.Has(LOG_DEBUG, "ExporterUDPTransport::resolveHandler", "Server resolved to " + c.host));
    ExpectDelivery(transport, receiver);
    EXPECT_EQ(transport.Disconnect(), kObSuccess);
    EXPECT_EQ(transport.Send(kMessage.data(), kMessage.size(), {}), kObNoSocket);
  }
}

TEST(ExporterUDPTransportTest, RejectsCollectorsThatDoNotResolve) {
  const std::vector<std::pair<std::string, std::string>> cases = {{"127.0.0.1", "ipfix"},
                                                                  {"127.0.0.1", "20x5"},
                                                                  {"127.0.0.1", ""},
                                                                  {"127.0.0.1", "-4739"},
                                                                  {"127.0.0.1", "0"},
                                                                  {"127.0.0.1", "65536"},
                                                                  {"127.0.0.1", " 4739"},
                                                                  {"collector.invalid", "4739"},
                                                                  {"no such host.invalid", "4739"},
                                                                  {"10.1.2.300", "4739"}};
  for (const auto& [host, port] : cases) {
    SCOPED_TRACE(host + " port " + port);
    orv::test::LogCapture log;
    ExporterUDPTransport transport;
    EXPECT_EQ(transport.Connect(host, port), kObFailure);
    EXPECT_TRUE(log.Contains("Failed to resolve endpoint with error: "));
    EXPECT_EQ(transport.Family(), ExporterUDPTransport::kFamilyNone);
    EXPECT_EQ(transport.Send(kMessage.data(), kMessage.size(), {}), kObNoSocket);
  }
}

TEST(ExporterUDPTransportTest, SendWithoutSocketOrTooLargeFails) {
  ExporterUDPTransport transport;
  EXPECT_EQ(transport.Send(kMessage.data(), kMessage.size(), {}), kObNoSocket);
  EXPECT_EQ(transport.LocalPort(), 0);

  Receiver receiver(udp::v4());
  ASSERT_TRUE(receiver.ok());
  ASSERT_EQ(transport.Connect("127.0.0.1", receiver.Port()), kObSuccess);
  const std::vector<std::uint8_t> oversized(70000, 0xAB);
  OB_STATUSCODE reported = 1;
  EXPECT_EQ(transport.Send(oversized.data(), oversized.size(),
                           [&](OB_STATUSCODE status, std::size_t) { reported = status; }),
            kObFailure);
  EXPECT_EQ(reported, kObFailure);
  // The socket stays usable after a failed send.
  ExpectDelivery(transport, receiver);
}

TEST(ExporterUDPTransportTest, KeepsSocketWithinFamilyAndReplacesItAcrossFamilies) {
  Receiver first(udp::v4());
  Receiver second(udp::v4());
  ASSERT_TRUE(first.ok() && second.ok());
  ExporterUDPTransport transport;
  ASSERT_EQ(transport.Connect("127.0.0.1", first.Port()), kObSuccess);
  const std::uint16_t port = transport.LocalPort();
  ExpectDelivery(transport, first);
  ASSERT_EQ(transport.Connect("127.0.0.1", second.Port()), kObSuccess);
  EXPECT_EQ(transport.LocalPort(), port);
  EXPECT_EQ(transport.Family(), ExporterUDPTransport::kFamilyIPv4);
  ExpectDelivery(transport, second);

  // A failed resolution keeps the socket and the earlier collector.
  EXPECT_EQ(transport.Connect("collector.invalid", "4739"), kObFailure);
  ExpectDelivery(transport, second);

  if (!IPv6LoopbackAvailable()) {
    GTEST_SKIP() << "no IPv6 loopback for the family switch";
  }
  Receiver six(udp::v6());
  ASSERT_EQ(transport.Connect("::1", six.Port()), kObSuccess);
  EXPECT_EQ(transport.Family(), ExporterUDPTransport::kFamilyIPv6);
  ExpectDelivery(transport, six);
  ASSERT_EQ(transport.Connect("127.0.0.1", first.Port()), kObSuccess);
  EXPECT_EQ(transport.Family(), ExporterUDPTransport::kFamilyIPv4);
  ExpectDelivery(transport, first);
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
TEST(ExporterUDPTransportTest, MovesUpFromTakenLocalPortAndGivesUpAfterFiveBinds) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  asio::io_context io;
  {
    auto taken = Occupy(io, udp::v4(), ExporterUDPTransport::kFirstLocalPort);
    ASSERT_NE(taken, nullptr);
    ExporterUDPTransport transport;
    ASSERT_EQ(transport.Connect("10.1.2.3", "2055"), kObSuccess);
    EXPECT_GT(transport.LocalPort(), ExporterUDPTransport::kFirstLocalPort);
    EXPECT_LE(transport.LocalPort(), kHighestTriedPort);
  }
  std::vector<std::unique_ptr<udp::socket>> all;
  for (unsigned port = ExporterUDPTransport::kFirstLocalPort; port <= kHighestTriedPort; ++port) {
    all.push_back(Occupy(io, udp::v4(), port));
  }
  orv::test::LogCapture log;
  ExporterUDPTransport transport;
  EXPECT_EQ(transport.Connect("10.1.2.3", "2055"), kObFailure);
  EXPECT_TRUE(log.Contains("Failed to bind to port "));
  EXPECT_EQ(transport.Family(), ExporterUDPTransport::kFamilyNone);
  EXPECT_EQ(transport.Send(kMessage.data(), kMessage.size(), {}), kObNoSocket);
  // Once a port is free again the next Connect succeeds.
  all.clear();
  EXPECT_EQ(transport.Connect("10.1.2.3", "2055"), kObSuccess);
  EXPECT_EQ(transport.LocalPort(), ExporterUDPTransport::kFirstLocalPort);
}

// Exit codes of the child in FailedFamilySwitchLeavesNoSocket.
enum ChildResult {
  kChildOk = 0,
  kChildFirstConnect = 10,
  kChildSwitch,
  kChildFamily,
  kChildSend,
  kChildLimit
};

// Runs in a forked child, which leaves with _exit before the transport's destructor: tearing
// down Boost.Asio's services with no descriptors left is not what this test is about.
int SwitchFamilyWithoutDescriptors(ExporterUDPTransport& transport) {
  if (transport.Connect("127.0.0.1", "4739") != kObSuccess) {
    return kChildFirstConnect;
  }
  // From now on no descriptor can be opened (those already open stay usable), so the socket
  // of the new family cannot be created once the old one is closed.
  const rlimit bound{3, 3};
  if (::setrlimit(RLIMIT_NOFILE, &bound) != 0) {
    return kChildLimit;
  }
  if (transport.Connect("::1", "4739") != kObFailure) {
    return kChildSwitch;
  }
  if (transport.Family() != ExporterUDPTransport::kFamilyNone) {
    return kChildFamily;
  }
  if (transport.Send(kMessage.data(), kMessage.size(), {}) != kObNoSocket) {
    return kChildSend;
  }
  return kChildOk;
}

TEST(ExporterUDPTransportTest, FailedFamilySwitchLeavesNoSocket) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ExporterUDPTransport transport;
    ::_exit(SwitchFamilyWithoutDescriptors(transport));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kChildOk);
}

}  // namespace
