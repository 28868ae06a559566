// The interface manager and the DNS suffix cache against an adapter table held in memory and a
// trusted network detector whose answers the test sets; the rtnetlink table's parser, and real
// links in a network namespace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <set>

#include "netif/adapter_table.h"
#include "netif/link_domains.h"
#include "netif/network_interface_info.h"
#include "netif/network_interface_manager.h"
#include "runtime/network_monitor.h"
#include "runtime/text.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/namespace_rerun.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

using orv::test::WaitUntil;
using ::testing::_;
using ::testing::FieldsAre;
using ::testing::IsEmpty;
using RecordPtr = std::shared_ptr<InterfaceInfo>;

AdapterAddress V4(std::string text, std::uint8_t prefix = 24) {
  return {AF_INET, std::move(text), prefix, false};
}
AdapterAddress V6(std::string text, bool temporary = false) {
  return {AF_INET6, std::move(text), 64, temporary};
}

// A link (by default an up Ethernet one) with a hardware address derived from its index.
AdapterEntry Link(std::uint32_t index, std::string name, std::vector<AdapterAddress> addresses,
                  std::uint32_t type = kLinkTypeEthernet, bool up = true) {
  std::vector<std::uint8_t> hardware{2, 0, 0, 0, 0, static_cast<std::uint8_t>(index)};
  return {index, std::move(name), "", up, type, false, hardware, std::move(addresses)};
}

// The record with this index, or null.
RecordPtr Find(const std::vector<RecordPtr>& list, std::uint32_t index) {
  const auto found = std::ranges::find(list, index, &InterfaceInfo::index);
  return found == list.end() ? nullptr : *found;
}

// Type, name, IPv4 address/broadcast, IPv6 addresses and details of each record, in index order,
// so that a test compares what the collector is told of its interfaces in one place.
std::string Describe(std::vector<RecordPtr> list) {
  std::ranges::stable_sort(list, {}, [](const RecordPtr& record) { return record->index; });
  std::string text;
  for (const RecordPtr& record : list) {
    text += (text.empty() ? "" : "; ") + std::to_string(record->type_code) + " " +
            OBRuntime::WideToUtf8(record->name) + " " + record->ipv4_address + "/" +
            record->ipv4_broadcast;
    for (const std::string& address : record->ipv6_addresses) {
      text += " " + address;
    }
    for (const std::wstring& detail : record->detail_list) {
      text += " " + OBRuntime::WideToUtf8(detail);
    }
  }
  return text;
}

std::vector<RecordPtr> Drain(InterfaceQueue& queue) {
  std::vector<RecordPtr> records;
  for (RecordPtr record; queue.Pop(record) == kObSuccess;) {
    records.push_back(record);
  }
  return records;
}

class FakeAdapterTable : public IAdapterTableSource {
 public:
  OB_STATUSCODE ReadAdapters(std::vector<AdapterEntry>& adapters, int& error) override {
    const std::lock_guard lock(mutex_);
    ++reads;
    adapters.clear();
    if (!failures_.empty()) {
      const OB_STATUSCODE status = failures_.front();
      failures_.pop_front();
      error = 5;
      return status;
    }
    adapters = adapters_;
    return kObSuccess;
  }
  OB_STATUSCODE QuerySsid(std::wstring& ssid, SsidFailure& failure, int& error) override {
    failure = ssid_failure;
    error = 2;
    ssid = failure == SsidFailure::kNone ? L"Office" : L"";
    return failure == SsidFailure::kNone ? kObSuccess : kObFailure;
  }

  void Set(std::vector<AdapterEntry> adapters) {
    const std::lock_guard lock(mutex_);
    adapters_ = std::move(adapters);
  }
  // The next reads fail with these statuses, in order.
  void FailNext(std::vector<OB_STATUSCODE> statuses) {
    const std::lock_guard lock(mutex_);
    failures_.assign(statuses.begin(), statuses.end());
  }
  std::atomic<int> reads{0};
  SsidFailure ssid_failure = SsidFailure::kNone;  // set before the refreshes that query it

 private:
  std::mutex mutex_;
  std::vector<AdapterEntry> adapters_;
  std::deque<OB_STATUSCODE> failures_;
};

// Also forwards the runtime monitor's link reports, as the trusted network detector does.
class FakeDetector : public INetworkChangeSource,
                     public OBRuntime::NetworkMonitor::INetworkChangeObserver {
 public:
  int GetNetworkType() const override { return network_type; }
  bool IsVpnConnected() const override { return vpn_connected; }
  OB_STATUSCODE RegisterForNetworkChange(IORVNetworkChangeObserver* observer) override {
    registered = register_status == kObSuccess ? observer : nullptr;
    return register_status;
  }
  OB_STATUSCODE DeRegisterForNetworkChange(IORVNetworkChangeObserver*) override {
    registered = nullptr;
    return kObSuccess;
  }
  void OnInterfaceChange(int /*state*/) override {
    if (IORVNetworkChangeObserver* observer = registered.load()) {
      observer->OnNetworkTypeChange();
    }
  }
  void OnTrustedStateChange(int /*state*/) override {}
  void OnNetworkStateChange(int /*state*/) override {}

  std::atomic<int> network_type{1};
  std::atomic<bool> vpn_connected{false};
  std::atomic<OB_STATUSCODE> register_status{kObSuccess};
  std::atomic<IORVNetworkChangeObserver*> registered{nullptr};
};

