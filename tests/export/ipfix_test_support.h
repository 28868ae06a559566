// Helpers shared by the export tests besides the hand-built messages: the agent's messages as its
// converter builds them, flow records of an exact size, a fixture device and a loopback socket.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/orv_flow_object.h"
#include "export/ipfix_converter.h"
#include "export/ipfix_test_messages.h"
#include "runtime/device_info.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace orv::test {

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
      flow->destination_port = 443;
      flow->flow_start = 1'700'000'100;
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

}  // namespace orv::test
