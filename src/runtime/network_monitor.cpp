#include "runtime/network_monitor.h"

#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>

#include "runtime/agent_thread.h"
#include "runtime/logger.h"

namespace OBRuntime::NetworkMonitor {
namespace internal {
namespace {

// Attributes of one message: [begin, end) inside the buffer, walked with bounds checks.
template <typename Visit>
void ForEachAttribute(const std::uint8_t* begin, std::size_t length, Visit visit) {
  std::size_t offset = 0;
  while (length - offset >= sizeof(rtattr)) {
    rtattr attribute;
    std::memcpy(&attribute, begin + offset, sizeof(attribute));
    if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > length - offset) {
      return;
    }
    visit(attribute.rta_type,
          std::span(begin + offset + RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0)));
    offset += std::min<std::size_t>(RTA_ALIGN(attribute.rta_len), length - offset);
  }
}

template <typename T>
bool ReadScalar(std::span<const std::uint8_t> bytes, T& value) {
  if (bytes.size() < sizeof(T)) {
    return false;
  }
  std::memcpy(&value, bytes.data(), sizeof(T));
  return true;
}

void ParseLink(std::span<const std::uint8_t> body, NetlinkEvent& event) {
  ifinfomsg info;
  std::memcpy(&info, body.data(), sizeof(info));
  std::uint8_t operstate = IF_OPER_UNKNOWN;
  const std::size_t header = NLMSG_ALIGN(sizeof(info));
  if (body.size() > header) {
    ForEachAttribute(body.data() + header, body.size() - header,
                     [&](unsigned short type, std::span<const std::uint8_t> payload) {
                       if (type == IFLA_OPERSTATE) {
                         ReadScalar(payload, operstate);
                       }
                     });
  }
  event.link.index = info.ifi_index;
  event.link.loopback = (info.ifi_flags & IFF_LOOPBACK) != 0;
  event.link.up = IsLinkUp(info.ifi_flags, operstate);
}

void ParseNextHops(std::span<const std::uint8_t> payload, std::vector<int>& oifs) {
  std::size_t offset = 0;
  while (payload.size() - offset >= sizeof(rtnexthop)) {
    rtnexthop hop;
    std::memcpy(&hop, payload.data() + offset, sizeof(hop));
    if (hop.rtnh_len < sizeof(rtnexthop) || hop.rtnh_len > payload.size() - offset) {
      return;
    }
    if ((hop.rtnh_flags & (RTNH_F_DEAD | RTNH_F_LINKDOWN)) == 0) {
      oifs.push_back(hop.rtnh_ifindex);
    }
    offset += std::min<std::size_t>(RTNH_ALIGN(hop.rtnh_len), payload.size() - offset);
  }
}

void ParseRoute(std::span<const std::uint8_t> body, NetlinkEvent& event) {
  rtmsg route;
  std::memcpy(&route, body.data(), sizeof(route));
  std::uint32_t table = route.rtm_table;
  const std::size_t header = NLMSG_ALIGN(sizeof(route));
  if (body.size() > header) {
    ForEachAttribute(body.data() + header, body.size() - header,
                     [&](unsigned short type, std::span<const std::uint8_t> payload) {
                       int oif = 0;
                       if (type == RTA_TABLE) {
                         ReadScalar(payload, table);
                       } else if (type == RTA_OIF && ReadScalar(payload, oif)) {
                         event.route_oifs.push_back(oif);
                       } else if (type == RTA_MULTIPATH) {
                         ParseNextHops(payload, event.route_oifs);
                       }
                     });
  }
  event.default_route = route.rtm_dst_len == 0 && route.rtm_type == RTN_UNICAST &&
                        table != RT_TABLE_LOCAL && (route.rtm_flags & RTM_F_CLONED) == 0 &&
                        (route.rtm_family == AF_INET || route.rtm_family == AF_INET6);
}

}  // namespace

bool IsLinkUp(std::uint32_t flags, std::uint8_t operstate) {
  return ((flags & IFF_UP) != 0 && operstate == IF_OPER_UP) ||
         (operstate == IF_OPER_UNKNOWN && (flags & IFF_RUNNING) != 0);
}

