// The record the VPN module publishes to the other modules of the endpoint through shared
// memory. Its layout is a contract between processes: little-endian, fixed offsets, 159008 bytes.
// The agent reads the four header words, the tunnel state and the two addresses; the rest of the
// configuration belongs to the VPN module and is carried as opaque bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#pragma pack(push, 1)

struct VPNIPv4Block {
  std::uint32_t header_word;  // the VPN module writes 5 initially
  std::uint8_t reserved1[48];
  std::uint8_t reserved2[47500];
  std::uint32_t reserved_word;
  std::uint8_t address[4];  // IPv4 address, network byte order
};

struct VPNIPv6Block {
  std::uint32_t header_word;  // the VPN module writes 5 initially
  std::uint8_t reserved1[120];
  std::uint8_t reserved2[110000];
  std::uint8_t reserved_byte;
  std::uint8_t unused;
  std::uint8_t address[16];  // IPv6 address, network byte order
  std::uint8_t tail[2];
};

struct VPNConfiguration {
  // 1 connected; 2 and 3 are states in which an interface going down does not count.
  std::uint32_t tunnel_state;
  VPNIPv4Block ipv4;
  VPNIPv6Block ipv6;
  std::uint8_t text1[1025];
  std::uint8_t text2[256];
  std::uint8_t flag;
  std::uint8_t padding[2];
};

struct VPNSharedState {
  std::uint32_t network_state;
  std::uint32_t network_interface_change;
  std::uint32_t user_session_change;
  // 0: the VPN module's verdict is "trusted"; any other value: not trusted.
  std::uint32_t tnd_network_type;
  VPNConfiguration vpn_config;
};

#pragma pack(pop)

inline constexpr std::uint32_t kTunnelStateConnected = 1;
inline constexpr std::size_t kVPNSharedStateSize = 159008;
// Words compared by the change test: the four header words and the tunnel state.
inline constexpr std::size_t kVPNStateChangeWords = 5;

static_assert(std::is_trivially_copyable_v<VPNSharedState>);
static_assert(sizeof(VPNIPv4Block) == 47560);
static_assert(sizeof(VPNIPv6Block) == 110144);
static_assert(sizeof(VPNConfiguration) == 158992);
static_assert(sizeof(VPNSharedState) == kVPNSharedStateSize);
static_assert(offsetof(VPNSharedState, network_interface_change) == 4);
static_assert(offsetof(VPNSharedState, user_session_change) == 8);
static_assert(offsetof(VPNSharedState, tnd_network_type) == 12);
static_assert(offsetof(VPNSharedState, vpn_config) == 16);
static_assert(offsetof(VPNConfiguration, ipv4) == 4);
static_assert(offsetof(VPNConfiguration, ipv6) == 47564);
static_assert(offsetof(VPNConfiguration, text1) == 157708);
static_assert(offsetof(VPNConfiguration, text2) == 158733);
static_assert(offsetof(VPNConfiguration, flag) == 158989);
static_assert(offsetof(VPNIPv4Block, address) == 47556);
static_assert(offsetof(VPNIPv6Block, address) == 110126);
// The wire order is the machine's: this build only targets little-endian machines.
static_assert(std::endian::native == std::endian::little);

// True when the first five words (header and tunnel state) of the two records differ; changes
// elsewhere in the configuration do not count.
[[nodiscard]] inline bool VPNStateDiffers(const VPNSharedState& a, const VPNSharedState& b) {
  return std::memcmp(&a, &b, kVPNStateChangeWords * sizeof(std::uint32_t)) != 0;
}
