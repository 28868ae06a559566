#include "export/ipfix_converter.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "export/ipfix_test_support.h"
#include "runtime/text.h"
#include "support/log_capture.h"

namespace {

using orv::test::Bytes;
using orv::test::ExpectedBytes;
using orv::test::FixtureDevice;
using orv::test::FlowOfSize;
using orv::test::ReadU16;
using orv::test::ReadU32;

constexpr std::size_t kLimit = 1200;
constexpr std::size_t kBufferSize = 5000;
constexpr std::size_t kPerFamily = 5;

// A set found in a message: its ID and the source ports of its records (records are minimal
// apart from their host name, so their ports identify them).
struct Set {
  std::uint16_t id;
  std::size_t length;
};

std::vector<Set> SetsOf(const Bytes& message) {
  std::vector<Set> sets;
  for (std::size_t at = 16; at + 4 <= message.size();) {
    const std::uint16_t length = ReadU16(&message[at + 2]);
    sets.push_back({ReadU16(&message[at]), length});
    if (length < 4) break;
    at += length;
  }
  return sets;
}

class IpfixConverterTest : public ::testing::Test {
 protected:
  IpfixConverterTest() : converter_(device_.device(), [this] { return policy_; }) {}

  // One flow message; checks the header when a message was built.
  Bytes FlowMessage(std::size_t limit = kLimit, std::size_t capacity = kBufferSize) {
    Bytes buffer(capacity);
    std::size_t written = 99;
    const std::uint32_t sequence = IPFIX_DEFS::PeekSequenceNumber();
    EXPECT_EQ(converter_.GetMultipleFlowObjectsStream(buffer.data(), limit, capacity, send_queue_,
                                                      kPerFamily, written),
              kObSuccess);
    buffer.resize(written);
    if (written > 0) CheckHeader(buffer, sequence);
    return buffer;
  }

