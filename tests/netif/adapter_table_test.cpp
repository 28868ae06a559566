#include "netif/adapter_table.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>

#include <cstring>
#include <fstream>

#include "netif/link_domains.h"
#include "netif/netif_fakes.h"
#include "netif/network_interface_info.h"
#include "netif/network_interface_manager.h"
#include "runtime/network_monitor.h"
#include "support/temp_dir.h"

namespace {

using orv::test::Describe;
using orv::test::Find;
using orv::test::Ip;
using orv::test::RecordPtr;
using orv::test::WaitUntil;

// A netlink message: header, fixed body, then attributes, each padded to four bytes.
class Message {
 public:
  template <typename Body>
  Message(std::uint16_t type, const Body& body) {
    const nlmsghdr header{0, type, 0, 0, 0};
    Append(&header, sizeof(header)).Append(&body, sizeof(body));
  }
  Message& Attribute(std::uint16_t type, const void* value, std::size_t size) {
    const rtattr attribute{static_cast<unsigned short>(RTA_LENGTH(size)), type};
    return Append(&attribute, sizeof(attribute)).Append(value, size);
  }
  Message& Text(std::uint16_t type, const std::string& text) {
    return Attribute(type, text.c_str(), text.size() + 1);
  }
  std::vector<std::uint8_t> bytes;

