#include "netif/adapter_table.h"

#include <arpa/inet.h>
#include <linux/genetlink.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/nl80211.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <new>
#include <utility>

#include "runtime/text.h"
#include "runtime/unique_fd.h"

namespace {

using OBRuntime::UniqueFd;

constexpr int kReceiveTimeoutMs = 5000;
constexpr std::size_t kReceiveBufferSize = std::size_t{64} * 1024;

// Calls visit(type, payload, size) for every whole attribute in [data, data + length); stops at
// the first malformed one.
template <typename Visit>
void ForEachAttribute(const std::uint8_t* data, std::size_t length, Visit&& visit) {
  while (length >= sizeof(rtattr)) {
    rtattr attribute{};
    std::memcpy(&attribute, data, sizeof(attribute));
    if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > length) {
      return;
    }
    visit(static_cast<std::uint16_t>(attribute.rta_type & NLA_TYPE_MASK), data + RTA_LENGTH(0),
          attribute.rta_len - RTA_LENGTH(0));
    const std::size_t step = RTA_ALIGN(attribute.rta_len);
    if (step >= length) {
      return;
    }
    data += step;
    length -= step;
  }
}

std::string AttributeText(const std::uint8_t* payload, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(payload);
  return std::string(text, ::strnlen(text, size));
}

enum class DumpResult { kDone, kInterrupted, kFailed };

using MessageHandler = std::function<void(const nlmsghdr&, const std::uint8_t*)>;

// Sends one request on a fresh netlink socket and hands every answer message to handle until
// the kernel says done (or acknowledges). error is the errno of a failure.
DumpResult Exchange(int protocol, nlmsghdr& request, const MessageHandler& handle, int& error) {
  const UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol));
  if (!fd.valid()) {
    error = errno;
    return DumpResult::kFailed;
  }
  request.nlmsg_seq = 1;
  if (::send(fd.get(), &request, request.nlmsg_len, 0) < 0) {
    error = errno;
    return DumpResult::kFailed;
  }
  std::vector<std::uint8_t> buffer(kReceiveBufferSize);
  bool interrupted = false;
  for (;;) {
    pollfd ready{fd.get(), POLLIN, 0};
    const int polled = ::poll(&ready, 1, kReceiveTimeoutMs);
    if (polled < 0 && errno == EINTR) {
      continue;
    }
    if (polled <= 0) {
      error = polled == 0 ? ETIMEDOUT : errno;
      return DumpResult::kFailed;
    }
    const ssize_t got = ::recv(fd.get(), buffer.data(), buffer.size(), MSG_TRUNC);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 || static_cast<std::size_t>(got) > buffer.size()) {
      error = got < 0 ? errno : EMSGSIZE;
      return DumpResult::kFailed;
    }
    auto remaining = static_cast<std::size_t>(got);
    for (std::size_t offset = 0; remaining >= sizeof(nlmsghdr);) {
      nlmsghdr header{};
      std::memcpy(&header, buffer.data() + offset, sizeof(header));
      if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > remaining) {
        error = EBADMSG;
        return DumpResult::kFailed;
      }
      const std::uint8_t* message = buffer.data() + offset;
      if (header.nlmsg_seq == request.nlmsg_seq) {
        interrupted = interrupted || (header.nlmsg_flags & NLM_F_DUMP_INTR) != 0;
        if (header.nlmsg_type == NLMSG_ERROR || header.nlmsg_type == NLMSG_DONE) {
          int code = 0;
          if (header.nlmsg_len >= NLMSG_LENGTH(sizeof(int))) {
            std::memcpy(&code, message + NLMSG_HDRLEN, sizeof(code));
          }
          if (code < 0) {
            error = -code;
            return DumpResult::kFailed;
          }
          return interrupted ? DumpResult::kInterrupted : DumpResult::kDone;
        }
        handle(header, message);
      }
      const std::size_t step = NLMSG_ALIGN(header.nlmsg_len);
      if (step >= remaining) {
        break;
      }
      offset += step;
      remaining -= step;
    }
  }
}

template <typename Body>
struct Request {
  nlmsghdr header;
  Body body;
};

DumpResult DumpRoute(std::uint16_t type, const MessageHandler& handle, int& error) {
  Request<rtgenmsg> request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtgenmsg));
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.body.rtgen_family = AF_UNSPEC;
  return Exchange(NETLINK_ROUTE, request.header, handle, error);
}

