// The two serialised record kinds: the byte layouts are checked here against hand-written bytes,
// and corrupt input is checked by changing those bytes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "common/interface_info.h"
#include "common/orv_flow_object.h"
#include "support/log_capture.h"

namespace {

using Buffer = std::vector<std::uint8_t>;

Buffer FromHex(std::string hex) {
  std::erase_if(hex, [](char c) { return c == ' ' || c == '|'; });
  Buffer bytes(hex.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = std::stoi(hex.substr(2 * i, 2), nullptr, 16);
  return bytes;
}

// The flow record of kFlowBytes in the old "ORVO" layout: no lengths, zero-terminated texts,
// hashes always 32 raw bytes. Source address and process name are given as hex of their bytes.
Buffer OldRecord(const std::string& source = "312e322e332e34",
                 const std::string& process_name = "6100 3dd8 00de",
                 const std::string& modules = "01000000") {
  return FromHex("4f52564f 07000000" + source + "00 5000 3a3a3100 bb01 06 44332211 45332211" +
                 "0807060504030201 0900000000000000 03000000 01000000" + process_name +
                 "0000 6200 0000" + std::string(64, 'a') + std::string(64, '2') +
                 "7500 0000 0080 7600 0000 0200 7700 0000 0100 6400 0000 6800 0a00 0000" + modules +
                 "6d00 0000 01000000" + std::string(64, '3'));
}

template <typename Record>
Record Read(const Buffer& bytes) {
  Record record;
  EXPECT_EQ(record.Deserialize(bytes.data(), bytes.size()), kObSuccess);
  return record;
}

// Writes the record; unless again is false, reads the bytes back and writes the same bytes.
template <typename Record>
Buffer Serialized(const Record& record, bool again = true) {
  Buffer buffer(record.SerializedSize());
  auto size = static_cast<std::uint32_t>(buffer.size());
  EXPECT_EQ(record.Serialize(buffer.data(), &size), kObSuccess);
  EXPECT_EQ(size, buffer.size());
  EXPECT_TRUE(!again || Serialized(Read<Record>(buffer), false) == buffer);
  return buffer;
}

// Name, the change to valid bytes, the status and log line it is refused with.
using Corruption =
    std::tuple<const char*, std::function<void(Buffer&)>, OB_STATUSCODE, const char*>;

// Each corrupt form of valid is refused with its log line, and the record keeps its values;
// Serialize refuses no buffer, a zero size or one byte too few, telling the size needed.
template <typename Record>
void ExpectRefusals(const Buffer& valid, const std::vector<Corruption>& corruptions,
                    const std::string& type) {
  for (const auto& [name, change, status, message] : corruptions) {
    Buffer bytes = valid;
    change(bytes);
    auto record = Read<Record>(valid);
    const orv::test::LogCapture log;
    EXPECT_EQ(record.Deserialize(bytes.data(), bytes.size()), status) << name;
    EXPECT_TRUE(log.Has(LOG_ERROR, type + "::Deserialize", message));
    EXPECT_EQ(Serialized(record), valid);
  }
  const orv::test::LogCapture log;
  auto record = Read<Record>(valid);
  EXPECT_EQ(record.Deserialize(nullptr, 4), kObQueueEmpty);
  EXPECT_EQ(record.Deserialize(valid.data(), 0), kObQueueEmpty);
  EXPECT_TRUE(log.Has(LOG_ERROR, type + "::Deserialize", "Buffer sent was empty"));
  Buffer buffer(valid.size());
  std::uint32_t size = 1;
  EXPECT_EQ(record.Serialize(nullptr, &size), kObBadArgument);
  EXPECT_EQ(record.Serialize(buffer.data(), nullptr), kObBadArgument);
  for (const std::size_t given : {std::size_t{0}, valid.size() - 1}) {
    size = static_cast<std::uint32_t>(given);
    EXPECT_EQ(record.Serialize(buffer.data(), &size),
              given == 0 ? kObBadArgument : kObBufferTooSmall);
    EXPECT_EQ(size, valid.size());  // the size needed
  }
}

// Drops the last field byte before the end marker, or adds one, keeping the stated length.
void Resize(Buffer& b, int delta) {
  if (delta < 0) b.erase(b.end() - 3);
  if (delta > 0) b.insert(b.end() - 2, 0);
  b[5] = static_cast<std::uint8_t>(b[5] + delta);
}

// A value of its own in every stored field, so a field read into another shows. Fields in order,
// '|' between groups: header | process id | addresses, ports, protocol | flow start, end | bytes
// in, out | interface, family | names, hashes | users with types, DNS suffix, host | hosted
// modules and hashes | "EM".
const Buffer kFlowBytes = FromHex(
    "4f52564e 01 cf000000 | 07000000 | 0700 312e322e332e34 5000 0300 3a3a31 bb01 06 |"
    "44332211 45332211 | 0807060504030201 0900000000000000 | 03000000 01000000 |"
    "0600 6100 3dd8 00de 0200 6200 2000" +
    std::string(64, 'a') + "2000" + std::string(64, '2') +
    "| 0200 7500 0080 0200 7600 0200 0200 7700 0100 0200 6400 0400 6800 0a00 |"
    "0100 0200 6d00 0100 2000" +
    std::string(64, '3') + "| 454d");

// The reader puts each field where the log line shows it, the writer puts it back, and the old
// layout reads into the same record.
TEST(RecordsTest, ReadAndWriteExactBytesCutLongTextsAndRefuseCorruptForms) {
  ORVFlowObject r = Read<ORVFlowObject>(kFlowBytes);
  EXPECT_EQ(r.ToString(),
            "FlowId: 0 Pid: 7 PPid: 0 Network : [1.2.3.4:80] --> [::1:443] Protocol: TCP Flow "
            "Start second: 287454020 Flow End second: 287454021 L4 Byte count In: "
            "72623859790382856 L4 Byte count Out: 9 Process Name: a\xf0\x9f\x98\x80 Process "
            "Path:  Process hash: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
            " Process Username: v Parent process Name: b Parent process Path:  Parent process "
            "hash: 2222222222222222222222222222222222222222222222222222222222222222"
            " Logged in username: u Logged in user account type: 32768 Process username : v "
            "Process user account type: 2 Parent process username: w Parent process user "
            "account type: 1 DNS suffix: d Destination hostname: h?");
  EXPECT_EQ(std::tie(r.interface_uid, r.address_family, r.hosted_modules, r.hosted_module_hashes),
            std::tuple(3U, 1U, std::vector<std::wstring>{L"m"},
                       std::vector<std::string>{std::string(32, '\x33')}));
  // Protocol, ports and addresses, user names, process names, DNS suffix, host, hashes, account
  // types, bytes in (no text form) and an unknown field; the filter tests read the flow's process
  // name, user name, destination port, addresses and process hash.
  const std::uint32_t ids[] = {4,     7,     27,    12,    12333, 12339, 12342, 12344,
                               12345, 12343, 12361, 12362, 12363, 12346, 1};
  std::wstring texts;
  for (const std::uint32_t id : ids) {
    bool pattern = false;
    texts += r.GetFieldText(id, &pattern);
    texts += pattern ? L"*|" : L"|";
  }
  EXPECT_EQ(texts,
            L"6|80|1.2.3.4|::1|u*|w*|b*|d*|h\n*|" + std::wstring(32, L'\x22') + L"|32768|2|1|||");
  EXPECT_EQ(ORVFlowObject::NextFlowId(), 1U);
  EXPECT_EQ(ORVFlowObject::NextFlowId(), 2U);
  r.flow_id = 5;  // not stored
  r.process_path = L"/usr/bin/a";
  EXPECT_EQ(Serialized(r), kFlowBytes);
  EXPECT_EQ(Serialized(Read<ORVFlowObject>(OldRecord())), kFlowBytes);
  // An empty record writes zero lengths and counts: header 9, fixed fields 75 with the marker.
  EXPECT_EQ(Serialized(ORVFlowObject()).size(), 84U);
  r.protocol = 17;
  EXPECT_NE(r.ToString().find(" Protocol: UDP "), std::string::npos);
  // Texts are cut on read and on write to the same limits, so a round trip is stable.
  r = Read<ORVFlowObject>(
      OldRecord(std::string(140, '1'), std::string(4 * 258, '1') + "3dd8 00de"));
  EXPECT_EQ(r.source_address, std::string(59, '\x11'));
  EXPECT_EQ(r.process_name, std::wstring(258, L'\x1111'));  // the pair no longer fits
  r = Read<ORVFlowObject>(OldRecord("31", std::string(4 * 300, '1')));
  EXPECT_EQ(r.process_name, std::wstring(259, L'\x1111'));
  r = Read<ORVFlowObject>(OldRecord("31", "00d8 7800 00dc"));
  EXPECT_EQ(r.process_name, L"\uFFFDx\uFFFD");  // lone surrogates replaced

  ORVFlowObject written;
  written.process_name = std::wstring(258, L'p') + L"\U0001F600";
  written.destination_host_name = std::wstring(1000, L'h');
  written.process_hash = std::string(40, 'x');
  written.hosted_modules.resize(ORVFlowObject::kMaxHostedModules + 1);
  // 84 for an empty record, then the cut texts and the capped module list.
  EXPECT_EQ(Serialized(written).size(),
            84 + 2 * 258 + 2 * 259 + 32 + 2 * ORVFlowObject::kMaxHostedModules);
  const char* const kFailed = "Object deserialization failed";
  const char* const kNoMarker = "Invalid flow object serialized buffer. No end marker found";
  ExpectRefusals<ORVFlowObject>(
      kFlowBytes,
      {{"short", [](Buffer& b) { b.resize(3); }, kObBadArgument, kFailed},
       {"wrong magic", [](Buffer& b) { b[3] = 'X'; }, kObBadArgument,
        "The buffer sent was not the serialized form of ORVObject"},
       {"wrong version", [](Buffer& b) { b[4] = 2; }, kObNotImplemented,
        "Unknown ORV Flow Object version"},
       {"header cut", [](Buffer& b) { b.resize(7); }, kObBadArgument, kFailed},
       {"payload past end", [](Buffer& b) { b.pop_back(); }, kObBadArgument, kFailed},
       {"missing end marker", [](Buffer& b) { b.back() = 'X'; }, kObBadArgument, kNoMarker},
       {"payload shorter than marker", [](Buffer& b) { b[5] = 1; }, kObBadArgument, kNoMarker},
       {"text past payload", [](Buffer& b) { b[14] = 0xFF; }, kObBadArgument, kFailed},
       {"odd wide byte count", [](Buffer& b) { b[64] = 5; }, kObBadArgument, kFailed},
       {"module count past end", [](Buffer& b) { b[173] = 0xFF; }, kObBadArgument, kFailed},
       {"hash count past end", [](Buffer& b) { b[179] = 0xFF; }, kObBadArgument, kFailed},
       {"fields end early", [](Buffer& b) { Resize(b, -1); }, kObBadArgument, kFailed},
       {"bytes left before marker", [](Buffer& b) { Resize(b, 1); }, kObBadArgument, kFailed}},
      "ORVFlowObject");
  // Every cut of the old record lacks a terminator, a fixed field or a list entry; a count past
  // the end is refused before anything is allocated for the list.
  const Buffer old = OldRecord();
  const orv::test::LogCapture quiet;
  for (std::size_t length = 4; length < old.size(); ++length) {
    ASSERT_EQ(ORVFlowObject().Deserialize(old.data(), length), kObBadArgument) << length;
  }
  const Buffer huge_count = OldRecord("31", "7000", "00000040");
  EXPECT_EQ(ORVFlowObject().Deserialize(huge_count.data(), huge_count.size()), kObBadArgument);

  // Interface records: "ORVI", version, total length | UID, index, type | name | details | hardware
  // address | "EM"
  const std::string interface_hex =
      "4f525649 01 30000000 | 05000000 02000000 02 | 0600 6500 3dd8 00de |"
      "0200 0200 6100 0800 6200 6300 0d00 0a00 | 0200 6162 | 454d";
  const Buffer interface = FromHex(interface_hex);
  // Bytes after the stated total length are not part of the record.
  auto ri = Read<InterfaceInfo>(FromHex(interface_hex + "ee"));
  EXPECT_EQ(ri.ToString(),
            "Interface UID: 5 Interface Index: 2 Interface Type: 2 Interface Order ID: 0 "
            "Interface Name: e\xf0\x9f\x98\x80 Interface Detail List: a, bc??");
  EXPECT_EQ(ri.hardware_address, "ab");
  ri.order_id = 9;  // not stored
  EXPECT_EQ(Serialized(ri), interface);
  EXPECT_EQ(Serialized(InterfaceInfo()).size(), 26U);
  ExpectRefusals<InterfaceInfo>(
      interface,
      {{"short", [](Buffer& b) { b.resize(6); }, kObBadArgument, kFailed},
       {"wrong marker", [](Buffer& b) { b[3] = 'N'; }, kObBadArgument, kFailed},
       {"wrong version", [](Buffer& b) { b[4] = 2; }, kObBadArgument, kFailed},
       {"total past end", [](Buffer& b) { b[5] = 0x31; }, kObBadArgument, kFailed},
       {"total below header", [](Buffer& b) { b[5] = 10; }, kObBadArgument, kFailed},
       {"missing end marker", [](Buffer& b) { b.back() = 'X'; }, kObBadArgument,
        "Invalid interface object serialized buffer. No end marker found"},
       {"odd name byte count", [](Buffer& b) { b[18] = 5; }, kObBadArgument, kFailed},
       {"detail count past end", [](Buffer& b) { b[26] = 0xFF; }, kObBadArgument, kFailed},
       {"fields end early", [](Buffer& b) { Resize(b, -1); }, kObBadArgument, kFailed},
       {"bytes left before marker", [](Buffer& b) { Resize(b, 1); }, kObBadArgument, kFailed}},
      "InterfaceInfo");
  // Oversized fields are cut on write.
  InterfaceInfo record;
  record.name = std::wstring(32766, L'n') + L"\U0001F600";
  record.detail_list.resize(InterfaceInfo::kMaxDetailEntries + 1);
  record.detail_list[0] = std::wstring(40000, L'd');
  const auto copy = Read<InterfaceInfo>(Serialized(record));
  EXPECT_EQ(std::tuple(copy.name, copy.detail_list.size(), copy.detail_list.at(0)),
            std::tuple(std::wstring(32766, L'n'), InterfaceInfo::kMaxDetailEntries,
                       std::wstring(32767, L'd')));
}

}  // namespace
