#include "common/interface_info.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/record_bytes.h"
#include "support/log_capture.h"

namespace {

using orv::test::Bytes;
using orv::test::LogCapture;

constexpr char kDeserialize[] = "InterfaceInfo::Deserialize";
constexpr char kSerialize[] = "InterfaceInfo::Serialize";

InterfaceInfo FilledRecord() {
  InterfaceInfo r;
  r.uid = 12;
  r.index = 3;
  r.type_code = kInterfaceTypeWireless;
  r.name = L"Wi-Fi caf\u00e9 \U0001F4F6";
  r.hardware_address = "aa:bb:cc:dd:ee:ff";
  r.ipv4_address = "192.168.1.20";
  r.ipv6_addresses = {"2001:db8::20"};
  r.ipv4_broadcast = "192.168.1.255";
  r.seen = true;
  r.detail_list = {L"SSID=h\u00f6me\U0001F3E0", L"State=Trusted"};
  r.missed_count = 2;
  r.order_id = 40;
  return r;
}

void ExpectStoredFieldsEqual(const InterfaceInfo& a, const InterfaceInfo& b) {
  EXPECT_EQ(a.uid, b.uid);
  EXPECT_EQ(a.index, b.index);
  EXPECT_EQ(a.type_code, b.type_code);
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.detail_list, b.detail_list);
  EXPECT_EQ(a.hardware_address, b.hardware_address);
}

std::vector<std::uint8_t> Serialized(const InterfaceInfo& record) {
  std::vector<std::uint8_t> buffer(record.SerializedSize());
  auto size = static_cast<std::uint32_t>(buffer.size());
  EXPECT_EQ(record.Serialize(buffer.data(), &size), kObSuccess);
  EXPECT_EQ(size, buffer.size());
  return buffer;
}

// Header and end marker around hand-made fields; total defaults to the true length.
std::vector<std::uint8_t> Wrap(const Bytes& fields, std::uint8_t version = 1,
                               std::uint32_t extra_total = 0) {
  Bytes b;
  const auto total = static_cast<std::uint32_t>(9 + fields.data.size() + 2 + extra_total);
  return b.Raw("ORVI").U8(version).U32(total).Append(fields).Raw("EM").data;
}

Bytes Head() { return Bytes().U32(1).U32(2).U8(1).Wide(u"eth0"); }

TEST(InterfaceInfoTest, RoundTripsFilledAndEmptyRecords) {
  for (const InterfaceInfo& original : {FilledRecord(), InterfaceInfo()}) {
    const std::vector<std::uint8_t> bytes = Serialized(original);
    InterfaceInfo copy = FilledRecord();
    ASSERT_EQ(copy.Deserialize(bytes.data(), bytes.size()), kObSuccess);
    ExpectStoredFieldsEqual(copy, original);
    EXPECT_EQ(copy.ipv4_address, "-");
    EXPECT_TRUE(copy.ipv6_addresses.empty());
    EXPECT_TRUE(copy.ipv4_broadcast.empty());
    EXPECT_FALSE(copy.seen);
    EXPECT_EQ(copy.missed_count, 0);
    EXPECT_EQ(copy.order_id, 0);
    EXPECT_EQ(Serialized(copy), bytes);
  }
  EXPECT_EQ(InterfaceInfo().SerializedSize(), 26U);
  EXPECT_EQ(InterfaceInfo().GetObjectType(), kObjectTypeInterface);
}

TEST(InterfaceInfoTest, WritesExactBytes) {
  InterfaceInfo r;
  r.uid = 5;
  r.index = 2;
  r.type_code = kInterfaceTypeWired;
  r.name = L"e\U0001F600";
  r.detail_list = {L"a", L"bc"};
  r.hardware_address = "ab";
  r.order_id = 9;
  // "ORVI", version, total length | UID, index, type | name | details | hardware address | "EM"
  const std::vector<std::uint8_t> expected =
      Bytes()
          .Hex(
              "4f525649 01 2c000000 | 05000000 02000000 01 | 0600 6500 3dd8 00de |"
              "0200 0200 6100 0400 6200 6300 | 0200 6162 | 454d")
          .data;
  EXPECT_EQ(Serialized(r), expected);
  // Bytes after the stated total length are not part of the record.
  std::vector<std::uint8_t> longer = expected;
  longer.push_back(0xEE);
  InterfaceInfo copy;
  ASSERT_EQ(copy.Deserialize(longer.data(), longer.size()), kObSuccess);
  ExpectStoredFieldsEqual(copy, r);
}

TEST(InterfaceInfoTest, SerializeReportsNeededSize) {
  const InterfaceInfo record = FilledRecord();
  const auto needed = static_cast<std::uint32_t>(record.SerializedSize());
  std::vector<std::uint8_t> buffer(needed);
  struct Case {
    std::uint8_t* buffer;
    std::uint32_t size;
    OB_STATUSCODE status;
    const char* message;
  };
  for (const Case& c : {Case{nullptr, needed, kObBadArgument, "Memory not allocated for buffer"},
                        Case{buffer.data(), 0, kObBadArgument, "Memory not allocated for buffer"},
                        Case{buffer.data(), needed - 1, kObBufferTooSmall,
                             "Buffer not sufficient for serializing Interface Object"}}) {
    LogCapture log;
    std::uint32_t size = c.size;
    EXPECT_EQ(record.Serialize(c.buffer, &size), c.status);
    EXPECT_EQ(size, needed);
    EXPECT_TRUE(log.Has(LOG_ERROR, kSerialize, c.message)) << c.message;
  }
}

