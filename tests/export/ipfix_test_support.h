// Helpers shared by the export tests: a big-endian writer for expected bytes and hand-built
// messages, the agent's template message spelled out by hand, the agent's other messages as its
// converter builds them, flow records of an exact size, a fixture device and a loopback socket.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/orv_flow_object.h"
#include "export/ipfix_converter.h"
#include "runtime/device_info.h"
#include "support/temp_dir.h"

namespace orv::test {

using Bytes = std::vector<std::uint8_t>;
inline constexpr std::uint16_t kVar = 0xFFFF;

// Appends big-endian integers, raw bytes, texts, field specifiers, basicLists and sets, written
// here byte by byte rather than with the agent's encoder.
class Wire {
 public:
  // A message header of observation domain 127 and export time 1,700,000,000; Finish sets its
  // length.
  static Wire Message(std::uint32_t sequence, std::uint32_t domain = 127) {
    Wire m;
    m.U16(10).U16(0).U32(1'700'000'000).U32(sequence).U32(domain);
    return m;
  }
  Wire& U8(std::uint64_t v) { return Be(v, 1); }
  Wire& U16(std::uint64_t v) { return Be(v, 2); }
  Wire& U32(std::uint64_t v) { return Be(v, 4); }
  Wire& U64(std::uint64_t v) { return Be(v, 8); }
  Wire& Raw(std::string_view raw) { return Raw(Bytes(raw.begin(), raw.end())); }
  Wire& Raw(const Bytes& raw) {
    bytes_.insert(bytes_.end(), raw.begin(), raw.end());
    return *this;
  }
  Wire& Fill(std::uint8_t value, std::size_t count) { return Raw(Bytes(count, value)); }
  Wire& Hex(std::string_view hex) {
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
      U8(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    return *this;
  }
  // RFC 7011 variable-length text: one length byte below 255, else 255 and a 16-bit length.
  Wire& Text(std::string_view text) {
    (text.size() < 255 ? U8(text.size()) : U8(255).U16(text.size()));
    return Raw(text);
  }
  // Field specifier, IANA when enterprise is 0.
  Wire& Field(std::uint16_t id, std::uint16_t length, std::uint32_t enterprise = 0) {
    return enterprise == 0 ? U16(id).U16(length) : U16(0x8000 | id).U16(length).U32(enterprise);
  }
  // basicList of enterprise-9 element item_id in the three-byte length form; items are texts
  // when item_length is kVar, else raw bytes.
  Wire& List(std::uint16_t item_id, std::uint16_t item_length,
             const std::vector<std::string>& items) {
    Wire body;
    body.U8(3).U16(0x8000 | item_id).U16(item_length).U32(9);
    for (const std::string& item : items) item_length == kVar ? body.Text(item) : body.Raw(item);
    return U8(255).U16(body.bytes_.size()).Raw(body.bytes_);
  }
  Wire& BeginSet(std::uint16_t id) {
    set_start_ = bytes_.size();
    return U16(id).U16(0);
  }
  Wire& EndSet() { return Patch(set_start_ + 2, bytes_.size() - set_start_); }
  [[nodiscard]] Bytes Finish() { return Patch(2, bytes_.size()).bytes_; }
  [[nodiscard]] const Bytes& bytes() const { return bytes_; }

 private:
  Wire& Be(std::uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Wire& Patch(std::size_t at, std::size_t value) {
    bytes_[at] = static_cast<std::uint8_t>(value >> 8);
    bytes_[at + 1] = static_cast<std::uint8_t>(value);
    return *this;
  }
  Bytes bytes_;
  std::size_t set_start_ = 0;
};

inline std::uint16_t ReadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
inline std::uint32_t ReadU32(const std::uint8_t* p) {
  return std::uint32_t{ReadU16(p)} << 16 | ReadU16(p + 2);
}

// The agent's template message: 262, 267, 268 and 266 in one set (488 bytes).
inline Bytes AgentTemplateMessage(std::uint32_t sequence) {
  constexpr std::uint32_t kPen = 9;
  Wire m = Wire::Message(sequence);
  m.BeginSet(2).U16(262).U16(7).Field(350, kVar).Field(12332, 20, kPen);
  for (const std::uint16_t id : {12334, 12335, 12351, 12336, 12337}) m.Field(id, kVar, kPen);
  for (const bool v6 : {false, true}) {
    m.U16(v6 ? 268 : 267).U16(25).Field(4, 1).Field(v6 ? 27 : 8, v6 ? 16 : 4).Field(7, 2);
    m.Field(v6 ? 28 : 12, v6 ? 16 : 4).Field(11, 2).Field(150, 4).Field(151, 4);
    m.Field(12332, 20, kPen).Field(12333, kVar, kPen).Field(12361, 2, kPen);
    m.Field(12338, kVar, kPen).Field(12362, 2, kPen).Field(12340, kVar, kPen);
    m.Field(12341, 32, kPen).Field(12339, kVar, kPen).Field(12363, 2, kPen);
    m.Field(12342, kVar, kPen).Field(12343, 32, kPen).Field(12346, 8, kPen);
    m.Field(12347, 8, kPen).Field(12344, kVar, kPen).Field(12345, kVar, kPen);
    m.Field(12355, 4, kPen).Field(12352, kVar, kPen).Field(12353, kVar, kPen);
  }
  m.U16(266).U16(7).Field(12332, 20, kPen).Field(12355, 4, kPen).Field(12356, 4, kPen);
  m.Field(12357, 1, kPen).Field(12358, kVar, kPen).Field(12359, kVar, kPen);
  return m.Field(12360, kVar, kPen).EndSet().Finish();
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
  // A text of 255 or more bytes takes a three-byte length, so 255 or 256 bytes above the minimum
  // cannot be made.
  const std::size_t extra = size - (ipv6 ? kMinimalIPv6Record : kMinimalIPv4Record);
  flow->destination_host_name.assign(extra < 255 ? extra : extra - 2, L'h');
  return flow;
}

// A device identity from fixture files: UDID kUdid (the first 20 bytes of the machine id's
// SHA-256; none when with_machine_id is false), vendor "Acme", OS "Test OS" version "7".
class FixtureDevice {
 public:
  explicit FixtureDevice(bool with_machine_id = true) : device_(Sources(with_machine_id)) {}
  const OBRuntime::CDeviceInfo& device() const { return device_; }
  static constexpr char kUdid[] = "3eb1bd439947eb762998e566ccc2e099c791118b";

 private:
  OBRuntime::DeviceInfoSources Sources(bool with_machine_id) {
    OBRuntime::DeviceInfoSources sources;
    sources.machine_id_path = (dir_.path() / "machine-id").string();
    sources.os_release_paths = {(dir_.path() / "os-release").string()};
    sources.sys_vendor_path = (dir_.path() / "sys_vendor").string();
    if (with_machine_id)
      std::ofstream(sources.machine_id_path) << "0123456789abcdef0123456789abcdef\n";
    std::ofstream(sources.os_release_paths[0]) << "NAME=\"Test OS\"\nVERSION_ID=7\n";
    std::ofstream(sources.sys_vendor_path) << "Acme\n";
    return sources;
  }
  TempDir dir_;
  OBRuntime::CDeviceInfo device_;
};

// The agent's messages as its converter builds them on the fixture device: templates, identity,
// interface wlan0 (UID 7, index 3) and flows.
class AgentStream {
 public:
  using Build = std::function<OB_STATUSCODE(std::uint8_t*, std::size_t, std::size_t&)>;
  Bytes Templates() {
    return Built([&](auto&&... a) { return converter_.GetTemplatesStream(a...); });
  }
  Bytes Identity() {
    return Built([&](auto&&... a) { return converter_.GetEndpointIdentityStream(a...); });
  }
  Bytes Interface() {
    InterfaceInfo wlan;
    wlan.uid = 7;
    wlan.index = 3;
    wlan.type_code = 2;
    wlan.name = L"wlan0 \u00e9";
    wlan.hardware_address = "02:00:00:aa:bb:cc";
    wlan.detail_list = {L"SSID=Office", L"State=Connected"};
    return Built([&](auto&&... a) { return converter_.GetInterfaceInfoStream(a..., wlan); });
  }
  // An IPv4 flow with a 300-character host name and an IPv6 flow running two hosted modules,
  // hashed when with_hashes.
  Bytes Flows(bool with_hashes = true) {
    FlowRecordQueue queue(10);
    for (const bool v6 : {false, true}) {
      auto flow = std::make_shared<ORVFlowObject>();
      flow->address_family = v6 ? 1 : 0;
      flow->protocol = v6 ? 17 : 6;
      flow->source_address = v6 ? "2001:db8::1" : "10.0.0.1";
      flow->destination_address = v6 ? "2001:db8::2" : "192.168.1.2";
      flow->source_port = 50000;
      flow->destination_port = 443;
      flow->flow_start = 1'700'000'100;
      flow->flow_end = 1'700'000'200;
      flow->bytes_in = 0x100000002ULL;
      flow->bytes_out = 1234;
      flow->process_name = L"curl";
      flow->process_hash = std::string(32, '\x11');
      flow->process_user_name = L"HOST\\alice";
      flow->parent_process_name = L"bash";
      flow->dns_suffix = L"example.org";
      flow->destination_host_name = v6 ? L"v6.example.com" : std::wstring(300, L'h');
      flow->interface_uid = 7;
      if (v6) flow->hosted_modules = {L"mod-a.jar", L"mod-b.py"};
      if (v6 && with_hashes)
        flow->hosted_module_hashes = {std::string(32, '\x22'), std::string(32, '\x33')};
      EXPECT_EQ(queue.Push(flow), kObSuccess);
    }
    return Built([&](std::uint8_t* b, std::size_t n, std::size_t& w) {
      return converter_.GetMultipleFlowObjectsStream(b, 1200, n, queue, 5, w);
    });
  }

 private:
  Bytes Built(const Build& build) {
    Bytes buffer(5000);
    std::size_t written = 0;
    EXPECT_EQ(build(buffer.data(), buffer.size(), written), kObSuccess);
    buffer.resize(written);
    return buffer;
  }
  FixtureDevice device_;
  CIPFIXConverter converter_{device_.device(), [] { return DataCollectionPolicy{}; }};
};

// A UDP socket bound to a loopback port chosen by the kernel.
class Receiver {
 public:
  explicit Receiver(const boost::asio::ip::udp& protocol = boost::asio::ip::udp::v4())
      : socket_(io_) {
    boost::system::error_code error;
    socket_.open(protocol, error);
    const auto loopback = protocol == boost::asio::ip::udp::v6()
                              ? boost::asio::ip::address(boost::asio::ip::address_v6::loopback())
                              : boost::asio::ip::address(boost::asio::ip::address_v4::loopback());
    if (!error) socket_.bind({loopback, 0}, error);
    ok_ = !error;
  }
  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] std::string Port() { return std::to_string(socket_.local_endpoint().port()); }
  // The next datagram (and its sender's port), waiting up to timeout_ms.
  [[nodiscard]] std::optional<Bytes> Receive(int timeout_ms = 10000,
                                             std::uint16_t* sender_port = nullptr) {
    pollfd poller{socket_.native_handle(), POLLIN, 0};
    if (::poll(&poller, 1, timeout_ms) != 1) return std::nullopt;
    Bytes bytes(65536);
    boost::asio::ip::udp::endpoint sender;
    bytes.resize(socket_.receive_from(boost::asio::buffer(bytes), sender));
    if (sender_port != nullptr) *sender_port = sender.port();
    return bytes;
  }

 private:
  boost::asio::io_context io_;
  boost::asio::ip::udp::socket socket_;
  bool ok_ = false;
};

// Polls the condition until it holds, for up to 30 s.
inline bool WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace orv::test
