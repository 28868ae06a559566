// A strict, bounded reader of DNS messages (RFC 1035) as they travel over UDP: enough of a query
// to match its answer, and of an answer the IPv4 and IPv6 addresses of the name asked.
//
// Bounds: exactly one question; names at most 255 bytes on the wire, labels at most 63 bytes of
// letters, digits, '-' and '_' (anything else would make the dotted text ambiguous); compression
// pointers only to earlier bytes and at most kDnsMaxPointerJumps of them per name; every length
// checked against the message. CNAME chains are followed from the question, at most
// kDnsMaxChainLength links; the name recorded for every address is the question's. A message
// that breaks a bound is refused as a whole.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace orv::driver {

inline constexpr std::size_t kDnsMaxPointerJumps = 16;
inline constexpr std::size_t kDnsMaxChainLength = 8;
// Addresses kept from one answer; the rest are ignored.
inline constexpr std::size_t kDnsMaxAddresses = 32;

inline constexpr std::uint16_t kDnsTypeA = 1;
inline constexpr std::uint16_t kDnsTypeCname = 5;
inline constexpr std::uint16_t kDnsTypeAaaa = 28;

struct DnsAddress {
  std::uint8_t family = 0;                 // AF_INET or AF_INET6
  std::array<std::uint8_t, 16> address{};  // network order; IPv4 in the first four bytes
  std::uint32_t ttl_seconds = 0;           // the smallest TTL on the way from the question
};

struct DnsMessage {
  std::uint16_t id = 0;
  bool is_response = false;
  std::uint8_t response_code = 0;
  std::string question;  // lower case, dotted, without the root's dot
  std::uint16_t question_type = 0;
  std::vector<DnsAddress> addresses;  // A and AAAA answers for the question
};

// Reads message; false when it is not a well-formed DNS message within the bounds above.
[[nodiscard]] bool ParseDnsMessage(std::span<const std::uint8_t> message, DnsMessage& out);

}  // namespace orv::driver
