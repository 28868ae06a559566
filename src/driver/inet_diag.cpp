#include "driver/inet_diag.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

#include "runtime/logger.h"

namespace orv::driver {

namespace {

// Large enough for the kernel's biggest dump chunk, so MSG_TRUNC never fires on a sane kernel.
constexpr std::size_t kReceiveBufferSize = std::size_t{64} * 1024;
// A dump answer that takes longer than this is treated as lost.
constexpr int kDumpTimeoutMs = 5000;

constexpr std::size_t kTcpCountersEnd = offsetof(tcp_info, tcpi_bytes_received) + sizeof(__u64);
constexpr std::size_t kTcpSentCountersEnd =
    std::max(offsetof(tcp_info, tcpi_bytes_sent), offsetof(tcp_info, tcpi_bytes_retrans)) +
    sizeof(__u64);

template <typename T>
T Load(const std::uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof(value));
  return value;
}

void ReadCounters(const std::uint8_t* payload, std::size_t size, DiagSocket& socket) {
  if (size < kTcpCountersEnd) {
    return;
  }
  socket.bytes_acked = Load<std::uint64_t>(payload + offsetof(tcp_info, tcpi_bytes_acked));
  socket.bytes_received = Load<std::uint64_t>(payload + offsetof(tcp_info, tcpi_bytes_received));
  socket.has_counters = true;
  if (size >= kTcpSentCountersEnd) {
    socket.bytes_sent = Load<std::uint64_t>(payload + offsetof(tcp_info, tcpi_bytes_sent));
    socket.bytes_retrans = Load<std::uint64_t>(payload + offsetof(tcp_info, tcpi_bytes_retrans));
    socket.has_sent_counters = true;
  }
}

// Decodes one SOCK_DIAG_BY_FAMILY body (inet_diag_msg, then attributes).
OB_STATUSCODE ParseDiagMessage(const std::uint8_t* body, std::size_t size,
                               std::uint8_t default_protocol, DiagSocket& socket) {
  if (size < sizeof(inet_diag_msg)) {
    OB_LOG_ERROR("socket message of %zu bytes, at least %zu needed", size, sizeof(inet_diag_msg));
    return kObBadArgument;
  }
  const auto message = Load<inet_diag_msg>(body);
  socket.family = message.idiag_family;
  socket.protocol = default_protocol;
  socket.state = message.idiag_state;
  std::memcpy(socket.local_address.data(), message.id.idiag_src, 16);
  std::memcpy(socket.remote_address.data(), message.id.idiag_dst, 16);
  socket.local_port = ntohs(message.id.idiag_sport);
  socket.remote_port = ntohs(message.id.idiag_dport);
  socket.inode = message.idiag_inode;
  socket.cookie =
      message.id.idiag_cookie[0] | (static_cast<std::uint64_t>(message.id.idiag_cookie[1]) << 32);
  std::size_t offset = NLMSG_ALIGN(sizeof(inet_diag_msg));
  while (offset + sizeof(rtattr) <= size) {
    const auto attribute = Load<rtattr>(body + offset);
    if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > size - offset) {
      OB_LOG_ERROR("socket attribute of %u bytes at %zu overruns its %zu-byte message",
                   attribute.rta_len, offset, size);
      return kObBadArgument;
    }
    const std::uint8_t* payload = body + offset + RTA_LENGTH(0);
    const std::size_t payload_size = attribute.rta_len - RTA_LENGTH(0);
    if (attribute.rta_type == INET_DIAG_INFO) {
      ReadCounters(payload, payload_size, socket);
    } else if (attribute.rta_type == INET_DIAG_PROTOCOL && payload_size >= 1) {
      socket.protocol = payload[0];
    }
    offset += RTA_ALIGN(attribute.rta_len);
  }
  return kObSuccess;
}

OB_STATUSCODE ParseErrorMessage(const std::uint8_t* body, std::size_t size) {
  if (size < sizeof(int)) {
    OB_LOG_ERROR("netlink error message of %zu bytes", size);
    return kObBadArgument;
  }
  const int error = ::NetlinkErrno(Load<int>(body));
  OB_LOG_ERROR("sock_diag answered error %d: %s", error, ::ErrnoText(error).c_str());
  return kObFailure;
}

}  // namespace

OB_STATUSCODE ParseInetDiagBuffer(std::span<const std::uint8_t> bytes,
                                  std::uint8_t default_protocol, std::vector<DiagSocket>& out,
                                  DiagBufferEnd& end) {
  end = DiagBufferEnd::kMore;
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    if (bytes.size() - offset < sizeof(nlmsghdr)) {
      OB_LOG_ERROR("netlink buffer ends %zu bytes into a message header", bytes.size() - offset);
      return kObBadArgument;
    }
    const auto header = Load<nlmsghdr>(bytes.data() + offset);
    if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > bytes.size() - offset) {
      OB_LOG_ERROR("netlink message of %u bytes at %zu overruns the %zu-byte buffer",
                   header.nlmsg_len, offset, bytes.size());
      return kObBadArgument;
    }
    const std::uint8_t* body = bytes.data() + offset + NLMSG_HDRLEN;
    const std::size_t body_size = header.nlmsg_len - NLMSG_HDRLEN;
    if (header.nlmsg_type == NLMSG_DONE) {
      end = DiagBufferEnd::kDone;
      return kObSuccess;
    }
    if (header.nlmsg_type == NLMSG_ERROR) {
      return ParseErrorMessage(body, body_size);
    }
    if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY) {
      DiagSocket socket;
      const OB_STATUSCODE status = ParseDiagMessage(body, body_size, default_protocol, socket);
      if (status != kObSuccess) {
        return status;
      }
      out.push_back(socket);
    }
    offset += NLMSG_ALIGN(header.nlmsg_len);
  }
  return kObSuccess;
}

