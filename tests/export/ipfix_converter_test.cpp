#include "export/ipfix_converter.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "export/ipfix_test_support.h"
#include "support/log_capture.h"

namespace {

using orv::test::Bytes;
using orv::test::FixtureDevice;
using orv::test::FlowOfSize;
using orv::test::kMinimalIPv4Record;
using orv::test::kMinimalIPv6Record;
using orv::test::ReadU16;
using orv::test::ReadU32;

constexpr std::size_t kLimit = 1200;

// The ID and length of each set of a message.
std::vector<std::pair<std::uint16_t, std::size_t>> SetsOf(const Bytes& message) {
  std::vector<std::pair<std::uint16_t, std::size_t>> sets;
  for (std::size_t at = 16; at + 4 <= message.size() && ReadU16(&message[at + 2]) >= 4;) {
    sets.emplace_back(ReadU16(&message[at]), ReadU16(&message[at + 2]));
    at += sets.back().second;
  }
  return sets;
}

class IpfixConverterTest : public ::testing::Test {
 protected:
  IpfixConverterTest() : converter_(device_.device(), [this] { return policy_; }) {}

  // One flow message; checks its header when one was built.
  Bytes FlowMessage(std::size_t capacity = 5000) {
    Bytes buffer(capacity);
    std::size_t written = 99;
    const std::uint32_t sequence = IPFIX_DEFS::PeekSequenceNumber();
    EXPECT_EQ(converter_.GetMultipleFlowObjectsStream(buffer.data(), kLimit, capacity, send_queue_,
                                                      5, written),
              kObSuccess);
    buffer.resize(written);
    if (written > 0) CheckHeader(buffer, sequence);
    return buffer;
  }

  static void CheckHeader(const Bytes& message, std::uint32_t sequence) {
    ASSERT_GE(message.size(), 16u);
    EXPECT_EQ(ReadU16(&message[0]), 10);
    EXPECT_EQ(ReadU16(&message[2]), message.size());
    EXPECT_LE(static_cast<std::uint32_t>(std::time(nullptr)) - ReadU32(&message[4]) + 1, 2u);
    EXPECT_EQ(ReadU32(&message[8]), sequence);
    EXPECT_EQ(ReadU32(&message[12]), 127u);
  }

  void Queue(bool ipv6, std::size_t count, std::size_t size) {
    for (std::size_t i = 0; i < count; ++i) {
      ASSERT_EQ(send_queue_.Push(FlowOfSize(ipv6, size, static_cast<std::uint16_t>(next_port_++))),
                kObSuccess);
    }
  }

  FixtureDevice device_;
  DataCollectionPolicy policy_;
  CIPFIXConverter converter_;
  FlowRecordQueue send_queue_{100};
  int next_port_ = 1;
};

TEST_F(IpfixConverterTest, TemplateMessageHoldsTheFourTemplatesAndTakesNoSequenceNumber) {
  Bytes buffer(5000);
  std::size_t written = 0;
  const std::uint32_t sequence = IPFIX_DEFS::PeekSequenceNumber();
  ASSERT_EQ(converter_.GetTemplatesStream(buffer.data(), buffer.size(), written), kObSuccess);
  buffer.resize(written);
  CheckHeader(buffer, sequence);
  Bytes expected = orv::test::AgentTemplateMessage(sequence);
  std::copy_n(buffer.begin() + 4, 4, expected.begin() + 4);  // export time
  EXPECT_EQ(buffer, expected);
  EXPECT_EQ(converter_.GetTemplatesStream(buffer.data(), 487, written), kObBufferTooSmall);
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
            (std::vector<std::pair<std::uint16_t, std::size_t>>{
                {267, 4 + 2 * kMinimalIPv4Record}, {268, 4 + 3 * kMinimalIPv6Record}}));
  EXPECT_EQ(ReadU16(&third[16 + 4 + 5]), 11);
  EXPECT_TRUE(send_queue_.IsEmpty());
  EXPECT_EQ(converter_.PendingRecords(), 0u);
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
  EXPECT_TRUE(send_queue_.IsEmpty());
  EXPECT_EQ(converter_.PendingRecords(), 0u);
  EXPECT_EQ(IPFIX_DEFS::PeekSequenceNumber(), sequence);
  Bytes small(15);
  std::size_t written = 0;
  EXPECT_EQ(converter_.GetMultipleFlowObjectsStream(small.data(), kLimit, small.size(), send_queue_,
                                                    5, written),
            kObBufferTooSmall);

