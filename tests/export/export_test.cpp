// The export folder's layers, each checked for what it adds: the encoders and record writers
// (each record layout once, against bytes spelled out by hand), the converter that puts records
// into messages, the collector-side decoder, the exporter against a scripted transport or a
// loopback collector, the UDP transport, and the agent's messages read by collectors written
// apart from it: libfixbuf's ipfixDump and pmacct's nfacctd with the shipped element and
// primitives files, and this project's orv-collect.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "export/exporter.h"
#include "export/exporter_udp_transport.h"
#include "export/ipfix_converter.h"
#include "export/ipfix_decoder.h"
#include "export/ipfix_decoder_format.h"
#include "export/ipfix_defs.h"
#include "export/ipfix_template.h"
#include "export/ipfix_test_messages.h"
#include "runtime/device_info.h"
#include "support/child_process.h"
#include "support/fake_registrar.h"
#include "support/log_capture.h"
#include "support/namespace_rerun.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

using namespace orv::test;
using ::testing::HasSubstr;
namespace asio = boost::asio;
namespace fs = std::filesystem;
using asio::ip::udp;
using Encoder = std::function<OB_STATUSCODE(std::uint8_t*, std::size_t, std::size_t&)>;

#define ENCODER(call) [&](std::uint8_t* d, std::size_t n, std::size_t& w) { return call; }

// The bytes an encoder wrote into a buffer of capacity bytes; its status, which must be success
// when not asked for. The byte after the buffer must stay untouched.
Bytes Encode(const Encoder& encoder, OB_STATUSCODE* status = nullptr,
             std::size_t capacity = 70000) {
  Bytes buffer(capacity + 1, 0xEE);
  std::size_t written = 99;  // set whatever the outcome
  const OB_STATUSCODE result = encoder(buffer.data(), capacity, written);
  if (status != nullptr) *status = result;
  EXPECT_TRUE(status != nullptr || result == kObSuccess) << result;
  EXPECT_EQ(buffer[capacity], 0xEE);
  buffer.resize(written);
  return buffer;
}

// Encoded size of a flow record with every text empty and no modules (template 267); an IPv6
// record (template 268) is 24 bytes longer.
constexpr std::size_t kMinimalIPv4Record = 162;
constexpr std::size_t kMinimalIPv6Record = 186;

// A flow record of the family whose data record is exactly size bytes (size >= the minimum).
std::shared_ptr<ORVFlowObject> FlowOfSize(bool ipv6, std::size_t size,
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

// The fixture's wireless interface.
InterfaceInfo Wlan() {
  InterfaceInfo wlan;
  wlan.uid = 7;
  wlan.index = 3;
  wlan.type_code = kInterfaceTypeWireless;
  wlan.name = L"wlan0 \u00e9";
  wlan.hardware_address = "02:00:00:aa:bb:cc";
  wlan.detail_list = {L"SSID=Office", L"State=Connected"};
  return wlan;
}

// A device identity from fixture files: UDID kUdid (the first 20 bytes of the machine id's
// SHA-256; none when with_machine_id is false), vendor "Acme", OS "Test OS" version "7".
class FixtureDevice {
 public:
  explicit FixtureDevice(bool with_machine_id = true)
      : device_({.machine_id_path = File("machine-id", with_machine_id ? kMachineId : ""),
                 .os_release_paths = {File("os-release", "NAME=\"Test OS\"\nVERSION_ID=7\n")},
                 .sys_vendor_path = File("sys_vendor", "Acme\n")}) {}
  const OBRuntime::CDeviceInfo& device() const { return device_; }
  static constexpr char kUdid[] = "3eb1bd439947eb762998e566ccc2e099c791118b";

 private:
  static constexpr char kMachineId[] = "0123456789abcdef0123456789abcdef\n";
  // The path of a fixture file holding text; none is made for an empty text.
  std::string File(const char* name, const std::string& text) {
    const std::string path = (dir_.path() / name).string();
    if (!text.empty()) std::ofstream(path) << text;
    return path;
  }
  TempDir dir_;
  OBRuntime::CDeviceInfo device_;
};

// The agent's messages as its converter builds them on the fixture device.
class AgentStream {
 public:
  Bytes Templates() { return Encode(ENCODER(converter_.GetTemplatesStream(d, n, w))); }
  Bytes Identity() { return Encode(ENCODER(converter_.GetEndpointIdentityStream(d, n, w))); }
  Bytes Interface() { return Encode(ENCODER(converter_.GetInterfaceInfoStream(d, n, w, Wlan()))); }
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
    return Encode(ENCODER(converter_.GetMultipleFlowObjectsStream(d, 1200, n, queue, 5, w)));
  }

 private:
  FixtureDevice device_;
  CIPFIXConverter converter_{device_.device(), [] { return DataCollectionPolicy{}; }};
};

// A UDP socket bound to a loopback port chosen by the kernel.
class Receiver {
 public:
  explicit Receiver(const udp& protocol = udp::v4()) : socket_(io_) {
    boost::system::error_code error;
    socket_.open(protocol, error);
    const bool v6 = protocol == udp::v6();
    if (!error) socket_.bind({asio::ip::make_address(v6 ? "::1" : "127.0.0.1"), 0}, error);
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
    udp::endpoint sender;
    bytes.resize(socket_.receive_from(asio::buffer(bytes), sender));
    if (sender_port != nullptr) *sender_port = sender.port();
    return bytes;
  }

 private:
  asio::io_context io_;
  udp::socket socket_;
  bool ok_ = false;
};

// Runs a record writer into buffers of every size up to the one it needs: each smaller one is
// refused with nothing reported. The bytes written into one of the size of expected.
Bytes WriteRecord(const Encoder& writer, const Bytes& expected) {
  for (std::size_t capacity = 0; capacity < expected.size(); ++capacity) {
    OB_STATUSCODE status = kObSuccess;
    EXPECT_TRUE(Encode(writer, &status, capacity).empty()) << capacity;
    EXPECT_EQ(status, kObBufferTooSmall) << capacity;
  }
  return Encode(writer, nullptr, expected.size());
}

class IpfixTemplateTest : public ::testing::Test {
 protected:
  FixtureDevice device_;
  CRXFlowPerFlowDataTemplateIPv4 ipv4_{device_.device()};
  CRXFlowPerFlowDataTemplateIPv6 ipv6_{device_.device()};
  FlowRecordQueue queue_{5};
};