std::vector<NetlinkEvent> ParseNetlinkBuffer(std::span<const std::uint8_t> buffer) {
  std::vector<NetlinkEvent> events;
  std::size_t offset = 0;
  while (buffer.size() - offset >= sizeof(nlmsghdr)) {
    nlmsghdr header;
    std::memcpy(&header, buffer.data() + offset, sizeof(header));
    if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > buffer.size() - offset) {
      events.emplace_back().kind = NetlinkEvent::Kind::kOverrun;
      return events;
    }
    const std::span body = buffer.subspan(offset + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
    NetlinkEvent event;
    event.sequence = header.nlmsg_seq;
    bool keep = true;
    switch (header.nlmsg_type) {
      case NLMSG_DONE:
        event.kind = NetlinkEvent::Kind::kDone;
        break;
      case NLMSG_ERROR:
        event.kind = NetlinkEvent::Kind::kError;
        event.error = -EPROTO;
        ReadScalar(body, event.error);
        break;
      case NLMSG_OVERRUN:
        event.kind = NetlinkEvent::Kind::kOverrun;
        break;
      case RTM_NEWLINK:
      case RTM_DELLINK:
        keep = body.size() >= sizeof(ifinfomsg);
        if (keep) {
          event.kind = header.nlmsg_type == RTM_NEWLINK ? NetlinkEvent::Kind::kLinkNew
                                                        : NetlinkEvent::Kind::kLinkDel;
          ParseLink(body, event);
        }
        break;
      case RTM_NEWROUTE:
      case RTM_DELROUTE:
        keep = body.size() >= sizeof(rtmsg);
        if (keep) {
          event.kind = NetlinkEvent::Kind::kRoute;
          ParseRoute(body, event);
        }
        break;
      case RTM_NEWADDR:
      case RTM_DELADDR:
        keep = body.size() >= sizeof(ifaddrmsg);
        if (keep) {
          ifaddrmsg address{};
          std::memcpy(&address, body.data(), sizeof(address));
          event.link.index = static_cast<int>(address.ifa_index);
        }
        break;
      default:
        keep = false;
    }
    if (keep) {
      events.push_back(std::move(event));
    }
    offset += std::min<std::size_t>(NLMSG_ALIGN(header.nlmsg_len), buffer.size() - offset);
  }
  return events;
}

}  // namespace internal

namespace {

using internal::NetlinkEvent;

constexpr std::size_t kReceiveBufferSize = std::size_t{64} * 1024;
constexpr int kDumpTimeoutMs = 2000;
constexpr unsigned kGroups =
    RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;

UniqueFd OpenRouteSocket(unsigned groups) {
  UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!fd.valid()) {
    return fd;
  }
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = groups;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    fd.Reset();
  }
  return fd;
}

// One datagram from the kernel (messages from other processes are dropped as empty); -1 with
// errno on failure. truncated reports a datagram larger than the buffer.
ssize_t ReceiveFromKernel(int fd, std::vector<std::uint8_t>& buffer, int flags, bool& truncated) {
  sockaddr_nl sender{};
  iovec vector{buffer.data(), buffer.size()};
  msghdr message{};
  message.msg_name = &sender;
  message.msg_namelen = sizeof(sender);
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  const ssize_t got = ::recvmsg(fd, &message, flags);
  truncated = got >= 0 && (message.msg_flags & MSG_TRUNC) != 0;
  if (got >= 0 && sender.nl_pid != 0) {
    return 0;
  }
  return got;
}

}  // namespace

CNetworkMonitor& CNetworkMonitor::GetInstance() {
  static CNetworkMonitor instance;
  return instance;
}

CNetworkMonitor::~CNetworkMonitor() { Stop(); }

