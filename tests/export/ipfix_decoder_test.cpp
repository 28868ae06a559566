#include "export/ipfix_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "export/ipfix_decoder_format.h"
#include "export/ipfix_test_support.h"

namespace {

using orv::test::Bytes;
using orv::test::Wire;

constexpr char kSession[] = "127.0.0.1:25001";

IpfixMessage DecodeOk(IpfixDecoder& decoder, const Bytes& bytes,
                      const std::string& session = kSession) {
  IpfixMessage message;
  EXPECT_EQ(decoder.Decode(bytes, session, &message), kObSuccess);
  return message;
}

// A field's value as text: numbers in decimal, list items joined with commas.
std::string Shown(const IpfixRecord& record, const std::string& name) {
  for (const IpfixField& field : record.fields) {
    if (field.name != name) continue;
    if (field.value.type == IpfixValueType::kBasicList) {
      std::string items = field.value.item_name + ":";
      for (const IpfixValue& item : field.value.items) items += item.text + ",";
      return items;
    }
    return field.value.text.empty() ? std::to_string(field.value.number) : field.value.text;
  }
  return "no field " + name;
}

bool HasProblem(const IpfixMessage& message, const std::string& text) {
  for (const IpfixProblem& problem : message.problems)
    if (problem.reason.find(text) != std::string::npos) return true;
  return false;
}

TEST(IpfixDecoderTest, DecodesEveryAgentRecordWithNamedElementsAndFormatsThem) {
  orv::test::AgentStream stream;
  IpfixDecoder decoder;
  EXPECT_EQ(DecodeOk(decoder, stream.Templates()).templates_learned, 4u);
  std::vector<IpfixRecord> records;
  IpfixMessage message;
  for (const Bytes& bytes : {stream.Identity(), stream.Interface(), stream.Flows()}) {
    message = DecodeOk(decoder, bytes);
    EXPECT_TRUE(message.problems.empty());
    EXPECT_EQ(message.domain, 127u);
    records.insert(records.end(), message.records.begin(), message.records.end());
  }
  ASSERT_EQ(records.size(), 4u);
  const std::vector<std::tuple<std::size_t, std::string, std::string>> expected = {
      {0, "orvEndpointUdid", orv::test::FixtureDevice::kUdid},
      {0, "orvManufacturer", "Acme"},
      {1, "orvInterfaceUid", "7"},
      {1, "orvInterfaceName", "wlan0 \xC3\xA9"},
      {1, "orvInterfaceDetails", "orvListEntry:SSID=Office,State=Connected,"},
      {2, "sourceIPv4Address", "10.0.0.1"},
      {2, "flowStartSeconds", "1700000100"},
      {2, "orvProcessHash", std::string(64, '1')},
      {2, "orvL4OctetCountIn", "4294967298"},
      {2, "orvDestinationHostName", std::string(300, 'h')},
      {2, "orvHostedModules", "orvHostedModuleName:"},
      {3, "sourceIPv6Address", "2001:db8::1"},
      {3, "orvHostedModules", "orvHostedModuleName:mod-a.jar,mod-b.py,"},
      {3, "orvHostedModuleHashes",
       "orvListEntry:" + std::string(64, '2') + "," + std::string(64, '3') + ","},
  };
  for (const auto& [record, name, value] : expected) EXPECT_EQ(Shown(records[record], name), value);
  EXPECT_EQ(records[2].fields.size(), 25u);

  const std::string json = FormatIpfixRecordJson(kSession, message, records[3]);
  EXPECT_EQ(json.find('\n'), std::string::npos);
  EXPECT_EQ(json.rfind(R"({"exporter":"127.0.0.1:25001","domain":127,"sequence":)", 0), 0u);
  EXPECT_NE(json.find(R"("templateId":268,"fields":{"protocolIdentifier":17,)"), std::string::npos);
  EXPECT_NE(json.find(R"("orvHostedModules":["mod-a.jar","mod-b.py"])"), std::string::npos);
  const std::string table = FormatIpfixRecordTable(kSession, message, records[3]);
  EXPECT_NE(table.find("template 268\n"), std::string::npos);
  EXPECT_NE(table.find("orvHostedModules<orvHostedModuleName> [\"mod-a.jar\", \"mod-b.py\"]"),
            std::string::npos);
}

// A template 300 of protocolIdentifier, sourceTransportPort and virtualStationName.
Bytes SmallTemplate(std::uint32_t domain = 127) {
  Wire m = Wire::Message(1, domain);
  m.BeginSet(2).U16(300).U16(3).Field(4, 1).Field(7, 2).Field(350, orv::test::kVar);
  return m.EndSet().Finish();
}

Bytes SmallRecord(std::uint32_t domain) {
  Wire m = Wire::Message(2, domain);
  return m.BeginSet(300).U8(17).U16(53).Text("x").EndSet().Finish();
}

TEST(IpfixDecoderTest,
     KnowsTemplatesPerSessionAndDomainUntilWithdrawnAndReportsShortRecordsAndLists) {
  IpfixDecoder decoder;
  EXPECT_TRUE(
      HasProblem(DecodeOk(decoder, SmallRecord(127)), "unknown template 300 of domain 127"));
  (void)DecodeOk(decoder, SmallTemplate(127));
  EXPECT_TRUE(
      HasProblem(DecodeOk(decoder, SmallRecord(128)), "unknown template 300 of domain 128"));
  EXPECT_EQ(DecodeOk(decoder, SmallRecord(127)).records.size(), 1u);
  EXPECT_TRUE(HasProblem(DecodeOk(decoder, SmallRecord(127), "10.9.9.9:1"), "unknown template"));

  // A short record is reported, the complete ones before it kept; padding after the last is not
  // a record.
  Wire m = Wire::Message(2);
  m.BeginSet(300).U8(6).U16(80).Text("first").U8(17).U16(53).U8(10).Raw("ab");
  const IpfixMessage cut = DecodeOk(decoder, m.EndSet().Finish());
  ASSERT_EQ(cut.records.size(), 1u);
  EXPECT_EQ(Shown(cut.records[0], "virtualStationName"), "first");
  ASSERT_EQ(cut.problems.size(), 1u);
  EXPECT_EQ(cut.problems[0].set_id, 300);
  EXPECT_TRUE(HasProblem(
      cut, "short record 1 of template 300 of domain 127: field 3 (virtualStationName)"));
  Wire padded = Wire::Message(3);
  const IpfixMessage tail =
      DecodeOk(decoder, padded.BeginSet(300).U8(6).U16(80).Text("").Fill(0, 3).EndSet().Finish());
  EXPECT_EQ(tail.records.size(), 1u);
  EXPECT_TRUE(tail.problems.empty());

  // Control characters and bad UTF-8 from the wire never reach the output raw.
  Wire hostile = Wire::Message(4);
  hostile.BeginSet(300).U8(1).U16(2).Text(std::string("a\n\x1b[2J\xff\"", 8));
  const IpfixMessage odd = DecodeOk(decoder, hostile.EndSet().Finish());
  ASSERT_EQ(odd.records.size(), 1u);
  EXPECT_NE(FormatIpfixRecordJson(kSession, odd, odd.records[0])
                .find(R"("virtualStationName":"a\u000a\u001b[2J)"
                      "\xEF\xBF\xBD"
                      R"(\"")"),
            std::string::npos);
  EXPECT_EQ(FormatIpfixProblemJson(kSession, odd, {127, 300, "short record 0 \"x\""}),
            R"({"exporter":"127.0.0.1:25001","domain":127,"sequence":4,"exportTime":1700000000,)"
            R"("setId":300,"problem":"short record 0 \"x\""})");

