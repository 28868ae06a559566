// The system's adapter table as the interface manager and the DNS suffix cache read it: every
// link with its index, name, alias, state, kind, hardware address and unicast addresses, and the
// network name of a connected wireless link.
//
// The real table comes from rtnetlink (one link dump, one address dump) with the wireless test
// from sysfs (/sys/class/net/<if>/wireless or phy80211, trusted only when that entry's ifindex
// matches, since sysfs may show another network namespace). The link type is the kernel's ARPHRD
// value, the same number /sys/class/net/<if>/type shows. A dump that the kernel marks as
// interrupted (the table changed while it was read) is read once more; a second interruption is
// reported, never a mixed table. The SSID comes from nl80211 over generic netlink.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"

// ARPHRD_ETHER: wired Ethernet, veth, bridges.
inline constexpr std::uint32_t kLinkTypeEthernet = 1;

struct AdapterAddress {
  int family = 0;    // AF_INET or AF_INET6
  std::string text;  // numeric form as the system gave it; IPv6 may carry "%zone"
  std::uint8_t prefix_length = 0;
  bool temporary = false;  // IFA_F_TEMPORARY: an IPv6 address with a random suffix
};

struct AdapterEntry {
  std::uint32_t index = 0;
  std::string name;             // kernel name, "eth0"
  std::string alias;            // IFLA_IFALIAS; empty when unset
  bool up = false;              // IFF_UP with operstate UP, or operstate UNKNOWN with IFF_RUNNING
  std::uint32_t link_type = 0;  // ARPHRD_*
  bool wireless = false;
  std::vector<std::uint8_t> hardware_address;
  std::vector<AdapterAddress> addresses;  // unicast, in the system's order
};

// Where a wireless network name query stopped.
enum class SsidFailure { kNone, kOpen, kEnumerate, kQuery, kNotConnected };

class IAdapterTableSource {
 public:
  virtual ~IAdapterTableSource() = default;
  // Fills adapters with every link and its addresses. kObBufferTooSmall when the table changed
  // during both reads, kObOutOfMemory when memory ran out, kObFailure with error set to the
  // errno for any other failure; adapters is then empty.
  [[nodiscard]] virtual OB_STATUSCODE ReadAdapters(std::vector<AdapterEntry>& adapters,
                                                   int& error) = 0;
  // The network name of the first connected wireless link. On failure says at which step it
  // failed and the errno there (0 for kNotConnected).
  [[nodiscard]] virtual OB_STATUSCODE QuerySsid(std::wstring& ssid, SsidFailure& failure,
                                                int& error) = 0;
};

class CSystemAdapterTable final : public IAdapterTableSource {
 public:
  // sysfs_net is the sysfs class directory consulted for the wireless test.
  explicit CSystemAdapterTable(std::string sysfs_net = "/sys/class/net");

  // IAdapterTableSource
  [[nodiscard]] OB_STATUSCODE ReadAdapters(std::vector<AdapterEntry>& adapters,
                                           int& error) override;
  [[nodiscard]] OB_STATUSCODE QuerySsid(std::wstring& ssid, SsidFailure& failure,
                                        int& error) override;

 private:
  [[nodiscard]] bool isWireless(const AdapterEntry& adapter) const;

  const std::string sysfs_net_;
};

// The address's numeric text cut at the first "%", in canonical form; false when what remains
// does not parse as an address of its family.
[[nodiscard]] bool CanonicalAddressText(const AdapterAddress& address, std::string& text);

namespace netif_internal {

// Decodes one RTM_NEWLINK message (header included); false when it is not a whole one.
[[nodiscard]] bool ParseLinkMessage(const std::uint8_t* message, std::size_t length,
                                    AdapterEntry& adapter);
// Decodes one RTM_NEWADDR message into the link index and the address; false when it is not a
// whole IPv4 or IPv6 unicast address message.
[[nodiscard]] bool ParseAddressMessage(const std::uint8_t* message, std::size_t length,
                                       std::uint32_t& index, AdapterAddress& address);

}  // namespace netif_internal
