#include "common/orv_flow_object.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "common/record_bytes.h"
#include "support/log_capture.h"

namespace {

using orv::test::Bytes;
using orv::test::LogCapture;

constexpr char kDeserialize[] = "ORVFlowObject::Deserialize";
constexpr char kSerialize[] = "ORVFlowObject::Serialize";

std::string Hash(char first) {
  std::string hash(32, '\0');
  for (std::size_t i = 0; i < hash.size(); ++i) {
    hash[i] = static_cast<char>(first + i);
  }
  return hash;
}

ORVFlowObject FilledRecord() {
  ORVFlowObject r;
  r.tracked = true;
  r.process_id = 4321;
  r.parent_process_id = 1;
  r.source_address = "2001:db8::1";
  r.source_port = 50000;
  r.destination_address = "2001:db8::2";
  r.destination_port = 443;
  r.direction = 1;
  r.interface_uid = 17;
  r.process_name = L"caf\u00e9\U0001F600";
  r.process_path = L"/usr/bin/caf\u00e9";
  r.parent_process_name = L"bash";
  r.parent_process_path = L"/bin/bash";
  r.process_hash = Hash('\x80');
  r.parent_process_hash = Hash('\x01');
  r.hosted_modules = {L"/srv/app.py", L"\U00010437mod"};
  r.hosted_module_hashes = {Hash('a'), Hash('\xF0')};
  r.host_command_line = L"python3 /srv/app.py";
  r.logged_in_user_name = L"host\\alice";
  r.logged_in_user_account_type = 1;
  r.process_user_name = L"host\\bob";
  r.process_user_account_type = 2;
  r.parent_process_user_name = L"host\\root";
  r.parent_process_user_account_type = 0x8000;
  r.dns_suffix = L"corp.example";
  r.destination_host_name = L"b\u00fccher.example";
  r.protocol = 6;
  r.flow_start = 1700000000;
  r.flow_end = 1700000060;
  r.bytes_in = 0x123456789ABCULL;
  r.bytes_out = 77;
  r.address_family = 1;
  r.flow_id = 99;
  return r;
}

void ExpectStoredFieldsEqual(const ORVFlowObject& a, const ORVFlowObject& b) {
  EXPECT_EQ(a.process_id, b.process_id);
  EXPECT_EQ(a.source_address, b.source_address);
  EXPECT_EQ(a.source_port, b.source_port);
  EXPECT_EQ(a.destination_address, b.destination_address);
  EXPECT_EQ(a.destination_port, b.destination_port);
  EXPECT_EQ(a.protocol, b.protocol);
  EXPECT_EQ(a.flow_start, b.flow_start);
  EXPECT_EQ(a.flow_end, b.flow_end);
  EXPECT_EQ(a.bytes_in, b.bytes_in);
  EXPECT_EQ(a.bytes_out, b.bytes_out);
  EXPECT_EQ(a.interface_uid, b.interface_uid);
  EXPECT_EQ(a.address_family, b.address_family);
  EXPECT_EQ(a.process_name, b.process_name);
  EXPECT_EQ(a.parent_process_name, b.parent_process_name);
  EXPECT_EQ(a.process_hash, b.process_hash);
  EXPECT_EQ(a.parent_process_hash, b.parent_process_hash);
  EXPECT_EQ(a.logged_in_user_name, b.logged_in_user_name);
  EXPECT_EQ(a.logged_in_user_account_type, b.logged_in_user_account_type);
  EXPECT_EQ(a.process_user_name, b.process_user_name);
  EXPECT_EQ(a.process_user_account_type, b.process_user_account_type);
  EXPECT_EQ(a.parent_process_user_name, b.parent_process_user_name);
  EXPECT_EQ(a.parent_process_user_account_type, b.parent_process_user_account_type);
  EXPECT_EQ(a.dns_suffix, b.dns_suffix);
  EXPECT_EQ(a.destination_host_name, b.destination_host_name);
  EXPECT_EQ(a.hosted_modules, b.hosted_modules);
  EXPECT_EQ(a.hosted_module_hashes, b.hosted_module_hashes);
}

std::vector<std::uint8_t> Serialized(const ORVFlowObject& record) {
  std::vector<std::uint8_t> buffer(record.SerializedSize());
  auto size = static_cast<std::uint32_t>(buffer.size());
  EXPECT_EQ(record.Serialize(buffer.data(), &size), kObSuccess);
  EXPECT_EQ(size, buffer.size());
  return buffer;
}

// A version-1 record's fields, encoded by hand; wide texts as UTF-16 so tests can state units.
struct RawFlow {
  std::string source_address = "10.0.0.1";
  std::string destination_address = "10.0.0.2";
  std::u16string process_name = u"proc";
  std::optional<std::string> process_name_bytes;  // replaces process_name with raw bytes
  std::u16string parent_process_name;
  std::string process_hash;
  std::u16string logged_in_user_name;
  std::u16string dns_suffix;
  std::vector<std::u16string> hosted_modules;
  std::vector<std::string> hosted_module_hashes;

