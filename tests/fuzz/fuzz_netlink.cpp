// Fuzzes the network monitor's rtnetlink parser: arbitrary bytes as one received buffer. The
// parser must stay inside the buffer (AddressSanitizer checks) and make at most one event per
// 16-byte message header, plus the marker that ends a malformed buffer.
#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "runtime/network_monitor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto events = OBRuntime::NetworkMonitor::internal::ParseNetlinkBuffer(
      std::span<const std::uint8_t>(data, size));
  if (events.size() > size / sizeof(nlmsghdr) + 1) {
    std::abort();
  }
  return 0;
}