OB_STATUSCODE CNetworkMonitor::Start() {
  const std::lock_guard lock(lifecycle_mutex_);
  if (thread_.joinable()) {
    OB_LOG_DEBUG("Network monitor already running");
    return kObAlreadyRunning;
  }
  // Subscribe before reading the baseline, so nothing between the two is lost.
  UniqueFd socket = OpenRouteSocket(kGroups);
  if (!socket.valid()) {
    OB_LOG_ERROR("Unable to open the rtnetlink socket - %d", errno);
    return kObNoSocket;
  }
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake.valid()) {
    OB_LOG_ERROR("Unable to create the stop event - %d", errno);
    return kObFailure;
  }
  links_.clear();
  bool changed = false;
  if (!resyncLinks(false, changed) || !readReachability(reachable_)) {
    OB_LOG_ERROR("Unable to read the initial network state");
    return kObFailure;
  }
  socket_ = std::move(socket);
  wake_ = std::move(wake);
  try {
    thread_ = OBRuntime::StartAgentThread(&CNetworkMonitor::monitorThreadProc, this);
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Caught exception: %s", e.what());
    socket_.Reset();
    wake_.Reset();
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CNetworkMonitor::Stop() {
  const std::lock_guard lock(lifecycle_mutex_);
  if (!thread_.joinable()) {
    return kObSuccess;
  }
  const std::uint64_t one = 1;
  if (::write(wake_.get(), &one, sizeof(one)) != sizeof(one)) {
    OB_LOG_ERROR("Unable to wake the network monitor - %d", errno);
  }
  thread_.join();
  socket_.Reset();
  wake_.Reset();
  return kObSuccess;
}

OB_STATUSCODE CNetworkMonitor::RegisterForNetworkChange(INetworkChangeObserver* observer) {
  if (observer == nullptr) {
    OB_LOG_ERROR("Bad Parameter Passed, observer NULL");
    return kObBadArgument;
  }
  const std::lock_guard lock(observers_mutex_);
  if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
    observers_.push_back(observer);
  }
  return kObSuccess;
}

OB_STATUSCODE CNetworkMonitor::DeRegisterForNetworkChange(INetworkChangeObserver* observer) {
  if (observer == nullptr) {
    OB_LOG_ERROR("Bad Parameter Passed, observer NULL");
    return kObBadArgument;
  }
  const std::lock_guard lock(observers_mutex_);
  std::erase(observers_, observer);
  return kObSuccess;
}

void CNetworkMonitor::notifyInterface(int state) {
  const std::lock_guard lock(observers_mutex_);
  for (INetworkChangeObserver* observer : observers_) {
    observer->OnInterfaceChange(state);
  }
}

void CNetworkMonitor::notifyNetwork(int state) {
  const std::lock_guard lock(observers_mutex_);
  for (INetworkChangeObserver* observer : observers_) {
    observer->OnNetworkStateChange(state);
  }
}

void CNetworkMonitor::applyLink(const NetlinkEvent& event, bool notify, bool& changed) {
  if (event.link.loopback) {
    return;
  }
  const auto known = links_.find(event.link.index);
  const bool was_up = known != links_.end() && known->second;
  const bool is_up = event.kind == NetlinkEvent::Kind::kLinkNew && event.link.up;
  if (event.kind == NetlinkEvent::Kind::kLinkDel) {
    if (known != links_.end()) {
      links_.erase(known);
    }
  } else {
    links_[event.link.index] = is_up;
  }
  if (was_up != is_up) {
    changed = true;
    if (notify) {
      notifyInterface(is_up ? kInterfaceUp : kInterfaceDown);
    }
  }
}

bool CNetworkMonitor::dump(std::uint16_t type, std::vector<NetlinkEvent>& events) {
  const UniqueFd fd = OpenRouteSocket(0);
  if (!fd.valid()) {
    OB_LOG_ERROR("Unable to open the rtnetlink socket - %d", errno);
    return false;
  }
  struct {
    nlmsghdr header;
    rtgenmsg family;
  } request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtgenmsg));
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = ++sequence_;
  request.family.rtgen_family = AF_UNSPEC;
  if (::send(fd.get(), &request, request.header.nlmsg_len, 0) < 0) {
    OB_LOG_ERROR("Unable to request the netlink dump %u - %d", type, errno);
    return false;
  }
  std::vector<std::uint8_t> buffer(kReceiveBufferSize);
  for (;;) {
    pollfd ready{fd.get(), POLLIN, 0};
    const int polled = ::poll(&ready, 1, kDumpTimeoutMs);
    if (polled < 0 && errno == EINTR) {
      continue;
    }
    if (polled <= 0) {
      OB_LOG_ERROR("No complete answer to the netlink dump %u", type);
      return false;
    }
    bool truncated = false;
    const ssize_t got = ReceiveFromKernel(fd.get(), buffer, 0, truncated);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 || truncated) {
      OB_LOG_ERROR("Unable to read the netlink dump %u - %d", type, got < 0 ? errno : EMSGSIZE);
      return false;
    }
    for (NetlinkEvent& event : internal::ParseNetlinkBuffer(
             std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(got)))) {
      if (event.kind == NetlinkEvent::Kind::kDone && event.sequence == request.header.nlmsg_seq) {
        return true;
      }
      if (event.kind == NetlinkEvent::Kind::kError || event.kind == NetlinkEvent::Kind::kOverrun) {
        OB_LOG_ERROR("The netlink dump %u failed - %d", type, NetlinkErrno(event.error));
        return false;
      }
      events.push_back(std::move(event));
    }
  }
}