TEST_F(IpfixTemplateTest, FlowRecordIsWrittenByteForByte) {
  auto flow = std::make_shared<ORVFlowObject>();
  flow->protocol = 6;
  flow->address_family = 1;
  flow->source_address = "2001:db8::1";
  flow->source_port = 443;
  flow->destination_address = "::ffff:10.1.2.3";
  flow->destination_port = 50000;
  flow->flow_start = 0x11223344;
  flow->flow_end = 0x55667788;
  flow->logged_in_user_name = L"host\\al";
  flow->logged_in_user_account_type = 0x8001;
  flow->process_user_name = L"u";
  flow->process_user_account_type = 2;
  flow->process_name = L"caf\u00e9";
  flow->process_hash = std::string(32, '\x01');
  flow->parent_process_user_account_type = 3;
  flow->parent_process_name = L"init";
  flow->parent_process_hash = "Unknown";
  flow->bytes_in = 0x0102030405060708;
  flow->bytes_out = 9;
  flow->dns_suffix = L"lan";
  flow->destination_host_name = std::wstring(300, L'h');
  flow->interface_uid = 77;
  flow->hosted_modules = {L"a.jar", L"b"};
  // Module hashes come as raw bytes or as the runtime's hexadecimal digests.
  flow->hosted_module_hashes = {std::string(32, '\x02'), std::string(64, 'a')};
  ASSERT_EQ(queue_.Push(flow), kObSuccess);

  Wire expected;
  expected.BeginSet(268).U8(6).Hex("20010db8000000000000000000000001").U16(443);
  expected.Hex("00000000000000000000ffff0a010203").U16(50000).U32(0x11223344).U32(0x55667788);
  expected.Hex(FixtureDevice::kUdid).Text("host\\al").U16(0x8001).Text("u").U16(2);
  expected.Text("caf\xC3\xA9").Fill(1, 32).Text("").U16(3).Text("init").Fill(0, 32);
  expected.U64(0x0102030405060708).U64(9).Text("lan").Text(std::string(300, 'h')).U32(77);
  expected.U8(0xFF).U16(9 + 6 + 2).U8(3).U16(0xB03C).U16(0xFFFF).U32(9).Text("a.jar").Text("b");
  expected.U8(0xFF).U16(9 + 64).U8(3).U16(0xB03E).U16(32).U32(9).Fill(2, 32).Fill(0xAA, 32);
  const Bytes& set = expected.EndSet().bytes();
  // Short of room anywhere in the record: nothing written, the record stays queued.
  EXPECT_EQ(WriteRecord(ENCODER(ipv6_.getMultipleObjectStream(d, 1200, n, queue_, w)), set), set);
  EXPECT_TRUE(queue_.IsEmpty());
}

TEST_F(IpfixTemplateTest, FixedLengthFieldsKeepTheirLengthOnBadValuesAndEmptyReferencesAreSkipped) {
  LogCapture log;
  FixtureDevice no_machine_id(false);
  CRXFlowPerFlowDataTemplateIPv4 writer(no_machine_id.device());
  auto flow = FlowOfSize(false, kMinimalIPv4Record);
  flow->source_address = "not-an-address";
  flow->destination_address = "2001:db8::1";  // wrong family for this template
  flow->process_hash = "short";
  flow->parent_process_hash = std::string(64, 'Z');
  flow->hosted_module_hashes = {"", "xyz", std::string(64, 'B')};
  for (auto each : {FlowRecordPtr(), FlowRecordPtr(flow), FlowRecordPtr()})
    ASSERT_EQ(queue_.Push(each), kObSuccess);

  const Encoder write = ENCODER(writer.getMultipleObjectStream(d, 1200, n, queue_, w));
  const Bytes set = Encode(write);
  // The record keeps the minimal length (its empty lists included) plus three list entries.
  ASSERT_EQ(set.size(), 4 + kMinimalIPv4Record + 3 * 32);
  EXPECT_EQ(Bytes(set.begin() + 5, set.begin() + 9), Bytes(4, 0));        // source address
  EXPECT_EQ(Bytes(set.begin() + 11, set.begin() + 15), Bytes(4, 0));      // destination address
  EXPECT_EQ(Bytes(set.begin() + 25, set.begin() + 45), Bytes(20, 0xFF));  // UDID fallback
  EXPECT_EQ(Bytes(set.begin() + 52, set.begin() + 84), Bytes(32, 0));     // process hash
  EXPECT_EQ(Bytes(set.end() - 96, set.end() - 32), Bytes(64, 0));         // "" and "xyz"
  EXPECT_EQ(Bytes(set.end() - 32, set.end()), Bytes(32, 0xBB));           // uppercase hex digest
  EXPECT_TRUE(log.Has(LOG_ERROR, "IIPFIXTemplate::getMultipleObjectStream",
                      "IIPFIXTemplate::getObjectStream call to IPv4StringToHex failed with "
                      "exception Invalid argument"));
  EXPECT_TRUE(log.Has(LOG_ERROR, "IIPFIXTemplate::getMultipleObjectStream",
                      "CRXFlowPerFlowDataTemplateIPv4::GetObjectStream failed to extract UDID "
                      "from endpoint. Using invalid UDID"));
  EXPECT_TRUE(Encode(write).empty()) << "an empty queue writes nothing";
}

TEST_F(IpfixTemplateTest, InterfaceAndIdentityRecordsAreWrittenByteForByte) {
  LogCapture log;
  CRXFlowInterfaceInfoTemplate interface_template;
  const std::wstring udid = L"00112233445566778899aabbccddeeff00112233";
  Wire expected;
  expected.BeginSet(266).Hex("00112233445566778899aabbccddeeff00112233").U32(7).U32(3).U8(2);
  expected.Text("wlan0 \xC3\xA9").U8(0xFF).U16(9 + 12 + 16).U8(3).U16(0xB03E).U16(0xFFFF).U32(9);
  expected.Text("SSID=Office").Text("State=Connected").Text("02:00:00:aa:bb:cc").EndSet();
  EXPECT_EQ(WriteRecord(ENCODER(interface_template.GetInterfaceInfoStream(d, n, w, Wlan(), udid)),
                        expected.bytes()),
            expected.bytes());
  EXPECT_TRUE(log.Has(LOG_DEBUG, "CRXFlowInterfaceInfoTemplate::GetInterfaceInfoStream",
                      "CIPFIXConverter::GetInterfaceInfoStream VIRTUAL_SUCCESS"));

  // A UDID that is not 40 lowercase hex characters becomes forty "f".
  // In field order: UDID, host name, the three operating-system texts, vendor, system type.
  const EndpointIdentity identity{
      L"00112233445566778899AABBCCDDEEFF00112233", L"box", L"Debian", L"", L"", L"", L"x86_64"};
  CRXFlowEndpointIdentityTemplate identity_template;
  Wire record;
  record.BeginSet(262).Text("box").Fill(0xFF, 20).Text("Debian").Text("").Text("").Text("");
  record.Text("x86_64").EndSet();
  EXPECT_EQ(WriteRecord(ENCODER(identity_template.GetEndpointIdentityStream(d, n, identity, w)),
                        record.bytes()),
            record.bytes());

  // Other templates do not write these records.
  for (const Encoder& other :
       {Encoder(ENCODER(ipv4_.GetEndpointIdentityStream(d, n, identity, w))),
        Encoder(ENCODER(identity_template.GetInterfaceInfoStream(d, n, w, Wlan(), udid))),
        Encoder(ENCODER(interface_template.getObjectStream(d, n, ORVFlowObject(), w)))}) {
    OB_STATUSCODE status = kObSuccess;
    EXPECT_TRUE(Encode(other, &status).empty() && status == kObNotImplemented);
  }
}

// The ID and length of each set of a message.
using Sets = std::vector<std::pair<std::uint16_t, std::size_t>>;
Sets SetsOf(const Bytes& message) {
  Sets sets;
  for (std::size_t at = 16; at + 4 <= message.size() && ReadU16(&message[at + 2]) >= 4;) {
    sets.emplace_back(ReadU16(&message[at]), ReadU16(&message[at + 2]));
    at += sets.back().second;
  }
  return sets;
}

