#include "platform/socket_owner.h"

#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "runtime/logger.h"
#include "runtime/unique_fd.h"

namespace orv::platform {
namespace {

struct LookupRequest {
  nlmsghdr header;
  inet_diag_req_v2 body;
};

// The kernel looks a UDP socket up as the receiver of a datagram, so the socket's own address
// goes in the "destination" fields and its peer's in the "source" fields.
LookupRequest BuildLookup(const sockaddr_in& local, const sockaddr_in& peer) {
  LookupRequest request{};
  request.header.nlmsg_len = sizeof(request);
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = 1;
  request.body.sdiag_family = AF_INET;
  request.body.sdiag_protocol = IPPROTO_UDP;
  request.body.idiag_states = ~0U;
  request.body.id.idiag_dport = local.sin_port;
  request.body.id.idiag_dst[0] = local.sin_addr.s_addr;
  request.body.id.idiag_sport = peer.sin_port;
  request.body.id.idiag_src[0] = peer.sin_addr.s_addr;
  request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  return request;
}

// Decodes the one answer to a lookup.
OB_STATUSCODE ParseAnswer(const std::uint8_t* bytes, std::size_t length, UdpSocketOwner& owner,
                          int& os_error) {
  const auto* header = reinterpret_cast<const nlmsghdr*>(bytes);
  if (!NLMSG_OK(header, length)) {
    os_error = EPROTO;
    return kObFailure;
  }
  if (header->nlmsg_type == NLMSG_ERROR) {
    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
      os_error = EPROTO;
      return kObFailure;
    }
    os_error = NetlinkErrno(static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error);
    return os_error == ENOENT ? kObNotFound : kObFailure;
  }
  if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
      header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
    os_error = EPROTO;
    return kObFailure;
  }
  const auto* message = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
  owner.uid = message->idiag_uid;
  owner.inode = message->idiag_inode;
  return kObSuccess;
}

bool HoldsSocket(const std::filesystem::path& descriptors, const std::string& wanted) {
  std::error_code error;
  for (std::filesystem::directory_iterator entry(descriptors, error), end; !error && entry != end;
       entry.increment(error)) {
    if (std::filesystem::read_symlink(entry->path(), error) == wanted) {
      return true;
    }
    error.clear();
  }
  return false;
}

}  // namespace

OB_STATUSCODE FindUdpSocketOwner(const sockaddr_in& local, const sockaddr_in& peer,
                                 UdpSocketOwner& owner, int& os_error) {
  os_error = 0;
  const OBRuntime::UniqueFd netlink(
      ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!netlink.valid()) {
    os_error = errno;
    return kObFailure;
  }
  const LookupRequest request = BuildLookup(local, peer);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(netlink.get(), &request, sizeof(request), 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof(kernel)) != static_cast<ssize_t>(sizeof(request))) {
    os_error = errno;
    return kObFailure;
  }
  alignas(nlmsghdr) std::array<std::uint8_t, 8192> answer{};
  ssize_t received = 0;
  do {
    received = ::recv(netlink.get(), answer.data(), answer.size(), 0);
  } while (received < 0 && errno == EINTR);
  if (received < 0) {
    os_error = errno;
    return kObFailure;
  }
  return ParseAnswer(answer.data(), static_cast<std::size_t>(received), owner, os_error);
}

std::string DescribeSocketHolder(std::uint32_t inode) {
  if (inode == 0) {
    return {};
  }
  const std::string wanted = "socket:[" + std::to_string(inode) + "]";
  std::error_code error;
  for (std::filesystem::directory_iterator entry("/proc", error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string pid = entry->path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos ||
        !HoldsSocket(entry->path() / "fd", wanted)) {
      continue;
    }
    std::string name;
    std::getline(std::ifstream(entry->path() / "comm"), name);
    name.append(" (pid ").append(pid).append(")");
    return name;
  }
  return {};
}

}  // namespace orv::platform
