#include "core/orv_utils.h"

#include <gtest/gtest.h>

#include <string>

#include "support/log_capture.h"

namespace {

constexpr std::uint32_t kIPv4 = 2;
constexpr std::uint32_t kIPv6 = 23;

TEST(ORVUtilsTest, AddressRulesFollowTheirFamilies) {
  struct Case {
    const char* address;
    std::uint32_t family;
    bool multicast;
    bool link_local;
    bool loopback;
  };
  const Case cases[] = {
      {"239.255.255.250", kIPv4, true, false, false},
      {"224.0.0.1", kIPv4, true, false, false},
      {"240.0.0.1", kIPv4, false, false, false},
      {"223.255.255.255", kIPv4, false, false, false},
      {"169.254.1.1", kIPv4, false, true, false},
      {"169.1.2.3", kIPv4, false, false, false},  // routable public space
      {"127.4.5.6", kIPv4, false, false, true},
      {"FF02::1", kIPv6, true, false, false},
      {"FE80::1", kIPv6, false, true, false},
      {"febf::1", kIPv6, false, true, false},
      {"fec0::1", kIPv6, false, false, false},
      {"fe8::1", kIPv6, false, false, false},
      {"::1", kIPv6, false, false, true},
      {"abc.0.0.1", kIPv4, false, false, false},  // unreadable texts match nothing
      {"x169.254.0.1", kIPv4, false, false, false},
      {"not an address", kIPv6, false, false, false},
  };
  orv::test::LogCapture log;
  for (const Case& test : cases) {
    EXPECT_EQ(ORVUtils::CheckMulticast(test.address, test.family), test.multicast) << test.address;
    EXPECT_EQ(ORVUtils::CheckLinkLocal(test.address, test.family), test.link_local) << test.address;
    EXPECT_EQ(ORVUtils::CheckLoopback(test.address), test.loopback) << test.address;
  }
  EXPECT_FALSE(ORVUtils::CheckLinkLocal("169.254.1.1", 99));
  EXPECT_FALSE(ORVUtils::CheckMulticast("ff02::1", 99));
  EXPECT_FALSE(ORVUtils::CheckLoopback(std::string(200, '1')));
  EXPECT_TRUE(log.Contains("CORVAgent::checkMulticast - could not cast IP to int."));
  EXPECT_TRUE(log.Contains("Exception while converting string to ip address"));
}

TEST(ORVUtilsTest, BroadcastIsTheLimitedAddressOrAnInterfaceBroadcast) {
  int lookups = 0;
  const auto interfaces = [&lookups](std::string_view address) {
    ++lookups;
    return address == "192.168.1.255";
  };
  EXPECT_TRUE(ORVUtils::CheckBroadcast("255.255.255.255", interfaces));
  EXPECT_TRUE(ORVUtils::CheckBroadcast("192.168.1.255", interfaces));
  EXPECT_FALSE(ORVUtils::CheckBroadcast("192.168.1.254", interfaces));
  const int ipv4_lookups = lookups;
  EXPECT_FALSE(ORVUtils::CheckBroadcast("ff02::1", interfaces));
  EXPECT_EQ(lookups, ipv4_lookups) << "an IPv6 text needs no interface lookup";
}

}  // namespace
