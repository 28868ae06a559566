// What the driver's namespace tests share: the test network (a veth pair with two non-loopback
// addresses, IPv4 and IPv6), sockets on it, and a stand-in for the flow data channel that decodes
// what the reporter sends.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/kdf_message.h"
#include "driver/orv_api_class_factory.h"
#include "runtime/unique_fd.h"
#include "support/namespace_rerun.h"

namespace orv::test::reporter {

using OBRuntime::UniqueFd;
using Clock = std::chrono::steady_clock;

inline constexpr auto kDeadline = std::chrono::seconds(15);
inline constexpr char kServerAddress[] = "10.211.0.1";
inline constexpr char kClientAddress[] = "10.211.0.2";

inline bool Ip(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"ip"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const orv::test::NamespaceRun run = orv::test::RunCollecting(argv, {});
  EXPECT_EQ(run.exit_status, 0) << "ip command failed: " << run.output;
  return run.exit_status == 0;
}

// Loopback for the channel; a veth pair carrying the two test addresses (IPv4 and IPv6).
inline bool SetUpLinks() {
  return Ip({"link", "set", "lo", "up"}) &&
         Ip({"link", "add", "fr0", "type", "veth", "peer", "name", "fr1"}) &&
         Ip({"link", "set", "fr0", "up"}) && Ip({"link", "set", "fr1", "up"}) &&
         Ip({"addr", "add", std::string(kServerAddress) + "/24", "dev", "fr0"}) &&
         Ip({"addr", "add", std::string(kClientAddress) + "/24", "dev", "fr1"}) &&
         Ip({"addr", "add", "fd00:211::1/64", "dev", "fr0", "nodad"}) &&
         Ip({"addr", "add", "fd00:211::2/64", "dev", "fr1", "nodad"});
}

inline sockaddr_in Ipv4(const char* address, std::uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  ::inet_pton(AF_INET, address, &result.sin_addr);
  return result;
}

inline std::uint16_t LocalPort(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(address).sin_port
                                            : reinterpret_cast<sockaddr_in6&>(address).sin6_port);
}

// An IPv4 socket of type bound to address and port; a TCP one listens.
inline UniqueFd Bound(int type, const char* address, std::uint16_t port = 0) {
  UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  const sockaddr_in local = Ipv4(address, port);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)), 0);
  EXPECT_TRUE(type != SOCK_STREAM || ::listen(fd.get(), 512) == 0);
  return fd;
}

// A socket of type from the client address connected to port of the server address; invalid
// when the connection failed.
inline UniqueFd ConnectTo(int type, std::uint16_t port) {
  UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  const sockaddr_in local = Ipv4(kClientAddress, 0);
  const sockaddr_in target = Ipv4(kServerAddress, port);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0 ||
      ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
    fd.Reset();
  }
  return fd;
}

// Sends (or receives) size bytes in whole; false when the peer went first.
inline bool Transfer(int fd, std::size_t size, bool send) {
  std::vector<char> data(std::min<std::size_t>(size, 1 << 20), 'x');
  for (std::size_t done = 0; done < size;) {
    const std::size_t chunk = std::min(data.size(), size - done);
    const ssize_t now =
        send ? ::send(fd, data.data(), chunk, MSG_NOSIGNAL) : ::recv(fd, data.data(), chunk, 0);
    if (now <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(now);
  }
  return true;
}
inline bool SendAll(int fd, std::size_t size) { return Transfer(fd, size, true); }
inline bool ReceiveAll(int fd, std::size_t size) { return Transfer(fd, size, false); }

// The flow data channel's stand-in: a UDP socket on 127.0.0.1, port chosen by the kernel.
class Channel {
 public:
  Channel() : fd_(Bound(SOCK_DGRAM, "127.0.0.1")) {
    // Room for bursts of reports (forced where the test may: it runs as root).
    const int buffer = 16 << 20;
    static_cast<void>(::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer)));
  }

  [[nodiscard]] OrvEndpointPair Endpoints() const {
    OrvEndpointPair endpoints;
    endpoints.first_address.family = 2;
    endpoints.second_address.family = 2;
    endpoints.second_address.bytes = {127, 0, 0, 1};
    endpoints.second_port = htons(LocalPort(fd_.get()));
    return endpoints;
  }

  // Hands each datagram to take until it answers true (then true) or the time is up.
  bool Receive(const std::function<bool(const std::vector<std::uint8_t>&)>& take,
               Clock::duration within = kDeadline) {
    const auto deadline = Clock::now() + within;
    std::vector<std::uint8_t> buffer(2048);
    for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
      pollfd ready{fd_.get(), POLLIN, 0};
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
      if (::poll(&ready, 1, static_cast<int>(wait.count()) + 1) <= 0) {
        continue;
      }
      const ssize_t got = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
      if (got > 0 && take(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + got))) {
        return true;
      }
    }
    return false;
  }

  // Hands each flow report to take likewise.
  bool ReceiveFlows(const std::function<bool(const KdfFlowData&)>& take,
                    Clock::duration within = kDeadline) {
    return Receive(
        [&](const std::vector<std::uint8_t>& bytes) {
          KdfFlowData flow;
          return bytes.size() == kKdfFlowDataSize && ParseKdfFlowData(bytes, flow) == kObSuccess &&
                 take(flow);
        },
        within);
  }

  // The first flow report that satisfies match, if one comes in time.
  std::optional<KdfFlowData> WaitForFlow(const std::function<bool(const KdfFlowData&)>& match,
                                         Clock::duration within = kDeadline) {
    std::optional<KdfFlowData> found;
    ReceiveFlows([&](const KdfFlowData& flow) { return match(flow) && (found = flow, true); },
                 within);
    return found;
  }

 private:
  UniqueFd fd_;
};

// Opens the plugin and starts reporting to channel with the interval.
inline std::unique_ptr<IOrvApi> StartReporter(const Channel& channel, std::uint32_t interval) {
  std::unique_ptr<IOrvApi> api = COrvApiClassFactory::Instance().CreateInstance();
  EXPECT_EQ(api->OpenPlugin(), kNgcSuccess);
  EXPECT_EQ(api->SetFlowReportInterval(interval), kNgcSuccess);
  const OrvEndpointPair endpoints = channel.Endpoints();
  EXPECT_EQ(api->EnableAppFlow(&endpoints), kNgcSuccess);
  return api;
}

}  // namespace orv::test::reporter
