// Names and value types of the information elements the collector-side decoder knows: the IANA
// elements the agent uses (and a few common ones), and the agent's private elements under
// enterprise number 9 with names of their own. The same names are shipped for other collectors
// in packaging/ipfix/.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class IpfixValueType {
  kUnsigned,         // unsigned8 to unsigned64, reduced-size encoding allowed
  kDateTimeSeconds,  // seconds since 1970, as an unsigned number
  kIPv4Address,
  kIPv6Address,
  kString,        // UTF-8 text
  kOctets,        // shown as lowercase hex
  kTextOrOctets,  // text when the field is variable-length, else octets
  kBasicList,     // RFC 6313
};

inline constexpr std::uint32_t kIpfixAgentEnterprise = 9;

struct IpfixElementInfo {
  std::uint32_t enterprise;
  std::uint16_t id;
  std::string_view name;
  IpfixValueType type;
};

// The table entry of an element; null when the element is unknown.
[[nodiscard]] const IpfixElementInfo* FindIpfixElement(std::uint32_t enterprise, std::uint16_t id);
// The element's name; an unknown one is named "ie<id>" (IANA) or "e<enterprise>.<id>".
[[nodiscard]] std::string IpfixElementName(std::uint32_t enterprise, std::uint16_t id);