class RecordingObserver : public CNetworkInterfaceManager::IORVInterfaceChangeObserver {
 public:
  void OnInterfaceChange(const InterfaceInfo& info) override { indexes.push_back(info.index); }
  std::vector<std::uint32_t> indexes;
};

class NetifTest : public ::testing::Test {
 protected:
  NetifTest() {
    std::ofstream(resolv_conf_)
        << "nameserver 10.0.0.53\nsearch corp.example.com lab.example.com\n";
    table_.Set({Link(1, "lo", {V4("127.0.0.1", 8)}),
                Link(2, "eth0", {V4("10.0.0.5"), V6("2001:DB8::5%eth0")})});
  }
  std::chrono::steady_clock::time_point Now() const {
    return std::chrono::steady_clock::time_point(now_.load());
  }
  std::unique_ptr<CNetworkInterfaceManager> MakeManager() {
    return std::make_unique<CNetworkInterfaceManager>(detector_, table_, dir_.path().wstring(),
                                                      [this] { return Now(); });
  }
  std::unique_ptr<CNetworkInterfaceInfo> MakeInfo() {
    return std::make_unique<CNetworkInterfaceInfo>(table_, domains_, [this] { return Now(); });
  }
  void Advance(std::chrono::milliseconds by) { now_ = now_.load() + by; }
  // The suffix, or the status when the lookup fails; waits for a repopulation it started.
  static std::wstring Lookup(CNetworkInterfaceInfo& info, const char* address) {
    wchar_t buffer[64];
    std::uint32_t size = 64;
    const OB_STATUSCODE status = info.GetDNSSuffix(address, buffer, &size);
    EXPECT_TRUE(WaitUntil([&] { return !info.RepopulationRunning(); }));
    return status == kObSuccess ? std::wstring(buffer) : L"status " + std::to_wstring(status);
  }
  std::string Persisted() const {
    return orv::test::ChildProcess::ReadAll((dir_.path() / "PersistedData.dat").string());
  }
  void Persist(const std::string& bytes) const {
    std::ofstream(dir_.path() / "PersistedData.dat", std::ios::binary) << bytes;
  }
  static void Refresh(CNetworkInterfaceManager& manager, int times = 1) {
    for (int i = 0; i < times; ++i) {
      ASSERT_EQ(manager.refreshInterfaceListThread(), kObSuccess);
    }
  }
  static std::uint32_t Uid(CNetworkInterfaceManager& manager, std::uint32_t index) {
    const RecordPtr record = Find(manager.GetInterfaceList(), index);
    return record ? record->uid : 0;
  }
  static std::uint32_t UidOf(CNetworkInterfaceManager& manager, const char* address, bool ipv4) {
    std::uint32_t uid = 99;
    const OB_STATUSCODE status = manager.GetInterfaceInfoUID(address, ipv4, uid);
    EXPECT_EQ(status == kObSuccess, uid != 0);
    return uid;
  }

  orv::test::TempDir dir_;
  std::string resolv_conf_ = (dir_.path() / "resolv.conf").string();
  CSystemLinkDomains domains_{resolv_conf_, false};
  FakeAdapterTable table_;
  FakeDetector detector_;
  InterfaceQueue queue_{2};
  std::atomic<std::chrono::steady_clock::duration> now_{std::chrono::hours(1)};
};

