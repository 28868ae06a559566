// The flow reporter's control interface: what the platform framework asks of the socket-filter
// driver's user-mode library, the plugin "OrvPlugin1.0".
//
// The framework takes a fresh instance for every request (create, open the plugin, one call,
// close, release), so an implementation keeps any lasting state process-wide, not per instance.
// Every operation answers an ngc_error_t: 0 is success; OpenPlugin also answers 2 when the
// plugin was already open, which callers treat as success.
#pragma once

#include <array>
#include <cstdint>

using ngc_error_t = std::int32_t;

inline constexpr ngc_error_t kNgcSuccess = 0;
inline constexpr ngc_error_t kNgcFailure = 1;
inline constexpr ngc_error_t kNgcAlreadyOpen = 2;
// A request that needs the plugin open came before OpenPlugin (or after Uninitialize).
inline constexpr ngc_error_t kNgcNotOpen = 3;
inline constexpr ngc_error_t kNgcInvalidArgument = 4;
inline constexpr char kOrvPluginName[] = "OrvPlugin1.0";

// One address of the endpoint pair: a family (2 IPv4, 23 IPv6) and 16 address bytes in network
// byte order (an IPv4 address in the first four).
struct OrvEndpointAddress {
  std::uint32_t family = 0;
  std::array<std::uint8_t, 16> bytes{};
};

// Where the reporter sends its datagrams, as handed to EnableAppFlow (44 bytes, no padding):
// second_address and second_port name the flow data channel; the first pair is unused (zero).
struct OrvEndpointPair {
  OrvEndpointAddress first_address;
  OrvEndpointAddress second_address;
  std::uint16_t first_port = 0;   // network byte order
  std::uint16_t second_port = 0;  // network byte order
};
static_assert(sizeof(OrvEndpointPair) == 44, "the endpoint pair is a fixed 44-byte layout");

// One instance of the library's API. Operations are declared in the library's slot order
// (OpenPlugin is slot 2, Uninitialize slot 9); the slots the agent never calls are left out.
class IOrvApi {
 public:
  virtual ~IOrvApi() = default;
  // Opens the plugin; 0 or 2 (already open) on success.
  virtual ngc_error_t OpenPlugin() = 0;
  virtual ngc_error_t ClosePlugin() = 0;
  // Starts flow reporting to the second address and port of endpoints.
  virtual ngc_error_t EnableAppFlow(const OrvEndpointPair* endpoints) = 0;
  virtual ngc_error_t DisableAppFlow() = 0;
  // Tells the reporter that the endpoint's interfaces changed.
  virtual ngc_error_t NotifyNetworkChange() = 0;
  // Sets the interval, in seconds, at which long flows get interim reports.
  virtual ngc_error_t SetFlowReportInterval(std::uint32_t seconds) = 0;
  // Releases the plugin for the whole process (no OpenPlugin needed first).
  virtual ngc_error_t Uninitialize() = 0;
};