  // Fields from the process id up to the destination host name.
  [[nodiscard]] Bytes Head() const {
    Bytes b;
    b.U32(42).Narrow(source_address).U16(1000).Narrow(destination_address).U16(443).U8(17);
    b.U32(100).U32(200).U64(5).U64(6).U32(3).U32(0);
    if (process_name_bytes) {
      b.Narrow(*process_name_bytes);
    } else {
      b.Wide(process_name);
    }
    b.Wide(parent_process_name).Narrow(process_hash).Narrow("");
    b.Wide(logged_in_user_name).U16(1).Wide(u"").U16(2).Wide(u"").U16(3);
    return b.Wide(dns_suffix).Wide(u"host");
  }
  [[nodiscard]] Bytes Fields() const {
    Bytes b = Head();
    b.U16(static_cast<std::uint16_t>(hosted_modules.size()));
    for (const auto& module : hosted_modules) {
      b.Wide(module);
    }
    b.U16(static_cast<std::uint16_t>(hosted_module_hashes.size()));
    for (const auto& hash : hosted_module_hashes) {
      b.Narrow(hash);
    }
    return b;
  }
};

std::vector<std::uint8_t> WrapV1(const Bytes& fields, std::uint8_t version = 1) {
  Bytes b;
  b.Raw("ORVN").U8(version).U32(static_cast<std::uint32_t>(fields.data.size() + 2));
  return b.Append(fields).Raw("EM").data;
}

// FilledRecord in the "ORVO" layout, with the source address, process name and the stated
// number of hosted modules given.
std::vector<std::uint8_t> OldRecord(std::string_view source_address,
                                    std::u16string_view process_name,
                                    std::uint32_t module_count = 2) {
  Bytes b;
  b.Raw("ORVO").U32(4321).NarrowZ(source_address).U16(50000).NarrowZ("2001:db8::2").U16(443);
  b.U8(6).U32(1700000000).U32(1700000060).U64(0x123456789ABCULL).U64(77).U32(17).U32(1);
  b.WideZ(process_name).WideZ(u"bash").Raw(Hash('\x80')).Raw(Hash('\x01'));
  b.WideZ(u"host\\alice").U16(1).WideZ(u"host\\bob").U16(2).WideZ(u"host\\root").U16(0x8000);
  b.WideZ(u"corp.example").WideZ(u"b\u00fccher.example");
  b.U32(module_count).WideZ(u"/srv/app.py").WideZ(u"\U00010437mod");
  return b.U32(2).Raw(Hash('a')).Raw(Hash('\xF0')).data;
}

TEST(ORVFlowObjectTest, RoundTripsFilledAndEmptyRecords) {
  for (const ORVFlowObject& original : {FilledRecord(), ORVFlowObject()}) {
    const std::vector<std::uint8_t> bytes = Serialized(original);
    ORVFlowObject copy;
    ASSERT_EQ(copy.Deserialize(bytes.data(), bytes.size()), kObSuccess);
    ExpectStoredFieldsEqual(copy, original);
    // Not stored: these come back as defaults.
    EXPECT_FALSE(copy.tracked);
    EXPECT_EQ(copy.parent_process_id, 0U);
    EXPECT_EQ(copy.direction, 0);
    EXPECT_EQ(copy.flow_id, 0U);
    EXPECT_TRUE(copy.process_path.empty());
    EXPECT_TRUE(copy.host_command_line.empty());
    EXPECT_EQ(Serialized(copy), bytes);
  }
  // An empty record writes zero lengths and counts: header 9, fixed fields 75 with the marker.
  EXPECT_EQ(ORVFlowObject().SerializedSize(), 84U);
}

TEST(ORVFlowObjectTest, WritesExactBytes) {
  ORVFlowObject r;
  r.process_id = 7;
  r.source_address = "1.2.3.4";
  r.source_port = 80;
  r.destination_address = "::1";
  r.destination_port = 443;
  r.protocol = 6;
  r.flow_start = 0x11223344;
  r.flow_end = 0x11223345;
  r.bytes_in = 0x0102030405060708ULL;
  r.bytes_out = 9;
  r.interface_uid = 3;
  r.address_family = 1;
  r.process_name = L"a\U0001F600";
  r.process_hash = "\xAB\xCD";
  r.logged_in_user_name = L"u";
  r.logged_in_user_account_type = 0x8000;
  r.process_user_account_type = 2;
  r.destination_host_name = L"h";
  r.hosted_modules = {L"m"};
  r.hosted_module_hashes = {"\x01"};
  r.process_path = L"/not/stored";
  r.host_command_line = L"not stored";
  r.flow_id = 5;
  // Fields in order, '|' between groups: header | process id | addresses, ports, protocol | flow
  // start, end | bytes in, out | interface, family | names, hashes | users with types, DNS
  // suffix, host | hosted modules and hashes | "EM".
  const std::vector<std::uint8_t> expected =
      Bytes()
          .Hex(
              "4f52564e 01 68000000 | 07000000 | 0700 312e322e332e34 5000 0300 3a3a31 bb01 06 |"
              "44332211 45332211 | 0807060504030201 0900000000000000 | 03000000 01000000 |"
              "0600 6100 3dd8 00de 0000 0200 abcd 0000 |"
              "0200 7500 0080 0000 0200 0000 0000 0000 0200 6800 |"
              "0100 0200 6d00 0100 0100 01 | 454d")
          .data;
  EXPECT_EQ(Serialized(r), expected);
}

TEST(ORVFlowObjectTest, SerializeReportsNeededSize) {
  const ORVFlowObject record = FilledRecord();
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
                             "Buffer not sufficient for serializing flowObject"}}) {
    LogCapture log;
    std::uint32_t size = c.size;
    EXPECT_EQ(record.Serialize(c.buffer, &size), c.status);
    EXPECT_EQ(size, needed);
    EXPECT_TRUE(log.Has(LOG_ERROR, kSerialize, c.message)) << c.message;
  }
  EXPECT_EQ(record.Serialize(buffer.data(), nullptr), kObBadArgument);
}

