#include "netif/adapter_table.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "netif/link_domains.h"
#include "netif/netif_fakes.h"
#include "netif/network_interface_info.h"
#include "netif/network_interface_manager.h"
#include "support/namespace_rerun.h"
#include "support/temp_dir.h"

namespace {

using RecordPtr = std::shared_ptr<InterfaceInfo>;

constexpr auto kDeadline = std::chrono::seconds(20);

// Netlink message builder for the parser cases.
class MessageBuilder {
 public:
  template <typename Body>
  MessageBuilder(std::uint16_t type, const Body& body) {
    nlmsghdr header{};
    header.nlmsg_type = type;
    Append(&header, sizeof(header));
    Append(&body, sizeof(body));
    Finish();
  }
  MessageBuilder& Attribute(std::uint16_t type, const void* value, std::size_t size) {
    const rtattr attribute{static_cast<unsigned short>(RTA_LENGTH(size)), type};
    Append(&attribute, sizeof(attribute));
    Append(value, size);
    Finish();
    return *this;
  }
  MessageBuilder& Text(std::uint16_t type, const std::string& text) {
    return Attribute(type, text.c_str(), text.size() + 1);
  }
  [[nodiscard]] std::vector<std::uint8_t> bytes() const { return bytes_; }

 private:
  void Append(const void* data, std::size_t size) {
    const auto* begin = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), begin, begin + size);
    bytes_.resize(NLMSG_ALIGN(bytes_.size()), 0);
  }
  void Finish() {
    const auto length = static_cast<std::uint32_t>(bytes_.size());
    std::memcpy(bytes_.data(), &length, sizeof(length));
  }

  std::vector<std::uint8_t> bytes_;
};

std::vector<std::uint8_t> LinkMessage() {
  ifinfomsg info{};
  info.ifi_index = 7;
  info.ifi_type = 1;
  info.ifi_flags = IFF_UP | IFF_RUNNING;
  const std::uint8_t mac[6] = {0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
  const std::uint8_t operstate = IF_OPER_UP;
  return MessageBuilder(RTM_NEWLINK, info)
      .Text(IFLA_IFNAME, "v0")
      .Text(IFLA_IFALIAS, "Uplink")
      .Attribute(IFLA_ADDRESS, mac, sizeof(mac))
      .Attribute(IFLA_OPERSTATE, &operstate, 1)
      .bytes();
}

TEST(AdapterTableParserTest, DecodesLinksAndRejectsBrokenMessages) {
  const std::vector<std::uint8_t> good = LinkMessage();
  AdapterEntry link;
  ASSERT_TRUE(netif_internal::ParseLinkMessage(good.data(), good.size(), link));
  EXPECT_EQ(link.index, 7u);
  EXPECT_EQ(link.name, "v0");
  EXPECT_EQ(link.alias, "Uplink");
  EXPECT_TRUE(link.up);
  EXPECT_EQ(link.hardware_address.size(), 6u);

  // Every truncation is rejected or decoded without reading past the end.
  for (std::size_t length = 0; length < good.size(); ++length) {
    std::vector<std::uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length));
    AdapterEntry partial;
    EXPECT_FALSE(netif_internal::ParseLinkMessage(cut.data(), cut.size(), partial)) << length;
  }
  // An attribute claiming more than the message holds ends the attribute walk.
  std::vector<std::uint8_t> overlong = good;
  const std::size_t first_attribute = NLMSG_LENGTH(sizeof(ifinfomsg));
  const std::uint16_t huge = 0xFFF0;
  std::memcpy(overlong.data() + first_attribute, &huge, sizeof(huge));
  AdapterEntry nameless;
  EXPECT_FALSE(netif_internal::ParseLinkMessage(overlong.data(), overlong.size(), nameless));

  ifaddrmsg address{};
  address.ifa_family = AF_INET;
  address.ifa_prefixlen = 24;
  address.ifa_index = 7;
  const std::uint8_t v4[4] = {10, 0, 0, 1};
  const std::uint8_t short_value[3] = {10, 0, 0};
  const std::uint32_t flags = IFA_F_TEMPORARY;
  std::uint32_t index = 0;
  AdapterAddress parsed;
  const auto with_local = MessageBuilder(RTM_NEWADDR, address)
                              .Attribute(IFA_LOCAL, v4, 4)
                              .Attribute(IFA_FLAGS, &flags, 4)
                              .bytes();
  ASSERT_TRUE(
      netif_internal::ParseAddressMessage(with_local.data(), with_local.size(), index, parsed));
  EXPECT_EQ(index, 7u);
  EXPECT_EQ(parsed.text, "10.0.0.1");
  EXPECT_EQ(parsed.prefix_length, 24);
  EXPECT_TRUE(parsed.temporary);
  const auto wrong_size =
      MessageBuilder(RTM_NEWADDR, address).Attribute(IFA_LOCAL, short_value, 3).bytes();
  EXPECT_FALSE(
      netif_internal::ParseAddressMessage(wrong_size.data(), wrong_size.size(), index, parsed));
  address.ifa_family = AF_PACKET;
  const auto packet = MessageBuilder(RTM_NEWADDR, address).Attribute(IFA_LOCAL, v4, 4).bytes();
  EXPECT_FALSE(netif_internal::ParseAddressMessage(packet.data(), packet.size(), index, parsed));
  EXPECT_FALSE(netif_internal::ParseAddressMessage(good.data(), good.size(), index, parsed));
}

