// Process start events from the kernel's process connector (netlink), for the flow reporter's
// pid information messages.
//
// The connector exists only in the initial network namespace and its multicast group needs
// CAP_NET_ADMIN on most kernels; where Open fails the reporter falls back to looking for new
// /proc entries at each poll. A ProcConnector belongs to one thread.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/status.h"
#include "runtime/unique_fd.h"

namespace orv::driver {

// Appends the process id of every process start in bytes to started: a fork that made a new
// process (not a thread) and an exec. Other events are skipped. kObBadArgument (logged) for a
// truncated or malformed message; ids decoded before it stay in started.
[[nodiscard]] OB_STATUSCODE ParseProcConnectorBuffer(std::span<const std::uint8_t> bytes,
                                                     std::vector<std::uint32_t>& started);

class ProcConnector {
 public:
  ProcConnector() = default;
  ProcConnector(const ProcConnector&) = delete;
  ProcConnector& operator=(const ProcConnector&) = delete;

  // Subscribes to process events. kObNotFound when the kernel refuses, with the errno in
  // os_error; not logged, the caller decides.
  [[nodiscard]] OB_STATUSCODE Open(int& os_error);
  // The descriptor to wait on, -1 until Open succeeded.
  [[nodiscard]] int Fd() const noexcept { return fd_.get(); }
  // Appends the ids of processes started since the last call, without blocking. Returns false
  // when events were lost (full receive buffer); on a lasting socket error the connector also
  // closes itself (Fd() turns -1), so the caller falls back to /proc.
  [[nodiscard]] bool Read(std::vector<std::uint32_t>& started);

 private:
  OBRuntime::UniqueFd fd_;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace orv::driver
