// The flow reporter's view of the kernel's socket table, through sock_diag (inet_diag) netlink.
//
// ParseInetDiagBuffer decodes one received netlink buffer (a dump answer or destroy
// notifications) into DiagSocket values; it never reads past the buffer and rejects a message
// whose header or body is cut short. SockDiagChannel owns the netlink sockets: one request and
// answer at a time for dumps, and optionally a second socket subscribed to the destroy
// notifications, which the kernel only grants to a process with CAP_NET_ADMIN over its network
// namespace. Nothing here is shared between threads; each SockDiagChannel belongs to one thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "common/status.h"
#include "runtime/unique_fd.h"

namespace orv::driver {

// TCP states as the kernel numbers them (include/net/tcp_states.h); UDP uses kEstablished for a
// connected socket and kClose for an unconnected one.
inline constexpr std::uint8_t kTcpEstablished = 1;
inline constexpr std::uint8_t kTcpSynSent = 2;
inline constexpr std::uint8_t kTcpSynRecv = 3;
inline constexpr std::uint8_t kTcpTimeWait = 6;
inline constexpr std::uint8_t kTcpClose = 7;
inline constexpr std::uint8_t kTcpListen = 10;
inline constexpr std::uint8_t kTcpNewSynRecv = 12;

// One socket as sock_diag describes it.
struct DiagSocket {
  std::uint8_t family = 0;    // AF_INET or AF_INET6
  std::uint8_t protocol = 0;  // IPPROTO_TCP or IPPROTO_UDP
  std::uint8_t state = 0;
  std::array<std::uint8_t, 16> local_address{};  // network order; IPv4 in the first four bytes
  std::array<std::uint8_t, 16> remote_address{};
  std::uint16_t local_port = 0;  // host order
  std::uint16_t remote_port = 0;
  std::uint32_t inode = 0;   // 0 when no process holds the socket (orphaned, or a notification)
  std::uint64_t cookie = 0;  // the kernel's socket identity, stable for the socket's life
  // The kernel's TCP counters (tcp_info), valid when has_counters. bytes_received and
  // bytes_acked count the FIN (and bytes_acked the SYN) as one byte each, as sequence numbers do;
  // bytes_sent and bytes_retrans count payload only but exist from Linux 4.19 (has_sent_counters).
  bool has_counters = false;
  bool has_sent_counters = false;
  std::uint64_t bytes_received = 0;
  std::uint64_t bytes_acked = 0;
  std::uint64_t bytes_sent = 0;
  std::uint64_t bytes_retrans = 0;
};

// How a buffer ended: more answer parts to come, or the dump is complete.
enum class DiagBufferEnd { kMore, kDone };

// Appends the sockets of every SOCK_DIAG_BY_FAMILY message in bytes to out. default_protocol
// applies when a message carries no protocol attribute (dump answers do not). kObBadArgument
// (logged) for a truncated or malformed message, kObFailure (logged) for a netlink error
// message; sockets decoded before the fault stay in out.
[[nodiscard]] OB_STATUSCODE ParseInetDiagBuffer(std::span<const std::uint8_t> bytes,
                                                std::uint8_t default_protocol,
                                                std::vector<DiagSocket>& out, DiagBufferEnd& end);

class SockDiagChannel {
 public:
  SockDiagChannel() = default;
  SockDiagChannel(const SockDiagChannel&) = delete;
  SockDiagChannel& operator=(const SockDiagChannel&) = delete;

  // Appends every socket of family (AF_INET, AF_INET6) and protocol whose state is in
  // state_mask (bit n for state n) to out, TCP with its byte counters. kObFailure (logged) when
  // netlink fails or answers garbage.
  [[nodiscard]] OB_STATUSCODE Dump(std::uint8_t family, std::uint8_t protocol,
                                   std::uint32_t state_mask, std::vector<DiagSocket>& out);

  // Subscribes to the destroy notifications of TCP and UDP, IPv4 and IPv6. kObNotFound when the
  // kernel refuses (no capability), with the errno in os_error; not logged, the caller decides.
  [[nodiscard]] OB_STATUSCODE OpenDestroyNotifications(int& os_error);
  // The notification descriptor to wait on, -1 when not subscribed.
  [[nodiscard]] int NotificationFd() const noexcept { return notifications_.get(); }
  // Appends the sockets of every destroy notification waiting now, without blocking. A lost
  // batch (full receive buffer) is logged; the poll that follows catches those flows.
  void ReadDestroyNotifications(std::vector<DiagSocket>& out);

 private:
  [[nodiscard]] OB_STATUSCODE ensureDumpSocket();
  [[nodiscard]] OB_STATUSCODE receiveDump(std::uint32_t sequence, std::uint8_t protocol,
                                          std::vector<DiagSocket>& out);

  OBRuntime::UniqueFd dump_;           // opened on the first dump
  OBRuntime::UniqueFd notifications_;  // valid once OpenDestroyNotifications succeeded
  std::vector<std::uint8_t> buffer_;
  std::uint32_t sequence_ = 0;
};

}  // namespace orv::driver