// Runs an ip(8) command inside the test's namespace; true on success.
bool Ip(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"ip"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const orv::test::NamespaceRun run = orv::test::RunCollecting(argv, {});
  if (run.exit_status != 0) {
    ADD_FAILURE() << "ip command failed: " << run.output;
  }
  return run.exit_status == 0;
}

// Waits until every named link is up with its carrier.
bool WaitForCarrier(const std::vector<std::string>& names) {
  CSystemAdapterTable table;
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (std::chrono::steady_clock::now() < deadline) {
    std::vector<AdapterEntry> adapters;
    int error = 0;
    if (table.ReadAdapters(adapters, error) == kObSuccess &&
        std::all_of(names.begin(), names.end(), [&adapters](const std::string& name) {
          return std::any_of(adapters.begin(), adapters.end(),
                             [&name](const AdapterEntry& a) { return a.name == name && a.up; });
        })) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

RecordPtr Named(const std::vector<RecordPtr>& list, const std::wstring& name) {
  const auto found = std::find_if(list.begin(), list.end(),
                                  [&name](const RecordPtr& r) { return r->name == name; });
  return found == list.end() ? nullptr : *found;
}

bool AddVethPair(const std::string& a, const std::string& b) {
  return Ip({"link", "add", a, "type", "veth", "peer", "name", b}) &&
         Ip({"link", "set", a, "up"}) && Ip({"link", "set", b, "up"});
}

TEST(AdapterTableTest, RealLinksInNamespace) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  ASSERT_TRUE(Ip({"link", "set", "lo", "up"}));
  ASSERT_TRUE(AddVethPair("v0", "v1"));
  ASSERT_TRUE(AddVethPair("v2", "v3"));
  ASSERT_TRUE(Ip({"link", "set", "v0", "alias", "Uplink A"}));
  ASSERT_TRUE(Ip({"link", "set", "v2", "alias", "Varno Ombrix VPN"}));
  ASSERT_TRUE(Ip({"addr", "add", "10.200.0.1/24", "dev", "v0"}));
  ASSERT_TRUE(Ip({"addr", "add", "2001:db8:1::1/64", "dev", "v0", "nodad"}));
  ASSERT_TRUE(Ip({"addr", "add", "10.200.2.1/25", "dev", "v2"}));
  ASSERT_TRUE(Ip({"addr", "add", "fe80::99/64", "dev", "v1", "nodad"}));
  ASSERT_TRUE(WaitForCarrier({"v0", "v1", "v2", "v3"}));

  // The table as read.
  CSystemAdapterTable table;
  std::vector<AdapterEntry> adapters;
  int error = 0;
  ASSERT_EQ(table.ReadAdapters(adapters, error), kObSuccess);
  const auto v0 = std::find_if(adapters.begin(), adapters.end(),
                               [](const AdapterEntry& a) { return a.name == "v0"; });
  ASSERT_NE(v0, adapters.end());
  EXPECT_EQ(v0->alias, "Uplink A");
  EXPECT_EQ(v0->link_type, kLinkTypeEthernet);
  EXPECT_FALSE(v0->wireless);
  EXPECT_EQ(v0->hardware_address.size(), 6u);
  auto has = [&v0](const char* text, std::uint8_t prefix) {
    return std::any_of(v0->addresses.begin(), v0->addresses.end(), [&](const AdapterAddress& a) {
      return a.text == text && a.prefix_length == prefix;
    });
  };
  EXPECT_TRUE(has("10.200.0.1", 24));
  EXPECT_TRUE(has("2001:db8:1::1", 64));

  // First refresh: v0 and v2 queued once each with fresh UIDs; v1 and v3 (link-local IPv6
  // only) and lo never.
  orv::test::TempDir dir;
  orv::test::FakeDetector detector;
  InterfaceQueue queue(16);
  auto manager = std::make_unique<CNetworkInterfaceManager>(detector, table, dir.path().wstring());
  ASSERT_EQ(manager->Start(queue), kObSuccess);
  std::vector<RecordPtr> queued;
  for (RecordPtr record; queue.Pop(record) == kObSuccess;) {
    queued.push_back(record);
  }
  ASSERT_EQ(queued.size(), 2u);
  const RecordPtr uplink = Named(queued, L"Uplink A");
  const RecordPtr vpn = Named(queued, L"Varno Ombrix VPN");
  ASSERT_TRUE(uplink && vpn);
  EXPECT_EQ(uplink->type_code, kInterfaceTypeWired);
  EXPECT_EQ(uplink->ipv4_address, "10.200.0.1");
  EXPECT_EQ(uplink->ipv4_broadcast, "10.200.0.255");
  EXPECT_EQ(uplink->ipv6_addresses, std::set<std::string>{"2001:db8:1::1"});
  EXPECT_EQ(uplink->detail_list, std::vector<std::wstring>{L"State=Trusted"});
  EXPECT_EQ(vpn->type_code, kInterfaceTypeOwnVpn);
  EXPECT_EQ(vpn->ipv4_broadcast, "10.200.2.127");
  EXPECT_NE(uplink->uid, vpn->uid);
  EXPECT_EQ(manager->GetInterfaceList().size(), 2u);

  // Two links sharing an address: the one changed last answers.
  std::uint32_t uid = 0;
  ASSERT_EQ(manager->GetInterfaceInfoUID("10.200.0.1", true, uid), kObSuccess);
  EXPECT_EQ(uid, uplink->uid);
  ASSERT_TRUE(Ip({"addr", "del", "10.200.2.1/25", "dev", "v2"}));
  ASSERT_TRUE(Ip({"addr", "add", "10.200.0.1/24", "dev", "v2"}));
  ASSERT_EQ(manager->refreshInterfaceListThread(), kObSuccess);
  ASSERT_EQ(manager->GetInterfaceInfoUID("10.200.0.1", true, uid), kObSuccess);
  EXPECT_EQ(uid, vpn->uid);
  ASSERT_EQ(manager->GetInterfaceInfoUID("2001:db8:1::1", false, uid), kObSuccess);
  EXPECT_EQ(uid, uplink->uid);

  // v0 down for two refreshes, back up with the same addresses (the kernel drops IPv6 ones on
  // down): same UID, newer order ID.
  const std::uint16_t order = Named(manager->GetInterfaceList(), L"Uplink A")->order_id;
  ASSERT_TRUE(Ip({"link", "set", "v0", "down"}));
  ASSERT_EQ(manager->refreshInterfaceListThread(), kObSuccess);
  ASSERT_EQ(manager->refreshInterfaceListThread(), kObSuccess);
  ASSERT_TRUE(Ip({"link", "set", "v0", "up"}));
  ASSERT_TRUE(Ip({"addr", "add", "2001:db8:1::1/64", "dev", "v0", "nodad"}));
  ASSERT_TRUE(WaitForCarrier({"v0"}));
  ASSERT_EQ(manager->refreshInterfaceListThread(), kObSuccess);
  const RecordPtr back = Named(manager->GetInterfaceList(), L"Uplink A");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->uid, uplink->uid);
  EXPECT_GT(back->order_id, order);
  EXPECT_EQ(back->missed_count, 0);
  EXPECT_EQ(back->ipv6_addresses, std::set<std::string>{"2001:db8:1::1"});

  // The VPN pair deleted: listed through five refreshes, gone at the sixth.
  ASSERT_TRUE(Ip({"link", "del", "v2"}));
  for (int refresh = 1; refresh <= 6; ++refresh) {
    ASSERT_EQ(manager->refreshInterfaceListThread(), kObSuccess);
    EXPECT_EQ(Named(manager->GetInterfaceList(), L"Varno Ombrix VPN") != nullptr, refresh < 6)
        << refresh;
  }
  EXPECT_TRUE(queue.IsEmpty());
  manager.reset();

  // A new manager on the same directory continues the UIDs.
  ASSERT_TRUE(AddVethPair("v4", "v5"));
  ASSERT_TRUE(Ip({"addr", "add", "10.200.4.1/24", "dev", "v4"}));
  ASSERT_TRUE(WaitForCarrier({"v4", "v5"}));
  manager = std::make_unique<CNetworkInterfaceManager>(detector, table, dir.path().wstring());
  ASSERT_EQ(manager->refreshInterfaceListThread(), kObSuccess);
  const RecordPtr v4 = Named(manager->GetInterfaceList(), L"v4");
  ASSERT_TRUE(v4);
  // The list starts empty after a restart, so every interface gets a UID never given before.
  const std::uint32_t highest = std::max(uplink->uid, vpn->uid);
  const RecordPtr uplink_again = Named(manager->GetInterfaceList(), L"Uplink A");
  ASSERT_TRUE(uplink_again);
  EXPECT_GT(uplink_again->uid, highest);
  EXPECT_GT(v4->uid, highest);
  EXPECT_NE(v4->uid, uplink_again->uid);

  // The DNS suffix of a local address comes from the resolver configuration.
  const std::string resolv_conf = (dir.path() / "resolv.conf").string();
  std::ofstream(resolv_conf) << "nameserver 10.200.0.53\nsearch ns.example.org\n";
  CSystemLinkDomains domains(resolv_conf, false);
  CNetworkInterfaceInfo info(table, domains);
  wchar_t suffix[64];
  for (const char* address : {"10.200.0.1", "2001:db8:1::1", "10.200.4.1"}) {
    std::uint32_t size = 64;
    ASSERT_EQ(info.GetDNSSuffix(address, suffix, &size), kObSuccess) << address;
    EXPECT_EQ(std::wstring(suffix), L"ns.example.org");
  }

  // No wireless link here: the nl80211 query fails (no such family, or no connected
  // interface) and says where.
  std::wstring ssid;
  SsidFailure failure = SsidFailure::kNone;
  EXPECT_NE(table.QuerySsid(ssid, failure, error), kObSuccess);
  EXPECT_NE(failure, SsidFailure::kNone);
  EXPECT_TRUE(ssid.empty());
}

}  // namespace