// One generic netlink request with up to one u16/u32/string attribute.
struct GenericRequest {
  nlmsghdr header;
  genlmsghdr generic;
  std::uint8_t attributes[64];
};

GenericRequest MakeGenericRequest(std::uint16_t family, std::uint8_t command, std::uint16_t flags) {
  GenericRequest request{};
  request.header.nlmsg_len = NLMSG_LENGTH(GENL_HDRLEN);
  request.header.nlmsg_type = family;
  request.header.nlmsg_flags = NLM_F_REQUEST | flags;
  request.generic.cmd = command;
  request.generic.version = 1;
  return request;
}

void AddAttribute(GenericRequest& request, std::uint16_t type, const void* value,
                  std::size_t size) {
  const std::size_t at = request.header.nlmsg_len - NLMSG_LENGTH(GENL_HDRLEN);
  const rtattr attribute{static_cast<unsigned short>(RTA_LENGTH(size)), type};
  std::memcpy(request.attributes + at, &attribute, sizeof(attribute));
  std::memcpy(request.attributes + at + RTA_LENGTH(0), value, size);
  request.header.nlmsg_len += RTA_ALIGN(RTA_LENGTH(size));
}

// Attributes of a generic netlink message.
template <typename Visit>
void ForEachGenericAttribute(const nlmsghdr& header, const std::uint8_t* message, Visit&& visit) {
  if (header.nlmsg_len < NLMSG_LENGTH(GENL_HDRLEN)) {
    return;
  }
  ForEachAttribute(message + NLMSG_LENGTH(GENL_HDRLEN),
                   header.nlmsg_len - NLMSG_LENGTH(GENL_HDRLEN), visit);
}

[[nodiscard]] bool ResolveNl80211(std::uint16_t& family, int& error) {
  GenericRequest request = MakeGenericRequest(GENL_ID_CTRL, CTRL_CMD_GETFAMILY, NLM_F_ACK);
  AddAttribute(request, CTRL_ATTR_FAMILY_NAME, NL80211_GENL_NAME, sizeof(NL80211_GENL_NAME));
  family = 0;
  const DumpResult result = Exchange(
      NETLINK_GENERIC, request.header,
      [&family](const nlmsghdr& header, const std::uint8_t* message) {
        ForEachGenericAttribute(
            header, message,
            [&family](std::uint16_t type, const std::uint8_t* payload, std::size_t size) {
              if (type == CTRL_ATTR_FAMILY_ID && size >= sizeof(family)) {
                std::memcpy(&family, payload, sizeof(family));
              }
            });
      },
      error);
  if (result == DumpResult::kDone && family == 0) {
    error = ENOENT;
  }
  return result == DumpResult::kDone && family != 0;
}

struct WirelessInterface {
  std::uint32_t index = 0;
  std::vector<std::uint8_t> ssid;  // empty when not connected
};

// NL80211_CMD_GET_INTERFACE as a dump (index 0) or for one interface.
[[nodiscard]] bool GetWirelessInterfaces(std::uint16_t family, std::uint32_t index,
                                         std::vector<WirelessInterface>& found, int& error) {
  GenericRequest request =
      MakeGenericRequest(family, NL80211_CMD_GET_INTERFACE, index == 0 ? NLM_F_DUMP : NLM_F_ACK);
  if (index != 0) {
    AddAttribute(request, NL80211_ATTR_IFINDEX, &index, sizeof(index));
  }
  const DumpResult result = Exchange(
      NETLINK_GENERIC, request.header,
      [&found](const nlmsghdr& header, const std::uint8_t* message) {
        WirelessInterface wireless;
        ForEachGenericAttribute(
            header, message,
            [&wireless](std::uint16_t type, const std::uint8_t* payload, std::size_t size) {
              if (type == NL80211_ATTR_IFINDEX && size >= sizeof(wireless.index)) {
                std::memcpy(&wireless.index, payload, sizeof(wireless.index));
              } else if (type == NL80211_ATTR_SSID) {
                wireless.ssid.assign(payload, payload + size);
              }
            });
        found.push_back(std::move(wireless));
      },
      error);
  return result != DumpResult::kFailed;
}

bool PathExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