class IpfixConverterTest : public ::testing::Test {
 protected:
  IpfixConverterTest() : converter_(device_.device(), [this] { return policy_; }) {}

  // One flow message of at most five records a family. Its header is the template message's,
  // checked byte for byte there; the decoder reads the flow messages' header fields.
  Bytes FlowMessage(std::size_t capacity = 5000, OB_STATUSCODE* status = nullptr) {
    return Encode(ENCODER(converter_.GetMultipleFlowObjectsStream(d, 1200, n, send_queue_, 5, w)),
                  status, capacity);
  }

  void Queue(bool ipv6, std::size_t count, std::size_t size) {
    for (std::size_t i = 0; i < count; ++i)
      ASSERT_EQ(send_queue_.Push(FlowOfSize(ipv6, size, static_cast<std::uint16_t>(next_port_++))),
                kObSuccess);
  }

  FixtureDevice device_;
  DataCollectionPolicy policy_;
  CIPFIXConverter converter_;
  FlowRecordQueue send_queue_{100};
  int next_port_ = 1;
};

TEST_F(IpfixConverterTest, TemplateMessageHoldsTheFourTemplatesAndTakesNoSequenceNumber) {
  const std::uint32_t sequence = IPFIX_DEFS::PeekSequenceNumber();
  const Bytes message = WriteRecord(ENCODER(converter_.GetTemplatesStream(d, n, w)), Bytes(488));
  Bytes expected = AgentTemplateMessage(sequence);
  std::copy_n(message.begin() + 4, 4, expected.begin() + 4);  // export time, now
  EXPECT_LE(static_cast<std::uint32_t>(std::time(nullptr)) - ReadU32(&message[4]) + 1, 2u);
  EXPECT_EQ(message, expected);
  EXPECT_EQ(IPFIX_DEFS::PeekSequenceNumber(), sequence);
}

TEST_F(IpfixConverterTest, FullFamilyQueueStopsSortingAndSequenceNumbersCountRecords) {
  Queue(false, 12, kMinimalIPv4Record);
  Queue(true, 3, kMinimalIPv6Record);
  const Bytes first = FlowMessage();
  ASSERT_EQ(first.size(), 16 + 4 + 5 * kMinimalIPv4Record);
  EXPECT_EQ(ReadU16(&first[16 + 4 + 5]), 1);  // source port of the oldest record
  EXPECT_EQ(send_queue_.Size(), 10u);         // the sixth IPv4 record and all after it
  const Bytes second = FlowMessage();
  ASSERT_EQ(second.size(), first.size());
  EXPECT_EQ(ReadU16(&second[16 + 4 + 5]), 6);
  const Bytes third = FlowMessage();
  EXPECT_EQ(SetsOf(third),
            (Sets{{267, 4 + 2 * kMinimalIPv4Record}, {268, 4 + 3 * kMinimalIPv6Record}}));
  EXPECT_EQ(ReadU16(&third[16 + 4 + 5]), 11);
  EXPECT_TRUE(send_queue_.IsEmpty() && converter_.PendingRecords() == 0);
  // A sequence number counts the data records sent before its message (RFC 7011 3.1).
  EXPECT_EQ(ReadU32(&second[8]), ReadU32(&first[8]) + 5);
  EXPECT_EQ(ReadU32(&third[8]), ReadU32(&second[8]) + 5);
  EXPECT_EQ(IPFIX_DEFS::PeekSequenceNumber(), ReadU32(&third[8]) + 5);
}

TEST_F(IpfixConverterTest, MessageWithoutRecordsIsNotBuiltAndARecordThatFitsNowhereIsDropped) {
  // Empty references, or a record alone and larger than the whole buffer: no message and no
  // sequence number.
  for (int i = 0; i < 3; ++i) ASSERT_EQ(send_queue_.Push(FlowRecordPtr()), kObSuccess);
  Queue(false, 1, 1100);
  const std::uint32_t sequence = IPFIX_DEFS::PeekSequenceNumber();
  EXPECT_TRUE(FlowMessage(1000).empty());
  EXPECT_TRUE(send_queue_.IsEmpty() && converter_.PendingRecords() == 0);
  EXPECT_EQ(IPFIX_DEFS::PeekSequenceNumber(), sequence);
  OB_STATUSCODE status = kObSuccess;
  EXPECT_TRUE(FlowMessage(15, &status).empty());
  EXPECT_EQ(status, kObBufferTooSmall);

  // Behind a set of the other family: kept for the next message, which it opens alone.
  Queue(false, 1, kMinimalIPv4Record);  // the family-order flag now favours IPv6
  Queue(true, 1, kMinimalIPv6Record);
  Queue(true, 1, 1100);
  EXPECT_EQ(SetsOf(FlowMessage()),
            (Sets{{268, 4 + kMinimalIPv6Record}, {267, 4 + kMinimalIPv4Record}}));
  EXPECT_EQ(converter_.PendingRecords(), 1u);
  const Bytes message = FlowMessage();
  ASSERT_EQ(message.size(), 16 + 4 + 1100u);
  EXPECT_EQ(ReadU16(&message[16]), 268);
  EXPECT_EQ(converter_.PendingRecords(), 0u);
}

TEST_F(IpfixConverterTest, IdentityAndInterfaceRecordsFollowThePolicy) {
  const auto anonymised = [](std::wstring text) {
    AnonymizeValue(text);
    return text;
  };
  for (const std::int32_t element : {12336, 350, 12337, 12334, 12335, 12351})
    policy_.field_map[element] = kFieldModeExclude;
  EndpointIdentity identity;
  ASSERT_EQ(converter_.getEndpointIdentity(identity), kObSuccess);
  for (const std::wstring* text : {&identity.host_name, &identity.manufacturer, &identity.os_text1,
                                   &identity.os_text2, &identity.os_text3, &identity.system_type})
    EXPECT_EQ(*text, L"-");
  EXPECT_EQ(identity.udid, std::wstring(FixtureDevice::kUdid, FixtureDevice::kUdid + 40));

  // Anonymised: the device's value in its anonymised form.
  policy_.field_map = {{350, kFieldModeAnonymise}, {12336, kFieldModeAnonymise}};
  identity = EndpointIdentity();
  ASSERT_EQ(converter_.getEndpointIdentity(identity), kObSuccess);
  std::wstring host;
  ASSERT_EQ(device_.device().GetHostName(host), kObSuccess);
  EXPECT_EQ(std::tie(identity.host_name, identity.manufacturer),
            std::make_tuple(anonymised(host), anonymised(L"Acme")));

  // Interface records are thinned by the exporter before the converter meets them.
  const auto thinned = [](const std::vector<std::int32_t>& fields, std::int32_t mode) {
    InterfaceInfo info = Wlan();
    DataCollectionPolicy policy;
    for (const std::int32_t field : fields) policy.field_map[field] = mode;
    ApplyInterfacePolicy(policy, info);
    return info;
  };
  const InterfaceInfo blanked = thinned({12356, 12357, 12358, 12360, 123591}, kFieldModeExclude);
  EXPECT_EQ(std::tie(blanked.index, blanked.type_code, blanked.name, blanked.hardware_address),
            std::make_tuple(0U, 0, std::wstring(L"-"), std::string("-")));
  EXPECT_EQ(blanked.detail_list, std::vector<std::wstring>{L"State=Connected"});

  const InterfaceInfo hidden = thinned({12358, 12360, 123592}, kFieldModeAnonymise);
  EXPECT_EQ(std::tie(hidden.index, hidden.name), std::make_tuple(3U, anonymised(Wlan().name)));
  EXPECT_NE(hidden.name, Wlan().name);
  EXPECT_NE(hidden.hardware_address, Wlan().hardware_address);
  EXPECT_EQ(hidden.detail_list,
            (std::vector<std::wstring>{L"SSID=Office", L"State=" + anonymised(L"Connected")}));
}