  static void CheckHeader(const Bytes& message, std::uint32_t sequence) {
    ASSERT_GE(message.size(), 16u);
    EXPECT_EQ(ReadU16(&message[0]), 10);
    EXPECT_EQ(ReadU16(&message[2]), message.size());
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    EXPECT_LE(now - ReadU32(&message[4]) + 1, 2u);
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

TEST_F(IpfixConverterTest, TemplateMessageHoldsAllFourTemplatesInOrder) {
  Bytes buffer(kBufferSize);
  std::size_t written = 0;
  const std::uint32_t sequence = IPFIX_DEFS::PeekSequenceNumber();
  ASSERT_EQ(converter_.GetTemplatesStream(buffer.data(), buffer.size(), written), kObSuccess);
  ASSERT_EQ(written, 488u);
  buffer.resize(written);
  CheckHeader(buffer, sequence);
  EXPECT_EQ(ReadU16(&buffer[16]), 2);
  EXPECT_EQ(ReadU16(&buffer[18]), 472);
  const std::vector<std::pair<std::size_t, std::uint16_t>> records = {
      {20, 262}, {76, 267}, {252, 268}, {428, 266}};
  for (const auto& [offset, id] : records) {
    EXPECT_EQ(ReadU16(&buffer[offset]), id);
    EXPECT_EQ(ReadU16(&buffer[offset + 2]), id == 262 || id == 266 ? 7 : 25);
  }
  // First field of each: 350 (var), 4 (1 byte), 4, and the enterprise UDID element.
  EXPECT_EQ(Bytes(buffer.begin() + 24, buffer.begin() + 28), (Bytes{0x01, 0x5E, 0xFF, 0xFF}));
  EXPECT_EQ(Bytes(buffer.begin() + 432, buffer.begin() + 440),
            (Bytes{0xB0, 0x2C, 0x00, 0x14, 0, 0, 0, 9}));

  EXPECT_EQ(converter_.GetTemplatesStream(buffer.data(), 487, written), kObBufferTooSmall);
  EXPECT_EQ(IPFIX_DEFS::PeekSequenceNumber(), sequence + 1);
}

TEST_F(IpfixConverterTest, FullFamilyQueueStopsSortingAndKeepsOrder) {
  Queue(false, 12, orv::test::kMinimalIPv4Record);
  Queue(true, 3, orv::test::kMinimalIPv6Record);
  const std::size_t v4_set = 4 + 5 * orv::test::kMinimalIPv4Record;

  Bytes first = FlowMessage();
  ASSERT_EQ(first.size(), 16 + v4_set);
  EXPECT_EQ(SetsOf(first).size(), 1u);
  EXPECT_EQ(ReadU16(&first[16 + 4 + 5]), 1);  // source port of the oldest record
  EXPECT_EQ(send_queue_.Size(), 10u);         // the sixth IPv4 record and all after it

  Bytes second = FlowMessage();
  ASSERT_EQ(second.size(), 16 + v4_set);
  EXPECT_EQ(ReadU16(&second[16 + 4 + 5]), 6);

  Bytes third = FlowMessage();
  const std::vector<Set> sets = SetsOf(third);
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[0].id, 267);
  EXPECT_EQ(sets[0].length, 4 + 2 * orv::test::kMinimalIPv4Record);
  EXPECT_EQ(sets[1].id, 268);
  EXPECT_EQ(sets[1].length, 4 + 3 * orv::test::kMinimalIPv6Record);
  EXPECT_EQ(ReadU16(&third[16 + 4 + 5]), 11);
  EXPECT_TRUE(send_queue_.IsEmpty());
  EXPECT_EQ(converter_.PendingRecords(), 0u);

  // Consecutive messages carry consecutive sequence numbers.
  EXPECT_EQ(ReadU32(&second[8]), ReadU32(&first[8]) + 1);
  EXPECT_EQ(ReadU32(&third[8]), ReadU32(&second[8]) + 1);
}

TEST_F(IpfixConverterTest, FamilyOrderAlternatesAndLimitBoundsTheMessage) {
  Queue(false, 10, orv::test::kMinimalIPv4Record);
  Queue(true, 10, orv::test::kMinimalIPv6Record);
  std::vector<std::uint16_t> first_sets;
  std::size_t records = 0;
  while (!send_queue_.IsEmpty() || converter_.PendingRecords() > 0) {
    const Bytes message = FlowMessage();
    ASSERT_FALSE(message.empty());
    EXPECT_LE(message.size(), kLimit);
    const std::vector<Set> sets = SetsOf(message);
    first_sets.push_back(sets.front().id);
    for (const Set& set : sets) {
      records += (set.length - 4) /
                 (set.id == 267 ? orv::test::kMinimalIPv4Record : orv::test::kMinimalIPv6Record);
    }
  }
  EXPECT_EQ(records, 20u);
  ASSERT_GE(first_sets.size(), 3u);
  EXPECT_EQ(first_sets[0], 267);
  EXPECT_EQ(first_sets[1], 268);
  EXPECT_EQ(first_sets[2], 267);
}

TEST_F(IpfixConverterTest, MessageWithoutRecordsIsNotBuilt) {
  for (int i = 0; i < 3; ++i) ASSERT_EQ(send_queue_.Push(FlowRecordPtr()), kObSuccess);
  const std::uint32_t sequence = IPFIX_DEFS::PeekSequenceNumber();
  EXPECT_TRUE(FlowMessage().empty());
  EXPECT_TRUE(send_queue_.IsEmpty());
  EXPECT_EQ(IPFIX_DEFS::PeekSequenceNumber(), sequence);

  Bytes small(15);
  std::size_t written = 0;
  EXPECT_EQ(converter_.GetMultipleFlowObjectsStream(small.data(), kLimit, small.size(), send_queue_,
                                                    kPerFamily, written),
            kObBufferTooSmall);
}

TEST_F(IpfixConverterTest, RecordThatFitsNowhereIsDroppedOnlyFromAnEmptyMessage) {
  orv::test::LogCapture log;
  // Alone and larger than the whole buffer: dropped.
  Queue(false, 1, 1100);
  EXPECT_TRUE(FlowMessage(kLimit, 1000).empty());
  EXPECT_EQ(converter_.PendingRecords(), 0u);
  EXPECT_TRUE(log.Contains("does not fit"));

  // Behind a set of the other family: kept for the next message, which it opens alone.
  Queue(false, 1, orv::test::kMinimalIPv4Record);  // the family-order flag now favours IPv6
  Queue(true, 1, orv::test::kMinimalIPv6Record);
  Queue(true, 1, 1100);
  Bytes message = FlowMessage();
  std::vector<Set> sets = SetsOf(message);
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[0].id, 268);
  EXPECT_EQ(sets[0].length, 4 + orv::test::kMinimalIPv6Record);
  EXPECT_EQ(sets[1].id, 267);
  EXPECT_EQ(converter_.PendingRecords(), 1u);
  message = FlowMessage();
  ASSERT_EQ(message.size(), 16 + 4 + 1100u);
  EXPECT_EQ(SetsOf(message)[0].id, 268);
  EXPECT_EQ(converter_.PendingRecords(), 0u);
}

TEST_F(IpfixConverterTest, EndpointIdentityFollowsThePolicy) {
  for (const std::int32_t element : {12336, 350, 12337, 12334, 12335, 12351}) {
    policy_.field_map[element] = kFieldModeExclude;
  }
  Bytes buffer(kBufferSize);
  std::size_t written = 0;
  std::uint32_t sequence = IPFIX_DEFS::PeekSequenceNumber();
  ASSERT_EQ(converter_.GetEndpointIdentityStream(buffer.data(), buffer.size(), written),
            kObSuccess);
  buffer.resize(written);
  CheckHeader(buffer, sequence);
  const Bytes expected = ExpectedBytes()
                             .U16(262)
                             .U16(4 + 2 + 20 + 5 * 2)
                             .Var("-")
                             .Raw(device_.UdidBytes())
                             .Var("-")
                             .Var("-")
                             .Var("-")
                             .Var("-")
                             .Var("-")
                             .bytes();
  EXPECT_EQ(Bytes(buffer.begin() + 16, buffer.end()), expected);

  // Only the host name excluded: the other texts come from the device.
  policy_.field_map = {{350, kFieldModeExclude}};
  EndpointIdentity identity;
  ASSERT_EQ(converter_.getEndpointIdentity(identity), kObSuccess);
  EXPECT_EQ(identity.host_name, L"-");
  EXPECT_EQ(identity.manufacturer, L"Acme");
  EXPECT_EQ(identity.os_text1, L"Test OS");
  EXPECT_EQ(identity.os_text2, L"7");

  // Anonymised: the device's value in its anonymised form.
  policy_.field_map = {{350, kFieldModeAnonymise}, {12336, kFieldModeAnonymise}};
  identity = EndpointIdentity();
  ASSERT_EQ(converter_.getEndpointIdentity(identity), kObSuccess);
  std::wstring host;
  ASSERT_EQ(device_.device().GetHostName(host), kObSuccess);
  AnonymizeValue(host);
  std::wstring vendor = L"Acme";
  AnonymizeValue(vendor);
  EXPECT_EQ(identity.host_name, host);
  EXPECT_EQ(identity.manufacturer, vendor);
  EXPECT_EQ(identity.system_type.empty(), false);
}

TEST_F(IpfixConverterTest, MissingUdidFallsBackToFortyF) {
  orv::test::LogCapture log;
  FixtureDevice no_id(false);
  DataCollectionPolicy policy;
  CIPFIXConverter converter(no_id.device(), [&] { return policy; });
  Bytes buffer(kBufferSize);
  std::size_t written = 0;
  ASSERT_EQ(converter.GetEndpointIdentityStream(buffer.data(), buffer.size(), written), kObSuccess);
  // Header, set header, host name, then the UDID.
  const std::size_t udid_at = 16 + 4 + 1 + buffer[20];
  EXPECT_EQ(Bytes(buffer.begin() + udid_at, buffer.begin() + udid_at + 20), Bytes(20, 0xFF));
  EXPECT_TRUE(log.Has(LOG_ERROR, "IConverter::getEndpointIdentity",
                      "IConverter::getEndpointIdentity failed to extract UDID."));

  InterfaceInfo info;
  info.uid = 5;
  ASSERT_EQ(converter.GetInterfaceInfoStream(buffer.data(), buffer.size(), written, info),
            kObSuccess);
  ASSERT_GE(written, 40u);
  EXPECT_EQ(ReadU16(&buffer[2]), written);
  EXPECT_EQ(ReadU16(&buffer[16]), 266);
  EXPECT_EQ(Bytes(buffer.begin() + 20, buffer.begin() + 40), Bytes(20, 0xFF));
  EXPECT_EQ(ReadU32(&buffer[40]), 5u);
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
