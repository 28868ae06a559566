// Fuzzes the flow reporter's netlink parsers: arbitrary bytes as one received sock_diag buffer
// and as one process connector buffer. The parsers must stay inside the buffer (AddressSanitizer
// checks) and decode at most one socket or process per 16-byte message header.
#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "driver/inet_diag.h"
#include "driver/proc_connector.h"
#include "fuzz_support.h"

namespace {}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orv::fuzz::SilenceLogs();
  const std::span<const std::uint8_t> bytes(data, size);
  std::vector<orv::driver::DiagSocket> sockets;
  orv::driver::DiagBufferEnd end = orv::driver::DiagBufferEnd::kMore;
  static_cast<void>(orv::driver::ParseInetDiagBuffer(bytes, 6, sockets, end));
  std::vector<std::uint32_t> started;
  static_cast<void>(orv::driver::ParseProcConnectorBuffer(bytes, started));
  if (sockets.size() > size / sizeof(nlmsghdr) || started.size() > size / sizeof(nlmsghdr)) {
    std::abort();
  }
  return 0;
}