TEST_F(NetifTest, SuffixOfEachAddressComesFromTheResolverConfigurationWithoutWaitingForIt) {
  auto info = MakeInfo();
  EXPECT_EQ(Lookup(*info, "2001:db8::5"), L"corp.example.com");  // canonical form, zone cut
  // Exactly fitting (terminator included), one short, missing arguments.
  wchar_t buffer[17];
  std::uint32_t size = 17;
  ASSERT_EQ(info->GetDNSSuffix("10.0.0.5", buffer, &size), kObSuccess);
  EXPECT_EQ(std::wstring(buffer), L"corp.example.com");
  size = 16;
  EXPECT_EQ(info->GetDNSSuffix("10.0.0.5", buffer, &size), kObBufferTooSmall);
  EXPECT_EQ(size, 17u);
  EXPECT_EQ(info->GetDNSSuffix(nullptr, buffer, &size), kObBadArgument);
  EXPECT_EQ(info->GetDNSSuffix("10.0.0.5", nullptr, &size), kObBadArgument);
  EXPECT_EQ(info->GetDNSSuffix("10.0.0.5", buffer, nullptr), kObBadArgument);

  const std::pair<std::string, std::string> cases[] = {
      {"domain d.example\nsearch s.example\n", "s.example"},  // search wins over domain
      {"domain d.example\n", "d.example"},
      {"# search hidden.example\n; search hidden2.example\nsearch\n", ""},
      {"search " + std::string(254, 'a') + "\n", ""},  // longer than a DNS name
  };
  for (const auto& [text, suffix] : cases) {
    EXPECT_EQ(CSystemLinkDomains::SuffixFromResolvConf(text), suffix) << text;
  }
  EXPECT_TRUE(
      CSystemLinkDomains((dir_.path() / "absent").string(), false).ReadSuffixes({1}).empty());
  if (!std::filesystem::exists("/run/dbus/system_bus_socket")) {  // with no bus, the file answers
    EXPECT_EQ(CSystemLinkDomains(resolv_conf_, true).ReadSuffixes({7}).at(7), L"corp.example.com");
  }

  // Reading the suffixes can take seconds (D-Bus): lookups meanwhile neither wait nor lose what
  // the cache held.
  struct SlowDomains : ILinkDomainSource {
    std::map<std::uint32_t, std::wstring> ReadSuffixes(const std::vector<std::uint32_t>&) override {
      if (gate.valid()) {
        gate.wait();
      }
      return {{2, L"slow.example"}, {3, L"slow.example"}};
    }
    std::shared_future<void> gate;  // set once the first (synchronous) read is done
  } domains;
  CNetworkInterfaceInfo slow(table_, domains);
  std::promise<void> release;
  domains.gate = release.get_future().share();
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")}), Link(3, "eth1", {V4("10.0.1.5")})});
  std::thread rebuild([&] { (void)slow.PopulateDNSSuffix(); });
  size = 17;
  ASSERT_EQ(slow.GetDNSSuffix("10.0.0.5", buffer, &size), kObSuccess);  // the old map meanwhile
  EXPECT_EQ(std::wstring(buffer), L"slow.example");
  EXPECT_EQ(slow.GetDNSSuffix("10.0.1.5", buffer, &size), kObNotFound);  // not waiting
  release.set_value();
  rebuild.join();
  EXPECT_TRUE(WaitUntil([&] { return Lookup(slow, "10.0.1.5") == L"slow.example"; }));
}

// A miss repopulates (merging, not clearing) at most once per two seconds and five times in all
// until the next rebuild, which replaces the cache and clears the count. A failed rebuild is
// logged and empties the cache; a table that keeps changing is read five times, then given up.
TEST_F(NetifTest, MissRepopulatesOnDemandWithinLimitsAndFailedRebuildsEmptyTheCache) {
  orv::test::LogCapture log;
  table_.FailNext({kObFailure});
  MakeInfo();
  EXPECT_TRUE(log.Contains(" Failed to populate DNS cache"));
  EXPECT_TRUE(log.Contains("populateDNSCache GetAdapterAddresses failed with error: 5"));
  auto info = MakeInfo();
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")}), Link(3, "eth1", {V4("10.0.1.5")})});
  int reads = table_.reads;
  EXPECT_EQ(Lookup(*info, "10.0.1.5"), L"status -9995");
  EXPECT_EQ(Lookup(*info, "10.0.1.5"), L"corp.example.com");
  EXPECT_EQ(Lookup(*info, "127.0.0.1"), L"corp.example.com");
  Advance(std::chrono::milliseconds(2000));
  EXPECT_EQ(Lookup(*info, "10.7.7.7"), L"status -9995");
  EXPECT_EQ(table_.reads, reads + 1);
  for (int i = 0; i < 6; ++i) {
    Advance(std::chrono::milliseconds(2001));
    EXPECT_EQ(Lookup(*info, "10.7.7.7"), L"status -9995");
  }
  EXPECT_EQ(table_.reads, reads + 5);
  table_.Set({Link(3, "eth1", {V4("10.0.1.5")})});
  std::ofstream(resolv_conf_) << "domain branch.example\n";
  ASSERT_EQ(info->PopulateDNSSuffix(), kObSuccess);
  EXPECT_EQ(Lookup(*info, "10.0.1.5"), L"branch.example");
  Advance(std::chrono::milliseconds(2001));
  EXPECT_EQ(Lookup(*info, "10.0.0.5"), L"status -9995");
  EXPECT_EQ(table_.reads, reads + 7);

  table_.FailNext({kObOutOfMemory});
  EXPECT_EQ(info->PopulateDNSSuffix(), kObOutOfMemory);
  EXPECT_TRUE(log.Contains("populateDNSCache failed to allocate memory for pAddresses buffer"));
  reads = table_.reads;
  table_.FailNext(std::vector<OB_STATUSCODE>(6, kObBufferTooSmall));
  EXPECT_EQ(info->PopulateDNSSuffix(), kObFailure);
  EXPECT_EQ(table_.reads, reads + 5);
  EXPECT_EQ(info->PopulateDNSSuffix(), kObSuccess);  // settled at the second read
  EXPECT_EQ(Lookup(*info, "10.0.1.5"), L"branch.example");
  table_.Set({});
  EXPECT_EQ(info->PopulateDNSSuffix(), kObFailure);
  EXPECT_TRUE(log.Contains("populateDNSCache No addresses wre found with requested parameters"));
  Advance(std::chrono::milliseconds(2001));
  EXPECT_EQ(Lookup(*info, "10.0.1.5"), L"status -9995");  // the repopulation fails too
}