bool CanonicalAddressText(const AdapterAddress& address, std::string& text) {
  if (address.family != AF_INET && address.family != AF_INET6) {
    return false;
  }
  const std::string bare = address.text.substr(0, address.text.find('%'));
  std::uint8_t bytes[16] = {};
  char canonical[INET6_ADDRSTRLEN] = {};
  if (::inet_pton(address.family, bare.c_str(), bytes) != 1 ||
      ::inet_ntop(address.family, bytes, canonical, sizeof(canonical)) == nullptr) {
    return false;
  }
  text = canonical;
  return true;
}

namespace netif_internal {

bool ParseLinkMessage(const std::uint8_t* message, std::size_t length, AdapterEntry& adapter) {
  nlmsghdr header{};
  if (length < NLMSG_LENGTH(sizeof(ifinfomsg))) {
    return false;
  }
  std::memcpy(&header, message, sizeof(header));
  if (header.nlmsg_type != RTM_NEWLINK || header.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)) ||
      header.nlmsg_len > length) {
    return false;
  }
  ifinfomsg info{};
  std::memcpy(&info, message + NLMSG_HDRLEN, sizeof(info));
  if (info.ifi_index <= 0) {
    return false;
  }
  adapter.index = static_cast<std::uint32_t>(info.ifi_index);
  adapter.link_type = info.ifi_type;
  std::uint8_t operstate = IF_OPER_UNKNOWN;
  const std::size_t start = NLMSG_LENGTH(sizeof(ifinfomsg));
  ForEachAttribute(message + start, header.nlmsg_len - start,
                   [&](std::uint16_t type, const std::uint8_t* payload, std::size_t size) {
                     if (type == IFLA_IFNAME) {
                       adapter.name = AttributeText(payload, size);
                     } else if (type == IFLA_IFALIAS) {
                       adapter.alias = AttributeText(payload, size);
                     } else if (type == IFLA_ADDRESS) {
                       adapter.hardware_address.assign(payload, payload + size);
                     } else if (type == IFLA_OPERSTATE && size >= 1) {
                       operstate = payload[0];
                     }
                   });
  const bool flag_up = (info.ifi_flags & IFF_UP) != 0;
  const bool running = (info.ifi_flags & IFF_RUNNING) != 0;
  adapter.up = flag_up && (operstate == IF_OPER_UP || (operstate == IF_OPER_UNKNOWN && running));
  return !adapter.name.empty();
}

bool ParseAddressMessage(const std::uint8_t* message, std::size_t length, std::uint32_t& index,
                         AdapterAddress& address) {
  nlmsghdr header{};
  if (length < NLMSG_LENGTH(sizeof(ifaddrmsg))) {
    return false;
  }
  std::memcpy(&header, message, sizeof(header));
  if (header.nlmsg_type != RTM_NEWADDR || header.nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)) ||
      header.nlmsg_len > length) {
    return false;
  }
  ifaddrmsg info{};
  std::memcpy(&info, message + NLMSG_HDRLEN, sizeof(info));
  const std::size_t width = info.ifa_family == AF_INET ? 4 : info.ifa_family == AF_INET6 ? 16 : 0;
  if (width == 0) {
    return false;
  }
  std::uint8_t local[16] = {};
  std::uint8_t peer[16] = {};
  bool has_local = false;
  bool has_peer = false;
  std::uint32_t flags = info.ifa_flags;
  const std::size_t start = NLMSG_LENGTH(sizeof(ifaddrmsg));
  ForEachAttribute(message + start, header.nlmsg_len - start,
                   [&](std::uint16_t type, const std::uint8_t* payload, std::size_t size) {
                     if (type == IFA_LOCAL && size == width) {
                       std::memcpy(local, payload, width);
                       has_local = true;
                     } else if (type == IFA_ADDRESS && size == width) {
                       std::memcpy(peer, payload, width);
                       has_peer = true;
                     } else if (type == IFA_FLAGS && size >= sizeof(flags)) {
                       std::memcpy(&flags, payload, sizeof(flags));
                     }
                   });
  // For IPv4 IFA_LOCAL is the interface's own address (IFA_ADDRESS is the peer's on
  // point-to-point links); IPv6 carries only IFA_ADDRESS unless a peer is set.
  const std::uint8_t* own = has_local ? local : has_peer ? peer : nullptr;
  char text[INET6_ADDRSTRLEN] = {};
  if (own == nullptr || ::inet_ntop(info.ifa_family, own, text, sizeof(text)) == nullptr) {
    return false;
  }
  index = info.ifa_index;
  address.family = info.ifa_family;
  address.text = text;
  address.prefix_length = info.ifa_prefixlen;
  address.temporary = (flags & IFA_F_TEMPORARY) != 0;
  return true;
}

}  // namespace netif_internal

