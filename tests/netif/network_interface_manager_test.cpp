#include "netif/network_interface_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "netif/netif_fakes.h"
#include "runtime/network_monitor.h"
#include "support/log_capture.h"
#include "support/namespace_rerun.h"
#include "support/temp_dir.h"

namespace {

using orv::test::FakeAdapterTable;
using orv::test::FakeDetector;
using orv::test::Link;
using orv::test::V4;
using orv::test::V6;
using RecordPtr = std::shared_ptr<InterfaceInfo>;

constexpr auto kDeadline = std::chrono::seconds(20);

class NetworkInterfaceManagerTest : public ::testing::Test {
 protected:
  std::unique_ptr<CNetworkInterfaceManager> MakeManager() {
    return std::make_unique<CNetworkInterfaceManager>(
        detector_, table_, dir_.path().wstring(),
        [this] { return std::chrono::steady_clock::time_point(now_.load()); });
  }
  std::vector<RecordPtr> Drain(InterfaceQueue& queue) {
    std::vector<RecordPtr> records;
    for (RecordPtr record; queue.Pop(record) == kObSuccess;) {
      records.push_back(record);
    }
    return records;
  }
  static RecordPtr Find(const std::vector<RecordPtr>& list, std::uint32_t index) {
    const auto found = std::find_if(list.begin(), list.end(),
                                    [index](const RecordPtr& r) { return r->index == index; });
    return found == list.end() ? nullptr : *found;
  }
  std::vector<std::uint8_t> PersistedBytes() const {
    std::ifstream file(dir_.path() / "PersistedData.dat", std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }
  void WritePersisted(std::vector<char> bytes) const {
    std::ofstream file(dir_.path() / "PersistedData.dat", std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  void Refresh(CNetworkInterfaceManager& manager, int times = 1) {
    for (int i = 0; i < times; ++i) {
      ASSERT_EQ(manager.refreshInterfaceListThread(), kObSuccess);
    }
  }

  orv::test::TempDir dir_;
  FakeAdapterTable table_;
  FakeDetector detector_;
  InterfaceQueue queue_{100};
  std::atomic<std::chrono::steady_clock::duration> now_{std::chrono::hours(1)};
};

TEST_F(NetworkInterfaceManagerTest, FirstRefreshQueuesEachAddressedLinkOnceWithFreshUid) {
  AdapterEntry loopback = Link(1, "lo", {V4("127.0.0.1", 8), V6("::1")});
  loopback.link_type = 772;
  AdapterEntry down = Link(5, "eth9", {V4("10.9.0.1")});
  down.up = false;
  table_.Set({loopback, Link(2, "eth0", {V4("10.0.0.5"), V6("2001:DB8::5%eth0"), V6("fe80::1")}),
              Link(3, "eth1", {V4("192.168.1.7", 16)}), Link(4, "eth2", {}), down});
  auto manager = MakeManager();
  ASSERT_EQ(manager->Start(queue_), kObSuccess);

  const std::vector<RecordPtr> queued = Drain(queue_);
  ASSERT_EQ(queued.size(), 2u);
  const RecordPtr eth0 = Find(queued, 2);
  const RecordPtr eth1 = Find(queued, 3);
  ASSERT_TRUE(eth0 && eth1);
  EXPECT_NE(eth0->uid, 0u);
  EXPECT_NE(eth1->uid, 0u);
  EXPECT_NE(eth0->uid, eth1->uid);
  EXPECT_EQ(eth0->type_code, kInterfaceTypeWired);
  EXPECT_EQ(eth0->name, L"eth0");
  EXPECT_EQ(eth0->hardware_address, "02:00:00:00:00:02");
  EXPECT_EQ(eth0->ipv4_address, "10.0.0.5");
  EXPECT_EQ(eth0->ipv4_broadcast, "10.0.0.255");
  EXPECT_EQ(eth0->ipv6_addresses, std::set<std::string>{"2001:db8::5"});
  EXPECT_EQ(eth0->detail_list, std::vector<std::wstring>{L"State=Trusted"});
  EXPECT_EQ(eth1->ipv4_broadcast, "192.168.255.255");
  EXPECT_TRUE(eth1->ipv6_addresses.empty());

  // Nothing new on the next refreshes; the listed UIDs stay.
  Refresh(*manager, 2);
  EXPECT_TRUE(queue_.IsEmpty());
  const std::vector<RecordPtr> list = manager->GetInterfaceList();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(Find(list, 2)->uid, eth0->uid);
  EXPECT_EQ(Find(list, 3)->uid, eth1->uid);
  EXPECT_EQ(manager->Start(queue_), kObAlreadyRunning);
}

TEST_F(NetworkInterfaceManagerTest, MissingLinkDroppedAtSixthRefreshAndKeepsUidWhenBackSooner) {
  const AdapterEntry eth0 = Link(2, "eth0", {V4("10.0.0.5")});
  const AdapterEntry eth1 = Link(3, "eth1", {V4("10.0.1.5")});
  table_.Set({eth0, eth1});
  auto manager = MakeManager();
  Refresh(*manager);
  const RecordPtr before = Find(manager->GetInterfaceList(), 3);
  ASSERT_TRUE(before);

  // Back after five misses: same UID, a newer order ID, not queued again.
  table_.Set({eth0});
  Refresh(*manager, 5);
  ASSERT_TRUE(Find(manager->GetInterfaceList(), 3));
  EXPECT_EQ(Find(manager->GetInterfaceList(), 3)->missed_count, 5);
  table_.Set({eth0, eth1});
  Refresh(*manager);
  const RecordPtr back = Find(manager->GetInterfaceList(), 3);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->uid, before->uid);
  EXPECT_GT(back->order_id, before->order_id);
  EXPECT_EQ(back->missed_count, 0);

  // Gone for good: listed through five refreshes, dropped at the sixth.
  table_.Set({eth0});
  Refresh(*manager, 5);
  EXPECT_TRUE(Find(manager->GetInterfaceList(), 3));
  Refresh(*manager);
  EXPECT_FALSE(Find(manager->GetInterfaceList(), 3));
  EXPECT_TRUE(Find(manager->GetInterfaceList(), 2));
}

TEST_F(NetworkInterfaceManagerTest, UidsContinueAfterRestartFromPersistedCounter) {
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")}), Link(3, "eth1", {V4("10.0.1.5")})});
  std::set<std::uint32_t> first;
  {
    auto manager = MakeManager();
    Refresh(*manager);
    for (const RecordPtr& record : manager->GetInterfaceList()) {
      first.insert(record->uid);
    }
  }
  EXPECT_EQ(first, (std::set<std::uint32_t>{1, 2}));
  EXPECT_EQ(PersistedBytes(), (std::vector<std::uint8_t>{2, 0}));  // the last UID handed out

  // A new manager with another interface never hands out 1 or 2 again.
  table_.Set({Link(4, "eth2", {V4("10.0.2.5")})});
  auto manager = MakeManager();
  Refresh(*manager);
  ASSERT_EQ(manager->GetInterfaceList().size(), 1u);
  EXPECT_EQ(manager->GetInterfaceList()[0]->uid, 3u);
  EXPECT_EQ(PersistedBytes(), (std::vector<std::uint8_t>{3, 0}));
}

TEST_F(NetworkInterfaceManagerTest, UidCounterWrapSkipsZeroAndUidsStillListed) {
  WritePersisted({'\xfd', '\xff'});
  table_.Set({Link(2, "a", {V4("10.0.0.1")}), Link(3, "b", {V4("10.0.0.2")}),
              Link(4, "c", {V4("10.0.0.3")})});
  auto manager = MakeManager();
  Refresh(*manager);
  const auto list = manager->GetInterfaceList();
  EXPECT_EQ(Find(list, 2)->uid, 65534u);
  EXPECT_EQ(Find(list, 3)->uid, 65535u);
  EXPECT_EQ(Find(list, 4)->uid, 1u);  // 0 skipped

  // The counter wound back (another copy of the file): listed UIDs are not handed out twice.
  WritePersisted({'\xfd', '\xff'});
  table_.Set({Link(2, "a", {V4("10.0.0.1")}), Link(3, "b", {V4("10.0.0.2")}),
              Link(4, "c", {V4("10.0.0.3")}), Link(5, "d", {V4("10.0.0.4")})});
  Refresh(*manager);
  EXPECT_EQ(Find(manager->GetInterfaceList(), 5)->uid, 2u);
}

TEST_F(NetworkInterfaceManagerTest, BadPersistedFileIsLoggedAndRewritten) {
  WritePersisted({1, 2, 3, 4, 5, 6, 7});
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")})});
  orv::test::LogCapture log;
  auto manager = MakeManager();
  Refresh(*manager);
  EXPECT_TRUE(log.Has(LOG_ERROR, "CNetworkInterfaceManager::loadPersistedUID",
                      "Read from Persisted State failed."));
  EXPECT_EQ(manager->GetInterfaceList()[0]->uid, 1u);
  EXPECT_EQ(PersistedBytes(), (std::vector<std::uint8_t>{1, 0}));
}

TEST_F(NetworkInterfaceManagerTest, UidLookupPrefersMostRecentlyChangedInterface) {
  AdapterEntry eth0 = Link(2, "eth0", {V4("10.0.0.5"), V6("2001:db8::5")});
  AdapterEntry eth1 = Link(3, "eth1", {V4("10.0.0.5")});
  table_.Set({eth0, eth1});
  auto manager = MakeManager();
  Refresh(*manager);
  const auto list = manager->GetInterfaceList();
  const std::uint32_t uid0 = Find(list, 2)->uid;
  const std::uint32_t uid1 = Find(list, 3)->uid;

  std::uint32_t uid = 99;
  ASSERT_EQ(manager->GetInterfaceInfoUID("10.0.0.5", true, uid), kObSuccess);
  EXPECT_EQ(uid, uid1);  // added after eth0
  ASSERT_EQ(manager->GetInterfaceInfoUID("2001:db8::5", false, uid), kObSuccess);
  EXPECT_EQ(uid, uid0);

  // eth0 changes (a new IPv6 address): it keeps its UID and now answers for the shared address.
  eth0.addresses.push_back(V6("2001:db8::6"));
  table_.Set({eth0, eth1});
  Refresh(*manager);
  ASSERT_EQ(manager->GetInterfaceInfoUID("10.0.0.5", true, uid), kObSuccess);
  EXPECT_EQ(uid, uid0);

  // The address family decides where to look; a miss gives -9995 and 0.
  EXPECT_EQ(manager->GetInterfaceInfoUID("10.0.0.5", false, uid), kObNotFound);
  EXPECT_EQ(uid, 0u);
  EXPECT_EQ(manager->GetInterfaceInfoUID("10.9.9.9", true, uid), kObNotFound);
}

TEST_F(NetworkInterfaceManagerTest, MissRefreshesOnlyWithRandomSuffixAndStaleList) {
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")})});
  auto manager = MakeManager();
  Refresh(*manager);
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")}), Link(3, "eth1", {V4("10.0.1.5")})});
  std::uint32_t uid = 0;
  int reads = table_.Reads();
  now_ = now_.load() + std::chrono::minutes(10);
  EXPECT_EQ(manager->GetInterfaceInfoUID("10.0.1.5", true, uid), kObNotFound);
  EXPECT_EQ(table_.Reads(), reads);  // no random-suffix address seen yet

  table_.Set({Link(2, "eth0", {V4("10.0.0.5"), V6("2001:db8::77", true)})});
  Refresh(*manager);
  table_.Set({Link(2, "eth0", {V4("10.0.0.5"), V6("2001:db8::77", true)}),
              Link(3, "eth1", {V4("10.0.1.5")})});
  reads = table_.Reads();
  now_ = now_.load() + std::chrono::minutes(4);
  EXPECT_EQ(manager->GetInterfaceInfoUID("10.0.1.5", true, uid), kObNotFound);
  EXPECT_EQ(table_.Reads(), reads);  // list refreshed less than five minutes ago

  // Over five minutes: one refresh on the caller's thread (no deadlock), then the answer.
  now_ = now_.load() + std::chrono::minutes(2);
  ASSERT_EQ(manager->GetInterfaceInfoUID("10.0.1.5", true, uid), kObSuccess);
  EXPECT_EQ(uid, Find(manager->GetInterfaceList(), 3)->uid);
  EXPECT_EQ(table_.Reads(), reads + 1);
}

TEST_F(NetworkInterfaceManagerTest, LinkWithOnlyLinkLocalIpv6IsNeverAdded) {
  table_.Set({Link(2, "eth0", {V6("fe80::1"), V6("FE80::2%eth0")})});
  auto manager = MakeManager();
  ASSERT_EQ(manager->Start(queue_), kObSuccess);
  Refresh(*manager, 3);
  EXPECT_TRUE(manager->GetInterfaceList().empty());
  EXPECT_TRUE(queue_.IsEmpty());
}

TEST_F(NetworkInterfaceManagerTest, TypeCodesAndDetailLists) {
  AdapterEntry vpn = Link(2, "eth7", {V4("10.8.0.2")});
  vpn.alias = "Varno Ombrix Virtual Adapter";
  AdapterEntry tunnel = Link(3, "tun0", {V4("10.9.0.2")});
  tunnel.alias = "Varno Ombrix Tunnel";
  tunnel.link_type = 65534;
  tunnel.hardware_address.clear();
  AdapterEntry wireless = Link(4, "wlan0", {V4("192.168.5.2")});
  wireless.wireless = true;
  AdapterEntry other = Link(5, "gre1", {V4("10.10.0.2")});
  other.link_type = 778;
  AdapterEntry aliased = Link(6, "eth1", {V4("10.11.0.2")});
  aliased.alias = "Office uplink";

  struct Case {
    int network_type;
    bool vpn_connected;
    const wchar_t* wired_state;
    const wchar_t* vpn_state;
  };
  const Case cases[] = {
      {1, false, L"State=Trusted", L"State=Trusted"},
      {0, false, L"State=Trusted", L"State=Trusted"},
      {1, true, L"State=Untrusted", L"State=Trusted"},
      {2, false, L"State=Untrusted", L"State=Trusted"},
      {3, false, L"State=Unknown", L"State=Unknown"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.network_type);
    detector_.network_type = c.network_type;
    detector_.vpn_connected = c.vpn_connected;
    table_.Set({vpn, tunnel, wireless, other, aliased});
    InterfaceQueue queue(10);
    auto manager = MakeManager();
    ASSERT_EQ(manager->Start(queue), kObSuccess);
    const auto list = manager->GetInterfaceList();
    ASSERT_EQ(list.size(), 4u);  // type 15 is never listed
    EXPECT_EQ(Find(list, 2)->type_code, kInterfaceTypeOwnVpn);
    EXPECT_EQ(Find(list, 2)->name, L"Varno Ombrix Virtual Adapter");
    EXPECT_EQ(Find(list, 2)->detail_list, std::vector<std::wstring>{c.vpn_state});
    EXPECT_EQ(Find(list, 3)->type_code, kInterfaceTypeOwnVpn);
    EXPECT_EQ(Find(list, 3)->hardware_address, "00:00:00:00:00:00");
    EXPECT_EQ(Find(list, 4)->type_code, kInterfaceTypeWireless);
    EXPECT_EQ(Find(list, 4)->detail_list,
              (std::vector<std::wstring>{L"SSID=Office", c.wired_state}));
    EXPECT_EQ(Find(list, 6)->name, L"Office uplink");
    EXPECT_EQ(Find(list, 6)->detail_list, std::vector<std::wstring>{c.wired_state});
  }

  // A network state the detector never gives: the record goes on without a state.
  detector_.network_type = 7;
  orv::test::LogCapture log;
  auto manager = MakeManager();
  ASSERT_EQ(manager->Start(queue_), kObSuccess);
  EXPECT_TRUE(Find(manager->GetInterfaceList(), 6)->detail_list.empty());
  EXPECT_TRUE(log.Contains("Unexpected network state 7"));
}

TEST_F(NetworkInterfaceManagerTest, FailedSsidQueryIsLoggedAndLeavesOutTheSsid) {
  AdapterEntry wireless = Link(4, "wlan0", {V4("192.168.5.2")});
  wireless.wireless = true;
  table_.Set({wireless});
  struct Case {
    SsidFailure failure;
    const char* line;
  };
  const Case cases[] = {
      {SsidFailure::kOpen, "WlanOpenHandle failed with error: 2"},
      {SsidFailure::kEnumerate, "WlanEnumInterfaces failed with error: 2"},
      {SsidFailure::kQuery, "WlanQueryInterface failed with error: 2"},
      {SsidFailure::kNotConnected, nullptr},
  };
  for (const Case& c : cases) {
    table_.SetSsid(L"", c.failure);
    orv::test::LogCapture log;
    InterfaceQueue queue(10);
    auto manager = MakeManager();
    ASSERT_EQ(manager->Start(queue), kObSuccess);
    ASSERT_EQ(manager->GetInterfaceList().size(), 1u);
    EXPECT_EQ(manager->GetInterfaceList()[0]->detail_list,
              std::vector<std::wstring>{L"State=Trusted"});
    EXPECT_TRUE(log.Has(LOG_ERROR, "CNetworkInterfaceManager::GetSSID", "Failed to fetch SSID"));
    if (c.line != nullptr) {
      EXPECT_TRUE(log.Has(LOG_ERROR, "CNetworkInterfaceManager::GetSSID", c.line)) << c.line;
    }
  }
}

TEST_F(NetworkInterfaceManagerTest, FullQueueLeavesRecordsListedForTheNextAnnouncement) {
  table_.Set({Link(2, "a", {V4("10.0.0.1")}), Link(3, "b", {V4("10.0.0.2")}),
              Link(4, "c", {V4("10.0.0.3")})});
  InterfaceQueue queue(1);
  orv::test::LogCapture log;
  auto manager = MakeManager();
  ASSERT_EQ(manager->Start(queue), kObSuccess);
  EXPECT_EQ(queue.Size(), 1u);
  EXPECT_EQ(manager->GetInterfaceList().size(), 3u);
  EXPECT_TRUE(log.Contains("Interface queue full"));
}

TEST_F(NetworkInterfaceManagerTest, FailedTableReadLeavesListAsItWas) {
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")})});
  table_.FailNext({kObFailure});
  orv::test::LogCapture log;
  auto manager = MakeManager();
  ASSERT_EQ(manager->Start(queue_), kObSuccess);
  EXPECT_TRUE(
      log.Has(LOG_ERROR, "CNetworkInterfaceManager::Start", "refreshInterfaceListThread failed"));
  EXPECT_TRUE(log.Has(LOG_ERROR, "CNetworkInterfaceManager::refreshInterfaceList",
                      "CNetworkInterfaceManager::refreshInterfaceList - Could not refresh "
                      "interface list."));
  EXPECT_TRUE(manager->GetInterfaceList().empty());

  Refresh(*manager);
  ASSERT_EQ(manager->GetInterfaceList().size(), 1u);
  // Failed refreshes count no misses, even when the table would now be empty.
  table_.Set({});
  table_.FailNext({kObBufferTooSmall, kObOutOfMemory, kObFailure, kObFailure, kObFailure,
                   kObFailure, kObFailure});
  EXPECT_EQ(manager->refreshInterfaceListThread(), kObBufferTooSmall);
  EXPECT_EQ(manager->refreshInterfaceListThread(), kObFailure);
  EXPECT_TRUE(log.Has(LOG_DEBUG, "CNetworkInterfaceManager::readAdapterTable",
                      "Memory allocation failed for IP_ADAPTER_ADDRESSES struct"));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(manager->refreshInterfaceListThread(), kObFailure);
  }
  ASSERT_EQ(manager->GetInterfaceList().size(), 1u);
  EXPECT_EQ(manager->GetInterfaceList()[0]->missed_count, 0);
}

TEST_F(NetworkInterfaceManagerTest, AddressesThatDoNotParseAreIgnored) {
  AdapterAddress strange{99, "10.0.0.9", 24, false};
  table_.Set({Link(2, "eth0", {V4("10.0.0.999"), V4("10.0.0.7", 40), strange, V6("2001:db8::zz")}),
              Link(3, "eth1", {V4("not an address"), V4("10.1.0.1", 32)})});
  orv::test::LogCapture log;
  auto manager = MakeManager();
  Refresh(*manager);
  const auto list = manager->GetInterfaceList();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]->index, 3u);
  EXPECT_EQ(list[0]->ipv4_broadcast, "10.1.0.1");
  EXPECT_TRUE(log.Contains("address \"10.0.0.999\" of family 2 does not parse"));
  EXPECT_TRUE(log.Contains("with prefix length 40"));
  // A /32 address is its own "broadcast" and is not taken for one.
  EXPECT_FALSE(manager->IsInterfaceBroadcastAddress("10.1.0.1"));
}

