// The agent's own helpers: the fixed address rules that admission applies to every flow, and the
// creation of the ORV data directory.
//
// The address rules take the address text admission formats (at most 64 characters) and, where
// the rule differs by family, the wire family (2 IPv4, 23 IPv6). They allocate nothing for IPv4
// texts, so a dropped flow stays cheap. Every function is safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "common/status.h"

namespace ORVUtils {

// Tells whether an IPv4 text is the directed broadcast address of one of the endpoint's
// interfaces (whose own address differs from it).
using InterfaceBroadcastLookup = std::function<bool(std::string_view address)>;

// "255.255.255.255", or an IPv4 interface broadcast address by lookup (null: the process-wide
// interface manager).
[[nodiscard]] bool CheckBroadcast(std::string_view address,
                                  const InterfaceBroadcastLookup& lookup = nullptr);
// IPv4 224 to 239 in the first part; IPv6 texts starting "ff" in any case. A first IPv4 part
// that is not a number is logged and answers false.
[[nodiscard]] bool CheckMulticast(std::string_view address, std::uint32_t family);
// Link-local addresses: IPv4 169.254.0.0/16, IPv6 fe80::/10. Texts that do not parse as the
// family's address answer false.
[[nodiscard]] bool CheckLinkLocal(std::string_view address, std::uint32_t family);
// 127.0.0.0/8 or ::1; a text that is no address is logged and answers false.
[[nodiscard]] bool CheckLoopback(std::string_view address);

// Creates the ORV data directory (missing parents 0755, the directory 0700); an existing one is
// success. kObFailure, logged with the path and errno, otherwise.
[[nodiscard]] OB_STATUSCODE CreateORVDirectory();

}  // namespace ORVUtils
