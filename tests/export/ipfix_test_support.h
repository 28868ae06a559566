// Helpers shared by the IPFIX tests: expected-bytes builders, flow records of an exact encoded
// size, and a device identity read from a fixture machine id.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/orv_flow_object.h"
#include "runtime/device_info.h"
#include "support/temp_dir.h"

namespace orv::test {

using Bytes = std::vector<std::uint8_t>;

// Appends big-endian integers and raw bytes, to spell out expected wire bytes.
class ExpectedBytes {
 public:
  ExpectedBytes& U8(std::uint64_t v) { return Be(v, 1); }
  ExpectedBytes& U16(std::uint64_t v) { return Be(v, 2); }
  ExpectedBytes& U32(std::uint64_t v) { return Be(v, 4); }
  ExpectedBytes& U64(std::uint64_t v) { return Be(v, 8); }
  ExpectedBytes& Raw(std::string_view text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }
  ExpectedBytes& Raw(const Bytes& more) {
    bytes_.insert(bytes_.end(), more.begin(), more.end());
    return *this;
  }
  ExpectedBytes& Fill(std::uint8_t value, std::size_t count) {
    bytes_.insert(bytes_.end(), count, value);
    return *this;
  }
  // A short variable-length text (below 255 bytes).
  ExpectedBytes& Var(std::string_view text) { return U8(text.size()).Raw(text); }
  const Bytes& bytes() const { return bytes_; }

 private:
  ExpectedBytes& Be(std::uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes bytes_;
};

inline Bytes HexBytes(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

inline std::uint32_t ReadU32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}
inline std::uint16_t ReadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// Encoded size of a flow record with every text empty and no modules (template 267); an IPv6
// record (template 268) is 24 bytes longer.
inline constexpr std::size_t kMinimalIPv4Record = 162;
inline constexpr std::size_t kMinimalIPv6Record = 186;

// A flow record of the family whose data record is exactly size bytes (size >= the minimum).
inline std::shared_ptr<ORVFlowObject> FlowOfSize(bool ipv6, std::size_t size,
                                                 std::uint16_t source_port = 1) {
  auto flow = std::make_shared<ORVFlowObject>();
  flow->address_family = ipv6 ? 1 : 2;
  flow->source_address = ipv6 ? "fe80::1" : "10.0.0.1";
  flow->destination_address = ipv6 ? "2001:db8::2" : "10.0.0.2";
  flow->source_port = source_port;
  std::size_t extra = size - (ipv6 ? kMinimalIPv6Record : kMinimalIPv4Record);
  // A text of 255 or more bytes takes a three-byte length, so 255 and 256 extra bytes need a
  // second text.
  if (extra == 255 || extra == 256) {
    flow->dns_suffix = L"ab";
    extra -= 2;
  }
  flow->destination_host_name.assign(extra <= 254 ? extra : extra - 2, L'h');
  return flow;
}

// A device identity whose UDID comes from a fixture machine id; no machine id when missing.
class FixtureDevice {
 public:
  explicit FixtureDevice(bool with_machine_id = true) : device_(Sources(with_machine_id)) {}
  const OBRuntime::CDeviceInfo& device() const { return device_; }
  // The 20 bytes the UDID stands for (twenty 0xFF without a machine id).
  Bytes UdidBytes() const {
    std::wstring udid;
    if (device_.GetUDID(udid) != 0) return Bytes(20, 0xFF);
    return HexBytes(std::string(udid.begin(), udid.end()));
  }

 private:
  OBRuntime::DeviceInfoSources Sources(bool with_machine_id) {
    OBRuntime::DeviceInfoSources sources;
    sources.machine_id_path = (dir_.path() / "machine-id").string();
    sources.os_release_paths = {(dir_.path() / "os-release").string()};
    sources.sys_vendor_path = (dir_.path() / "sys_vendor").string();
    if (with_machine_id) {
      std::ofstream(sources.machine_id_path) << "0123456789abcdef0123456789abcdef\n";
    }
    std::ofstream(sources.os_release_paths[0]) << "NAME=\"Test OS\"\nVERSION_ID=7\n";
    std::ofstream(sources.sys_vendor_path) << "Acme\n";
    return sources;
  }
  TempDir dir_;
  OBRuntime::CDeviceInfo device_;
};

}  // namespace orv::test