TEST_F(IpfixConverterTest, MissingUdidFallsBackToFortyFAndAFailedRecordTakesNoSequenceNumber) {
  LogCapture log;
  FixtureDevice no_id(false);
  CIPFIXConverter converter(no_id.device(), [] { return DataCollectionPolicy{}; });
  const Bytes identity = Encode(ENCODER(converter.GetEndpointIdentityStream(d, n, w)));
  const std::size_t udid_at = 16 + 4 + 1 + identity.at(20);  // after the host name
  EXPECT_EQ(Bytes(identity.begin() + udid_at, identity.begin() + udid_at + 20), Bytes(20, 0xFF));
  EXPECT_TRUE(log.Has(LOG_ERROR, "IConverter::getEndpointIdentity",
                      "IConverter::getEndpointIdentity failed to extract UDID."));

  const Bytes interface = Encode(ENCODER(converter.GetInterfaceInfoStream(d, n, w, Wlan())));
  EXPECT_EQ(Bytes(interface.begin() + 20, interface.begin() + 40), Bytes(20, 0xFF));
  EXPECT_TRUE(
      log.Has(LOG_ERROR, "CIPFIXConverter::GetInterfaceInfoStream", "Failed to extract UDID."));

  // A record that does not fit: nothing is written, no sequence number used, the status says why.
  const std::uint32_t sequence = IPFIX_DEFS::PeekSequenceNumber();
  OB_STATUSCODE status = kObSuccess;
  EXPECT_TRUE(
      Encode(ENCODER(converter.GetInterfaceInfoStream(d, n, w, Wlan())), &status, 60).empty());
  EXPECT_EQ(status, kObBufferTooSmall);
  EXPECT_EQ(IPFIX_DEFS::PeekSequenceNumber(), sequence);
  EXPECT_TRUE(log.Has(LOG_ERROR, "CIPFIXConverter::GetInterfaceInfoStream",
                      "CIPFIXConverter::GetInterfaceInfoStream failed to fetch interface data "
                      "stream"));
}

constexpr char kSession[] = "127.0.0.1:25001";

IpfixMessage DecodeOk(IpfixDecoder& decoder, const Bytes& bytes,
                      const std::string& session = kSession) {
  IpfixMessage message;
  EXPECT_EQ(decoder.Decode(bytes, session, &message), kObSuccess);
  return message;
}

// The message's record as orv-collect prints it, one JSON line.
std::string Json(const IpfixMessage& message, std::size_t record = 0) {
  return FormatIpfixRecordJson(kSession, message, message.records.at(record));
}

bool HasProblem(const IpfixMessage& message, const std::string& text) {
  for (const IpfixProblem& problem : message.problems)
    if (problem.reason.find(text) != std::string::npos) return true;
  return false;
}

// Values are checked as orv-collect prints them: one JSON line per record.
TEST(IpfixDecoderTest, DecodesEveryAgentRecordWithNamedElementsAndFormatsThem) {
  AgentStream stream;
  IpfixDecoder decoder;
  EXPECT_EQ(DecodeOk(decoder, stream.Templates()).templates_learned, 4u);
  std::vector<std::string> lines;
  IpfixMessage message;
  for (const Bytes& bytes : {stream.Identity(), stream.Interface(), stream.Flows()}) {
    message = DecodeOk(decoder, bytes);
    EXPECT_TRUE(message.problems.empty() && message.domain == 127);
    for (std::size_t record = 0; record < message.records.size(); ++record)
      lines.push_back(Json(message, record));
  }
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(message.records[0].fields.size(), 25u);
  const std::pair<std::size_t, std::string> expected[] = {
      {0, R"("orvEndpointUdid":")" + std::string(FixtureDevice::kUdid)},
      {1, R"("orvInterfaceUid":7,)"},
      {1, "\"orvInterfaceName\":\"wlan0 \xC3\xA9\""},
      {1, R"("orvInterfaceDetails":["SSID=Office","State=Connected"])"},
      {2, R"({"exporter":"127.0.0.1:25001","domain":127,"sequence":)"},
      {2, R"("sourceIPv4Address":"10.0.0.1")"},
      {2, R"("flowStartSeconds":1700000100)"},
      {2, R"("orvProcessHash":")" + std::string(64, '1')},
      {2, R"("orvL4OctetCountIn":4294967298)"},
      {2, R"("orvDestinationHostName":")" + std::string(300, 'h')},
      {2, R"("orvHostedModules":[])"},
      {3, R"("templateId":268,"fields":{"protocolIdentifier":17,)"},
      {3, R"("sourceIPv6Address":"2001:db8::1")"},
      {3, R"("orvHostedModules":["mod-a.jar","mod-b.py"])"},
      {3, R"("orvHostedModuleHashes":[")" + std::string(64, '2') + R"(",")" + std::string(64, '3')},
  };
  for (const auto& [record, text] : expected) EXPECT_THAT(lines[record], HasSubstr(text));
  EXPECT_EQ(lines[3].find('\n'), std::string::npos);
  const std::string table = FormatIpfixRecordTable(kSession, message, message.records[1]);
  EXPECT_NE(table.find("template 268\n"), std::string::npos);
  EXPECT_NE(table.find("orvHostedModules<orvHostedModuleName> [\"mod-a.jar\", \"mod-b.py\"]"),
            std::string::npos);
}

// A template 300 of protocolIdentifier, sourceTransportPort and virtualStationName.
Bytes SmallTemplate() {
  Wire m = Wire::Message(1);
  return m.BeginSet(2).U16(300).U16(3).Field(4, 1).Field(7, 2).Field(350, kVar).EndSet().Finish();
}

Bytes SmallRecord(std::uint32_t domain) {
  return Wire::Message(2, domain).BeginSet(300).U8(17).U16(53).Text("x").EndSet().Finish();
}