  // Behind a set of the other family: kept for the next message, which it opens alone.
  Queue(false, 1, kMinimalIPv4Record);  // the family-order flag now favours IPv6
  Queue(true, 1, kMinimalIPv6Record);
  Queue(true, 1, 1100);
  EXPECT_EQ(SetsOf(FlowMessage()),
            (std::vector<std::pair<std::uint16_t, std::size_t>>{{268, 4 + kMinimalIPv6Record},
                                                                {267, 4 + kMinimalIPv4Record}}));
  EXPECT_EQ(converter_.PendingRecords(), 1u);
  const Bytes message = FlowMessage();
  ASSERT_EQ(message.size(), 16 + 4 + 1100u);
  EXPECT_EQ(ReadU16(&message[16]), 268);
  EXPECT_EQ(converter_.PendingRecords(), 0u);
}

TEST_F(IpfixConverterTest, EndpointIdentityFollowsThePolicy) {
  for (const std::int32_t element : {12336, 350, 12337, 12334, 12335, 12351})
    policy_.field_map[element] = kFieldModeExclude;
  EndpointIdentity identity;
  ASSERT_EQ(converter_.getEndpointIdentity(identity), kObSuccess);
  for (const std::wstring* text : {&identity.host_name, &identity.manufacturer, &identity.os_text1,
                                   &identity.os_text2, &identity.os_text3, &identity.system_type}) {
    EXPECT_EQ(*text, L"-");
  }
  EXPECT_EQ(identity.udid, std::wstring(FixtureDevice::kUdid, FixtureDevice::kUdid + 40));

  // Anonymised: the device's value in its anonymised form.
  policy_.field_map = {{350, kFieldModeAnonymise}, {12336, kFieldModeAnonymise}};
  identity = EndpointIdentity();
  ASSERT_EQ(converter_.getEndpointIdentity(identity), kObSuccess);
  std::wstring host;
  std::wstring vendor = L"Acme";
  ASSERT_EQ(device_.device().GetHostName(host), kObSuccess);
  AnonymizeValue(host);
  AnonymizeValue(vendor);
  EXPECT_EQ(std::tie(identity.host_name, identity.manufacturer), std::tie(host, vendor));
}

TEST_F(IpfixConverterTest, MissingUdidFallsBackToFortyFAndAFailedRecordTakesNoSequenceNumber) {
  orv::test::LogCapture log;
  FixtureDevice no_id(false);
  CIPFIXConverter converter(no_id.device(), [] { return DataCollectionPolicy{}; });
  Bytes buffer(5000);
  std::size_t written = 0;
  ASSERT_EQ(converter.GetEndpointIdentityStream(buffer.data(), buffer.size(), written), kObSuccess);
  const std::size_t udid_at = 16 + 4 + 1 + buffer[20];  // after the host name
  EXPECT_EQ(Bytes(buffer.begin() + udid_at, buffer.begin() + udid_at + 20), Bytes(20, 0xFF));
  EXPECT_TRUE(log.Has(LOG_ERROR, "IConverter::getEndpointIdentity",
                      "IConverter::getEndpointIdentity failed to extract UDID."));

  InterfaceInfo info;
  info.uid = 5;
  ASSERT_EQ(converter.GetInterfaceInfoStream(buffer.data(), buffer.size(), written, info),
            kObSuccess);
  ASSERT_GE(written, 40u);
  EXPECT_EQ(ReadU16(&buffer[16]), 266);
  EXPECT_EQ(Bytes(buffer.begin() + 20, buffer.begin() + 40), Bytes(20, 0xFF));
  EXPECT_TRUE(
      log.Has(LOG_ERROR, "CIPFIXConverter::GetInterfaceInfoStream", "Failed to extract UDID."));

  // A record that does not fit: nothing is written, no sequence number used, the status says why.
  info.name.assign(100, L'n');
  const std::uint32_t sequence = IPFIX_DEFS::PeekSequenceNumber();
  EXPECT_EQ(converter.GetInterfaceInfoStream(buffer.data(), 60, written, info), kObBufferTooSmall);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(IPFIX_DEFS::PeekSequenceNumber(), sequence);
  EXPECT_TRUE(log.Has(LOG_ERROR, "CIPFIXConverter::GetInterfaceInfoStream",
                      "CIPFIXConverter::GetInterfaceInfoStream failed to fetch interface data "
                      "stream"));
}

}  // namespace