CSystemAdapterTable::CSystemAdapterTable(std::string sysfs_net)
    : sysfs_net_(std::move(sysfs_net)) {}

OB_STATUSCODE CSystemAdapterTable::ReadAdapters(std::vector<AdapterEntry>& adapters, int& error) {
  error = 0;
  try {
    for (int attempt = 0; attempt < 2; ++attempt) {
      adapters.clear();
      std::map<std::uint32_t, std::size_t> by_index;
      const DumpResult links = DumpRoute(
          RTM_GETLINK,
          [&](const nlmsghdr& header, const std::uint8_t* message) {
            AdapterEntry adapter;
            if (netif_internal::ParseLinkMessage(message, header.nlmsg_len, adapter) &&
                !by_index.contains(adapter.index)) {
              by_index[adapter.index] = adapters.size();
              adapters.push_back(std::move(adapter));
            }
          },
          error);
      if (links == DumpResult::kFailed) {
        adapters.clear();
        return kObFailure;
      }
      // An address of a link that appeared after the link dump is left for the next read.
      const DumpResult addresses = DumpRoute(
          RTM_GETADDR,
          [&](const nlmsghdr& header, const std::uint8_t* message) {
            std::uint32_t index = 0;
            AdapterAddress address;
            if (netif_internal::ParseAddressMessage(message, header.nlmsg_len, index, address)) {
              const auto found = by_index.find(index);
              if (found != by_index.end()) {
                adapters[found->second].addresses.push_back(std::move(address));
              }
            }
          },
          error);
      if (addresses == DumpResult::kFailed) {
        adapters.clear();
        return kObFailure;
      }
      if (links == DumpResult::kDone && addresses == DumpResult::kDone) {
        for (AdapterEntry& adapter : adapters) {
          adapter.wireless = isWireless(adapter);
        }
        return kObSuccess;
      }
    }
  } catch (const std::bad_alloc&) {
    adapters.clear();
    error = ENOMEM;
    return kObOutOfMemory;
  }
  adapters.clear();
  return kObBufferTooSmall;
}

bool CSystemAdapterTable::isWireless(const AdapterEntry& adapter) const {
  if (adapter.name.empty() || adapter.name.find('/') != std::string::npos || adapter.name == "." ||
      adapter.name == "..") {
    return false;
  }
  const std::string directory = sysfs_net_ + "/" + adapter.name;
  std::ifstream index_file(directory + "/ifindex");
  std::uint32_t index = 0;
  if (!(index_file >> index) || index != adapter.index) {
    return false;  // another namespace's link of the same name, or none
  }
  return PathExists(directory + "/wireless") || PathExists(directory + "/phy80211");
}

OB_STATUSCODE CSystemAdapterTable::QuerySsid(std::wstring& ssid, SsidFailure& failure, int& error) {
  ssid.clear();
  error = 0;
  try {
    std::uint16_t family = 0;
    if (!ResolveNl80211(family, error)) {
      failure = SsidFailure::kOpen;
      return kObFailure;
    }
    std::vector<WirelessInterface> interfaces;
    if (!GetWirelessInterfaces(family, 0, interfaces, error)) {
      failure = SsidFailure::kEnumerate;
      return kObFailure;
    }
    for (const WirelessInterface& listed : interfaces) {
      std::vector<WirelessInterface> queried;
      if (listed.index == 0 || !GetWirelessInterfaces(family, listed.index, queried, error)) {
        failure = SsidFailure::kQuery;
        return kObFailure;
      }
      for (const WirelessInterface& answer : queried) {
        if (!answer.ssid.empty()) {
          ssid = OBRuntime::Utf8ToWide(std::string_view(
              reinterpret_cast<const char*>(answer.ssid.data()), answer.ssid.size()));
          failure = SsidFailure::kNone;
          return kObSuccess;
        }
      }
    }
  } catch (const std::bad_alloc&) {
    failure = SsidFailure::kQuery;
    error = ENOMEM;
    return kObOutOfMemory;
  }
  failure = SsidFailure::kNotConnected;
  return kObNotFound;
}