TEST(IpfixDecoderTest,
     KnowsTemplatesPerSessionAndDomainUntilWithdrawnAndReportsShortRecordsAndLists) {
  IpfixDecoder decoder;
  EXPECT_TRUE(
      HasProblem(DecodeOk(decoder, SmallRecord(127)), "unknown template 300 of domain 127"));
  (void)DecodeOk(decoder, SmallTemplate());
  EXPECT_TRUE(
      HasProblem(DecodeOk(decoder, SmallRecord(128)), "unknown template 300 of domain 128"));
  EXPECT_EQ(DecodeOk(decoder, SmallRecord(127)).records.size(), 1u);
  EXPECT_TRUE(HasProblem(DecodeOk(decoder, SmallRecord(127), "10.9.9.9:1"), "unknown template"));

  // A short record is reported, the complete ones before it kept; padding after the last is not
  // a record.
  Wire m = Wire::Message(2);
  m.BeginSet(300).U8(6).U16(80).Text("first").U8(17).U16(53).U8(10).Raw(Bytes{'a', 'b'}).EndSet();
  const IpfixMessage cut = DecodeOk(decoder, m.Finish());
  ASSERT_EQ(cut.records.size(), 1u);
  EXPECT_THAT(Json(cut), HasSubstr(R"("virtualStationName":"first")"));
  ASSERT_EQ(cut.problems.size(), 1u);
  EXPECT_TRUE(cut.problems[0].set_id == 300 &&
              HasProblem(cut,
                         "short record 1 of template 300 of domain 127: "
                         "field 3 (virtualStationName)"));
  const IpfixMessage tail = DecodeOk(
      decoder, Wire::Message(3).BeginSet(300).U8(6).U16(80).Text("").Fill(0, 3).EndSet().Finish());
  EXPECT_TRUE(tail.records.size() == 1 && tail.problems.empty());

  // Control characters and bad UTF-8 from the wire never reach the output raw.
  Wire hostile = Wire::Message(4);
  hostile.BeginSet(300).U8(1).U16(2).Text(std::string("a\n\x1b[2J\xff\"", 8)).EndSet();
  const IpfixMessage odd = DecodeOk(decoder, hostile.Finish());
  EXPECT_THAT(Json(odd), HasSubstr(R"("virtualStationName":"a\u000a\u001b[2J)"
                                   "\xEF\xBF\xBD"
                                   R"(\"")"));
  EXPECT_EQ(FormatIpfixProblemJson(kSession, odd, {127, 300, "short record 0 \"x\""}),
            R"({"exporter":"127.0.0.1:25001","domain":127,"sequence":4,"exportTime":1700000000,)"
            R"("setId":300,"problem":"short record 0 \"x\""})");

  // A template record without fields withdraws the template.
  const Bytes withdraw = Wire::Message(5).BeginSet(2).U16(300).U16(0).EndSet().Finish();
  EXPECT_EQ(DecodeOk(decoder, withdraw).templates_learned, 1u);
  EXPECT_TRUE(HasProblem(DecodeOk(decoder, SmallRecord(127)), "unknown template 300"));

  // An interface record whose details list claims a 32-byte item but carries 3 bytes.
  (void)DecodeOk(decoder, AgentTemplateMessage(6));
  Wire list = Wire::Message(7);
  list.BeginSet(266).Fill(0xAB, 20).U32(1).U32(1).U8(1).Text("eth0");
  list.U8(12).U8(3).U16(0xB03E).U16(32).U32(9).Raw(Bytes{1, 2, 3}).Text("");
  const IpfixMessage bad_list = DecodeOk(decoder, list.EndSet().Finish());
  EXPECT_TRUE(HasProblem(bad_list, "malformed basicList in orvInterfaceDetails"));
  EXPECT_THAT(Json(bad_list), HasSubstr(R"("orvInterfaceDetails":"03b03e002000000009010203")"));
}

TEST(IpfixDecoderTest, RejectsMalformedMessagesWithReasons) {
  auto header = [](std::uint16_t version, std::uint16_t length) {
    return Wire().U16(version).U16(length).U32(0).U32(1).U32(127).bytes();
  };
  auto with_set = [](std::uint16_t id, std::uint16_t length, const Bytes& body) {
    return Wire::Message(1).U16(id).U16(length).Raw(body).Finish();
  };
  const std::vector<std::tuple<Bytes, OB_STATUSCODE, std::string>> cases = {
      {{}, kObBadArgument, "shorter than a message header"},
      {header(9, 16), kObBadArgument, "version 9 is not IPFIX"},
      {header(10, 8), kObBadArgument, "shorter than its header"},
      {header(10, 400), kObSuccess, "message length 400"},
      {with_set(300, 40, {1, 2}), kObSuccess, "set length 40 does not fit"},
      {with_set(300, 2, {1, 2}), kObSuccess, "set length 2"},
      {with_set(7, 6, {1, 2}), kObSuccess, "reserved set ID 7"},
      {with_set(2, 12, {0, 200, 0, 1, 0, 4, 0, 1}), kObSuccess, "template ID 200 is below 256"},
      {with_set(2, 12, {1, 44, 0, 3, 0, 4, 0, 1}), kObSuccess,
       "declares 3 fields but the set ends after 1"},
      {with_set(2, 12, {1, 44, 0, 1, 0xB0, 0x2C, 0, 20}), kObSuccess,
       "declares 1 fields but the set ends after 0"},
      {with_set(2, 16, {1, 44, 0, 2, 0, 4, 0, 1, 0, 5, 0, 0}), kObSuccess, "zero-length field"},
  };
  for (const auto& [bytes, status, problem] : cases) {
    IpfixMessage message;
    EXPECT_TRUE(IpfixDecoder().Decode(bytes, kSession, &message) == status &&
                HasProblem(message, problem) && message.records.empty())
        << problem;
  }
}

constexpr std::size_t kRecordSize = 300;
constexpr std::uint16_t kIPv4FlowSetId = 267;
// Template, identity and interface sets, in the order they are announced.
const std::vector<std::uint16_t> kAnnouncements = {2, 262, 266};

std::uint16_t FirstSetId(const Bytes& message) {
  return message.size() >= 20 ? ReadU16(message.data() + 16) : 0;
}

// Flow records in a message whose records are all kRecordSize bytes.
std::size_t FlowRecords(const Bytes& message) {
  std::size_t records = 0;
  for (std::size_t at = 16; at + 4 <= message.size() && ReadU16(message.data() + at + 2) >= 4;
       at += ReadU16(message.data() + at + 2)) {
    if (ReadU16(message.data() + at) == kIPv4FlowSetId)
      records += (ReadU16(message.data() + at + 2) - 4) / kRecordSize;
  }
  return records;
}

// Counts connects (failing the first connect_failures) and the flow records of flow messages
// that went out; with refuse_every > 0 every such flow send fails, as after a "port
// unreachable". Announcements always go out.
class ScriptedTransport : public IExporterTransport {
 public:
  struct Script {
    std::atomic<int> connect_failures{0};
    std::atomic<int> connects{0};
    std::atomic<int> refuse_every{0};
    std::atomic<int> flow_sends{0};
    std::atomic<std::size_t> records_sent{0};
  };
  explicit ScriptedTransport(Script& script) : script_(script) {}
  OB_STATUSCODE Connect(const std::string& /*host*/, const std::string& /*port*/) override {
    ++script_.connects;
    return --script_.connect_failures >= 0 ? kObFailure : kObSuccess;
  }
  OB_STATUSCODE Send(const std::uint8_t* bytes, std::size_t length,
                     const ExporterSendCallback& /*completion*/) override {
    const std::size_t records = FlowRecords(Bytes(bytes, bytes + length));
    if (records == 0) return kObSuccess;
    const int every = script_.refuse_every.load();
    if (every > 0 && ++script_.flow_sends % every == 0) return kObFailure;
    script_.records_sent += records;
    return kObSuccess;
  }
  OB_STATUSCODE Disconnect() override { return kObSuccess; }