TEST(ORVFlowObjectTest, RejectsMalformedBuffersAndKeepsRecord) {
  const char* const kFailed = "Object deserialization failed";
  const RawFlow valid;
  std::vector<std::uint8_t> cut_payload = WrapV1(valid.Fields());
  cut_payload.pop_back();
  std::vector<std::uint8_t> no_marker = WrapV1(valid.Fields());
  no_marker.back() = 'X';
  RawFlow odd_name;
  odd_name.process_name_bytes = std::string("a\0b", 3);
  struct Case {
    const char* name;
    std::vector<std::uint8_t> buffer;
    OB_STATUSCODE status;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"short", {'O', 'R', 'V'}, kObBadArgument, kFailed},
      {"wrong magic", Bytes().Raw("ORVX").Append(valid.Fields()).data, kObBadArgument,
       "The buffer sent was not the serialized form of ORVObject"},
      {"wrong version", WrapV1(valid.Fields(), 2), kObNotImplemented,
       "Unknown ORV Flow Object version"},
      {"header cut", {'O', 'R', 'V', 'N', 1, 0, 0}, kObBadArgument, kFailed},
      {"payload past end", cut_payload, kObBadArgument, kFailed},
      {"missing end marker", no_marker, kObBadArgument,
       "Invalid flow object serialized buffer. No end marker found"},
      {"payload shorter than marker", Bytes().Raw("ORVN").U8(1).U32(1).Raw("M").data,
       kObBadArgument, "Invalid flow object serialized buffer. No end marker found"},
      {"text past payload", WrapV1(Bytes().U32(1).U16(0xFFFF).Raw("1.2.3.4")), kObBadArgument,
       kFailed},
      {"odd wide byte count", WrapV1(odd_name.Fields()), kObBadArgument, kFailed},
      {"module count past end", WrapV1(valid.Head().U16(0xFFFF).U16(0)), kObBadArgument, kFailed},
      {"hash count past end", WrapV1(valid.Head().U16(0).U16(3).Narrow("x")), kObBadArgument,
       kFailed},
      {"fields end early", WrapV1(valid.Head().U16(0)), kObBadArgument, kFailed},
      {"bytes left before marker", WrapV1(valid.Fields().U8(0)), kObBadArgument, kFailed},
      // Refused before anything is allocated for the list.
      {"old module count past end", OldRecord("10.0.0.1", u"p", 0x40000000), kObBadArgument,
       kFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    ORVFlowObject record = FilledRecord();
    EXPECT_EQ(record.Deserialize(c.buffer.data(), c.buffer.size()), c.status);
    EXPECT_TRUE(log.Has(LOG_ERROR, kDeserialize, c.message));
    ExpectStoredFieldsEqual(record, FilledRecord());
    EXPECT_EQ(record.flow_id, 99U);
  }
  LogCapture log;
  ORVFlowObject record;
  const std::uint8_t byte = 'O';
  EXPECT_EQ(record.Deserialize(nullptr, 10), kObQueueEmpty);
  EXPECT_EQ(record.Deserialize(&byte, 0), kObQueueEmpty);
  EXPECT_TRUE(log.Has(LOG_ERROR, kDeserialize, "Buffer sent was empty"));
  // The odd-length case above is corrupt only because of its odd count; made even it reads.
  odd_name.process_name_bytes = std::string("a\0", 2);
  const std::vector<std::uint8_t> even = WrapV1(odd_name.Fields());
  ASSERT_EQ(record.Deserialize(even.data(), even.size()), kObSuccess);
  EXPECT_EQ(record.process_name, L"a");
}

