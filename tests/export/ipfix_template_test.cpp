// The encoders and the record writers. Each record layout is checked here, once, against bytes
// spelled out by hand; other export tests check only what their layer adds.
#include "export/ipfix_template.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "export/ipfix_defs.h"
#include "export/ipfix_test_support.h"
#include "support/log_capture.h"

namespace {

using orv::test::Bytes;
using orv::test::FixtureDevice;
using orv::test::FlowOfSize;
using orv::test::Wire;
using Encoder = std::function<OB_STATUSCODE(std::uint8_t*, std::size_t, std::size_t&)>;

#define ENCODER(call) [&](std::uint8_t* d, std::size_t n, std::size_t& w) { return call; }

// The bytes an encoder wrote into a buffer of capacity bytes, and its status; the byte after the
// buffer must stay untouched.
Bytes Encode(const Encoder& encoder, OB_STATUSCODE* status = nullptr,
             std::size_t capacity = 70000) {
  Bytes buffer(capacity + 1, 0xEE);
  std::size_t written = 0;
  const OB_STATUSCODE result = encoder(buffer.data(), capacity, written);
  if (status != nullptr) *status = result;
  EXPECT_EQ(buffer[capacity], 0xEE);
  buffer.resize(written);
  return buffer;
}

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

// Unparsable addresses are checked where the record writer meets them, hex that parses in the
// UDIDs and module digests of the record layouts.
TEST(IpfixEncoders, TextsUpTo65535AndHexIdentifiersOfLowercasePairsOnly) {
  for (const std::size_t length : {0, 254, 255, 65535}) {
    const std::string narrow(length, 'x');
    const std::wstring wide(length, L'x');
    const Bytes expected = Wire().Text(narrow).bytes();
    EXPECT_EQ(
        Encode(ENCODER(IPFIX_DEFS::PackVariableLengthData(d, n, std::string_view(narrow), w))),
        expected);
    EXPECT_EQ(Encode(ENCODER(IPFIX_DEFS::PackVariableLengthData(d, n, std::wstring_view(wide), w))),
              expected);
  }
  orv::test::LogCapture log;
  const std::string too_long(65536, 'x');
  for (const Encoder& bad :
       {Encoder(ENCODER(IPFIX_DEFS::PackVariableLengthData(d, n, std::string_view(too_long), w))),
        Encoder(ENCODER(IPFIX_DEFS::StringToHexArray(d, n, "FF", w))),
        Encoder(ENCODER(IPFIX_DEFS::StringToHexArray(d, n, "0g", w))),
        Encoder(ENCODER(IPFIX_DEFS::StringToHexArray(d, n, "abc", w)))}) {
    OB_STATUSCODE status = kObSuccess;
    (void)Encode(bad, &status);
    EXPECT_EQ(status, kObFailure);
  }
  EXPECT_TRUE(log.Has(LOG_DEBUG, "IPFIX_DEFS::StringToHexArray",
                      "Passed string was not a valid hex string"));
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

TEST_F(IpfixTemplateTest, FixedLengthFieldsKeepTheirLengthOnBadValues) {
  orv::test::LogCapture log;
  FixtureDevice no_machine_id(false);
  CRXFlowPerFlowDataTemplateIPv4 writer(no_machine_id.device());
  auto flow = FlowOfSize(false, orv::test::kMinimalIPv4Record);
  flow->source_address = "not-an-address";
  flow->destination_address = "2001:db8::1";  // wrong family for this template
  flow->process_hash = "short";
  flow->parent_process_hash = std::string(64, 'Z');
  flow->hosted_module_hashes = {"", "xyz", std::string(64, 'B')};
  ASSERT_EQ(queue_.Push(flow), kObSuccess);

  const Bytes set = Encode(ENCODER(writer.getMultipleObjectStream(d, 1200, n, queue_, w)));
  // The record keeps the minimal length (its empty lists included) plus three list entries.
  ASSERT_EQ(set.size(), 4 + orv::test::kMinimalIPv4Record + 3 * 32);
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
}

TEST_F(IpfixTemplateTest, OnlyTheFirstRecordOfASetMayPassTheRoom) {
  for (int i = 0; i < 3; ++i) ASSERT_EQ(queue_.Push(FlowOfSize(false, 300)), kObSuccess);
  OB_STATUSCODE status = kObSuccess;
  const Bytes set = Encode(ENCODER(ipv4_.getMultipleObjectStream(d, 700, n, queue_, w)), &status);
  EXPECT_EQ(status, kObBufferTooSmall);
  ASSERT_EQ(set.size(), 604u);
  EXPECT_EQ(queue_.Size(), 1u);

  // A record larger than the room but within the buffer is the only record of its set.
  ASSERT_EQ(queue_.Push(FlowOfSize(false, 300)), kObSuccess);
  EXPECT_EQ(Encode(ENCODER(ipv4_.getMultipleObjectStream(d, 100, n, queue_, w)), &status).size(),
            304u);
  EXPECT_EQ(status, kObSuccess);
  EXPECT_EQ(queue_.Size(), 1u);

  // Empty references are skipped; an empty queue writes nothing.
  FlowRecordQueue refs(5);
  for (auto flow : {FlowRecordPtr(), FlowRecordPtr(FlowOfSize(false, 200)), FlowRecordPtr()})
    ASSERT_EQ(refs.Push(flow), kObSuccess);
  const Encoder write_refs = ENCODER(ipv4_.getMultipleObjectStream(d, 1200, n, refs, w));
  EXPECT_EQ(Encode(write_refs).size(), 204u);
  EXPECT_TRUE(Encode(write_refs, &status).empty());
  EXPECT_EQ(status, kObSuccess);
}

TEST_F(IpfixTemplateTest, InterfaceAndIdentityRecordsAreWrittenByteForByte) {
  orv::test::LogCapture log;
  InterfaceInfo info;
  info.uid = 7;
  info.index = 3;
  info.type_code = kInterfaceTypeWireless;
  info.name = L"wlan0";
  info.detail_list = {L"SSID=home", L"State=Trusted"};
  info.hardware_address = "aa:bb:cc:dd:ee:ff";
  CRXFlowInterfaceInfoTemplate interface_template;
  const std::wstring udid = L"00112233445566778899aabbccddeeff00112233";
  Wire expected;
  expected.BeginSet(266).Hex("00112233445566778899aabbccddeeff00112233").U32(7).U32(3).U8(2);
  expected.Text("wlan0").U8(0xFF).U16(9 + 10 + 14).U8(3).U16(0xB03E).U16(0xFFFF).U32(9);
  expected.Text("SSID=home").Text("State=Trusted");
  expected.Text("aa:bb:cc:dd:ee:ff").EndSet();
  EXPECT_EQ(WriteRecord(ENCODER(interface_template.GetInterfaceInfoStream(d, n, w, info, udid)),
                        expected.bytes()),
            expected.bytes());
  EXPECT_TRUE(log.Has(LOG_DEBUG, "CRXFlowInterfaceInfoTemplate::GetInterfaceInfoStream",
                      "CIPFIXConverter::GetInterfaceInfoStream VIRTUAL_SUCCESS"));

  // A UDID that is not 40 lowercase hex characters becomes forty "f".
  EndpointIdentity identity;
  identity.udid = L"00112233445566778899AABBCCDDEEFF00112233";
  identity.host_name = L"box";
  identity.os_text1 = L"Debian";
  identity.system_type = L"x86_64";
  CRXFlowEndpointIdentityTemplate identity_template;
  Wire record;
  record.BeginSet(262).Text("box").Fill(0xFF, 20).Text("Debian").Text("").Text("").Text("");
  record.Text("x86_64").EndSet();
  EXPECT_EQ(WriteRecord(ENCODER(identity_template.GetEndpointIdentityStream(d, n, identity, w)),
                        record.bytes()),
            record.bytes());

  // Other templates do not write these records.
  Bytes buffer(300);
  std::size_t written = 0;
  EXPECT_EQ(ipv4_.GetEndpointIdentityStream(buffer.data(), 300, identity, written),
            kObNotImplemented);
  EXPECT_EQ(identity_template.GetInterfaceInfoStream(buffer.data(), 300, written, info, udid),
            kObNotImplemented);
  EXPECT_EQ(interface_template.getObjectStream(buffer.data(), 300, ORVFlowObject(), written),
            kObNotImplemented);
}

}  // namespace