 private:
  Script& script_;
};

class ExporterTest : public ::testing::Test {
 protected:
  void Configure(std::uint32_t aggregation_ms, const std::string& port) {
    const std::lock_guard lock(settings_mutex_);
    settings_.collector_ip = L"127.0.0.1";
    settings_.collector_port = static_cast<std::uint32_t>(std::stoul(port));
    settings_.collection_mode = kCollectionModeAll;
    settings_.aggregation_timeout = aggregation_ms;
  }

  // Configures and makes an exporter to port; through the scripted transport when script is
  // given.
  std::unique_ptr<CExporter> Make(const std::string& port, std::uint32_t aggregation_ms,
                                  ScriptedTransport::Script* script = nullptr,
                                  CDeliveryLedger* ledger = nullptr) {
    Configure(aggregation_ms, port);
    ExporterDependencies deps;
    if (script != nullptr)
      deps.make_transport = [script] { return std::make_unique<ScriptedTransport>(*script); };
    deps.ledger = ledger;
    deps.clock = [this] {
      return std::chrono::steady_clock::time_point(std::chrono::milliseconds(now_ms_.load()));
    };
    deps.converter =
        std::make_unique<CIPFIXConverter>(device_.device(), [] { return DataCollectionPolicy{}; });
    deps.load_profile = [] { return kObSuccess; };
    deps.settings = [this] {
      const std::lock_guard lock(settings_mutex_);
      return settings_;
    };
    deps.policy = [] { return DataCollectionPolicy{}; };
    deps.interface_list = [] {
      auto wlan = std::make_shared<InterfaceInfo>(Wlan());
      return std::vector<std::shared_ptr<InterfaceInfo>>{wlan, wlan};
    };
    OB_STATUSCODE status = kObFailure;
    auto exporter = std::make_unique<CExporter>(status, &registrar_, flows_, cache_, interfaces_,
                                                "127.0.0.1", port, 1440, nullptr, std::move(deps));
    EXPECT_EQ(status, kObSuccess);
    return exporter;
  }

  // Makes and starts an exporter.
  std::unique_ptr<CExporter> Started(const std::string& port, std::uint32_t aggregation_ms,
                                     ScriptedTransport::Script* script = nullptr) {
    auto exporter = Make(port, aggregation_ms, script);
    EXPECT_EQ(exporter->Start(), kObSuccess);
    return exporter;
  }

  // Receives until a flow message arrives; the set IDs of the messages before it are appended.
  static std::optional<Bytes> ReceiveFlow(Receiver& collector,
                                          std::vector<std::uint16_t>* before = nullptr) {
    for (;;) {
      auto message = collector.Receive();
      if (!message || FirstSetId(*message) == kIPv4FlowSetId) return message;
      if (before != nullptr) before->push_back(FirstSetId(*message));
    }
  }

  void PushFlows(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
      ASSERT_EQ(flows_.Push(FlowOfSize(false, kRecordSize)), kObSuccess);
  }

  FixtureDevice device_;
  FakeRegistrar registrar_{true};
  std::mutex settings_mutex_;
  ProfileSettings settings_;
  std::atomic<std::int64_t> now_ms_{1000000};
  FlowRecordQueue flows_{1000};
  CacheObjectQueue cache_{1000};
  InterfaceQueue interfaces_{100};
};

// Throttling, hold and release without loss, is left to the end-to-end cache drain, which runs
// throttled and requires every flow to arrive.
TEST_F(ExporterTest, ParksWhileUntrustedAnnouncesOnceBatchesAndAnnouncesAgainToANewCollector) {
  Receiver first;
  Receiver second;
  registrar_.SetTrusted(false);
  auto exporter = Started(first.Port(), 0);
  // Each trust change releases the announcements parked meanwhile, before the flows; an unchanged
  // interface is announced once, however many paths announce it at start.
  for (int round = 0; round < 2; ++round) {
    registrar_.SetTrustedOnceRegistered(false);
    PushFlows(1);
    EXPECT_FALSE(first.Receive(300).has_value()) << "nothing leaves while untrusted";
    registrar_.SetTrustedOnceRegistered(true);
    std::vector<std::uint16_t> before;
    ASSERT_TRUE(ReceiveFlow(first, &before).has_value());
    EXPECT_EQ(before, kAnnouncements);
  }
  PushFlows(3);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(FlowRecords(ReceiveFlow(first).value_or(Bytes{})), 1u) << "no aggregation";

  // Another collector gets every announcement again; three records wait for the interval.
  Configure(60000, second.Port());
  exporter->OnProfileStateChanged();
  PushFlows(3);
  for (const std::uint16_t set : kAnnouncements)
    EXPECT_EQ(FirstSetId(second.Receive().value_or(Bytes{})), set);
  EXPECT_FALSE(second.Receive(300).has_value());
  // The family limit fills the batch at once; what the size limit leaves in the converter's
  // family queue follows without waiting for new records.
  PushFlows(2);
  std::size_t records = 0;
  for (std::optional<Bytes> message; records < 5 && (message = ReceiveFlow(second));)
    records += FlowRecords(*message);
  EXPECT_EQ(records, 5u);
}

TEST_F(ExporterTest, StopSendsTheFlowQueueOutAndGivesBackWhatItCannotSend) {
  // Aggregation holds the records back until the stop; a refusing collector gets nothing.
  for (const bool collector_refuses : {false, true}) {
    ScriptedTransport::Script script{.refuse_every = collector_refuses ? 1 : 0};
    auto exporter = Started("4739", 60000, &script);
    PushFlows(40);
    EXPECT_EQ(exporter->Stop(), kObSuccess);
    EXPECT_EQ(script.records_sent.load(), collector_refuses ? 0U : 40U);
    EXPECT_EQ(flows_.Size(), collector_refuses ? 40U : 0U) << "given back for the cache";
    flows_.Clear();
  }
}

TEST_F(ExporterTest, ReportsSentCachedRecordsAndReleasesThoseGivenUp) {
  // Every other flow send fails, as when a collector answers "port unreachable": held messages
  // are sent again, so all records arrive and are reported. A collector refusing everything gets
  // none: the held message is given up after a bounded number of sends, the collector connected
  // again, and the rows are released for reading again.
  for (const int refuse_every : {2, 1}) {
    ScriptedTransport::Script script{.refuse_every = refuse_every};
    CDeliveryLedger ledger;
    auto exporter = Make("4739", 0, &script, &ledger);
    for (std::int64_t row = 1; row <= 6; ++row) {
      std::shared_ptr<ORVObject> flow = FlowOfSize(false, kRecordSize);
      ledger.Track(flow, row);
      ASSERT_EQ(cache_.Push(std::move(flow)), kObSuccess);
    }
    ASSERT_EQ(exporter->Start(), kObSuccess);
    std::size_t delivered = 0;
    std::size_t released = 0;
    ASSERT_TRUE(WaitUntil([&] {
      now_ms_ += 500;  // a collector given up on is connected again after a pause
      const CDeliveryLedger::Settlement more = ledger.Settle();
      delivered += more.delivered.size();
      released += more.released.size();
      return delivered + released == 6;
    }));
    EXPECT_EQ(delivered, refuse_every == 2 ? 6U : 0U);
    EXPECT_EQ(script.records_sent.load(), delivered);
    EXPECT_EQ(exporter->Stop(), kObSuccess);
  }
}