bool CNetworkMonitor::resyncLinks(bool notify, bool& changed) {
  std::vector<NetlinkEvent> events;
  if (!dump(RTM_GETLINK, events)) {
    return false;
  }
  std::map<int, bool> present;
  for (const NetlinkEvent& event : events) {
    if (event.kind == NetlinkEvent::Kind::kLinkNew) {
      applyLink(event, notify, changed);
      present[event.link.index] = true;
    }
  }
  std::vector<int> gone;
  for (const auto& [index, up] : links_) {
    if (!present.contains(index)) {
      gone.push_back(index);
    }
  }
  for (const int index : gone) {
    NetlinkEvent removed;
    removed.kind = NetlinkEvent::Kind::kLinkDel;
    removed.link.index = index;
    applyLink(removed, notify, changed);
  }
  return true;
}

bool CNetworkMonitor::readReachability(bool& reachable) {
  std::vector<NetlinkEvent> events;
  if (!dump(RTM_GETROUTE, events)) {
    return false;
  }
  reachable = std::any_of(events.begin(), events.end(), [this](const NetlinkEvent& event) {
    return event.kind == NetlinkEvent::Kind::kRoute && event.default_route &&
           std::any_of(event.route_oifs.begin(), event.route_oifs.end(), [this](int oif) {
             const auto link = links_.find(oif);
             return link != links_.end() && link->second;
           });
  });
  return true;
}

bool CNetworkMonitor::drainSocket(bool& links_changed, bool& addresses_changed, bool& resync) {
  std::vector<std::uint8_t> buffer(kReceiveBufferSize);
  for (;;) {
    bool truncated = false;
    const ssize_t got = ReceiveFromKernel(socket_.get(), buffer, MSG_DONTWAIT, truncated);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return true;
      }
      if (errno == ENOBUFS) {
        resync = true;  // the kernel dropped notifications
        continue;
      }
      OB_LOG_ERROR("Unable to read the rtnetlink socket - %d", errno);
      return false;
    }
    resync = resync || truncated;
    for (const NetlinkEvent& event : internal::ParseNetlinkBuffer(
             std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(got)))) {
      if (event.kind == NetlinkEvent::Kind::kLinkNew ||
          event.kind == NetlinkEvent::Kind::kLinkDel) {
        applyLink(event, true, links_changed);
      } else if (event.kind == NetlinkEvent::Kind::kAddress) {
        // Only addresses of links the monitor follows: loopback's are not worth a refresh.
        const auto link = links_.find(event.link.index);
        addresses_changed = addresses_changed || (link != links_.end() && link->second);
      } else if (event.kind == NetlinkEvent::Kind::kOverrun) {
        resync = true;
      }
    }
  }
}

void CNetworkMonitor::monitorThreadProc() {
  for (;;) {
    std::array<pollfd, 2> ready{{{wake_.get(), POLLIN, 0}, {socket_.get(), POLLIN, 0}}};
    if (::poll(ready.data(), ready.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      OB_LOG_ERROR("Waiting for network changes failed - %d", errno);
      return;
    }
    if (ready[0].revents != 0) {
      return;
    }
    bool links_changed = false;
    bool addresses_changed = false;
    bool resync = false;
    if (!drainSocket(links_changed, addresses_changed, resync)) {
      return;
    }
    if (addresses_changed && !links_changed) {
      // An address added to or removed from an up link (DHCP after boot, a new SLAAC address)
      // changes the interface as much as the link going up did.
      notifyInterface(kInterfaceUp);
    }
    if (resync && !resyncLinks(true, links_changed)) {
      continue;
    }
    bool reachable = reachable_;
    if (!readReachability(reachable)) {
      continue;
    }
    if (reachable != reachable_ || links_changed) {
      reachable_ = reachable;
      notifyNetwork(reachable ? kNetworkReachable : kNetworkNotReachable);
    }
  }
}

}  // namespace OBRuntime::NetworkMonitor