TEST(ORVFlowObjectTest, CutsLongFieldsOnRead) {
  RawFlow raw;
  raw.source_address = std::string(70, '1');
  raw.destination_address = std::string(59, '2');
  raw.process_name = std::u16string(300, u'a');
  raw.parent_process_name = std::u16string(258, u'b') + u"\U0001F600";
  raw.logged_in_user_name = std::u16string(257, u'c') + u"\U0001F600";
  raw.dns_suffix = u"\xD800x\xDC00";
  raw.process_hash = std::string(40, 'h');
  raw.hosted_modules = {std::u16string(300, u'm'), u"short"};
  raw.hosted_module_hashes = {std::string(33, 'z')};
  const std::vector<std::uint8_t> bytes = WrapV1(raw.Fields());
  ORVFlowObject record;
  ASSERT_EQ(record.Deserialize(bytes.data(), bytes.size()), kObSuccess);
  EXPECT_EQ(record.source_address, std::string(59, '1'));
  EXPECT_EQ(record.destination_address, std::string(59, '2'));
  EXPECT_EQ(record.process_name, std::wstring(259, L'a'));
  EXPECT_EQ(record.parent_process_name, std::wstring(258, L'b'));
  EXPECT_EQ(record.logged_in_user_name, std::wstring(257, L'c') + L"\U0001F600");
  EXPECT_EQ(record.dns_suffix, L"\uFFFDx\uFFFD");
  EXPECT_EQ(record.process_hash, std::string(32, 'h'));
  EXPECT_EQ(record.hosted_modules, (std::vector<std::wstring>{std::wstring(259, L'm'), L"short"}));
  EXPECT_EQ(record.hosted_module_hashes, std::vector<std::string>{std::string(32, 'z')});
  EXPECT_EQ(record.destination_host_name, L"host");
  EXPECT_EQ(record.protocol, 17);
  // What was read writes back as it reads.
  const std::vector<std::uint8_t> again = Serialized(record);
  ORVFlowObject copy;
  ASSERT_EQ(copy.Deserialize(again.data(), again.size()), kObSuccess);
  ExpectStoredFieldsEqual(copy, record);
}