// An empty collector address is left to the end-to-end test that writes one and requires the
// flows to wait in the cache for a usable collector.
TEST_F(ExporterTest, TrustBeforeStartSecondStartAndResolutionRetries) {
  ScriptedTransport::Script script{.connect_failures = 2};
  registrar_.SetTrusted(false);
  auto exporter = Make("4739", 0, &script);
  registrar_.SetTrusted(true);  // between construction and start: not lost
  LogCapture log;
  ASSERT_EQ(exporter->Start(), kObSuccess);
  EXPECT_EQ(exporter->Start(), kObAlreadyRunning);
  EXPECT_TRUE(log.Has(LOG_ERROR, "CExporter::Exporter", "thread was already running"));
  PushFlows(1);
  // Failed resolutions are tried again after 1 s, then 2 s.
  ASSERT_TRUE(WaitUntil([&] {
    now_ms_ += 500;
    return script.records_sent.load() == 1;
  }));
  EXPECT_EQ(script.connects.load(), 3);
  EXPECT_EQ(exporter->State(), CExporter::kStateResolved);
  EXPECT_EQ(exporter->Stop(), kObSuccess);
}

constexpr unsigned kHighestTriedPort = ExporterUDPTransport::kFirstLocalPort + 4 * 9;
const std::vector<std::uint8_t> kMessage = Wire::Message(1).Finish();

// Sends kMessage and checks that the receiver gets it from the transport's local port.
void ExpectDelivery(ExporterUDPTransport& transport, Receiver& receiver) {
  std::pair<OB_STATUSCODE, std::size_t> reported{1, 0};
  const auto report = [&](OB_STATUSCODE status, std::size_t bytes) { reported = {status, bytes}; };
  ASSERT_EQ(transport.Send(kMessage.data(), kMessage.size(), report), kObSuccess);
  EXPECT_EQ(reported, std::make_pair(kObSuccess, kMessage.size()));
  std::uint16_t sender = 0;
  EXPECT_EQ(receiver.Receive(10000, &sender), kMessage);
  EXPECT_EQ(sender, transport.LocalPort());
}

TEST(ExporterUDPTransportTest, DeliversOverBothFamiliesAndKeepsTheSocketWithinOne) {
  Receiver first;
  Receiver second;
  ExporterUDPTransport transport;
  // Ports that are not a number from 1 to 65535 and hosts that do not resolve open no socket.
  const std::vector<std::pair<std::string, std::string>> unusable = {
      {"127.0.0.1", "ipfix"}, {"127.0.0.1", "20x5"},  {"127.0.0.1", ""},
      {"127.0.0.1", "0"},     {"127.0.0.1", "65536"}, {"10.1.2.300", "4739"}};
  for (const auto& [host, port] : unusable) {
    EXPECT_EQ(transport.Connect(host, port), kObFailure) << host << " port " << port;
    EXPECT_EQ(transport.Family(), ExporterUDPTransport::kFamilyNone);
  }
  EXPECT_EQ(transport.Send(kMessage.data(), kMessage.size(), {}), kObNoSocket);
  ASSERT_EQ(transport.Connect("127.0.0.1", first.Port()), kObSuccess);
  const std::uint16_t port = transport.LocalPort();
  EXPECT_TRUE(port >= ExporterUDPTransport::kFirstLocalPort && port <= kHighestTriedPort) << port;
  EXPECT_EQ(transport.Family(), ExporterUDPTransport::kFamilyIPv4);
  ExpectDelivery(transport, first);
  ASSERT_EQ(transport.Connect("127.0.0.1", second.Port()), kObSuccess);
  EXPECT_EQ(transport.LocalPort(), port);
  ExpectDelivery(transport, second);

  // A failed resolution keeps the socket and the earlier collector; so does a failed send.
  EXPECT_EQ(transport.Connect("collector.invalid", "4739"), kObFailure);
  const std::vector<std::uint8_t> oversized(70000, 0xAB);
  OB_STATUSCODE reported = 1;
  EXPECT_EQ(transport.Send(oversized.data(), oversized.size(),
                           [&](OB_STATUSCODE status, std::size_t) { reported = status; }),
            kObFailure);
  EXPECT_EQ(reported, kObFailure);
  ExpectDelivery(transport, second);

  Receiver six(udp::v6());
  if (!six.ok()) GTEST_SKIP() << "no IPv6 loopback for the family switch";
  ASSERT_EQ(transport.Connect("::1", six.Port()), kObSuccess);
  EXPECT_EQ(transport.Family(), ExporterUDPTransport::kFamilyIPv6);
  ExpectDelivery(transport, six);
  ASSERT_EQ(transport.Connect("127.0.0.1", first.Port()), kObSuccess);
  EXPECT_EQ(transport.Family(), ExporterUDPTransport::kFamilyIPv4);
  ExpectDelivery(transport, first);
  EXPECT_EQ(transport.Disconnect(), kObSuccess);
  EXPECT_EQ(transport.Send(kMessage.data(), kMessage.size(), {}), kObNoSocket);
}

// Ports are machine-wide, so the tests that take 25001 and its neighbours run in their own
// network namespace, where no other test competes for them.
TEST(ExporterUDPTransportTest, GivesUpAfterFiveBindsAndMovesUpFromATakenLocalPort) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  asio::io_context io;
  std::vector<udp::socket> taken;  // bound on the any-address; a port that cannot be throws
  for (unsigned port = ExporterUDPTransport::kFirstLocalPort; port <= kHighestTriedPort; ++port)
    taken.emplace_back(io, udp::endpoint(udp::v4(), static_cast<std::uint16_t>(port)));
  ExporterUDPTransport transport;
  EXPECT_EQ(transport.Connect("10.1.2.3", "2055"), kObFailure);
  EXPECT_EQ(transport.Send(kMessage.data(), kMessage.size(), {}), kObNoSocket);
  // With only the first port still taken, the next Connect moves up from it.
  taken.erase(taken.begin() + 1, taken.end());
  EXPECT_EQ(transport.Connect("10.1.2.3", "2055"), kObSuccess);
  const std::uint16_t port = transport.LocalPort();
  EXPECT_TRUE(port > ExporterUDPTransport::kFirstLocalPort && port <= kHighestTriedPort) << port;
}

// The family is recorded only once the new socket is open: a switch that cannot open one leaves
// no socket behind. Run in a forked child, which leaves with _exit before the transport's
// destructor: tearing down Boost.Asio with no descriptors left is not what this is about.
TEST(ExporterUDPTransportTest, FailedFamilySwitchLeavesNoSocket) {
  EXPECT_EQ(RunInChild([] {
              // Static, so the child's _exit leaves it standing.
              static std::optional<ExporterUDPTransport> kept;
              ExporterUDPTransport& transport = kept.emplace();
              if (transport.Connect("127.0.0.1", "4739") != kObSuccess) return 10;
              // No descriptor can be opened from now on; those already open stay usable.
              const rlimit bound{3, 3};
              if (::setrlimit(RLIMIT_NOFILE, &bound) != 0) return 11;
              if (transport.Connect("::1", "4739") != kObFailure) return 12;
              if (transport.Family() != ExporterUDPTransport::kFamilyNone) return 13;
              return transport.Send(kMessage.data(), kMessage.size(), {}) == kObNoSocket ? 0 : 14;
            }),
            0);
}

