#include "driver/flow_datagram_builder.h"

#include <algorithm>
#include <cstring>

#include "runtime/byte_order.h"

namespace {

void StoreHeader(std::uint8_t* p, const KdfMessageHeader& header) {
  OBRuntime::StoreLe<std::uint16_t>(p, header.total_length);
  p[2] = header.version;
  p[3] = header.type;
}

// A 28-byte block laid out as a Windows IPv6 socket address; the scope id stays zero.
void StoreEndpoint(std::uint8_t* p, const KdfEndpoint& endpoint, bool ipv4_flow) {
  OBRuntime::StoreLe<std::uint16_t>(p, endpoint.family);
  p[2] = static_cast<std::uint8_t>(endpoint.port >> 8);
  p[3] = static_cast<std::uint8_t>(endpoint.port);
  if (ipv4_flow) {
    std::memcpy(p + 4, endpoint.ipv4.data(), endpoint.ipv4.size());
  } else {
    OBRuntime::StoreLe<std::uint32_t>(p + 4, endpoint.ipv6_flow_info);
    std::memcpy(p + 8, endpoint.ipv6.data(), endpoint.ipv6.size());
  }
}

void StorePath(std::uint8_t* length_field, const std::u16string& path) {
  const std::size_t units = std::min(path.size(), kKdfPathBytes / 2);
  OBRuntime::StoreLe<std::uint16_t>(length_field, static_cast<std::uint16_t>(units * 2));
  for (std::size_t i = 0; i < units; ++i)
    OBRuntime::StoreLe<std::uint16_t>(length_field + 2 + 2 * i, path[i]);
}

}  // namespace

KdfFlowDatagram BuildKdfFlowDatagram(const KdfFlowData& flow) {
  KdfFlowDatagram d{};
  StoreHeader(d.data(), flow.header);
  StoreEndpoint(d.data() + 4, flow.local, flow.IsIPv4());
  StoreEndpoint(d.data() + 32, flow.remote, flow.IsIPv4());
  std::memcpy(d.data() + 60, flow.host_name.data(),
              std::min(flow.host_name.size(), kKdfHostNameBytes - 1));
  OBRuntime::StoreLe<std::uint32_t>(d.data() + 316, flow.address_family);
  OBRuntime::StoreLe<std::uint32_t>(d.data() + 320, flow.protocol);
  OBRuntime::StoreLe<std::uint64_t>(d.data() + 324, flow.bytes_in);
  OBRuntime::StoreLe<std::uint64_t>(d.data() + 332, flow.bytes_out);
  OBRuntime::StoreLe<std::uint64_t>(d.data() + 340, flow.process_start_time);
  OBRuntime::StoreLe<std::uint32_t>(d.data() + 348, flow.pid);
  OBRuntime::StoreLe<std::uint32_t>(d.data() + 352, flow.parent_pid);
  OBRuntime::StoreLe<std::uint32_t>(d.data() + 356, flow.flow_start);
  OBRuntime::StoreLe<std::uint32_t>(d.data() + 360, flow.flow_end);
  std::memcpy(d.data() + 364, flow.process_hash.data(), kKdfHashBytes);
  StorePath(d.data() + 396, flow.process_path);
  std::memcpy(d.data() + 690, flow.parent_hash.data(), kKdfHashBytes);
  StorePath(d.data() + 722, flow.parent_path);
  d[1016] = flow.direction;
  OBRuntime::StoreLe<std::uint32_t>(d.data() + 1017, flow.report_kind);
  return d;
}

KdfPidInfoDatagram BuildKdfPidInfoDatagram(const KdfPidInfo& info) {
  KdfPidInfoDatagram d{};
  StoreHeader(d.data(), info.header);
  OBRuntime::StoreLe<std::uint32_t>(d.data() + 4, info.pid);
  return d;
}
