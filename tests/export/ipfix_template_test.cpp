#include "export/ipfix_template.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "export/ipfix_test_support.h"
#include "support/log_capture.h"

namespace {

using orv::test::Bytes;
using orv::test::ExpectedBytes;
using orv::test::FixtureDevice;
using orv::test::FlowOfSize;

constexpr char kFlowWriter[] = "IIPFIXTemplate::getMultipleObjectStream";

std::string Sha(std::uint8_t seed) {
  std::string hash(32, '\0');
  for (std::size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<char>(seed + i);
  return hash;
}

class IpfixTemplateTest : public ::testing::Test {
 protected:
  // Writes one set from queue with the given room and capacity; returns its bytes.
  Bytes WriteSet(IIPFIXTemplate& t, FlowRecordQueue& queue, std::size_t room, std::size_t capacity,
                 OB_STATUSCODE* status_out = nullptr) {
    Bytes buffer(capacity + 1, 0xEE);
    std::size_t written = 0;
    const OB_STATUSCODE status =
        t.getMultipleObjectStream(buffer.data(), room, capacity, queue, written);
    if (status_out != nullptr) *status_out = status;
    EXPECT_EQ(buffer[capacity], 0xEE);
    buffer.resize(written);
    return buffer;
  }

  FixtureDevice device_;
  CRXFlowPerFlowDataTemplateIPv4 ipv4_{device_.device()};
  CRXFlowPerFlowDataTemplateIPv6 ipv6_{device_.device()};
};

TEST_F(IpfixTemplateTest, TemplateRecordsListTheFieldsInWireOrder) {
  using Field = std::tuple<std::uint16_t, std::uint16_t, bool>;
  const std::uint16_t v = 0xFFFF;
  const std::vector<Field> ipv6 = {
      {4, 1, false},    {27, 16, false},  {7, 2, false},     {28, 16, false},   {11, 2, false},
      {150, 4, false},  {151, 4, false},  {12332, 20, true}, {12333, v, true},  {12361, 2, true},
      {12338, v, true}, {12362, 2, true}, {12340, v, true},  {12341, 32, true}, {12339, v, true},
      {12363, 2, true}, {12342, v, true}, {12343, 32, true}, {12346, 8, true},  {12347, 8, true},
      {12344, v, true}, {12345, v, true}, {12355, 4, true},  {12352, v, true},  {12353, v, true}};
  ExpectedBytes expected;
  expected.U16(268).U16(25);
  for (const auto& [id, length, enterprise] : ipv6) {
    if (enterprise) {
      expected.U16(id | 0x8000).U16(length).U32(9);
    } else {
      expected.U16(id).U16(length);
    }
  }
  Bytes buffer(176);
  std::size_t written = 0;
  ASSERT_EQ(ipv6_.Serialize(buffer.data(), buffer.size(), written), kObSuccess);
  EXPECT_EQ(written, 176u);
  EXPECT_EQ(buffer, expected.bytes());
  EXPECT_EQ(ipv6_.Serialize(buffer.data(), 175, written), kObBufferTooSmall);

  const CRXFlowEndpointIdentityTemplate identity;
  const CRXFlowInterfaceInfoTemplate interface_info;
  EXPECT_EQ(identity.GetTemplateSize(), 56u);
  EXPECT_EQ(interface_info.GetTemplateSize(), 60u);
  EXPECT_EQ(ipv4_.GetTemplateSize(), 176u);
  Bytes v4(176);
  ASSERT_EQ(ipv4_.Serialize(v4.data(), v4.size(), written), kObSuccess);
  // Only fields 2 and 4 differ from the IPv6 template.
  EXPECT_EQ(Bytes(v4.begin() + 8, v4.begin() + 12), (Bytes{0, 8, 0, 4}));
  EXPECT_EQ(Bytes(v4.begin() + 16, v4.begin() + 20), (Bytes{0, 12, 0, 4}));
  EXPECT_EQ(Bytes(v4.begin() + 20, v4.end()), Bytes(buffer.begin() + 20, buffer.end()));
}

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
  flow->process_hash = Sha(1);
  flow->parent_process_user_name = L"";
  flow->parent_process_user_account_type = 3;
  flow->parent_process_name = L"init";
  flow->parent_process_hash = "Unknown";
  flow->bytes_in = 0x0102030405060708;
  flow->bytes_out = 9;
  flow->dns_suffix = L"lan";
  flow->destination_host_name = L"example.org";
  flow->interface_uid = 77;
  flow->hosted_modules = {L"a.jar", L"b"};
  // Module hashes come as raw bytes or as the runtime's hexadecimal digests.
  flow->hosted_module_hashes = {Sha(2), std::string(64, 'a')};
  FlowRecordQueue queue(5);
  ASSERT_EQ(queue.Push(flow), kObSuccess);

  ExpectedBytes record;
  record.U8(6)
      .Raw(orv::test::HexBytes("20010db8000000000000000000000001"))
      .U16(443)
      .Raw(orv::test::HexBytes("00000000000000000000ffff0a010203"))
      .U16(50000)
      .U32(0x11223344)
      .U32(0x55667788)
      .Raw(device_.UdidBytes())
      .Var("host\\al")
      .U16(0x8001)
      .Var("u")
      .U16(2)
      .Var("caf\xC3\xA9")
      .Raw(Sha(1))
      .Var("")
      .U16(3)
      .Var("init")
      .Fill(0, 32)
      .U64(0x0102030405060708)
      .U64(9)
      .Var("lan")
      .Var("example.org")
      .U32(77)
      .U8(0xFF)
      .U16(9 + 6 + 2)
      .U8(3)
      .U16(0xB03C)
      .U16(0xFFFF)
      .U32(9)
      .Var("a.jar")
      .Var("b")
      .U8(0xFF)
      .U16(9 + 64)
      .U8(3)
      .U16(0xB03E)
      .U16(32)
      .U32(9)
      .Raw(Sha(2))
      .Fill(0xAA, 32);
  const Bytes& body = record.bytes();
  const Bytes expected = ExpectedBytes().U16(268).U16(4 + body.size()).Raw(body).bytes();

  EXPECT_EQ(WriteSet(ipv6_, queue, 1200, 5000), expected);
  EXPECT_TRUE(queue.IsEmpty());
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
  FlowRecordQueue queue(5);
  ASSERT_EQ(queue.Push(flow), kObSuccess);

  const Bytes set = WriteSet(writer, queue, 1200, 5000);
  // The record keeps the minimal length plus three 32-byte list entries.
  ASSERT_EQ(set.size(), 4 + orv::test::kMinimalIPv4Record + 3 * 32);
  EXPECT_EQ(Bytes(set.begin() + 5, set.begin() + 9), Bytes(4, 0));        // source address
  EXPECT_EQ(Bytes(set.begin() + 11, set.begin() + 15), Bytes(4, 0));      // destination address
  EXPECT_EQ(Bytes(set.begin() + 25, set.begin() + 45), Bytes(20, 0xFF));  // UDID fallback
  EXPECT_EQ(Bytes(set.begin() + 52, set.begin() + 84), Bytes(32, 0));     // process hash
  EXPECT_EQ(Bytes(set.end() - 96, set.end() - 32), Bytes(64, 0));         // "" and "xyz"
  EXPECT_EQ(Bytes(set.end() - 32, set.end()), Bytes(32, 0xBB));           // uppercase hex digest
  EXPECT_TRUE(log.Has(LOG_ERROR, kFlowWriter,
                      "IIPFIXTemplate::getObjectStream call to IPv4StringToHex failed with "
                      "exception Invalid argument"));
  EXPECT_TRUE(log.Has(LOG_ERROR, kFlowWriter,
                      "CRXFlowPerFlowDataTemplateIPv4::GetObjectStream failed to extract UDID "
                      "from endpoint. Using invalid UDID"));
  EXPECT_TRUE(log.Contains("hash of 5 bytes"));
}

TEST_F(IpfixTemplateTest, OnlyTheFirstRecordOfASetMayPassTheRoom) {
  FlowRecordQueue queue(5);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(queue.Push(FlowOfSize(false, 300)), kObSuccess);
  OB_STATUSCODE status = kObSuccess;
  const Bytes set = WriteSet(ipv4_, queue, 700, 4000, &status);
  EXPECT_EQ(status, kObBufferTooSmall);
  EXPECT_EQ(set.size(), 604u);
  EXPECT_EQ(orv::test::ReadU16(&set[0]), 267);
  EXPECT_EQ(orv::test::ReadU16(&set[2]), 604);
  EXPECT_EQ(queue.Size(), 1u);

  // A record larger than the room but within the buffer is the only record of its set.
  ASSERT_EQ(queue.Push(FlowOfSize(false, 300)), kObSuccess);
  EXPECT_EQ(WriteSet(ipv4_, queue, 100, 4000, &status).size(), 304u);
  EXPECT_EQ(status, kObSuccess);
  EXPECT_EQ(queue.Size(), 1u);

  // A record larger than the buffer stays queued; nothing is reported.
  EXPECT_EQ(WriteSet(ipv4_, queue, 1200, 200, &status).size(), 0u);
  EXPECT_EQ(status, kObBufferTooSmall);
  EXPECT_EQ(queue.Size(), 1u);
  EXPECT_EQ(WriteSet(ipv4_, queue, 1200, 15, &status).size(), 0u);
  EXPECT_EQ(status, kObBufferTooSmall);
}

TEST_F(IpfixTemplateTest, EmptyReferencesAreSkippedAndEmptyQueueWritesNothing) {
  FlowRecordQueue queue(5);
  OB_STATUSCODE status = kObFailure;
  EXPECT_TRUE(WriteSet(ipv4_, queue, 1200, 5000, &status).empty());
  EXPECT_EQ(status, kObSuccess);
  ASSERT_EQ(queue.Push(FlowRecordPtr()), kObSuccess);
  EXPECT_TRUE(WriteSet(ipv4_, queue, 1200, 5000).empty());
  EXPECT_TRUE(queue.IsEmpty());
  ASSERT_EQ(queue.Push(FlowRecordPtr()), kObSuccess);
  ASSERT_EQ(queue.Push(FlowOfSize(false, 200)), kObSuccess);
  ASSERT_EQ(queue.Push(FlowRecordPtr()), kObSuccess);
  EXPECT_EQ(WriteSet(ipv4_, queue, 1200, 5000).size(), 204u);
  EXPECT_TRUE(queue.IsEmpty());
}

TEST_F(IpfixTemplateTest, RecordWithoutModulesCarriesEmptyLists) {
  FlowRecordQueue queue(5);
  ASSERT_EQ(queue.Push(FlowOfSize(false, orv::test::kMinimalIPv4Record)), kObSuccess);
  const Bytes set = WriteSet(ipv4_, queue, 1200, 5000);
  ASSERT_EQ(set.size(), 4 + orv::test::kMinimalIPv4Record);
  EXPECT_EQ(Bytes(set.end() - 24, set.end()), ExpectedBytes()
                                                  .U8(0xFF)
                                                  .U16(9)
                                                  .U8(3)
                                                  .U16(0xB03C)
                                                  .U16(0xFFFF)
                                                  .U32(9)
                                                  .U8(0xFF)
                                                  .U16(9)
                                                  .U8(3)
                                                  .U16(0xB03E)
                                                  .U16(32)
                                                  .U32(9)
                                                  .bytes());
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
  const std::wstring udid = L"00112233445566778899aabbccddeeff00112233";
  CRXFlowInterfaceInfoTemplate interface_template;
  Bytes buffer(300);
  std::size_t written = 0;
  ASSERT_EQ(
      interface_template.GetInterfaceInfoStream(buffer.data(), buffer.size(), written, info, udid),
      kObSuccess);
  buffer.resize(written);
  ExpectedBytes record;
  record.Raw(orv::test::HexBytes("00112233445566778899aabbccddeeff00112233"))
      .U32(7)
      .U32(3)
      .U8(2)
      .Var("wlan0")
      .U8(0xFF)
      .U16(9 + 10 + 14)
      .U8(3)
      .U16(0xB03E)
      .U16(0xFFFF)
      .U32(9)
      .Var("SSID=home")
      .Var("State=Trusted")
      .Var("aa:bb:cc:dd:ee:ff");
  EXPECT_EQ(buffer,
            ExpectedBytes().U16(266).U16(4 + record.bytes().size()).Raw(record.bytes()).bytes());
  EXPECT_TRUE(log.Has(LOG_DEBUG, "CRXFlowInterfaceInfoTemplate::GetInterfaceInfoStream",
                      "CIPFIXConverter::GetInterfaceInfoStream VIRTUAL_SUCCESS"));

  // A UDID that is not 40 lowercase hex characters becomes forty "f".
  EndpointIdentity identity;
  identity.udid = L"00112233445566778899AABBCCDDEEFF00112233";
  identity.host_name = L"box";
  identity.os_text1 = L"Debian";
  identity.system_type = L"x86_64";
  CRXFlowEndpointIdentityTemplate identity_template;
  buffer.assign(300, 0);
  ASSERT_EQ(
      identity_template.GetEndpointIdentityStream(buffer.data(), buffer.size(), identity, written),
      kObSuccess);
  buffer.resize(written);
  ExpectedBytes expected;
  expected.U16(262)
      .U16(4 + 4 + 20 + 7 + 1 + 1 + 1 + 7)
      .Var("box")
      .Fill(0xFF, 20)
      .Var("Debian")
      .Var("")
      .Var("")
      .Var("")
      .Var("x86_64");
  EXPECT_EQ(buffer, expected.bytes());
  EXPECT_TRUE(log.Contains("not 40 lowercase hex characters"));

  // Other templates do not write these records.
  EXPECT_EQ(ipv4_.GetEndpointIdentityStream(buffer.data(), 300, identity, written),
            kObNotImplemented);
  EXPECT_EQ(identity_template.GetInterfaceInfoStream(buffer.data(), 300, written, info, udid),
            kObNotImplemented);
  EXPECT_EQ(interface_template.getObjectStream(buffer.data(), 300, ORVFlowObject(), written),
            kObNotImplemented);
  // Too small for the record: the status, nothing reported.
  written = 99;
  EXPECT_EQ(interface_template.GetInterfaceInfoStream(buffer.data(), 40, written, info, udid),
            kObBufferTooSmall);
  EXPECT_EQ(written, 0u);
}

}  // namespace
