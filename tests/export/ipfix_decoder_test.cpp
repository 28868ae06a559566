#include "export/ipfix_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "export/ipfix_decoder_format.h"
#include "ipfix_test_messages.h"

namespace {

using orv::test::IpfixMessageBuilder;

constexpr char kSession[] = "127.0.0.1:25001";

std::string Times(const std::string& text, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    out += text;
  }
  return out;
}

IpfixMessage DecodeOk(IpfixDecoder& decoder, const std::vector<std::uint8_t>& bytes,
                      const std::string& session = kSession) {
  IpfixMessage message;
  EXPECT_EQ(decoder.Decode(bytes, session, &message), kObSuccess);
  return message;
}

const IpfixValue& ValueOf(const IpfixRecord& record, const std::string& name) {
  for (const IpfixField& field : record.fields) {
    if (field.name == name) {
      return field.value;
    }
  }
  static const IpfixValue kMissing;
  ADD_FAILURE() << "no field " << name;
  return kMissing;
}

bool HasProblem(const IpfixMessage& message, const std::string& text) {
  for (const IpfixProblem& problem : message.problems) {
    if (problem.reason.find(text) != std::string::npos) {
      return true;
    }
  }
  return false;
}

TEST(IpfixDecoderTest, DecodesEveryAgentRecordWithNamedElements) {
  IpfixDecoder decoder;
  const IpfixMessage templates = DecodeOk(decoder, orv::test::AgentTemplateMessage(1));
  EXPECT_EQ(templates.templates_learned, 4u);
  EXPECT_TRUE(templates.problems.empty());
  EXPECT_EQ(decoder.TemplateCount(), 4u);

  const IpfixMessage identity = DecodeOk(decoder, orv::test::AgentIdentityMessage(2));
  ASSERT_EQ(identity.records.size(), 1u);
  EXPECT_EQ(identity.sequence, 2u);
  EXPECT_EQ(identity.domain, 127u);
  const IpfixRecord& host = identity.records[0];
  EXPECT_EQ(host.template_id, 262);
  EXPECT_EQ(ValueOf(host, "virtualStationName").text, "host-1");
  EXPECT_EQ(ValueOf(host, "orvEndpointUdid").text, Times("ab", 20));
  EXPECT_EQ(ValueOf(host, "orvOsName").text, "Debian GNU/Linux");
  EXPECT_EQ(ValueOf(host, "orvOsVersion").text, "12");
  EXPECT_EQ(ValueOf(host, "orvOsBuild").text, "6.1.0-18-amd64");
  EXPECT_EQ(ValueOf(host, "orvManufacturer").text, "ACME \"Labs\"");
  EXPECT_EQ(ValueOf(host, "orvSystemType").text, "x86_64");

  const IpfixMessage interface = DecodeOk(decoder, orv::test::AgentInterfaceMessage(3));
  ASSERT_EQ(interface.records.size(), 1u);
  const IpfixRecord& wlan = interface.records[0];
  EXPECT_EQ(ValueOf(wlan, "orvInterfaceUid").number, 7u);
  EXPECT_EQ(ValueOf(wlan, "orvInterfaceIndex").number, 3u);
  EXPECT_EQ(ValueOf(wlan, "orvInterfaceType").number, 2u);
  EXPECT_EQ(ValueOf(wlan, "orvInterfaceName").text, "wlan0");
  const IpfixValue& details = ValueOf(wlan, "orvInterfaceDetails");
  ASSERT_EQ(details.items.size(), 2u);
  EXPECT_EQ(details.item_name, "orvListEntry");
  EXPECT_EQ(details.items[0].text, "SSID=Office");
  EXPECT_EQ(details.items[1].text, "State=Connected");
  EXPECT_EQ(ValueOf(wlan, "orvInterfaceMacAddress").text, "02:00:00:aa:bb:cc");

  const IpfixMessage flows = DecodeOk(decoder, orv::test::AgentFlowMessage(4));
  EXPECT_TRUE(flows.problems.empty());
  ASSERT_EQ(flows.records.size(), 3u);
  const IpfixRecord& v4 = flows.records[0];
  EXPECT_EQ(v4.template_id, 267);
  EXPECT_EQ(v4.fields.size(), 25u);
  EXPECT_EQ(ValueOf(v4, "protocolIdentifier").number, 6u);
  EXPECT_EQ(ValueOf(v4, "sourceIPv4Address").text, "10.0.0.1");
  EXPECT_EQ(ValueOf(v4, "destinationIPv4Address").text, "192.168.1.2");
  EXPECT_EQ(ValueOf(v4, "sourceTransportPort").number, 50000u);
  EXPECT_EQ(ValueOf(v4, "destinationTransportPort").number, 443u);
  EXPECT_EQ(ValueOf(v4, "flowStartSeconds").number, 1'700'000'100u);
  EXPECT_EQ(ValueOf(v4, "orvProcessName").text, "curl");
  EXPECT_EQ(ValueOf(v4, "orvProcessHash").text, std::string(64, '1'));
  EXPECT_EQ(ValueOf(v4, "orvParentProcessHash").text, std::string(64, '0'));
  EXPECT_EQ(ValueOf(v4, "orvParentProcessUserName").text, "NT AUTHORITY\\SYSTEM");
  EXPECT_EQ(ValueOf(v4, "orvParentProcessUserAccountType").number, 4u);
  EXPECT_EQ(ValueOf(v4, "orvL4OctetCountIn").number, 0x0000000100000002ULL);
  EXPECT_EQ(ValueOf(v4, "orvL4OctetCountOut").number, 1234u);
  EXPECT_TRUE(ValueOf(v4, "orvHostedModules").items.empty());
  EXPECT_EQ(ValueOf(flows.records[1], "orvDestinationHostName").text,
            std::string(300, 'h') + ".invalid");
  const IpfixRecord& v6 = flows.records[2];
  EXPECT_EQ(v6.template_id, 268);
  EXPECT_EQ(ValueOf(v6, "sourceIPv6Address").text, "2001:db8::1");
  EXPECT_EQ(ValueOf(v6, "destinationIPv6Address").text, "2001:db8::2");
  const IpfixValue& modules = ValueOf(v6, "orvHostedModules");
  ASSERT_EQ(modules.items.size(), 2u);
  EXPECT_EQ(modules.item_name, "orvHostedModuleName");
  EXPECT_EQ(modules.items[1].text, "mod-b.py");
  const IpfixValue& hashes = ValueOf(v6, "orvHostedModuleHashes");
  ASSERT_EQ(hashes.items.size(), 2u);
  EXPECT_EQ(hashes.items[0].text, Times("41", 32));
  EXPECT_EQ(hashes.items[1].text, Times("42", 32));
}

// A template 300 of protocolIdentifier, sourceTransportPort and virtualStationName.
std::vector<std::uint8_t> SmallTemplate(std::uint32_t domain = 127) {
  IpfixMessageBuilder m(1, domain);
  m.BeginSet(2).U16(300).U16(3).Field(4, 1).Field(7, 2).Field(350, 0xFFFF);
  return m.EndSet().Finish();
}

TEST(IpfixDecoderTest, ReportsRecordsOfUnknownTemplatesPerSessionAndDomain) {
  IpfixDecoder decoder;
  const IpfixMessage before = DecodeOk(decoder, orv::test::AgentFlowMessage(1));
  EXPECT_TRUE(before.records.empty());
  ASSERT_EQ(before.problems.size(), 2u);
  EXPECT_TRUE(HasProblem(before, "unknown template 267 of domain 127"));
  EXPECT_TRUE(HasProblem(before, "unknown template 268 of domain 127"));

  (void)DecodeOk(decoder, SmallTemplate(127));
  IpfixMessageBuilder data(2, 128);
  data.BeginSet(300).U8(17).U16(53).Text("x").EndSet();
  EXPECT_TRUE(HasProblem(DecodeOk(decoder, data.Finish()), "unknown template 300 of domain 128"));
  IpfixMessageBuilder same(3, 127);
  same.BeginSet(300).U8(17).U16(53).Text("x").EndSet();
  const std::vector<std::uint8_t> bytes = same.Finish();
  EXPECT_EQ(DecodeOk(decoder, bytes).records.size(), 1u);
  EXPECT_TRUE(HasProblem(DecodeOk(decoder, bytes, "10.9.9.9:1"), "unknown template 300"));

  // A template record without fields withdraws the template.
  IpfixMessageBuilder withdraw(4, 127);
  withdraw.BeginSet(2).U16(300).U16(0).EndSet();
  EXPECT_EQ(DecodeOk(decoder, withdraw.Finish()).templates_learned, 1u);
  EXPECT_TRUE(HasProblem(DecodeOk(decoder, bytes), "unknown template 300"));
}

TEST(IpfixDecoderTest, ReportsShortRecordButKeepsCompleteOnesAndSkipsPadding) {
  IpfixDecoder decoder;
  (void)DecodeOk(decoder, SmallTemplate());
  IpfixMessageBuilder m(2);
  m.BeginSet(300).U8(6).U16(80).Text("first").U8(17).U16(53).U8(10).Raw({'a', 'b'}).EndSet();
  const IpfixMessage cut = DecodeOk(decoder, m.Finish());
  ASSERT_EQ(cut.records.size(), 1u);
  EXPECT_EQ(ValueOf(cut.records[0], "virtualStationName").text, "first");
  ASSERT_EQ(cut.problems.size(), 1u);
  EXPECT_EQ(cut.problems[0].set_id, 300);
  EXPECT_TRUE(HasProblem(cut,
                         "short record 1 of template 300 of domain 127: field 3 "
                         "(virtualStationName)"));

  IpfixMessageBuilder padded(3);
  padded.BeginSet(300).U8(6).U16(80).Text("").Repeat(0, 3).EndSet();
  const IpfixMessage tail = DecodeOk(decoder, padded.Finish());
  EXPECT_EQ(tail.records.size(), 1u);
  EXPECT_TRUE(tail.problems.empty());
}

TEST(IpfixDecoderTest, RejectsMalformedMessagesWithReasons) {
  struct Case {
    std::string name;
    std::vector<std::uint8_t> bytes;
    OB_STATUSCODE status;
    std::string problem;
  };
  auto header_only = [](std::uint16_t version, std::uint16_t length) {
    IpfixMessageBuilder m(1);
    std::vector<std::uint8_t> bytes = m.Finish();
    bytes[0] = static_cast<std::uint8_t>(version >> 8);
    bytes[1] = static_cast<std::uint8_t>(version);
    bytes[2] = static_cast<std::uint8_t>(length >> 8);
    bytes[3] = static_cast<std::uint8_t>(length);
    return bytes;
  };
  auto with_set = [](std::uint16_t id, std::uint16_t length, std::vector<std::uint8_t> body) {
    IpfixMessageBuilder m(1);
    m.U16(id).U16(length).Raw(body);
    return m.Finish();
  };
  const std::vector<Case> cases = {
      {"empty", {}, kObBadArgument, "shorter than a message header"},
      {"netflow v9", header_only(9, 16), kObBadArgument, "version 9 is not IPFIX"},
      {"length below header", header_only(10, 8), kObBadArgument, "shorter than its header"},
      {"length beyond datagram", header_only(10, 400), kObSuccess, "message length 400"},
      {"set past message", with_set(300, 40, {1, 2}), kObSuccess, "set length 40 does not fit"},
      {"set shorter than header", with_set(300, 2, {1, 2}), kObSuccess, "set length 2"},
      {"reserved set", with_set(7, 6, {1, 2}), kObSuccess, "reserved set ID 7"},
      {"template id below 256", with_set(2, 12, {0, 200, 0, 1, 0, 4, 0, 1}), kObSuccess,
       "template ID 200 is below 256"},
      {"truncated template", with_set(2, 12, {1, 44, 0, 3, 0, 4, 0, 1}), kObSuccess,
       "declares 3 fields but the set ends after 1"},
      {"truncated enterprise number", with_set(2, 12, {1, 44, 0, 1, 0xB0, 0x2C, 0, 20}), kObSuccess,
       "declares 1 fields but the set ends after 0"},
      {"zero-length field", with_set(2, 16, {1, 44, 0, 2, 0, 4, 0, 1, 0, 5, 0, 0}), kObSuccess,
       "zero-length field"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IpfixDecoder decoder;
    IpfixMessage message;
    EXPECT_EQ(decoder.Decode(c.bytes, kSession, &message), c.status);
    EXPECT_TRUE(HasProblem(message, c.problem));
    EXPECT_TRUE(message.records.empty());
  }
}

TEST(IpfixDecoderTest, ShowsMalformedListAsOctetsAndSurvivesEveryTruncation) {
  IpfixDecoder decoder;
  (void)DecodeOk(decoder, orv::test::AgentTemplateMessage(1));
  // Interface record whose details list claims a 32-byte item but carries 3 bytes.
  IpfixMessageBuilder m(2);
  m.BeginSet(266).Raw(orv::test::kUdid).U32(1).U32(1).U8(1).Text("eth0");
  m.U8(12).U8(3).U16(0xB03E).U16(32).U32(9).Raw({1, 2, 3}).Text("").EndSet();
  const IpfixMessage bad_list = DecodeOk(decoder, m.Finish());
  ASSERT_EQ(bad_list.records.size(), 1u);
  EXPECT_TRUE(HasProblem(bad_list, "malformed basicList in orvInterfaceDetails"));
  EXPECT_EQ(ValueOf(bad_list.records[0], "orvInterfaceDetails").text, "03b03e002000000009010203");

  // Every prefix of a real message, with the header length left as it was or made to match.
  const std::vector<std::uint8_t> full = orv::test::AgentFlowMessage(3);
  for (std::size_t size = 0; size < full.size(); ++size) {
    std::vector<std::uint8_t> prefix(full.begin(),
                                     full.begin() + static_cast<std::ptrdiff_t>(size));
    IpfixMessage message;
    (void)decoder.Decode(prefix, kSession, &message);
    EXPECT_FALSE(message.problems.empty()) << size;
    if (size >= 16) {
      prefix[2] = static_cast<std::uint8_t>(size >> 8);
      prefix[3] = static_cast<std::uint8_t>(size);
      (void)decoder.Decode(prefix, kSession, &message);
      EXPECT_LT(message.records.size(), 3u) << size;
    }
  }
}

TEST(IpfixDecoderTest, FormatsRecordsAsEscapedJsonAndTable) {
  IpfixDecoder decoder;
  (void)DecodeOk(decoder, orv::test::AgentTemplateMessage(1));
  const IpfixMessage identity = DecodeOk(decoder, orv::test::AgentIdentityMessage(2));
  ASSERT_EQ(identity.records.size(), 1u);
  const std::string json = FormatIpfixRecordJson(kSession, identity, identity.records[0]);
  EXPECT_EQ(json.find('\n'), std::string::npos);
  EXPECT_NE(json.find(R"("exporter":"127.0.0.1:25001","domain":127,"sequence":2,)"),
            std::string::npos);
  EXPECT_NE(json.find(R"("templateId":262,"fields":{"virtualStationName":"host-1",)"),
            std::string::npos);
  EXPECT_NE(json.find(R"("orvManufacturer":"ACME \"Labs\"")"), std::string::npos);
  const std::string table = FormatIpfixRecordTable(kSession, identity, identity.records[0]);
  EXPECT_NE(table.find("template 262\n"), std::string::npos);
  EXPECT_NE(table.find("  orvSystemType"), std::string::npos);

  const IpfixMessage flows = DecodeOk(decoder, orv::test::AgentFlowMessage(3));
  ASSERT_EQ(flows.records.size(), 3u);
  const std::string v6 = FormatIpfixRecordJson(kSession, flows, flows.records[2]);
  EXPECT_NE(v6.find(R"("orvHostedModules":["mod-a.jar","mod-b.py"])"), std::string::npos);
  EXPECT_NE(v6.find(R"("orvL4OctetCountIn":4294967298,)"), std::string::npos);
  EXPECT_NE(FormatIpfixRecordTable(kSession, flows, flows.records[2])
                .find("orvHostedModules<orvHostedModuleName> [\"mod-a.jar\", \"mod-b.py\"]"),
            std::string::npos);

  // Control characters and bad UTF-8 from the wire never reach the output raw.
  (void)DecodeOk(decoder, SmallTemplate());
  IpfixMessageBuilder hostile(4);
  hostile.BeginSet(300).U8(1).U16(2).Text(std::string("a\n\x1b[2J\xff\"", 8)).EndSet();
  const IpfixMessage odd = DecodeOk(decoder, hostile.Finish());
  ASSERT_EQ(odd.records.size(), 1u);
  EXPECT_NE(FormatIpfixRecordJson(kSession, odd, odd.records[0])
                .find(R"("virtualStationName":"a\u000a\u001b[2J)"
                      "\xEF\xBF\xBD"
                      R"(\"")"),
            std::string::npos);
  const IpfixProblem problem{127, 300, "short record 0 \"x\""};
  EXPECT_EQ(FormatIpfixProblemJson(kSession, odd, problem),
            R"({"exporter":"127.0.0.1:25001","domain":127,"sequence":4,"exportTime":1700000000,)"
            R"("setId":300,"problem":"short record 0 \"x\""})");
}

}  // namespace
