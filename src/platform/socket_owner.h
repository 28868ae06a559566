// Who owns a local UDP socket, asked of the kernel through sock_diag (inet_diag netlink), and
// which process holds it, found through /proc.
//
// The flow data channel uses this to tell its real senders (root's or the agent's own sockets)
// from anyone else on the machine who can send to a loopback port. A lookup is one netlink
// request and answer on a socket of the call's own; the functions keep no state and are safe
// from any thread.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "common/status.h"

namespace orv::platform {

struct UdpSocketOwner {
  std::uint32_t uid = 0;    // the account that created the socket
  std::uint32_t inode = 0;  // 0 when no process holds it any longer
};

// Finds the IPv4 UDP socket bound to local that would receive a datagram from peer (a datagram
// received from `local` by a socket bound to `peer` was sent by it). kObNotFound when there is
// none (closed meanwhile), kObFailure when sock_diag cannot answer; os_error holds the errno.
[[nodiscard]] OB_STATUSCODE FindUdpSocketOwner(const sockaddr_in& local, const sockaddr_in& peer,
                                               UdpSocketOwner& owner, int& os_error);

// "name (pid N)" of a process holding the socket with this inode, from /proc/<pid>/comm; empty
// when none is visible.
[[nodiscard]] std::string DescribeSocketHolder(std::uint32_t inode);

}  // namespace orv::platform