const fs::path kPackaging = fs::path(__FILE__).parent_path() / "../../packaging/ipfix";

// Element 12350 is the item of both the 32-byte module hash list and the variable-length
// interface details; libfixbuf 2.4 decodes every item of an element with the length it first saw,
// so the stream leaves the module hashes out. Two flow messages of two records each: a sequence
// number counting messages instead of records shows as "out of sequence". Last, a datagram too
// short for a header.
std::vector<Bytes> AgentMessages() {
  AgentStream stream;
  return {stream.Templates(),  stream.Identity(),   stream.Interface(),
          stream.Flows(false), stream.Flows(false), {0, 9, 0, 16}};
}

void ExpectAll(const std::string& output, const std::vector<std::string>& expected) {
  for (const std::string& text : expected)
    EXPECT_NE(output.find(text), std::string::npos) << text << " not in\n" << output;
}

TEST(CollectorInteropTest, IpfixDumpDecodesTheStreamInSequence) {
  if (::access("/usr/bin/ipfixDump", X_OK) != 0)
    GTEST_SKIP() << "ipfixDump (Debian package libfixbuf-tools) is not installed";
  const TempDir directory;
  const fs::path file = directory.path() / "agent.ipfix";
  std::vector<Bytes> messages = AgentMessages();
  messages.pop_back();
  std::ofstream out(file, std::ios::binary);
  for (const Bytes& message : messages)
    out.write(reinterpret_cast<const char*>(message.data()), std::streamsize(message.size()));
  out.close();
  const orv::test::NamespaceRun dump =
      orv::test::RunCollecting({"/usr/bin/ipfixDump", "--element-file",
                                (kPackaging / "orv-elements.xml").string(), "--in", file.string()});
  const std::string& output = dump.output;
  ASSERT_EQ(dump.exit_status, 0) << output;
  EXPECT_EQ(output.find("out of sequence"), std::string::npos) << output;
  ExpectAll(output, {"File Stats: 5 Messages, 6 Data Records", "orvManufacturer",
                     "orvInterfaceName", "orvInterfaceDetails", "sourceIPv6Address",
                     "orvProcessName", "orvL4OctetCountIn", "4294967298"});
}

// Starts a collector on a loopback port that was free a moment ago and sends it the stream once
// a second (nfacctd's plugins start after it reports itself listening and drop what came
// before) until file holds needle; the file's content. The collector's standard output and error
// go to files of those names in directory (kept apart, so the output holds only records); the
// exporter's local port goes to local_port when given.
std::string Feed(const std::string& program, const std::vector<std::string>& argv,
                 const std::string& port, const fs::path& directory, const fs::path& file,
                 const std::vector<std::string>& needles, std::uint16_t* local_port = nullptr) {
  const std::string out = (directory / "stdout").string();
  const std::string err = (directory / "stderr").string();
  const ChildProcess collector(program, argv, [&] {
    ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
  });
  const std::vector<Bytes> messages = AgentMessages();
  ExporterUDPTransport transport;
  EXPECT_EQ(transport.Connect("127.0.0.1", port), kObSuccess);
  if (local_port != nullptr) {
    *local_port = transport.LocalPort();
  }
  std::string content;
  auto next_send = std::chrono::steady_clock::now();
  (void)WaitUntil([&] {
    for (; std::chrono::steady_clock::now() >= next_send; next_send += std::chrono::seconds(1)) {
      for (const Bytes& message : messages)
        (void)transport.Send(message.data(), message.size(), {});
    }
    content = ChildProcess::ReadAll(file.string());
    return std::all_of(needles.begin(), needles.end(), [&](const std::string& needle) {
      return content.find(needle) != std::string::npos;
    });
  });
  return content;
}

TEST(CollectorInteropTest, NfacctdShowsNamesHashesAndByteCountsWithTheShippedPrimitives) {
  if (::access("/usr/sbin/nfacctd", X_OK) != 0)
    GTEST_SKIP() << "nfacctd (Debian package pmacct) is not installed";
  const TempDir directory;
  const std::string port = Receiver().Port();
  const fs::path output = directory.path() / "flows.json";
  std::ofstream(directory.path() / "nfacctd.conf")
      << "daemonize: false\nnfacctd_ip: 127.0.0.1\nnfacctd_port: " << port
      << "\nplugins: print[orv]\naggregate_primitives: "
      << (kPackaging / "orv-primitives.lst").string()
      << "\naggregate[orv]: src_host, dst_host, src_port, dst_port, proto, orv_process_name, "
         "orv_process_hash, orv_parent_name, orv_process_user, orv_bytes_in, orv_bytes_out, "
         "orv_destination_host, orv_dns_suffix, orv_interface_uid\n"
         "print_output[orv]: json\nprint_refresh_time[orv]: 1\nprint_output_file[orv]: "
      << output.string() << "\n";
  const std::string flows =
      Feed("/usr/sbin/nfacctd", {"nfacctd", "-f", (directory.path() / "nfacctd.conf").string()},
           port, directory.path(), output, {"v6.example.com"});
  // nfacctd shows raw fields as dash-separated bytes, cut after 21 of them.
  ExpectAll(
      flows,
      {R"("orv_process_name": "curl")", R"("orv_parent_name": "bash")",
       R"("orv_process_user": "HOST\\alice")", R"("orv_bytes_in": "4294967298")",
       R"("orv_bytes_out": "1234")", R"("orv_destination_host": "v6.example.com")",
       R"("orv_dns_suffix": "example.org")", R"("orv_interface_uid": "7")",
       R"("ip_src": "2001:db8::1")", R"("port_dst": 443)",
       R"("orv_process_hash": "11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-")"});
}

TEST(CollectorInteropTest, OrvCollectPrintsRecordsAndProblemsAsJsonLines) {
  const fs::path tool = fs::read_symlink("/proc/self/exe").parent_path() / "orv-collect";
  if (!fs::exists(tool)) GTEST_SKIP() << "orv-collect is not built next to this test program";
  const TempDir directory;
  const std::string port = Receiver().Port();
  std::uint16_t sender = 0;
  // The collector may start after the first round's templates: rounds repeat until all is seen.
  const std::vector<std::string> expected = {
      R"("orvProcessName":"curl")", R"("orvL4OctetCountIn":4294967298)",
      R"("orvInterfaceName":"wlan0 )",
      R"("problem":"datagram of 4 bytes is shorter than a message header")"};
  const std::string output = Feed(tool.string(), {"orv-collect", "--port", port, "--json"}, port,
                                  directory.path(), directory.path() / "stdout", expected, &sender);
  const std::string exporter = "{\"exporter\":\"127.0.0.1:" + std::to_string(sender) + "\",";
  EXPECT_EQ(output.rfind(exporter, 0), 0U) << output;
  ExpectAll(output, expected);
}

}  // namespace
