#include "driver/proc_connector.h"

#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

#include "runtime/logger.h"

namespace orv::driver {

namespace {

constexpr std::size_t kReceiveBufferSize = 16 * 1024;
constexpr std::size_t kEventDataOffset = offsetof(proc_event, event_data);

template <typename T>
T Load(const std::uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof(value));
  return value;
}

// Reads one proc_event (size bytes at event); appends the started process, if any.
OB_STATUSCODE ParseEvent(const std::uint8_t* event, std::size_t size,
                         std::vector<std::uint32_t>& started) {
  if (size < kEventDataOffset) {
    OB_LOG_ERROR("process event of %zu bytes, at least %zu needed", size, kEventDataOffset);
    return kObBadArgument;
  }
  const auto what = Load<std::uint32_t>(event + offsetof(proc_event, what));
  const std::uint8_t* data = event + kEventDataOffset;
  const std::size_t data_size = size - kEventDataOffset;
  if (what == proc_event::PROC_EVENT_FORK && data_size >= sizeof(proc_event{}.event_data.fork)) {
    const auto fork = Load<decltype(proc_event{}.event_data.fork)>(data);
    if (fork.child_pid == fork.child_tgid) {
      started.push_back(static_cast<std::uint32_t>(fork.child_tgid));
    }
  } else if (what == proc_event::PROC_EVENT_EXEC &&
             data_size >= sizeof(proc_event{}.event_data.exec)) {
    const auto exec = Load<decltype(proc_event{}.event_data.exec)>(data);
    started.push_back(static_cast<std::uint32_t>(exec.process_tgid));
  }
  return kObSuccess;
}

}  // namespace

OB_STATUSCODE ParseProcConnectorBuffer(std::span<const std::uint8_t> bytes,
                                       std::vector<std::uint32_t>& started) {
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    if (bytes.size() - offset < sizeof(nlmsghdr)) {
      OB_LOG_ERROR("connector buffer ends %zu bytes into a message header", bytes.size() - offset);
      return kObBadArgument;
    }
    const auto header = Load<nlmsghdr>(bytes.data() + offset);
    if (header.nlmsg_len < NLMSG_HDRLEN + sizeof(cn_msg) ||
        header.nlmsg_len > bytes.size() - offset) {
      OB_LOG_ERROR("connector message of %u bytes at %zu does not fit the %zu-byte buffer",
                   header.nlmsg_len, offset, bytes.size());
      return kObBadArgument;
    }
    const std::uint8_t* body = bytes.data() + offset + NLMSG_HDRLEN;
    const auto message = Load<cn_msg>(body);
    const std::size_t room = header.nlmsg_len - NLMSG_HDRLEN - sizeof(cn_msg);
    if (message.len > room) {
      OB_LOG_ERROR("connector payload of %u bytes exceeds the %zu bytes its message holds",
                   message.len, room);
      return kObBadArgument;
    }
    if (message.id.idx == CN_IDX_PROC && message.id.val == CN_VAL_PROC) {
      const OB_STATUSCODE status = ParseEvent(body + sizeof(cn_msg), message.len, started);
      if (status != kObSuccess) {
        return status;
      }
    }
    offset += NLMSG_ALIGN(header.nlmsg_len);
  }
  return kObSuccess;
}

OB_STATUSCODE ProcConnector::Open(int& os_error) {
  OBRuntime::UniqueFd fd(
      ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_CONNECTOR));
  if (!fd.valid()) {
    os_error = errno;
    return kObNotFound;
  }
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = CN_IDX_PROC;
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    os_error = errno;
    return kObNotFound;
  }
  // nlmsghdr, cn_msg, then the operation: built as bytes since cn_msg ends in a flexible array.
  constexpr std::size_t kRequestSize = NLMSG_HDRLEN + sizeof(cn_msg) + sizeof(std::uint32_t);
  std::uint8_t request[kRequestSize] = {};
  nlmsghdr header{};
  header.nlmsg_len = kRequestSize;
  header.nlmsg_type = NLMSG_DONE;
  cn_msg message{};
  message.id = {CN_IDX_PROC, CN_VAL_PROC};
  message.len = sizeof(std::uint32_t);
  const std::uint32_t operation = PROC_CN_MCAST_LISTEN;
  std::memcpy(request, &header, sizeof(header));
  std::memcpy(request + NLMSG_HDRLEN, &message, sizeof(message));
  std::memcpy(request + NLMSG_HDRLEN + sizeof(cn_msg), &operation, sizeof(operation));
  if (::send(fd.get(), request, kRequestSize, MSG_NOSIGNAL) < 0) {
    os_error = errno;
    return kObNotFound;
  }
  buffer_.resize(kReceiveBufferSize);
  fd_ = std::move(fd);
  return kObSuccess;
}

bool ProcConnector::Read(std::vector<std::uint32_t>& started) {
  bool complete = true;
  while (fd_.valid()) {
    const ssize_t got = ::recv(fd_.get(), buffer_.data(), buffer_.size(), MSG_TRUNC);
    if (got < 0) {
      if (errno == ENOBUFS) {
        complete = false;
        continue;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        // A socket in a lasting error state would wake the reporter for ever; /proc remains.
        fd_.Reset();
        return false;
      }
      return complete;
    }
    if (static_cast<std::size_t>(got) > buffer_.size()) {
      complete = false;
      continue;
    }
    static_cast<void>(ParseProcConnectorBuffer(
        std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(got)), started));
  }
  return complete;
}

}  // namespace orv::driver
