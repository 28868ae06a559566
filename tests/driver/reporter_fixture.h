// What the flow reporter's tests share: the test network inside a namespace of the test's own
// (a veth pair with two non-loopback addresses) and a stand-in for the flow data channel that
// decodes what the reporter sends.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

// The flow data channel's stand-in: a UDP socket on 127.0.0.1, port chosen by the kernel.
class Channel {
 public:
  Channel() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    // Room for bursts of reports (forced where the test may: it runs as root).
    const int buffer = 16 << 20;
    static_cast<void>(::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer)));
    const sockaddr_in address = Ipv4("127.0.0.1", 0);
    EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    port_ = LocalPort(fd_.get());
  }

  [[nodiscard]] OrvEndpointPair Endpoints() const {
    OrvEndpointPair endpoints;
    endpoints.first_address.family = 2;
    endpoints.second_address.family = 2;
    endpoints.second_address.bytes = {127, 0, 0, 1};
    endpoints.second_port = htons(port_);
    return endpoints;
  }

  // Receives flow reports into seen until done(seen) holds or the time is up; the verdict of done.
  bool CollectFlows(std::vector<KdfFlowData>& seen,
                    const std::function<bool(const std::vector<KdfFlowData>&)>& done,
                    Clock::duration within = kDeadline) {
    bool finished = false;
    Receive(within, [&](const std::vector<std::uint8_t>& bytes) {
      KdfFlowData flow;
      if (bytes.size() == kKdfFlowDataSize && ParseKdfFlowData(bytes, flow) == kObSuccess) {
        seen.push_back(flow);
      }
      finished = done(seen);
      return finished;
    });
    return finished;
  }

  // Receives until a flow report satisfies match (returned) or the deadline passes.
  std::optional<KdfFlowData> WaitForFlow(const std::function<bool(const KdfFlowData&)>& match,
                                         Clock::duration within = kDeadline) {
    std::optional<KdfFlowData> found;
    Receive(within, [&](const std::vector<std::uint8_t>& bytes) {
      KdfFlowData flow;
      if (bytes.size() == kKdfFlowDataSize && ParseKdfFlowData(bytes, flow) == kObSuccess &&
          match(flow)) {
        found = flow;
      }
      return found.has_value();
    });
    return found;
  }

  // Receives until a pid information message for pid arrives; false at the deadline.
  bool WaitForPidInfo(std::uint32_t pid) {
    bool found = false;
    Receive(kDeadline, [&](const std::vector<std::uint8_t>& bytes) {
      KdfPidInfo info;
      found = bytes.size() == kKdfPidInfoSize && ParseKdfPidInfo(bytes, info) == kObSuccess &&
              info.header.type == kKdfTypePidInfo && info.pid == pid;
      return found;
    });
    return found;
  }

  // The number of datagrams that arrive within the window.
  int CountArrivals(Clock::duration window) {
    int count = 0;
    Receive(window, [&count](const std::vector<std::uint8_t>&) {
      ++count;
      return false;
    });
    return count;
  }

 private:
  // Hands each datagram to take until it answers true or the time is up.
  void Receive(Clock::duration within,
               const std::function<bool(const std::vector<std::uint8_t>&)>& take) {
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
        return;
      }
    }
  }

  UniqueFd fd_;
  std::uint16_t port_ = 0;
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
