// Learns host names from the DNS packets of the machine's sockets: remembers each query a socket
// sends to port 53 and, when the answer to it arrives from port 53 on the same socket, hands the
// answer's addresses to the name cache under the question's name.
//
// An answer is taken only when it matches a pending query in everything: protocol, both
// addresses and ports, message id, question name and type. So an answer from another port, one
// nobody asked for, or one a local user sends to a socket of their own cannot plant a name
// (sending from port 53 needs privilege). At most kDnsMaxPendingQueries queries wait, each for
// kDnsQueryLifetime; a query that finds no room is counted and its answer will be ignored.
// DNS over TCP is read when a segment holds one whole message. Not thread-safe: one owner.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>

#include "driver/dns_name_cache.h"

namespace orv::driver {

inline constexpr std::size_t kDnsMaxPendingQueries = 4096;
inline constexpr std::chrono::seconds kDnsQueryLifetime{30};
inline constexpr std::uint16_t kDnsPort = 53;

// A DNS packet seen on one of the machine's sockets.
struct DnsPacket {
  std::uint8_t protocol = 0;  // IPPROTO_UDP or IPPROTO_TCP
  std::uint8_t family = 0;
  bool egress = false;  // the socket sent it
  std::array<std::uint8_t, 16> local_address{};
  std::array<std::uint8_t, 16> remote_address{};
  std::uint16_t local_port = 0;
  std::uint16_t remote_port = 0;
  std::uint32_t pid = 0;                  // the socket's owner; 0 when unknown
  std::span<const std::uint8_t> payload;  // the UDP payload or the TCP segment's
};

// Reads a kernel DNS packet event (untrusted bytes); false when it is malformed or truncated.
[[nodiscard]] bool ReadDnsPacketEvent(std::span<const std::uint8_t> bytes, DnsPacket& out);

class DnsNameTracker {
 public:
  // cache must outlive the tracker.
  explicit DnsNameTracker(DnsNameCache& cache);

  void Apply(const DnsPacket& packet, std::chrono::steady_clock::time_point now);

  [[nodiscard]] std::size_t PendingQueries() const noexcept { return pending_.size(); }
  // Answers dropped: from another port than 53, or to no pending query.
  [[nodiscard]] std::uint64_t IgnoredAnswers() const noexcept { return ignored_answers_; }

 private:
  struct Key {
    std::uint8_t protocol = 0;
    std::uint8_t family = 0;
    std::uint16_t id = 0;
    std::uint16_t local_port = 0;
    std::uint16_t remote_port = 0;
    std::array<std::uint8_t, 16> local_address{};
    std::array<std::uint8_t, 16> remote_address{};
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& key) const noexcept;
  };
  struct Query {
    std::string question;
    std::uint16_t type = 0;
    std::chrono::steady_clock::time_point asked;
  };

  void asked(const Key& key, DnsMessage&& query, std::chrono::steady_clock::time_point now);
  void answered(const Key& key, const DnsMessage& answer, std::uint32_t pid,
                std::chrono::steady_clock::time_point now);

  DnsNameCache& cache_;
  std::unordered_map<Key, Query, KeyHash> pending_;
  DnsMessage message_;  // reused, so a packet costs no allocation in the common case
  std::uint64_t ignored_answers_ = 0;
};

}  // namespace orv::driver
