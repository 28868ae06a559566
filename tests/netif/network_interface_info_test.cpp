#include "netif/network_interface_info.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <future>

#include "netif/netif_fakes.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using orv::test::Link;
using orv::test::V4;
using orv::test::V6;
using orv::test::WaitUntil;

class NetworkInterfaceInfoTest : public ::testing::Test {
 protected:
  NetworkInterfaceInfoTest() {
    WriteResolvConf("# generated\nnameserver 10.0.0.53\nsearch corp.example.com lab.example.com\n");
    table_.Set({Link(1, "lo", {V4("127.0.0.1", 8)}),
                Link(2, "eth0", {V4("10.0.0.5"), V6("2001:DB8::5%eth0")})});
  }
  void WriteResolvConf(const std::string& text) { std::ofstream(resolv_conf_) << text; }
  std::unique_ptr<CNetworkInterfaceInfo> MakeInfo() {
    return std::make_unique<CNetworkInterfaceInfo>(
        table_, domains_, [this] { return std::chrono::steady_clock::time_point(now_.load()); });
  }
  // The suffix, or the status when the lookup fails; waits for a repopulation it started.
  static std::wstring Lookup(CNetworkInterfaceInfo& info, const char* address) {
    wchar_t buffer[64];
    std::uint32_t size = 64;
    const OB_STATUSCODE status = info.GetDNSSuffix(address, buffer, &size);
    EXPECT_TRUE(WaitUntil([&] { return !info.RepopulationRunning(); }));
    return status == kObSuccess ? std::wstring(buffer) : L"status " + std::to_wstring(status);
  }
  void Advance(int milliseconds) { now_ = now_.load() + std::chrono::milliseconds(milliseconds); }

  orv::test::TempDir dir_;
  std::string resolv_conf_ = (dir_.path() / "resolv.conf").string();
  CSystemLinkDomains domains_{resolv_conf_, false};
  orv::test::FakeAdapterTable table_;
  std::atomic<std::chrono::steady_clock::duration> now_{std::chrono::hours(1)};
};

TEST_F(NetworkInterfaceInfoTest, SuffixOfEachAddressComesFromTheResolverConfiguration) {
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
  orv::test::LogCapture log;
  EXPECT_TRUE(
      CSystemLinkDomains((dir_.path() / "absent").string(), false).ReadSuffixes({1}).empty());
  EXPECT_TRUE(log.Contains("Unable to read the resolver configuration"));
  struct stat bus {};
  if (::stat("/run/dbus/system_bus_socket", &bus) != 0) {  // with no bus, the file answers
    EXPECT_EQ(CSystemLinkDomains(resolv_conf_, true).ReadSuffixes({7}).at(7), L"corp.example.com");
  }
}

// A miss repopulates (merging, not clearing) at most once per two seconds and five times in all
// until the next rebuild, which replaces the cache and clears the count.
TEST_F(NetworkInterfaceInfoTest, MissRepopulatesOnDemandWithinLimits) {
  auto info = MakeInfo();
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")}), Link(3, "eth1", {V4("10.0.1.5")})});
  const int reads = table_.Reads();
  EXPECT_EQ(Lookup(*info, "10.0.1.5"), L"status -9995");
  EXPECT_EQ(Lookup(*info, "10.0.1.5"), L"corp.example.com");
  EXPECT_EQ(Lookup(*info, "127.0.0.1"), L"corp.example.com");
  Advance(2000);
  EXPECT_EQ(Lookup(*info, "10.7.7.7"), L"status -9995");
  EXPECT_EQ(table_.Reads(), reads + 1);
  for (int i = 0; i < 6; ++i) {
    Advance(2001);
    EXPECT_EQ(Lookup(*info, "10.7.7.7"), L"status -9995");
  }
  EXPECT_EQ(table_.Reads(), reads + 5);
  table_.Set({Link(3, "eth1", {V4("10.0.1.5")})});
  WriteResolvConf("domain branch.example\n");
  ASSERT_EQ(info->PopulateDNSSuffix(), kObSuccess);
  EXPECT_EQ(Lookup(*info, "10.0.1.5"), L"branch.example");
  Advance(2001);
  EXPECT_EQ(Lookup(*info, "10.0.0.5"), L"status -9995");
  EXPECT_EQ(table_.Reads(), reads + 7);
}

// Reading the suffixes can take seconds (D-Bus): lookups meanwhile neither wait nor lose what
// the cache held.
TEST_F(NetworkInterfaceInfoTest, SlowSuffixReadsNeverStallOrEmptyLookups) {
  struct SlowDomains : ILinkDomainSource {
    std::map<std::uint32_t, std::wstring> ReadSuffixes(const std::vector<std::uint32_t>&) override {
      if (gate.valid()) {
        gate.wait();
      }
      return {{2, L"slow.example"}, {3, L"slow.example"}};
    }
    std::shared_future<void> gate;  // set once the first (synchronous) read is done
  } domains;
  CNetworkInterfaceInfo info(table_, domains);
  std::promise<void> release;
  domains.gate = release.get_future().share();
  table_.Set({Link(2, "eth0", {V4("10.0.0.5")}), Link(3, "eth1", {V4("10.0.1.5")})});
  std::thread rebuild([&] { (void)info.PopulateDNSSuffix(); });
  wchar_t buffer[64];
  std::uint32_t size = 64;
  ASSERT_EQ(info.GetDNSSuffix("10.0.0.5", buffer, &size), kObSuccess);  // the old map meanwhile
  EXPECT_EQ(std::wstring(buffer), L"slow.example");
  EXPECT_EQ(info.GetDNSSuffix("10.0.1.5", buffer, &size), kObNotFound);  // not waiting
  release.set_value();
  rebuild.join();
  EXPECT_TRUE(WaitUntil([&] { return Lookup(info, "10.0.1.5") == L"slow.example"; }));
}

TEST_F(NetworkInterfaceInfoTest, PopulationFailuresAreLoggedAndEmptyTheCache) {
  orv::test::LogCapture log;
  table_.FailNext({kObFailure});
  auto info = MakeInfo();
  EXPECT_TRUE(log.Contains(" Failed to populate DNS cache"));
  EXPECT_TRUE(log.Contains("populateDNSCache GetAdapterAddresses failed with error: 5"));
  table_.FailNext({kObOutOfMemory});
  EXPECT_EQ(info->PopulateDNSSuffix(), kObOutOfMemory);
  EXPECT_TRUE(log.Contains("populateDNSCache failed to allocate memory for pAddresses buffer"));
  // A table that keeps changing is read five times, then given up.
  const int reads = table_.Reads();
  table_.FailNext(std::vector<OB_STATUSCODE>(6, kObBufferTooSmall));
  EXPECT_EQ(info->PopulateDNSSuffix(), kObFailure);
  EXPECT_EQ(table_.Reads(), reads + 5);
  EXPECT_EQ(info->PopulateDNSSuffix(), kObSuccess);  // settled at the second read
  EXPECT_EQ(Lookup(*info, "10.0.0.5"), L"corp.example.com");
  table_.Set({});
  EXPECT_EQ(info->PopulateDNSSuffix(), kObFailure);
  EXPECT_TRUE(log.Contains("populateDNSCache No addresses wre found with requested parameters"));
  EXPECT_EQ(Lookup(*info, "10.0.0.5"), L"status -9995");
}

}  // namespace