 private:
  Message& Append(const void* data, std::size_t size) {
    const auto* begin = static_cast<const std::uint8_t*>(data);
    bytes.insert(bytes.end(), begin, begin + size);
    bytes.resize(NLMSG_ALIGN(bytes.size()), 0);
    const auto length = static_cast<std::uint32_t>(bytes.size());
    std::memcpy(bytes.data(), &length, sizeof(length));
    return *this;
  }
};

TEST(AdapterTableParserTest, DecodesLinksAndAddressesAndRejectsBrokenMessages) {
  ifinfomsg info{};
  info.ifi_index = 7;
  info.ifi_flags = IFF_UP | IFF_RUNNING;
  const std::uint8_t mac[6] = {2, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
  const std::uint8_t operstate = IF_OPER_UP;
  const std::vector<std::uint8_t> good = Message(RTM_NEWLINK, info)
                                             .Text(IFLA_IFNAME, "v0")
                                             .Text(IFLA_IFALIAS, "Uplink")
                                             .Attribute(IFLA_ADDRESS, mac, sizeof(mac))
                                             .Attribute(IFLA_OPERSTATE, &operstate, 1)
                                             .bytes;
  AdapterEntry link;
  ASSERT_TRUE(netif_internal::ParseLinkMessage(good.data(), good.size(), link));
  EXPECT_EQ(link.index, 7u);
  EXPECT_EQ(link.name, "v0");
  EXPECT_EQ(link.alias, "Uplink");
  EXPECT_TRUE(link.up);
  EXPECT_EQ(link.hardware_address, std::vector<std::uint8_t>(mac, mac + 6));
  // Every truncation is rejected without reading past the end.
  for (std::size_t length = 0; length < good.size(); ++length) {
    const std::vector<std::uint8_t> cut(good.begin(), good.begin() + std::ptrdiff_t(length));
    AdapterEntry partial;
    EXPECT_FALSE(netif_internal::ParseLinkMessage(cut.data(), cut.size(), partial)) << length;
  }
  // An attribute claiming more than the message holds ends the walk before the name.
  std::vector<std::uint8_t> overlong = good;
  const std::uint16_t huge = 0xFFF0;
  std::memcpy(overlong.data() + NLMSG_LENGTH(sizeof(ifinfomsg)), &huge, sizeof(huge));
  AdapterEntry nameless;
  EXPECT_FALSE(netif_internal::ParseLinkMessage(overlong.data(), overlong.size(), nameless));

  ifaddrmsg address{AF_INET, 24, 0, 0, 7};
  const std::uint8_t v4[4] = {10, 0, 0, 1};
  const std::uint32_t flags = IFA_F_TEMPORARY;
  std::uint32_t index = 0;
  AdapterAddress parsed;
  const auto with_local =
      Message(RTM_NEWADDR, address).Attribute(IFA_LOCAL, v4, 4).Attribute(IFA_FLAGS, &flags, 4);
  ASSERT_TRUE(netif_internal::ParseAddressMessage(with_local.bytes.data(), with_local.bytes.size(),
                                                  index, parsed));
  EXPECT_EQ(index, 7u);
  EXPECT_EQ(parsed.text, "10.0.0.1");
  EXPECT_EQ(parsed.prefix_length, 24);
  EXPECT_TRUE(parsed.temporary);
  const auto short_value = Message(RTM_NEWADDR, address).Attribute(IFA_LOCAL, v4, 3).bytes;
  EXPECT_FALSE(
      netif_internal::ParseAddressMessage(short_value.data(), short_value.size(), index, parsed));
  address.ifa_family = AF_PACKET;
  const auto packet = Message(RTM_NEWADDR, address).Attribute(IFA_LOCAL, v4, 4).bytes;
  EXPECT_FALSE(netif_internal::ParseAddressMessage(packet.data(), packet.size(), index, parsed));
  EXPECT_FALSE(netif_internal::ParseAddressMessage(good.data(), good.size(), index, parsed));
}

// What the trusted network detector does with the runtime monitor's link reports.
class ForwardToManager : public OBRuntime::NetworkMonitor::INetworkChangeObserver {
 public:
  explicit ForwardToManager(orv::test::FakeDetector& detector) : detector_(detector) {}
  void OnInterfaceChange(int /*state*/) override {
    if (IORVNetworkChangeObserver* observer = detector_.registered.load()) {
      observer->OnNetworkTypeChange();
    }
  }
  void OnTrustedStateChange(int /*state*/) override {}
  void OnNetworkStateChange(int /*state*/) override {}

 private:
  orv::test::FakeDetector& detector_;
};

bool AddVethPair(const std::string& a, const std::string& b) {
  return Ip({"link", "add", a, "type", "veth", "peer", "name", b}) &&
         Ip({"link", "set", a, "up"}) && Ip({"link", "set", b, "up"});
}

// Real links inside a network namespace, read by the real table and followed by the manager
// through the runtime monitor's change reports: also after Stop and Start, and for an address
// that DHCP or SLAAC adds to a link that is already up.
TEST(AdapterTableTest, RealLinksInNamespaceAreListedAndFollowed) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  CSystemAdapterTable table;
  const auto carrier = [&table](const std::string& name) {
    std::vector<AdapterEntry> adapters;
    int error = 0;
    return table.ReadAdapters(adapters, error) == kObSuccess &&
           std::any_of(adapters.begin(), adapters.end(),
                       [&name](const AdapterEntry& a) { return a.name == name && a.up; });
  };
  ASSERT_TRUE(Ip({"link", "set", "lo", "up"}) && AddVethPair("v0", "v1") &&
              AddVethPair("v2", "v3"));
  ASSERT_TRUE(Ip({"link", "set", "v0", "alias", "Uplink A"}) &&
              Ip({"link", "set", "v2", "alias", "Varno Ombrix VPN"}) &&
              Ip({"addr", "add", "10.200.0.1/24", "dev", "v0"}) &&
              Ip({"addr", "add", "2001:db8:1::1/64", "dev", "v0", "nodad"}) &&
              Ip({"addr", "add", "10.200.2.1/25", "dev", "v2"}) &&
              Ip({"addr", "add", "fe80::99/64", "dev", "v1", "nodad"}));
  for (const char* name : {"v0", "v1", "v2", "v3"}) {
    ASSERT_TRUE(WaitUntil([&] { return carrier(name); })) << name;
  }

  orv::test::TempDir dir;
  orv::test::FakeDetector detector;
  ForwardToManager forward(detector);
  OBRuntime::NetworkMonitor::CNetworkMonitor monitor;
  ASSERT_EQ(monitor.RegisterForNetworkChange(&forward), kObSuccess);
  ASSERT_EQ(monitor.Start(), kObSuccess);
  InterfaceQueue queue(16);
  CNetworkInterfaceManager manager(detector, table, dir.path().wstring());
  ASSERT_EQ(manager.Start(queue), kObSuccess);
  // v0 and v2 queued once each; v1 and v3 (link-local IPv6 only) and lo never.
  EXPECT_EQ(queue.Size(), 2u);
  const auto list = manager.GetInterfaceList();
  const RecordPtr uplink = Find(list, 0, L"Uplink A");
  ASSERT_TRUE(uplink && list.size() == 2);
  EXPECT_EQ(Describe(uplink), "1 Uplink A 10.200.0.1/10.200.0.255 2001:db8:1::1 State=Trusted");
  EXPECT_EQ(uplink->hardware_address.size(), 17u);
  EXPECT_EQ(Describe(Find(list, 0, L"Varno Ombrix VPN")),
            "8 Varno Ombrix VPN 10.200.2.1/10.200.2.127 State=Trusted");

  // v0 down for a refresh (the kernel drops its IPv6 address), back up with the same addresses:
  // the same UID, a newer order ID.
  ASSERT_TRUE(Ip({"link", "set", "v0", "down"}));
  ASSERT_EQ(manager.refreshInterfaceListThread(), kObSuccess);
  ASSERT_TRUE(Ip({"link", "set", "v0", "up"}) &&
              Ip({"addr", "add", "2001:db8:1::1/64", "dev", "v0", "nodad"}));
  ASSERT_TRUE(WaitUntil([&] { return carrier("v0"); }));
  ASSERT_EQ(manager.refreshInterfaceListThread(), kObSuccess);
  const RecordPtr back = Find(manager.GetInterfaceList(), 0, L"Uplink A");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->uid, uplink->uid);
  EXPECT_GT(back->order_id, uplink->order_id);
  EXPECT_EQ(Describe(back), Describe(uplink));

