#include "common/vpn_shared_state.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

TEST(VPNSharedStateTest, OnlyHeaderWordsAndTunnelStateCountAsAChange) {
  auto a = std::make_unique<VPNSharedState>();
  auto b = std::make_unique<VPNSharedState>();
  std::memset(a.get(), 0, sizeof(VPNSharedState));
  std::memset(b.get(), 0, sizeof(VPNSharedState));
  EXPECT_FALSE(VPNStateDiffers(*a, *b));

  b->vpn_config.ipv4.address[3] = 7;
  b->vpn_config.ipv6.address[0] = 0xfe;
  b->vpn_config.text1[0] = 'x';
  b->vpn_config.flag = 1;
  EXPECT_FALSE(VPNStateDiffers(*a, *b));

  b->vpn_config.tunnel_state = kTunnelStateConnected;
  EXPECT_TRUE(VPNStateDiffers(*a, *b));
  b->vpn_config.tunnel_state = 0;
  b->tnd_network_type = 2;
  EXPECT_TRUE(VPNStateDiffers(*a, *b));
}

TEST(VPNSharedStateTest, FieldsSitAtTheirWireOffsets) {
  auto state = std::make_unique<VPNSharedState>();
  std::memset(state.get(), 0, sizeof(VPNSharedState));
  state->tnd_network_type = 0x01020304;
  state->vpn_config.tunnel_state = 0x0A0B0C0D;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(state.get());
  EXPECT_EQ(bytes[12], 0x04);  // little-endian
  EXPECT_EQ(bytes[15], 0x01);
  EXPECT_EQ(bytes[16], 0x0D);
  EXPECT_EQ(bytes[19], 0x0A);
}

}  // namespace
