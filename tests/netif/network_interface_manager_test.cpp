#include "netif/network_interface_manager.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>

#include "netif/netif_fakes.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using orv::test::Describe;
using orv::test::Find;
using orv::test::Link;
using orv::test::RecordPtr;
using orv::test::V4;
using orv::test::V6;
using orv::test::WaitUntil;

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
  std::string Persisted() const {
    std::ifstream file(dir_.path() / "PersistedData.dat", std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
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
  orv::test::FakeAdapterTable table_;
  orv::test::FakeDetector detector_;
  InterfaceQueue queue_{2};
  std::atomic<std::chrono::steady_clock::duration> now_{std::chrono::hours(1)};
};

class RecordingObserver : public CNetworkInterfaceManager::IORVInterfaceChangeObserver {
 public:
  void OnInterfaceChange(const InterfaceInfo& info) override { indexes.push_back(info.index); }
  std::vector<std::uint32_t> indexes;
};

// What is listed, queued and told to observers: up links of a known type holding an address that
// parses, each once; link-local IPv6 never counts. A full queue leaves records for the next
// announcement; an unchanged interface is never announced again.
TEST_F(NetworkInterfaceManagerTest, FirstRefreshQueuesEachAddressedLinkOnce) {
  AdapterEntry loopback = Link(1, "lo", {V4("127.0.0.1", 8), V6("::1")});
  loopback.link_type = 772;
  AdapterEntry down = Link(5, "eth9", {V4("10.9.0.1")});
  down.up = false;
  AdapterAddress strange{99, "10.0.0.9", 24, false};
  table_.Set({loopback, Link(2, "eth0", {V4("10.0.0.5"), V6("2001:DB8::5%eth0"), V6("fe80::1")}),
              Link(3, "eth1", {V4("192.168.1.7", 16)}), Link(4, "eth2", {}), down,
              Link(6, "eth3", {V6("fe80::1"), V6("FE80::2%eth3")}),
              Link(7, "eth4", {V4("10.0.0.999"), V4("10.0.0.7", 40), strange, V6("2001:db8::zz")}),
              Link(8, "eth5", {V4("not an address"), V4("10.1.0.1", 32)})});
  orv::test::LogCapture log;
  auto manager = MakeManager();
  RecordingObserver observer;
  RecordingObserver gone;
  EXPECT_EQ(manager->RegisterForInterfaceChange(nullptr), kObBadArgument);
  ASSERT_EQ(manager->RegisterForInterfaceChange(&observer), kObSuccess);
  ASSERT_EQ(manager->RegisterForInterfaceChange(&observer), kObSuccess);  // still once
  ASSERT_EQ(manager->RegisterForInterfaceChange(&gone), kObSuccess);
  ASSERT_EQ(manager->DeRegisterForInterfaceChange(&gone), kObSuccess);
  ASSERT_EQ(manager->Start(queue_), kObSuccess);
  EXPECT_EQ(manager->Start(queue_), kObAlreadyRunning);
  EXPECT_EQ(observer.indexes, (std::vector<std::uint32_t>{2, 3, 8}));
  EXPECT_TRUE(gone.indexes.empty());
  EXPECT_TRUE(log.Contains("Interface queue full"));
  EXPECT_TRUE(log.Contains("address \"10.0.0.999\" of family 2 does not parse"));
  EXPECT_TRUE(log.Contains("with prefix length 40"));

  const std::vector<RecordPtr> queued = Drain(queue_);
  ASSERT_TRUE(queued.size() == 2 && Find(queued, 2) && Find(queued, 3));
  EXPECT_EQ(std::set<std::uint32_t>({Find(queued, 2)->uid, Find(queued, 3)->uid, Uid(*manager, 8)}),
            (std::set<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(Describe(Find(queued, 2)), "1 eth0 10.0.0.5/10.0.0.255 2001:db8::5 State=Trusted");
  EXPECT_EQ(Find(queued, 2)->hardware_address, "02:00:00:00:00:02");
  EXPECT_EQ(Describe(Find(queued, 3)), "1 eth1 192.168.1.7/192.168.255.255 State=Trusted");
  EXPECT_EQ(manager->GetInterfaceList().size(), 3u);

  // A broadcast address is one of a listed interface; a /32 address is not its own broadcast.
  EXPECT_TRUE(manager->IsInterfaceBroadcastAddress("192.168.255.255"));
  EXPECT_FALSE(manager->IsInterfaceBroadcastAddress("10.0.0.5"));
  EXPECT_FALSE(manager->IsInterfaceBroadcastAddress("10.1.0.1"));

  Refresh(*manager, 2);
  EXPECT_TRUE(queue_.IsEmpty());
  EXPECT_EQ(observer.indexes.size(), 3u);
  EXPECT_EQ(Uid(*manager, 2), Find(queued, 2)->uid);
}

// A link back after five missed refreshes keeps its UID with a newer order ID; one missing at the
// sixth is dropped. An address held twice answers with the most recently changed interface, and
// a miss refreshes on the caller's thread only once a random-suffix IPv6 address was seen and the
// list is over five minutes old.
TEST_F(NetworkInterfaceManagerTest, ListAgesAndAnswersUidLookups) {
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
  EXPECT_EQ(back->uid, before->uid);
  EXPECT_GT(back->order_id, before->order_id);
  EXPECT_EQ(back->missed_count, 0);
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
  now_ = now_.load() + std::chrono::minutes(10);
  EXPECT_EQ(UidOf(*manager, "10.0.2.5", true), 0u);
  const AdapterEntry random = Link(2, "eth0", {V4("10.0.0.5"), V6("2001:db8::77", true)});
  table_.Set({random});
  Refresh(*manager);
  table_.Set({random, eth2});
  now_ = now_.load() + std::chrono::minutes(4);
  EXPECT_EQ(UidOf(*manager, "10.0.2.5", true), 0u);
  const int reads = table_.Reads();
  now_ = now_.load() + std::chrono::minutes(2);
  EXPECT_NE(UidOf(*manager, "10.0.2.5", true), 0u);
  EXPECT_EQ(table_.Reads(), reads + 1);
}

// The file holds the last UID handed out: a restart continues after it, the 16-bit counter
// skips 0 and UIDs still listed, and a bad file is logged and rewritten.
TEST_F(NetworkInterfaceManagerTest, PersistedUidCounter) {
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
  EXPECT_EQ(Uid(*manager, 2), 65534u);
  EXPECT_EQ(Uid(*manager, 3), 65535u);
  EXPECT_EQ(Uid(*manager, 4), 1u);
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
  table_.Set({vpn, tunnel, wireless, other});
  const struct {
    int network_type;
    bool vpn_connected;
    SsidFailure ssid;
    const char* wired_state;
    const char* vpn_state;
    const char* log;
  } cases[] = {
      {1, false, SsidFailure::kNone, " State=Trusted", " State=Trusted", ""},
      {0, true, SsidFailure::kOpen, " State=Untrusted", " State=Trusted",
       "WlanOpenHandle failed with error: 2"},
      {2, false, SsidFailure::kEnumerate, " State=Untrusted", " State=Trusted",
       "WlanEnumInterfaces failed with error: 2"},
      {3, false, SsidFailure::kQuery, " State=Unknown", " State=Unknown",
       "WlanQueryInterface failed with error: 2"},
      {7, false, SsidFailure::kNotConnected, "", "", "Unexpected network state 7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.network_type);
    detector_.network_type = c.network_type;
    detector_.vpn_connected = c.vpn_connected;
    table_.ssid_failure = c.ssid;
    orv::test::LogCapture log;
    InterfaceQueue queue(10);
    auto manager = MakeManager();
    ASSERT_EQ(manager->Start(queue), kObSuccess);
    const auto list = manager->GetInterfaceList();
    ASSERT_EQ(list.size(), 3u);  // type "other" is never listed
    EXPECT_EQ(Describe(Find(list, 2)),
              "8 Varno Ombrix Virtual Adapter 10.8.0.2/10.8.0.255" + std::string(c.vpn_state));
    EXPECT_EQ(Describe(Find(list, 3)),
              "8 Varno Ombrix Tunnel 10.9.0.2/10.9.0.255" + std::string(c.vpn_state));
    EXPECT_EQ(Find(list, 3)->hardware_address, "00:00:00:00:00:00");
    EXPECT_EQ(Describe(Find(list, 4)),
              "2 wlan0 192.168.5.2/192.168.5.255" +
                  std::string(c.ssid == SsidFailure::kNone ? " SSID=Office" : "") + c.wired_state);
    EXPECT_EQ(log.Contains("Failed to fetch SSID"), c.ssid != SsidFailure::kNone);
    EXPECT_TRUE(*c.log == '\0' || log.Contains(c.log)) << c.log;
  }
}

// Failed table reads leave the list as it was and count no misses; a failed registration stops
// the manager, so that change signals then start nothing.
TEST_F(NetworkInterfaceManagerTest, FailedReadsKeepTheListAndFailedRegistrationStops) {
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")})});
  table_.FailNext({kObFailure});
  orv::test::LogCapture log;
  auto manager = MakeManager();
  ASSERT_EQ(manager->Start(queue_), kObSuccess);
  EXPECT_TRUE(log.Contains("refreshInterfaceListThread failed"));
  EXPECT_TRUE(log.Contains("Could not refresh interface list."));
  EXPECT_TRUE(manager->GetInterfaceList().empty());
  Refresh(*manager);
  table_.Set({});
  table_.FailNext({kObBufferTooSmall, kObOutOfMemory, kObFailure, kObFailure, kObFailure,
                   kObFailure, kObFailure});
  EXPECT_EQ(manager->refreshInterfaceListThread(), kObBufferTooSmall);
  EXPECT_EQ(manager->refreshInterfaceListThread(), kObFailure);
  EXPECT_TRUE(log.Contains("Memory allocation failed for IP_ADAPTER_ADDRESSES struct"));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(manager->refreshInterfaceListThread(), kObFailure);
  }
  ASSERT_EQ(manager->GetInterfaceList().size(), 1u);
  EXPECT_EQ(manager->GetInterfaceList()[0]->missed_count, 0);

  detector_.register_status = kObFailure;
  manager = MakeManager();
  EXPECT_EQ(manager->Start(queue_), kObFailure);
  EXPECT_TRUE(log.Contains("Failed to register for the network change events with TND"));
  const int reads = table_.Reads();
  manager->OnNetworkTypeChange();
  manager->Stop();
  EXPECT_EQ(table_.Reads(), reads);
}

TEST_F(NetworkInterfaceManagerTest, ChangeSignalsRefreshOnTheirOwnThread) {
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")})});
  orv::test::LogCapture log;
  auto manager = MakeManager();
  ASSERT_EQ(manager->Start(queue_), kObSuccess);
  ASSERT_EQ(detector_.registered.load(), manager.get());
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")}), Link(3, "eth1", {V4("10.0.1.5")})});
  manager->OnNetworkTypeChange();
  EXPECT_TRUE(log.Contains("Interface change signal received"));
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
  const std::uint32_t trusted_uid = Uid(*manager, 4);
  detector_.network_type = 2;
  manager->OnTrustedStateChanged();
  ASSERT_TRUE(WaitUntil([&] { return manager->GetInterfaceList().size() == 5; }));
  manager->Stop();
  const std::uint32_t uid = UidOf(*manager, "10.0.2.5", true);
  EXPECT_NE(uid, trusted_uid);
  const auto list = manager->GetInterfaceList();
  EXPECT_EQ(
      Describe(*std::find_if(list.begin(), list.end(), [uid](auto& r) { return r->uid == uid; })),
      "1 eth2 10.0.2.5/10.0.2.255 State=Untrusted");
  EXPECT_EQ(table_.Reads(), reads + 2);
  EXPECT_EQ(detector_.registered.load(), nullptr);
}

// Refreshes from two threads at once, one direct and one by change signals, while lookups run:
// one refresh at a time, so no UID is handed out twice, none is 0, and none is queued twice.
TEST_F(NetworkInterfaceManagerTest, ConcurrentRefreshesNeverShareAUid) {
  std::vector<AdapterEntry> links;
  for (std::uint32_t index = 2; index < 20; ++index) {
    links.push_back(
        Link(index, "eth" + std::to_string(index), {V4("10.0." + std::to_string(index) + ".1")}));
  }
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
  std::set<std::uint32_t> uids{0};
  for (const RecordPtr& record : manager->GetInterfaceList()) {
    EXPECT_TRUE(uids.insert(record->uid).second) << record->uid;
  }
  EXPECT_EQ(uids.size(), links.size() + 1);
  std::set<std::uint32_t> queued;
  for (const RecordPtr& record : Drain(queue)) {
    EXPECT_TRUE(queued.insert(record->uid).second) << record->uid;
  }
  EXPECT_EQ(queued.size(), links.size());
}

}  // namespace