TEST_F(NetworkInterfaceManagerTest, BroadcastCheckUsesListedRecords) {
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")}), Link(3, "eth1", {V4("172.16.4.1", 22)})});
  auto manager = MakeManager();
  Refresh(*manager);
  EXPECT_TRUE(manager->IsInterfaceBroadcastAddress("10.0.0.255"));
  EXPECT_TRUE(manager->IsInterfaceBroadcastAddress("172.16.7.255"));
  EXPECT_FALSE(manager->IsInterfaceBroadcastAddress("10.0.0.5"));
  EXPECT_FALSE(manager->IsInterfaceBroadcastAddress("10.0.1.255"));
}

class RecordingObserver : public CNetworkInterfaceManager::IORVInterfaceChangeObserver {
 public:
  void OnInterfaceChange(const InterfaceInfo& info) override { indexes.push_back(info.index); }
  std::vector<std::uint32_t> indexes;
};

TEST_F(NetworkInterfaceManagerTest, ObserversHearOfNewInterfacesUntilDeregistered) {
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")})});
  auto manager = MakeManager();
  RecordingObserver observer;
  EXPECT_EQ(manager->RegisterForInterfaceChange(nullptr), kObBadArgument);
  ASSERT_EQ(manager->RegisterForInterfaceChange(&observer), kObSuccess);
  ASSERT_EQ(manager->RegisterForInterfaceChange(&observer), kObSuccess);  // still once
  Refresh(*manager, 2);
  EXPECT_EQ(observer.indexes, std::vector<std::uint32_t>{2});
  ASSERT_EQ(manager->DeRegisterForInterfaceChange(&observer), kObSuccess);
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")}), Link(3, "eth1", {V4("10.0.1.5")})});
  Refresh(*manager);
  EXPECT_EQ(observer.indexes, std::vector<std::uint32_t>{2});
}