  // After Stop and Start, a new link and then an address added to its up peer are queued.
  manager.Stop();
  ASSERT_EQ(manager.Start(queue), kObSuccess);
  std::vector<RecordPtr> queued;
  const auto queued_with = [&](const std::string& address) {
    for (RecordPtr record; queue.Pop(record) == kObSuccess;) {
      queued.push_back(record);
    }
    return std::any_of(queued.begin(), queued.end(), [&](const RecordPtr& record) {
      return record->ipv4_address == address && record->uid != 0;
    });
  };
  ASSERT_TRUE(Ip({"link", "add", "v4", "type", "veth", "peer", "name", "v5"}) &&
              Ip({"addr", "add", "10.201.0.1/24", "dev", "v4"}) &&
              Ip({"link", "set", "v4", "up"}) && Ip({"link", "set", "v5", "up"}));
  ASSERT_TRUE(WaitUntil([&] { return queued_with("10.201.0.1"); }));
  ASSERT_TRUE(WaitUntil([&] { return !manager.RefreshThreadRunning(); }));
  ASSERT_TRUE(Ip({"addr", "add", "10.201.0.2/24", "dev", "v5"}));
  ASSERT_TRUE(WaitUntil([&] { return queued_with("10.201.0.2"); }));
  manager.Stop();
  ASSERT_EQ(monitor.DeRegisterForNetworkChange(&forward), kObSuccess);
  EXPECT_EQ(monitor.Stop(), kObSuccess);

  // The DNS suffix of each local address comes from the resolver configuration.
  const std::string resolv_conf = (dir.path() / "resolv.conf").string();
  std::ofstream(resolv_conf) << "nameserver 10.200.0.53\nsearch ns.example.org\n";
  CSystemLinkDomains domains(resolv_conf, false);
  CNetworkInterfaceInfo info(table, domains);
  for (const char* address : {"10.200.0.1", "2001:db8:1::1", "10.200.2.1"}) {
    wchar_t suffix[64];
    std::uint32_t size = 64;
    ASSERT_EQ(info.GetDNSSuffix(address, suffix, &size), kObSuccess) << address;
    EXPECT_EQ(std::wstring(suffix), L"ns.example.org");
  }

  // No wireless link here: the nl80211 query fails and says where.
  std::wstring ssid;
  SsidFailure failure = SsidFailure::kNone;
  int error = 0;
  EXPECT_NE(table.QuerySsid(ssid, failure, error), kObSuccess);
  EXPECT_NE(failure, SsidFailure::kNone);
  EXPECT_TRUE(ssid.empty());
}

}  // namespace
