#include "flow/flow_datagram_builder.h"

#include <algorithm>
#include <cstring>

namespace {

void StoreU16(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

void StoreU32(std::uint8_t* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void StoreU64(std::uint8_t* p, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void StoreHeader(std::uint8_t* p, const KdfMessageHeader& header) {
  StoreU16(p, header.total_length);
  p[2] = header.version;
  p[3] = header.type;
}

// A 28-byte block laid out as a Windows IPv6 socket address; the scope id stays zero.
void StoreEndpoint(std::uint8_t* p, const KdfEndpoint& endpoint, bool ipv4_flow) {
  StoreU16(p, endpoint.family);
  p[2] = static_cast<std::uint8_t>(endpoint.port >> 8);
  p[3] = static_cast<std::uint8_t>(endpoint.port);
  if (ipv4_flow) {
    std::memcpy(p + 4, endpoint.ipv4.data(), endpoint.ipv4.size());
  } else {
    StoreU32(p + 4, endpoint.ipv6_flow_info);
    std::memcpy(p + 8, endpoint.ipv6.data(), endpoint.ipv6.size());
  }
}

void StorePath(std::uint8_t* length_field, const std::u16string& path) {
  const std::size_t units = std::min(path.size(), kKdfPathBytes / 2);
  StoreU16(length_field, static_cast<std::uint16_t>(units * 2));
  for (std::size_t i = 0; i < units; ++i) StoreU16(length_field + 2 + 2 * i, path[i]);
}

}  // namespace

KdfFlowDatagram BuildKdfFlowDatagram(const KdfFlowData& flow) {
  KdfFlowDatagram d{};
  StoreHeader(d.data(), flow.header);
  StoreEndpoint(d.data() + 4, flow.local, flow.IsIPv4());
  StoreEndpoint(d.data() + 32, flow.remote, flow.IsIPv4());
  std::memcpy(d.data() + 60, flow.host_name.data(),
              std::min(flow.host_name.size(), kKdfHostNameBytes - 1));
  StoreU32(d.data() + 316, flow.address_family);
  StoreU32(d.data() + 320, flow.protocol);
  StoreU64(d.data() + 324, flow.bytes_in);
  StoreU64(d.data() + 332, flow.bytes_out);
  StoreU32(d.data() + 348, flow.pid);
  StoreU32(d.data() + 352, flow.parent_pid);
  StoreU32(d.data() + 356, flow.flow_start);
  StoreU32(d.data() + 360, flow.flow_end);
  std::memcpy(d.data() + 364, flow.process_hash.data(), kKdfHashBytes);
  StorePath(d.data() + 396, flow.process_path);
  std::memcpy(d.data() + 690, flow.parent_hash.data(), kKdfHashBytes);
  StorePath(d.data() + 722, flow.parent_path);
  d[1016] = flow.direction;
  StoreU32(d.data() + 1017, flow.report_kind);
  return d;
}

KdfPidInfoDatagram BuildKdfPidInfoDatagram(const KdfPidInfo& info) {
  KdfPidInfoDatagram d{};
  StoreHeader(d.data(), info.header);
  StoreU32(d.data() + 4, info.pid);
  return d;
}