OB_STATUSCODE SockDiagChannel::ensureDumpSocket() {
  if (buffer_.empty()) {
    buffer_.resize(kReceiveBufferSize);
  }
  if (dump_.valid()) {
    return kObSuccess;
  }
  dump_.Reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!dump_.valid()) {
    OB_LOG_ERROR("cannot open a sock_diag socket: %s", ::ErrnoText(errno).c_str());
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE SockDiagChannel::Dump(std::uint8_t family, std::uint8_t protocol,
                                    std::uint32_t state_mask, std::vector<DiagSocket>& out) {
  if (ensureDumpSocket() != kObSuccess) {
    return kObFailure;
  }
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof(message);
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  message.header.nlmsg_seq = ++sequence_;
  message.request.sdiag_family = family;
  message.request.sdiag_protocol = protocol;
  message.request.idiag_states = state_mask;
  if (protocol == IPPROTO_TCP) {
    message.request.idiag_ext = 1U << (INET_DIAG_INFO - 1);
  }
  if (::send(dump_.get(), &message, sizeof(message), MSG_NOSIGNAL) < 0) {
    OB_LOG_ERROR("sock_diag request failed: %s", ::ErrnoText(errno).c_str());
    dump_.Reset();
    return kObFailure;
  }
  const OB_STATUSCODE status = receiveDump(message.header.nlmsg_seq, protocol, out);
  if (status != kObSuccess) {
    dump_.Reset();  // a half-read answer must not be taken for the next one
  }
  return status;
}

OB_STATUSCODE SockDiagChannel::receiveDump(std::uint32_t sequence, std::uint8_t protocol,
                                           std::vector<DiagSocket>& out) {
  for (;;) {
    pollfd ready{dump_.get(), POLLIN, 0};
    const int polled = ::poll(&ready, 1, kDumpTimeoutMs);
    if (polled < 0 && errno == EINTR) {
      continue;
    }
    if (polled <= 0) {
      OB_LOG_ERROR("sock_diag answer to request %u did not arrive: %s", sequence,
                   ::ErrnoText(polled == 0 ? ETIMEDOUT : errno).c_str());
      return kObFailure;
    }
    const ssize_t got = ::recv(dump_.get(), buffer_.data(), buffer_.size(), MSG_TRUNC);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 || static_cast<std::size_t>(got) > buffer_.size()) {
      OB_LOG_ERROR("sock_diag answer unreadable (%zd bytes, buffer %zu): %s", got, buffer_.size(),
                   ::ErrnoText(got < 0 ? errno : EMSGSIZE).c_str());
      return kObFailure;
    }
    DiagBufferEnd end = DiagBufferEnd::kMore;
    const std::span<const std::uint8_t> received(buffer_.data(), static_cast<std::size_t>(got));
    if (ParseInetDiagBuffer(received, protocol, out, end) != kObSuccess) {
      return kObFailure;
    }
    if (end == DiagBufferEnd::kDone) {
      return kObSuccess;
    }
  }
}

OB_STATUSCODE SockDiagChannel::OpenDestroyNotifications(int& os_error) {
  OBRuntime::UniqueFd fd(
      ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG));
  if (!fd.valid()) {
    os_error = errno;
    return kObNotFound;
  }
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    os_error = errno;
    return kObNotFound;
  }
  for (int group : {SKNLGRP_INET_TCP_DESTROY, SKNLGRP_INET_UDP_DESTROY, SKNLGRP_INET6_TCP_DESTROY,
                    SKNLGRP_INET6_UDP_DESTROY}) {
    if (::setsockopt(fd.get(), SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof(group)) != 0) {
      os_error = errno;
      return kObNotFound;
    }
  }
  if (buffer_.empty()) {
    buffer_.resize(kReceiveBufferSize);
  }
  notifications_ = std::move(fd);
  return kObSuccess;
}

void SockDiagChannel::ReadDestroyNotifications(std::vector<DiagSocket>& out) {
  while (notifications_.valid()) {
    const ssize_t got = ::recv(notifications_.get(), buffer_.data(), buffer_.size(), MSG_TRUNC);
    if (got < 0) {
      if (errno == ENOBUFS) {
        OB_LOG_WARN("destroy notifications were lost (receive buffer full)");
        continue;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        // A socket in a lasting error state would wake the reporter for ever; polling remains.
        OB_LOG_ERROR("destroy notifications unreadable, closed: %s", ::ErrnoText(errno).c_str());
        notifications_.Reset();
      }
      return;
    }
    if (static_cast<std::size_t>(got) > buffer_.size()) {
      OB_LOG_ERROR("destroy notification of %zd bytes exceeds the %zu-byte buffer", got,
                   buffer_.size());
      continue;
    }
    DiagBufferEnd end = DiagBufferEnd::kMore;
    static_cast<void>(ParseInetDiagBuffer(
        std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(got)), 0, out, end));
  }
}

}  // namespace orv::driver