TEST(ORVFlowObjectTest, CutsLongFieldsOnWrite) {
  ORVFlowObject record;
  record.source_address = std::string(100, '9');
  record.process_name = std::wstring(258, L'p') + L"\U0001F600";
  record.destination_host_name = std::wstring(1000, L'h');
  record.process_hash = std::string(64, 'x');
  record.hosted_modules.resize(ORVFlowObject::kMaxHostedModules + 1);
  record.hosted_module_hashes = {std::string(40, 'y')};
  const std::vector<std::uint8_t> bytes = Serialized(record);
  const std::size_t modules_bytes = 2 * ORVFlowObject::kMaxHostedModules;
  // 84 for an empty record, then the cut texts and the capped module list.
  EXPECT_EQ(bytes.size(), 84 + 59 + 2 * 258 + 2 * 259 + 32 + modules_bytes + 2 + 32);
  ORVFlowObject copy;
  ASSERT_EQ(copy.Deserialize(bytes.data(), bytes.size()), kObSuccess);
  EXPECT_EQ(copy.source_address, std::string(59, '9'));
  EXPECT_EQ(copy.process_name, std::wstring(258, L'p'));
  EXPECT_EQ(copy.destination_host_name, std::wstring(259, L'h'));
  EXPECT_EQ(copy.process_hash, std::string(32, 'x'));
  EXPECT_EQ(copy.hosted_modules.size(), ORVFlowObject::kMaxHostedModules);
  EXPECT_EQ(copy.hosted_module_hashes, std::vector<std::string>{std::string(32, 'y')});
  EXPECT_EQ(Serialized(copy), bytes);
}

TEST(ORVFlowObjectTest, ReadsOldFormat) {
  ORVFlowObject record;
  const std::vector<std::uint8_t> old = OldRecord("2001:db8::1", u"caf\u00e9\U0001F600");
  ASSERT_EQ(record.Deserialize(old.data(), old.size()), kObSuccess);
  ExpectStoredFieldsEqual(record, FilledRecord());
  const std::vector<std::uint8_t> long_texts =
      OldRecord(std::string(70, '1'), std::u16string(300, u'q'));
  ASSERT_EQ(record.Deserialize(long_texts.data(), long_texts.size()), kObSuccess);
  EXPECT_EQ(record.source_address, std::string(59, '1'));
  EXPECT_EQ(record.process_name, std::wstring(259, L'q'));
  EXPECT_EQ(record.destination_host_name, L"b\u00fccher.example");
  // Every cut of the record lacks a terminator, a fixed field or a list entry.
  LogCapture log;
  for (std::size_t length = 4; length < old.size(); ++length) {
    ASSERT_EQ(record.Deserialize(old.data(), length), kObBadArgument) << length;
  }
  EXPECT_TRUE(log.Has(LOG_ERROR, kDeserialize, "Object deserialization failed"));
}