TEST_F(NetworkInterfaceManagerTest, FailedRegistrationStopsTheManager) {
  detector_.register_status = kObFailure;
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")})});
  orv::test::LogCapture log;
  auto manager = MakeManager();
  EXPECT_EQ(manager->Start(queue_), kObFailure);
  EXPECT_TRUE(log.Has(LOG_ERROR, "CNetworkInterfaceManager::Start",
                      "Failed to register for the network change events with TND"));
  const int reads = table_.Reads();
  manager->OnNetworkTypeChange();  // stopped: starts nothing
  manager->Stop();
  EXPECT_EQ(table_.Reads(), reads);
}

// Polls until the condition holds or the deadline passes.
template <typename Condition>
bool WaitUntil(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TEST_F(NetworkInterfaceManagerTest, ChangeSignalsRefreshOnTheirOwnThread) {
  detector_.network_type = 1;
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")})});
  orv::test::LogCapture log;
  auto manager = MakeManager();
  ASSERT_EQ(manager->Start(queue_), kObSuccess);
  ASSERT_EQ(detector_.registered.load(), manager.get());

  table_.Set({Link(2, "eth0", {V4("10.0.0.5")}), Link(3, "eth1", {V4("10.0.1.5")})});
  manager->OnNetworkTypeChange();
  EXPECT_TRUE(log.Has(LOG_DEBUG, "CNetworkInterfaceManager::OnNetworkTypeChange",
                      "CNetworkInterfaceManager::OnNetworkTypeChange - Interface change signal "
                      "received"));
  ASSERT_TRUE(WaitUntil([&] { return manager->GetInterfaceList().size() == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return !manager->RefreshThreadRunning(); }));

  // A tunnel that went down (state 4) on a network trusted at start refreshes; other tunnel
  // states do not.
  auto state = std::make_unique<VPNSharedState>();
  state->vpn_config.tunnel_state = 1;
  const int reads = table_.Reads();
  manager->OnVPNStateChanged(*state);
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")}), Link(4, "eth2", {V4("10.0.2.5")})});
  state->vpn_config.tunnel_state = 4;
  manager->OnVPNStateChanged(*state);
  ASSERT_TRUE(WaitUntil([&] { return Find(manager->GetInterfaceList(), 4) != nullptr; }));
  ASSERT_TRUE(WaitUntil([&] { return !manager->RefreshThreadRunning(); }));

  // The trusted state signal takes the detector's verdict again before refreshing. The detail
  // list is part of what the collector knows of a UID, so the untrusted eth2 is a new record
  // that now answers for the address, while the trusted one ages out.
  const std::uint32_t trusted_uid = Find(manager->GetInterfaceList(), 4)->uid;
  detector_.network_type = 2;
  manager->OnTrustedStateChanged();
  ASSERT_TRUE(WaitUntil([&] { return manager->GetInterfaceList().size() == 5; }));
  manager->Stop();
  std::uint32_t uid = 0;
  ASSERT_EQ(manager->GetInterfaceInfoUID("10.0.2.5", true, uid), kObSuccess);
  EXPECT_NE(uid, trusted_uid);
  const auto list = manager->GetInterfaceList();
  const auto untrusted =
      std::find_if(list.begin(), list.end(), [uid](const RecordPtr& r) { return r->uid == uid; });
  ASSERT_NE(untrusted, list.end());
  EXPECT_EQ((*untrusted)->detail_list, std::vector<std::wstring>{L"State=Untrusted"});
  EXPECT_EQ(table_.Reads(), reads + 2);
  EXPECT_EQ(detector_.registered.load(), nullptr);
}

TEST_F(NetworkInterfaceManagerTest, ConcurrentRefreshesNeverShareAUid) {
  std::vector<AdapterEntry> links;
  for (std::uint32_t index = 2; index < 40; ++index) {
    links.push_back(
        Link(index, "eth" + std::to_string(index), {V4("10.0." + std::to_string(index) + ".1")}));
  }
  auto manager = MakeManager();
  ASSERT_EQ(manager->Start(queue_), kObSuccess);
  std::atomic<bool> done{false};
  std::thread lookups([&] {
    std::uint32_t uid = 0;
    while (!done) {
      static_cast<void>(manager->GetInterfaceInfoUID("10.0.2.1", true, uid));
      static_cast<void>(manager->IsInterfaceBroadcastAddress("10.0.3.255"));
      static_cast<void>(manager->GetInterfaceList());
    }
  });
  std::vector<std::thread> refreshers;
  for (std::size_t part = 0; part < 4; ++part) {
    refreshers.emplace_back([&, part] {
      for (std::size_t step = 1; step <= links.size(); step += 4) {
        table_.Set({links.begin(), links.begin() + static_cast<std::ptrdiff_t>(
                                                       std::min(links.size(), step + part))});
        if (part % 2 == 0) {
          static_cast<void>(manager->refreshInterfaceListThread());
        } else {
          manager->OnNetworkTypeChange();
        }
      }
    });
  }
  for (std::thread& refresher : refreshers) {
    refresher.join();
  }
  table_.Set(links);
  Refresh(*manager);
  done = true;
  lookups.join();
  manager->Stop();

  const auto list = manager->GetInterfaceList();
  ASSERT_EQ(list.size(), links.size());
  std::set<std::uint32_t> uids;
  for (const RecordPtr& record : list) {
    uids.insert(record->uid);
  }
  EXPECT_EQ(uids.size(), links.size());
  EXPECT_EQ(uids.count(0), 0u);
  // Every queued record is an interface seen for the first time: no UID is queued twice.
  std::set<std::uint32_t> queued;
  for (const RecordPtr& record : Drain(queue_)) {
    EXPECT_TRUE(queued.insert(record->uid).second) << record->uid;
  }
  EXPECT_GE(queued.size(), links.size());
}

// What the trusted network detector does with the runtime monitor's link reports.
class ForwardToManager : public OBRuntime::NetworkMonitor::INetworkChangeObserver {
 public:
  explicit ForwardToManager(FakeDetector& detector) : detector_(detector) {}
  void OnInterfaceChange(int /*state*/) override {
    if (IORVNetworkChangeObserver* observer = detector_.registered.load()) {
      observer->OnNetworkTypeChange();
    }
  }
  void OnTrustedStateChange(int /*state*/) override {}
  void OnNetworkStateChange(int /*state*/) override {}

 private:
  FakeDetector& detector_;
};

bool Ip(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"/usr/sbin/ip"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return orv::test::RunCollecting(argv, {}).exit_status == 0;
}

// Real links in a network namespace of the test's own: collection going off and on again
// (Stop, Start) still follows new links, and an address that DHCP or SLAAC adds to a link that
// is already up is listed and queued.
TEST(NetworkInterfaceManagerLinkTest, FollowsLinksAcrossStopStartAndAddressesOnUpLinks) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  if (!Ip({"link", "set", "lo", "up"})) {
    GTEST_SKIP() << "ip(8) from iproute2 is needed";
  }
  orv::test::TempDir dir;
  FakeDetector detector;
  CSystemAdapterTable table;
  ForwardToManager forward(detector);
  OBRuntime::NetworkMonitor::CNetworkMonitor monitor;
  ASSERT_EQ(monitor.RegisterForNetworkChange(&forward), kObSuccess);
  ASSERT_EQ(monitor.Start(), kObSuccess);
  InterfaceQueue queue(100);
  CNetworkInterfaceManager manager(detector, table, dir.path().wstring());
  ASSERT_EQ(manager.Start(queue), kObSuccess);
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
  ASSERT_TRUE(Ip({"link", "add", "v0", "type", "veth", "peer", "name", "v1"}));
  ASSERT_TRUE(Ip({"addr", "add", "10.201.0.1/24", "dev", "v0"}));
  ASSERT_TRUE(Ip({"link", "set", "v0", "up"}));
  ASSERT_TRUE(Ip({"link", "set", "v1", "up"}));
  ASSERT_TRUE(WaitUntil([&] { return queued_with("10.201.0.1"); }));
  ASSERT_TRUE(WaitUntil([&] { return !manager.RefreshThreadRunning(); }));

  ASSERT_TRUE(Ip({"addr", "add", "10.201.0.2/24", "dev", "v1"}));  // v1 is up already
  ASSERT_TRUE(WaitUntil([&] { return queued_with("10.201.0.2"); }));
  std::uint32_t uid = 0;
  EXPECT_EQ(manager.GetInterfaceInfoUID("10.201.0.2", true, uid), kObSuccess);
  EXPECT_NE(uid, 0u);
  manager.Stop();
  ASSERT_EQ(monitor.DeRegisterForNetworkChange(&forward), kObSuccess);
  EXPECT_EQ(monitor.Stop(), kObSuccess);
}

}  // namespace