TEST(InterfaceInfoTest, RejectsMalformedBuffersAndKeepsRecord) {
  const char* const kFailed = "Object deserialization failed";
  const Bytes valid = Head().U16(1).Wide(u"State=Trusted").Narrow("aa:bb");
  std::vector<std::uint8_t> no_marker = Wrap(valid);
  no_marker[no_marker.size() - 2] = 'X';
  std::vector<std::uint8_t> wrong_marker = Wrap(valid);
  wrong_marker[3] = 'N';
  struct Case {
    const char* name;
    std::vector<std::uint8_t> buffer;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"short", {'O', 'R', 'V', 'I', 1, 0}, kFailed},
      {"wrong marker", wrong_marker, kFailed},
      {"wrong version", Wrap(valid, 2), kFailed},
      {"total past end", Wrap(valid, 1, 1), kFailed},
      {"total below header", Bytes().Raw("ORVI").U8(1).U32(10).Raw("EM").data, kFailed},
      {"missing end marker", no_marker,
       "Invalid interface object serialized buffer. No end marker found"},
      {"name past end",
       Wrap(Bytes().U32(1).U32(2).U8(1).U16(0x1000).Raw(std::string_view("e\0", 2))), kFailed},
      {"odd name byte count",
       Wrap(Bytes().U32(1).U32(2).U8(1).Narrow(std::string("e\0t", 3)).U16(0).Narrow("")), kFailed},
      {"detail count past end", Wrap(Head().U16(0xFFFF).Narrow("")), kFailed},
      {"fields end early", Wrap(Head().U16(0)), kFailed},
      {"bytes left before marker", Wrap(Bytes(valid).U8(0)), kFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    InterfaceInfo record = FilledRecord();
    EXPECT_EQ(record.Deserialize(c.buffer.data(), c.buffer.size()), kObBadArgument);
    EXPECT_TRUE(log.Has(LOG_ERROR, kDeserialize, c.message));
    ExpectStoredFieldsEqual(record, FilledRecord());
    EXPECT_EQ(record.order_id, 40);
  }
  LogCapture log;
  InterfaceInfo record;
  const std::uint8_t byte = 'O';
  EXPECT_EQ(record.Deserialize(nullptr, 4), kObQueueEmpty);
  EXPECT_EQ(record.Deserialize(&byte, 0), kObQueueEmpty);
  EXPECT_TRUE(log.Has(LOG_ERROR, kDeserialize, "Buffer sent was empty"));
  const std::vector<std::uint8_t> good = Wrap(valid);
  ASSERT_EQ(record.Deserialize(good.data(), good.size()), kObSuccess);
  EXPECT_EQ(record.detail_list, std::vector<std::wstring>{L"State=Trusted"});
}

TEST(InterfaceInfoTest, CutsOversizedFieldsOnWrite) {
  InterfaceInfo record;
  record.name = std::wstring(32766, L'n') + L"\U0001F600";
  record.detail_list.resize(InterfaceInfo::kMaxDetailEntries + 1);
  record.detail_list[0] = std::wstring(40000, L'd');
  const std::vector<std::uint8_t> bytes = Serialized(record);
  InterfaceInfo copy;
  ASSERT_EQ(copy.Deserialize(bytes.data(), bytes.size()), kObSuccess);
  EXPECT_EQ(copy.name, std::wstring(32766, L'n'));
  ASSERT_EQ(copy.detail_list.size(), InterfaceInfo::kMaxDetailEntries);
  EXPECT_EQ(copy.detail_list[0], std::wstring(32767, L'd'));
  EXPECT_EQ(Serialized(copy), bytes);
}

TEST(InterfaceInfoTest, FormsOneLogLine) {
  InterfaceInfo r;
  r.uid = 3;
  r.index = 2;
  r.type_code = kInterfaceTypeWireless;
  r.order_id = 7;
  r.name = L"Wi-Fi caf\u00e9";
  r.detail_list = {L"SSID=home\r\n", L"State=Trusted"};
  EXPECT_EQ(r.ToString(),
            "Interface UID: 3 Interface Index: 2 Interface Type: 2 Interface Order ID: 7 "
            "Interface Name: Wi-Fi caf\xc3\xa9 Interface Detail List: SSID=home??, State=Trusted");
  r.detail_list.clear();
  EXPECT_EQ(r.ToString(),
            "Interface UID: 3 Interface Index: 2 Interface Type: 2 Interface Order ID: 7 "
            "Interface Name: Wi-Fi caf\xc3\xa9 Interface Detail List: ");
}

}  // namespace