// What is listed, queued and told to observers: up links of a known type holding an address that
// parses, each once; link-local IPv6 never counts. A full queue leaves records for the next
// announcement; an unchanged interface is never announced again.
TEST_F(NetifTest, FirstRefreshQueuesEachAddressedLinkOnce) {
  const AdapterAddress strange{99, "10.0.0.9", 24, false};
  table_.Set({Link(1, "lo", {V4("127.0.0.1", 8), V6("::1")}, 772),
              Link(2, "eth0", {V4("10.0.0.5"), V6("2001:DB8::5%eth0"), V6("fe80::1")}),
              Link(3, "eth1", {V4("192.168.1.7", 16)}), Link(4, "eth2", {}),
              Link(5, "eth9", {V4("10.9.0.1")}, kLinkTypeEthernet, false),
              Link(6, "eth3", {V6("fe80::1"), V6("FE80::2%eth3")}),
              Link(7, "eth4", {V4("10.0.0.999"), V4("10.0.0.7", 40), strange, V6("2001:db8::zz")}),
              Link(8, "eth5", {V4("not an address"), V4("10.1.0.1", 32)})});
  orv::test::LogCapture log;
  auto manager = MakeManager();
  RecordingObserver observer, gone;
  EXPECT_EQ(manager->RegisterForInterfaceChange(nullptr), kObBadArgument);
  ASSERT_EQ(manager->RegisterForInterfaceChange(&observer), kObSuccess);
  ASSERT_EQ(manager->RegisterForInterfaceChange(&observer), kObSuccess);  // still once
  ASSERT_EQ(manager->RegisterForInterfaceChange(&gone), kObSuccess);
  ASSERT_EQ(manager->DeRegisterForInterfaceChange(&gone), kObSuccess);
  ASSERT_EQ(manager->Start(queue_), kObSuccess);
  EXPECT_EQ(manager->Start(queue_), kObAlreadyRunning);
  EXPECT_EQ(observer.indexes, (std::vector<std::uint32_t>{2, 3, 8}));
  EXPECT_TRUE(gone.indexes.empty());
  EXPECT_TRUE(log.Contains("address \"10.0.0.999\" of family 2 does not parse"));
  EXPECT_TRUE(log.Contains("with prefix length 40"));

  const std::vector<RecordPtr> queued = Drain(queue_);
  EXPECT_EQ(Describe(queued),
            "1 eth0 10.0.0.5/10.0.0.255 2001:db8::5 State=Trusted; "
            "1 eth1 192.168.1.7/192.168.255.255 State=Trusted");
  EXPECT_EQ(Describe(manager->GetInterfaceList()),
            Describe(queued) + "; 1 eth5 10.1.0.1/10.1.0.1 State=Trusted");
  EXPECT_EQ(std::set<std::uint32_t>({Uid(*manager, 2), Uid(*manager, 3), Uid(*manager, 8)}),
            (std::set<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(Find(queued, 2)->hardware_address, "02:00:00:00:00:02");

  // A broadcast address is one of a listed interface; a /32 address is not its own broadcast.
  EXPECT_TRUE(manager->IsInterfaceBroadcastAddress("192.168.255.255"));
  EXPECT_FALSE(manager->IsInterfaceBroadcastAddress("10.0.0.5"));
  EXPECT_FALSE(manager->IsInterfaceBroadcastAddress("10.1.0.1"));

  Refresh(*manager, 2);
  EXPECT_TRUE(queue_.IsEmpty());
  EXPECT_EQ(observer.indexes.size(), 3u);
}

// A link back after five missed refreshes keeps its UID with a newer order ID; one missing at the
// sixth is dropped. An address held twice answers with the most recently changed interface, and
// a miss refreshes on the caller's thread only once a random-suffix IPv6 address was seen and the
// list is over five minutes old.
TEST_F(NetifTest, ListAgesAndAnswersUidLookups) {
  AdapterEntry eth0 = Link(2, "eth0", {V4("10.0.0.5"), V6("2001:db8::5")});
  const AdapterEntry eth1 = Link(3, "eth1", {V4("10.0.0.5")});
  table_.Set({eth0, eth1});
  auto manager = MakeManager();
  Refresh(*manager);
  const RecordPtr before = Find(manager->GetInterfaceList(), 3);
  EXPECT_EQ(UidOf(*manager, "10.0.0.5", true), before->uid);  // added after eth0
  EXPECT_EQ(UidOf(*manager, "2001:db8::5", false), Uid(*manager, 2));
  EXPECT_EQ(UidOf(*manager, "10.0.0.5", false), 0u);  // the family decides where to look

  table_.Set({eth0});
  Refresh(*manager, 5);
  EXPECT_EQ(Find(manager->GetInterfaceList(), 3)->missed_count, 5);
  table_.Set({eth0, eth1});
  Refresh(*manager);
  const RecordPtr back = Find(manager->GetInterfaceList(), 3);
  EXPECT_EQ(std::pair(back->uid, int{back->missed_count}), std::pair(before->uid, 0));
  EXPECT_GT(back->order_id, before->order_id);
  // eth0 changes (a new IPv6 address): it keeps its UID and now answers for the shared address.
  eth0.addresses.push_back(V6("2001:db8::6"));
  table_.Set({eth0});
  Refresh(*manager, 5);
  EXPECT_EQ(UidOf(*manager, "10.0.0.5", true), Uid(*manager, 2));
  Refresh(*manager);
  EXPECT_FALSE(Find(manager->GetInterfaceList(), 3));

  // eth2 appears without a refresh; random suffixes arrive; time passes.
  const AdapterEntry eth2 = Link(4, "eth2", {V4("10.0.2.5")});
  table_.Set({eth0, eth2});
  Advance(std::chrono::minutes(10));
  EXPECT_EQ(UidOf(*manager, "10.0.2.5", true), 0u);
  const AdapterEntry random = Link(2, "eth0", {V4("10.0.0.5"), V6("2001:db8::77", true)});
  table_.Set({random});
  Refresh(*manager);
  table_.Set({random, eth2});
  Advance(std::chrono::minutes(4));
  EXPECT_EQ(UidOf(*manager, "10.0.2.5", true), 0u);
  const int reads = table_.reads;
  Advance(std::chrono::minutes(2));
  EXPECT_NE(UidOf(*manager, "10.0.2.5", true), 0u);
  EXPECT_EQ(table_.reads, reads + 1);
}

// The file holds the last UID handed out: a restart continues after it, the 16-bit counter
// skips 0 and UIDs still listed, and a bad file is logged and rewritten.
TEST_F(NetifTest, PersistedUidCounter) {
  table_.Set({Link(2, "a", {V4("10.0.0.1")}), Link(3, "b", {V4("10.0.0.2")})});
  Refresh(*MakeManager());
  EXPECT_EQ(Persisted(), std::string("\x02\x00", 2));
  table_.Set({Link(4, "c", {V4("10.0.0.3")})});
  auto manager = MakeManager();
  Refresh(*manager);
  EXPECT_EQ(Uid(*manager, 4), 3u);
  EXPECT_EQ(Persisted(), std::string("\x03\x00", 2));

  Persist("\xfd\xff");
  std::vector<AdapterEntry> links = {Link(2, "a", {V4("10.0.0.1")}), Link(3, "b", {V4("10.0.0.2")}),
                                     Link(4, "c", {V4("10.0.0.3")})};
  table_.Set(links);
  manager = MakeManager();
  Refresh(*manager);
  EXPECT_EQ((std::vector{Uid(*manager, 2), Uid(*manager, 3), Uid(*manager, 4)}),
            (std::vector<std::uint32_t>{65534, 65535, 1}));
  Persist("\xfd\xff");  // wound back (another copy of the file)
  links.push_back(Link(5, "d", {V4("10.0.0.4")}));
  table_.Set(links);
  Refresh(*manager);
  EXPECT_EQ(Uid(*manager, 5), 2u);

  Persist("1234567");
  orv::test::LogCapture log;
  manager = MakeManager();
  Refresh(*manager);
  EXPECT_TRUE(log.Contains("Read from Persisted State failed."));
  EXPECT_EQ(Uid(*manager, 2), 1u);
  EXPECT_EQ(Persisted(), std::string("\x04\x00", 2));
}

TEST_F(NetifTest, TypeCodesAndDetailLists) {
  AdapterEntry vpn = Link(2, "eth7", {V4("10.8.0.2")});
  vpn.alias = "Varno Ombrix Virtual Adapter";
  AdapterEntry tunnel = Link(3, "tun0", {V4("10.9.0.2")}, 65534);
  tunnel.alias = "Varno Ombrix Tunnel";
  tunnel.hardware_address.clear();
  AdapterEntry wireless = Link(4, "wlan0", {V4("192.168.5.2")});
  wireless.wireless = true;
  // Type "other" is never listed.
  table_.Set({vpn, tunnel, wireless, Link(5, "gre1", {V4("10.10.0.2")}, 778)});
  // Network type, VPN connected, SSID failure, wired and VPN adapters' state, a line logged.
  const std::tuple<int, bool, SsidFailure, std::string, std::string, std::string> cases[] = {
      {1, false, SsidFailure::kNone, " State=Trusted", " State=Trusted", ""},
      {0, true, SsidFailure::kOpen, " State=Untrusted", " State=Trusted",
       "WlanOpenHandle failed with error: 2"},
      {2, false, SsidFailure::kEnumerate, " State=Untrusted", " State=Trusted",
       "WlanEnumInterfaces failed with error: 2"},
      {3, false, SsidFailure::kQuery, " State=Unknown", " State=Unknown",
       "WlanQueryInterface failed with error: 2"},
      {7, false, SsidFailure::kNotConnected, "", "", "Unexpected network state 7"},
  };
  for (const auto& [network_type, vpn_connected, ssid, wired_state, vpn_state, line] : cases) {
    detector_.network_type = network_type;
    detector_.vpn_connected = vpn_connected;
    table_.ssid_failure = ssid;
    orv::test::LogCapture log;
    auto manager = MakeManager();
    ASSERT_EQ(manager->Start(queue_), kObSuccess);
    const auto list = manager->GetInterfaceList();
    EXPECT_EQ(Describe(list), "8 Varno Ombrix Virtual Adapter 10.8.0.2/10.8.0.255" + vpn_state +
                                  "; 8 Varno Ombrix Tunnel 10.9.0.2/10.9.0.255" + vpn_state +
                                  "; 2 wlan0 192.168.5.2/192.168.5.255" +
                                  (ssid == SsidFailure::kNone ? " SSID=Office" : "") + wired_state);
    EXPECT_EQ(Find(list, 3)->hardware_address, "00:00:00:00:00:00");
    EXPECT_EQ(log.Contains("Failed to fetch SSID"), ssid != SsidFailure::kNone);
    EXPECT_TRUE(line.empty() || log.Contains(line)) << line;
  }
}

// Change signals refresh on a thread of their own. Failed table reads leave the list as it was
// and count no misses; a failed registration stops the manager, so that signals then start nothing.
TEST_F(NetifTest, ChangeSignalsRefreshOnTheirOwnThreadAndFailedReadsKeepTheList) {
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")})});
  table_.FailNext({kObFailure});
  orv::test::LogCapture log;
  auto manager = MakeManager();
  ASSERT_EQ(manager->Start(queue_), kObSuccess);
  EXPECT_TRUE(log.Contains("refreshInterfaceListThread failed"));
  EXPECT_TRUE(log.Contains("Could not refresh interface list."));
  EXPECT_TRUE(manager->GetInterfaceList().empty());
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")}), Link(3, "eth1", {V4("10.0.1.5")})});
  manager->OnNetworkTypeChange();
  EXPECT_TRUE(log.Contains("Interface change signal received"));
  ASSERT_TRUE(WaitUntil([&] { return manager->GetInterfaceList().size() == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return !manager->RefreshThreadRunning(); }));

  table_.Set({Link(2, "eth0", {V4("10.0.0.5")})});
  table_.FailNext({kObBufferTooSmall, kObOutOfMemory, kObFailure, kObFailure, kObFailure,
                   kObFailure, kObFailure});
  EXPECT_EQ(manager->refreshInterfaceListThread(), kObBufferTooSmall);
  EXPECT_EQ(manager->refreshInterfaceListThread(), kObFailure);
  EXPECT_TRUE(log.Contains("Memory allocation failed for IP_ADAPTER_ADDRESSES struct"));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(manager->refreshInterfaceListThread(), kObFailure);
  }
  ASSERT_EQ(manager->GetInterfaceList().size(), 2u);
  EXPECT_EQ(Find(manager->GetInterfaceList(), 3)->missed_count, 0);

  // A tunnel that went down (state 4) on a network trusted at start refreshes; other tunnel
  // states do not.
  auto state = std::make_unique<VPNSharedState>();
  state->vpn_config.tunnel_state = 1;
  const int reads = table_.reads;
  manager->OnVPNStateChanged(*state);
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")}), Link(4, "eth2", {V4("10.0.2.5")})});
  state->vpn_config.tunnel_state = 4;
  manager->OnVPNStateChanged(*state);
  ASSERT_TRUE(WaitUntil([&] { return Find(manager->GetInterfaceList(), 4) != nullptr; }));
  ASSERT_TRUE(WaitUntil([&] { return !manager->RefreshThreadRunning(); }));

  // The trusted state signal takes the detector's verdict again before refreshing. The detail
  // list is part of what the collector knows of a UID, so the untrusted eth2 is a new record
  // that now answers for the address, while the trusted one ages out.
  const std::uint32_t trusted_uid = Uid(*manager, 4);
  detector_.network_type = 2;
  manager->OnTrustedStateChanged();
  ASSERT_TRUE(WaitUntil([&] { return manager->GetInterfaceList().size() == 5; }));
  manager->Stop();
  const std::uint32_t uid = UidOf(*manager, "10.0.2.5", true);
  EXPECT_NE(uid, trusted_uid);
  const auto list = manager->GetInterfaceList();
  EXPECT_EQ(Describe({*std::ranges::find(list, uid, &InterfaceInfo::uid)}),
            "1 eth2 10.0.2.5/10.0.2.255 State=Untrusted");
  EXPECT_EQ(table_.reads, reads + 2);
  EXPECT_EQ(detector_.registered.load(), nullptr);

  detector_.register_status = kObFailure;
  manager = MakeManager();
  EXPECT_EQ(manager->Start(queue_), kObFailure);
  EXPECT_TRUE(log.Contains("Failed to register for the network change events with TND"));
  const int started = table_.reads;
  manager->OnNetworkTypeChange();
  manager->Stop();
  EXPECT_EQ(table_.reads, started);
}

// Refreshes from two threads at once, one direct and one by change signals, while lookups run:
// one refresh at a time, so no UID is handed out twice, none is 0, and none is queued twice.
TEST_F(NetifTest, ConcurrentRefreshesNeverShareAUid) {
  std::vector<AdapterEntry> links;
  for (std::uint32_t index = 2; index < 20; ++index) {
    links.push_back(
        Link(index, "eth" + std::to_string(index), {V4("10.0." + std::to_string(index) + ".1")}));
  }
  table_.Set({});
  InterfaceQueue queue(100);
  auto manager = MakeManager();
  ASSERT_EQ(manager->Start(queue), kObSuccess);
  std::atomic<bool> done{false};
  std::thread lookups([&] {
    while (!done) {
      static_cast<void>(UidOf(*manager, "10.0.2.1", true));
      static_cast<void>(manager->IsInterfaceBroadcastAddress("10.0.3.255"));
      static_cast<void>(manager->GetInterfaceList());
    }
  });
  std::thread signals([&] {
    for (std::size_t count = 1; count <= links.size(); ++count) {
      table_.Set({links.begin(), links.begin() + static_cast<std::ptrdiff_t>(count)});
      manager->OnNetworkTypeChange();
      static_cast<void>(manager->refreshInterfaceListThread());
    }
  });
  for (std::size_t i = 0; i < links.size(); ++i) {
    static_cast<void>(manager->refreshInterfaceListThread());
  }
  signals.join();
  Refresh(*manager);
  done = true;
  lookups.join();
  manager->Stop();
  // How many distinct UIDs other than 0 the records carry, or 0 when one is 0 or repeated.
  const auto distinct = [](const std::vector<RecordPtr>& records) {
    std::set<std::uint32_t> uids{0};
    const auto fresh = [&](const RecordPtr& record) { return uids.insert(record->uid).second; };
    return std::ranges::all_of(records, fresh) ? records.size() : 0;
  };
  EXPECT_EQ(distinct(manager->GetInterfaceList()), links.size());
  EXPECT_EQ(distinct(Drain(queue)), links.size());
}

// A netlink message: header, fixed body, then attributes (type, value bytes), each padded to four
// bytes.
template <typename Body>
std::vector<std::uint8_t> Message(
    std::uint16_t type, const Body& body,
    const std::vector<std::pair<std::uint16_t, std::string>>& attributes) {
  std::vector<std::uint8_t> bytes(NLMSG_LENGTH(sizeof(body)));
  std::memcpy(NLMSG_DATA(bytes.data()), &body, sizeof(body));
  for (const auto& [kind, value] : attributes) {
    const rtattr attribute{static_cast<unsigned short>(RTA_LENGTH(value.size())), kind};
    const std::size_t at = bytes.size();
    bytes.resize(at + RTA_SPACE(value.size()));
    std::memcpy(bytes.data() + at, &attribute, sizeof(attribute));
    std::memcpy(bytes.data() + at + RTA_LENGTH(0), value.data(), value.size());
  }
  const nlmsghdr header{static_cast<std::uint32_t>(bytes.size()), type, 0, 0, 0};
  std::memcpy(bytes.data(), &header, sizeof(header));
  return bytes;
}

TEST(AdapterTableParserTest, DecodesLinksAndAddressesAndRejectsBrokenMessages) {
  const ifinfomsg info{AF_UNSPEC, 0, 0, 7, IFF_UP | IFF_RUNNING, 0};  // index 7, up and running
  const std::string mac("\x02\xaa\xbb\xcc\xdd\xee", 6);
  const std::vector<std::uint8_t> good = Message(RTM_NEWLINK, info,
                                                 {{IFLA_IFNAME, {"v0", 3}},
                                                  {IFLA_IFALIAS, {"Uplink", 7}},
                                                  {IFLA_ADDRESS, mac},
                                                  {IFLA_OPERSTATE, std::string(1, IF_OPER_UP)}});
  AdapterEntry link;
  ASSERT_TRUE(netif_internal::ParseLinkMessage(good.data(), good.size(), link));
  EXPECT_THAT(link, FieldsAre(7u, "v0", "Uplink", true, _, false,
                              std::vector<std::uint8_t>(mac.begin(), mac.end()), IsEmpty()));
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
  const std::string v4("\x0a\x00\x00\x01", 4);
  const std::string temporary("\x01\x00\x00\x00", 4);  // IFA_F_TEMPORARY, little-endian
  std::uint32_t index = 0;
  AdapterAddress parsed;
  const auto local = Message(RTM_NEWADDR, address, {{IFA_LOCAL, v4}, {IFA_FLAGS, temporary}});
  ASSERT_TRUE(netif_internal::ParseAddressMessage(local.data(), local.size(), index, parsed));
  EXPECT_EQ(index, 7u);
  EXPECT_THAT(parsed, FieldsAre(AF_INET, "10.0.0.1", 24, true));
  // A short address, a family other than IPv4 and IPv6, a link message.
  const auto short_value = Message(RTM_NEWADDR, address, {{IFA_LOCAL, v4.substr(0, 3)}});
  address.ifa_family = AF_PACKET;
  for (const auto& bad : {short_value, Message(RTM_NEWADDR, address, {{IFA_LOCAL, v4}}), good}) {
    EXPECT_FALSE(netif_internal::ParseAddressMessage(bad.data(), bad.size(), index, parsed));
  }
}

// Real links inside a network namespace, read by the real table and followed by the manager
// through the runtime monitor's change reports: also after Stop and Start, and for an address
// that DHCP or SLAAC adds to a link that is already up.
TEST(AdapterTableTest, RealLinksInNamespaceAreListedAndFollowed) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  CSystemAdapterTable table;
  using orv::test::LinkUp;
  ASSERT_EQ(orv::test::RunScript(
                "ip link add v0 type veth peer name v1 && ip link add v2 type veth peer name v3 &&"
                " ip link set v0 alias 'Uplink A' && ip link set v2 alias 'Varno Ombrix VPN' &&"
                " ip addr add 10.200.0.1/24 dev v0 && ip addr add 2001:db8:1::1/64 dev v0 nodad &&"
                " ip addr add 10.200.2.1/25 dev v2 && ip addr add fe80::99/64 dev v1 nodad &&"
                " for link in lo v0 v1 v2 v3; do ip link set $link up || exit 1; done"),
            "");
  ASSERT_TRUE(
      WaitUntil([&] { return LinkUp("v0") && LinkUp("v1") && LinkUp("v2") && LinkUp("v3"); }));

  orv::test::TempDir dir;
  FakeDetector detector;
  OBRuntime::NetworkMonitor::CNetworkMonitor monitor;
  ASSERT_EQ(monitor.RegisterForNetworkChange(&detector), kObSuccess);
  ASSERT_EQ(monitor.Start(), kObSuccess);
  InterfaceQueue queue(16);
  CNetworkInterfaceManager manager(detector, table, dir.path().wstring());
  ASSERT_EQ(manager.Start(queue), kObSuccess);
  // v0 and v2 queued once each; v1 and v3 (link-local IPv6 only) and lo never.
  EXPECT_EQ(queue.Size(), 2u);
  const auto list = manager.GetInterfaceList();
  ASSERT_EQ(Describe(list),
            "1 Uplink A 10.200.0.1/10.200.0.255 2001:db8:1::1 State=Trusted; "
            "8 Varno Ombrix VPN 10.200.2.1/10.200.2.127 State=Trusted");
  EXPECT_TRUE(std::ranges::all_of(list, [](auto& r) { return r->hardware_address.size() == 17; }));

  // v0 down for a refresh (the kernel drops its IPv6 address), back up with the same addresses:
  // the same record, no new one.
  ASSERT_EQ(orv::test::RunScript("ip link set v0 down"), "");
  ASSERT_EQ(manager.refreshInterfaceListThread(), kObSuccess);
  ASSERT_EQ(orv::test::RunScript("ip link set v0 up && ip addr add 2001:db8:1::1/64 dev v0 nodad"),
            "");
  ASSERT_TRUE(WaitUntil([&] { return LinkUp("v0"); }));
  ASSERT_EQ(manager.refreshInterfaceListThread(), kObSuccess);
  EXPECT_EQ(Describe(manager.GetInterfaceList()), Describe(list));

  // After Stop and Start, a new link and then an address added to its up peer are queued.
  manager.Stop();
  ASSERT_EQ(manager.Start(queue), kObSuccess);
  std::vector<RecordPtr> queued;
  const auto queued_with = [&](const std::string& address) {
    std::ranges::copy(Drain(queue), std::back_inserter(queued));
    return std::ranges::any_of(
        queued, [&](const RecordPtr& r) { return r->ipv4_address == address && r->uid != 0; });
  };
  ASSERT_EQ(orv::test::RunScript(
                "ip link add v4 type veth peer name v5 && ip addr add 10.201.0.1/24 dev v4 &&"
                " ip link set v4 up && ip link set v5 up"),
            "");
  ASSERT_TRUE(WaitUntil([&] { return queued_with("10.201.0.1"); }));
  ASSERT_TRUE(WaitUntil([&] { return !manager.RefreshThreadRunning(); }));
  ASSERT_EQ(orv::test::RunScript("ip addr add 10.201.0.2/24 dev v5"), "");
  ASSERT_TRUE(WaitUntil([&] { return queued_with("10.201.0.2"); }));
  manager.Stop();
  ASSERT_EQ(monitor.DeRegisterForNetworkChange(&detector), kObSuccess);
  EXPECT_EQ(monitor.Stop(), kObSuccess);

  // No wireless link here: the nl80211 query fails and says where.
  std::wstring ssid;
  SsidFailure failure = SsidFailure::kNone;
  int error = 0;
  EXPECT_NE(table.QuerySsid(ssid, failure, error), kObSuccess);
  EXPECT_NE(failure, SsidFailure::kNone);
}

}  // namespace
