#include "common/vpn_shared_state.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

TEST(VPNSharedStateTest, OnlyHeaderWordsAndTunnelStateCountAsAChange) {
  const auto a = std::make_unique<VPNSharedState>();  // value-initialised: all zero
  const auto b = std::make_unique<VPNSharedState>();
  b->vpn_config.ipv4.address[3] = 7;
  b->vpn_config.flag = 1;
  EXPECT_FALSE(VPNStateDiffers(*a, *b));
  b->vpn_config.tunnel_state = kTunnelStateConnected;
  EXPECT_TRUE(VPNStateDiffers(*a, *b));
  b->vpn_config.tunnel_state = 0;
  b->tnd_network_type = 2;
  EXPECT_TRUE(VPNStateDiffers(*a, *b));

  // The block is shared with other programs: fields sit at fixed little-endian offsets.
  a->tnd_network_type = 0x01020304;
  a->vpn_config.tunnel_state = 0x0A0B0C0D;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(a.get());
  EXPECT_EQ(std::vector<std::uint8_t>(bytes + 12, bytes + 20),
            (std::vector<std::uint8_t>{4, 3, 2, 1, 0x0D, 0x0C, 0x0B, 0x0A}));
}

}  // namespace
