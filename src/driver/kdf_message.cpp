#include "driver/kdf_message.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "runtime/byte_order.h"

namespace {

// Offsets of the flow data message's fields.
constexpr std::size_t kLocalEndpointOffset = 4;
constexpr std::size_t kRemoteEndpointOffset = 32;
constexpr std::size_t kHostNameOffset = 60;
constexpr std::size_t kAddressFamilyOffset = 316;
constexpr std::size_t kProtocolOffset = 320;
constexpr std::size_t kBytesInOffset = 324;
constexpr std::size_t kBytesOutOffset = 332;
constexpr std::size_t kProcessStartTimeOffset = 340;
constexpr std::size_t kPidOffset = 348;
constexpr std::size_t kParentPidOffset = 352;
constexpr std::size_t kFlowStartOffset = 356;
constexpr std::size_t kFlowEndOffset = 360;
constexpr std::size_t kProcessHashOffset = 364;
constexpr std::size_t kProcessPathLengthOffset = 396;
constexpr std::size_t kProcessPathOffset = 398;
constexpr std::size_t kParentHashOffset = 690;
constexpr std::size_t kParentPathLengthOffset = 722;
constexpr std::size_t kParentPathOffset = 724;
constexpr std::size_t kDirectionOffset = 1016;
constexpr std::size_t kReportKindOffset = 1017;
constexpr std::size_t kPidInfoPidOffset = 4;

KdfEndpoint LoadEndpoint(const std::uint8_t* p) {
  KdfEndpoint endpoint;
  endpoint.family = OBRuntime::LoadLe<std::uint16_t>(p);
  endpoint.port = static_cast<std::uint16_t>((p[2] << 8) | p[3]);
  std::memcpy(endpoint.ipv4.data(), p + 4, endpoint.ipv4.size());
  endpoint.ipv6_flow_info = OBRuntime::LoadLe<std::uint32_t>(p + 4);
  std::memcpy(endpoint.ipv6.data(), p + 8, endpoint.ipv6.size());
  return endpoint;
}

// The path of a 292-byte field whose stated length may exceed it: the length is clamped to the
// field and rounded down to whole UTF-16 units. Written into path's own buffer, which a message
// decoded into again keeps.
void LoadPath(const std::uint8_t* message, std::size_t length_offset, std::size_t path_offset,
              std::u16string& path) {
  const std::size_t bytes = std::min<std::size_t>(
      OBRuntime::LoadLe<std::uint16_t>(message + length_offset), kKdfPathBytes);
  path.resize(bytes / 2);
  for (std::size_t i = 0; i < path.size(); ++i) {
    path[i] =
        static_cast<char16_t>(OBRuntime::LoadLe<std::uint16_t>(message + path_offset + 2 * i));
  }
}

template <std::size_t N>
std::array<std::uint8_t, N> LoadBytes(const std::uint8_t* p) {
  std::array<std::uint8_t, N> bytes;
  std::memcpy(bytes.data(), p, N);
  return bytes;
}

}  // namespace

boost::asio::ip::address KdfEndpoint::Address(bool ipv4_flow) const {
  if (ipv4_flow) {
    return boost::asio::ip::address_v4(ipv4);
  }
  return boost::asio::ip::address_v6(ipv6);
}

bool FormatKdfAddress(const KdfEndpoint& endpoint, bool ipv4_flow,
                      std::span<char, kKdfAddressTextSize> out) {
  if (!ipv4_flow) {
    const bool done =
        ::inet_ntop(AF_INET6, endpoint.ipv6.data(), out.data(), out.size()) != nullptr;
    if (!done) {
      out[0] = '\0';
    }
    return done;
  }
  char* at = out.data();
  for (std::size_t index = 0; index < endpoint.ipv4.size(); ++index) {
    if (index > 0) {
      *at++ = '.';
    }
    const unsigned byte = endpoint.ipv4[index];
    if (byte >= 100) {
      *at++ = static_cast<char>('0' + byte / 100);
    }
    if (byte >= 10) {
      *at++ = static_cast<char>('0' + byte / 10 % 10);
    }
    *at++ = static_cast<char>('0' + byte % 10);
  }
  *at = '\0';
  return true;
}

OB_STATUSCODE ParseKdfHeader(std::span<const std::uint8_t> bytes, KdfMessageHeader& out) {
  if (bytes.size() < kKdfHeaderSize) {
    return kObBadArgument;
  }
  out.total_length = OBRuntime::LoadLe<std::uint16_t>(bytes.data());
  out.version = bytes[2];
  out.type = bytes[3];
  return kObSuccess;
}

OB_STATUSCODE ParseKdfFlowData(std::span<const std::uint8_t> bytes, KdfFlowData& out) {
  if (bytes.size() != kKdfFlowDataSize) {
    return kObBadArgument;
  }
  const std::uint8_t* m = bytes.data();
  static_cast<void>(ParseKdfHeader(bytes, out.header));
  out.local = LoadEndpoint(m + kLocalEndpointOffset);
  out.remote = LoadEndpoint(m + kRemoteEndpointOffset);
  const auto* name = reinterpret_cast<const char*>(m + kHostNameOffset);
  out.host_name.assign(name, ::strnlen(name, kKdfHostNameBytes));
  out.address_family = OBRuntime::LoadLe<std::uint32_t>(m + kAddressFamilyOffset);
  out.protocol = OBRuntime::LoadLe<std::uint32_t>(m + kProtocolOffset);
  out.bytes_in = OBRuntime::LoadLe<std::uint64_t>(m + kBytesInOffset);
  out.bytes_out = OBRuntime::LoadLe<std::uint64_t>(m + kBytesOutOffset);
  out.process_start_time = OBRuntime::LoadLe<std::uint64_t>(m + kProcessStartTimeOffset);
  out.pid = OBRuntime::LoadLe<std::uint32_t>(m + kPidOffset);
  out.parent_pid = OBRuntime::LoadLe<std::uint32_t>(m + kParentPidOffset);
  out.flow_start = OBRuntime::LoadLe<std::uint32_t>(m + kFlowStartOffset);
  out.flow_end = OBRuntime::LoadLe<std::uint32_t>(m + kFlowEndOffset);
  out.process_hash = LoadBytes<kKdfHashBytes>(m + kProcessHashOffset);
  LoadPath(m, kProcessPathLengthOffset, kProcessPathOffset, out.process_path);
  out.parent_hash = LoadBytes<kKdfHashBytes>(m + kParentHashOffset);
  LoadPath(m, kParentPathLengthOffset, kParentPathOffset, out.parent_path);
  out.direction = m[kDirectionOffset];
  out.report_kind = OBRuntime::LoadLe<std::uint32_t>(m + kReportKindOffset);
  return kObSuccess;
}

OB_STATUSCODE ParseKdfPidInfo(std::span<const std::uint8_t> bytes, KdfPidInfo& out) {
  if (bytes.size() < kKdfPidInfoSize) {
    return kObBadArgument;
  }
  static_cast<void>(ParseKdfHeader(bytes, out.header));
  out.pid = OBRuntime::LoadLe<std::uint32_t>(bytes.data() + kPidInfoPidOffset);
  return kObSuccess;
}