  // A template record without fields withdraws the template.
  Wire withdraw = Wire::Message(5);
  EXPECT_EQ(
      DecodeOk(decoder, withdraw.BeginSet(2).U16(300).U16(0).EndSet().Finish()).templates_learned,
      1u);
  EXPECT_TRUE(HasProblem(DecodeOk(decoder, SmallRecord(127)), "unknown template 300"));

  // An interface record whose details list claims a 32-byte item but carries 3 bytes.
  (void)DecodeOk(decoder, orv::test::AgentTemplateMessage(6));
  Wire list = Wire::Message(7);
  list.BeginSet(266).Fill(0xAB, 20).U32(1).U32(1).U8(1).Text("eth0");
  list.U8(12).U8(3).U16(0xB03E).U16(32).U32(9).Raw(Bytes{1, 2, 3}).Text("");
  const IpfixMessage bad_list = DecodeOk(decoder, list.EndSet().Finish());
  ASSERT_EQ(bad_list.records.size(), 1u);
  EXPECT_TRUE(HasProblem(bad_list, "malformed basicList in orvInterfaceDetails"));
  EXPECT_EQ(Shown(bad_list.records[0], "orvInterfaceDetails"), "03b03e002000000009010203");
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
    IpfixDecoder decoder;
    IpfixMessage message;
    EXPECT_EQ(decoder.Decode(bytes, kSession, &message), status) << problem;
    EXPECT_TRUE(HasProblem(message, problem)) << problem;
    EXPECT_TRUE(message.records.empty()) << problem;
  }
}

}  // namespace
