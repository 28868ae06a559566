// DNS packets from a packet socket, where the kernel flow source cannot run: a classic BPF filter
// in the kernel lets only TCP and UDP packets to or from port 53 (IPv4 and IPv6, unfragmented)
// reach user space. It sees the agent's own network namespace only, and not which process
// received an answer, so what it learns is machine-wide. Needs CAP_NET_RAW. Not thread-safe: one
// owner.
#pragma once

#include <chrono>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "driver/dns_name_tracker.h"
#include "runtime/unique_fd.h"

namespace orv::driver {

// Packets read per Consume at most, so a flood cannot hold the reporter's thread.
inline constexpr std::size_t kDnsPacketsPerConsume = 256;

class DnsPacketSocket {
 public:
  // The open socket with its filter, or nullptr with the reason in why_not.
  [[nodiscard]] static std::unique_ptr<DnsPacketSocket> Open(std::string& why_not);

  // Becomes readable when packets wait.
  [[nodiscard]] int Fd() const noexcept { return fd_.get(); }
  // Hands the waiting packets to tracker without blocking.
  void Consume(DnsNameTracker& tracker, std::chrono::steady_clock::time_point now);

 private:
  explicit DnsPacketSocket(OBRuntime::UniqueFd fd);

  OBRuntime::UniqueFd fd_;
  std::vector<std::uint8_t> buffer_;
};

// Reads an IP packet (from its IP header) carrying TCP or UDP into out, its payload a view into
// ip; outgoing says which end is local. False for anything else or anything cut short.
[[nodiscard]] bool ReadIpPacket(std::span<const std::uint8_t> ip, bool outgoing, DnsPacket& out);

}  // namespace orv::driver