TEST(ORVFlowObjectTest, GivesFieldTexts) {
  ORVFlowObject r = FilledRecord();
  r.process_hash.assign("\x00\xFF", 2);
  struct Case {
    std::uint32_t field_id;
    std::wstring text;
    bool pattern;
  };
  const std::vector<Case> cases = {
      {kFieldProtocol, L"6", false},
      {kFieldSourcePort, L"50000", false},
      {kFieldSourceIpv4Address, L"2001:db8::1", false},
      {kFieldSourceIpv6Address, L"2001:db8::1", false},
      {kFieldDestinationPort, L"443", false},
      {kFieldDestinationIpv4Address, L"2001:db8::2", false},
      {kFieldDestinationIpv6Address, L"2001:db8::2", false},
      {kFieldLoggedInUserName, L"host\\alice", true},
      {kFieldProcessUserName, L"host\\bob", true},
      {kFieldParentProcessUserName, L"host\\root", true},
      {kFieldProcessName, L"caf\u00e9\U0001F600", true},
      {kFieldParentProcessName, L"bash", true},
      {kFieldDnsSuffix, L"corp.example", true},
      {kFieldDestinationHostName, L"b\u00fccher.example", true},
      {kFieldProcessHash, std::wstring{L'\0', L'\xFF'}, false},
      {kFieldParentProcessHash,
       std::wstring(r.parent_process_hash.begin(), r.parent_process_hash.end()), false},
      {kFieldLoggedInUserAccountType, L"1", false},
      {kFieldProcessUserAccountType, L"2", false},
      {kFieldParentProcessUserAccountType, L"32768", false},
      {kFieldBytesIn, L"", false},
      {kFieldHostedModules, L"", false},
      {1, L"", false},
  };
  for (const Case& c : cases) {
    bool pattern = !c.pattern;
    EXPECT_EQ(r.GetFieldText(c.field_id, &pattern), c.text) << c.field_id;
    EXPECT_EQ(pattern, c.pattern) << c.field_id;
  }
  EXPECT_EQ(r.GetFieldText(kFieldProtocol, nullptr), L"6");
}

TEST(ORVFlowObjectTest, FormsOneLogLine) {
  ORVFlowObject r;
  r.flow_id = 9;
  r.process_id = 7;
  r.parent_process_id = 1;
  r.source_address = "10.0.0.1";
  r.source_port = 5000;
  r.destination_address = "10.0.0.2";
  r.destination_port = 443;
  r.protocol = 6;
  r.flow_start = 100;
  r.flow_end = 200;
  r.bytes_in = 1;
  r.bytes_out = 2;
  r.process_name = L"caf\u00e9";
  r.process_path = L"/usr/bin/caf\u00e9";
  r.process_hash = "\x01\xAB";
  r.process_user_name = L"host\\alice";
  r.process_user_account_type = 1;
  r.parent_process_name = L"bash";
  r.parent_process_path = L"/bin/bash";
  r.logged_in_user_name = L"host\\alice";
  r.logged_in_user_account_type = 1;
  r.parent_process_user_name = L"host\\root";
  r.parent_process_user_account_type = 0x8000;
  r.dns_suffix = L"corp.example";
  r.destination_host_name = L"evil.example\nERROR forged";
  EXPECT_EQ(r.ToString(),
            "FlowId: 9 Pid: 7 PPid: 1 Network : [10.0.0.1:5000] --> [10.0.0.2:443] Protocol: TCP "
            "Flow Start second: 100 Flow End second: 200 L4 Byte count In: 1 L4 Byte count Out: 2 "
            "Process Name: caf\xc3\xa9 Process Path: /usr/bin/caf\xc3\xa9 Process hash: 01ab "
            "Process Username: host\\alice Parent process Name: bash Parent process Path: "
            "/bin/bash Parent process hash:  Logged in username: host\\alice Logged in user "
            "account type: 1 Process username : host\\alice Process user account type: 1 Parent "
            "process username: host\\root Parent process user account type: 32768 DNS suffix: "
            "corp.example Destination hostname: evil.example?ERROR forged");
  r.protocol = 17;
  EXPECT_NE(r.ToString().find(" Protocol: UDP "), std::string::npos);
  EXPECT_EQ(r.GetObjectType(), kObjectTypeFlow);
}

TEST(ORVFlowObjectTest, HandsOutUniqueFlowIdsFromOne) {
  EXPECT_EQ(ORVFlowObject::NextFlowId(), 1U);
  EXPECT_EQ(ORVFlowObject::NextFlowId(), 2U);
  constexpr int kThreads = 4;
  constexpr int kPerThread = 1000;
  std::vector<std::vector<std::uint32_t>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&ids, t] {
      for (int i = 0; i < kPerThread; ++i) {
        ids[t].push_back(ORVFlowObject::NextFlowId());
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  std::set<std::uint32_t> unique;
  for (const auto& list : ids) {
    unique.insert(list.begin(), list.end());
  }
  EXPECT_EQ(unique.size(), static_cast<std::size_t>(kThreads * kPerThread));
  EXPECT_EQ(*unique.begin(), 3U);
}

}  // namespace
