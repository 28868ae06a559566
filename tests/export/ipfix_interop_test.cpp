// Feeds the agent's messages (hand-built, and built by the converter), written as an IPFIX file
// (messages back to back), to libfixbuf's ipfixDump with the shipped element file, and checks that
// every record decodes, under the shipped names, with the values sent and as this project's own
// decoder reads them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/ip/address_v6.hpp>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "export/ipfix_converter.h"
#include "export/ipfix_decoder.h"
#include "ipfix_test_messages.h"
#include "ipfix_test_support.h"
#include "support/temp_dir.h"

namespace {

const std::filesystem::path kElementFile =
    std::filesystem::path(__FILE__).parent_path() / "../../packaging/ipfix/orv-elements.xml";

std::string IpfixDumpPath() {
  for (const char* candidate : {"/usr/bin/ipfixDump", "/usr/local/bin/ipfixDump"}) {
    if (::access(candidate, X_OK) == 0) {
      return candidate;
    }
  }
  return "";
}

// Runs ipfixDump on the file; its standard output and error, and its exit status.
std::string RunIpfixDump(const std::string& tool, const std::filesystem::path& file, int* status) {
  const std::string command = tool + " --hexdump --element-file '" + kElementFile.string() +
                              "' --in '" + file.string() + "' 2>&1";
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return output;
  }
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
    output.append(buffer, got);
  }
  *status = ::pclose(pipe);
  return output;
}

std::string HexOf(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : bytes) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 0x0F];
  }
  return hex;
}

std::filesystem::path WriteMessages(const std::filesystem::path& directory,
                                    const std::vector<std::vector<std::uint8_t>>& messages) {
  const std::filesystem::path file = directory / "agent.ipfix";
  std::ofstream out(file, std::ios::binary);
  for (const auto& message : messages) {
    out.write(reinterpret_cast<const char*>(message.data()),
              static_cast<std::streamsize>(message.size()));
  }
  return file;
}

// One data record as ipfixDump prints it: template ID and "name : value" lines, with the items
// of a basicList following their field as their own lines.
struct DumpedRecord {
  int template_id = 0;
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<std::vector<std::string>> lists;  // items of each basicList field, in order
};

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  const auto last = text.find_last_not_of(" \t");
  return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

std::vector<DumpedRecord> ParseDump(const std::string& output) {
  std::vector<DumpedRecord> records;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("--- data record")) {
      records.emplace_back();
    } else if (records.empty() || line.starts_with("***") || line.starts_with("---")) {
      continue;
    } else if (const auto tid = line.find("tid:"); tid != std::string::npos) {
      records.back().template_id = std::stoi(line.substr(tid + 4));
    } else if (line.starts_with("\t(")) {
      const auto colon = line.find(" : ");
      const auto close = line.find(')');
      if (colon != std::string::npos && close < colon) {
        records.back().fields.emplace_back(Trim(line.substr(close + 1, colon - close - 1)),
                                           Trim(line.substr(colon + 3)));
      }
    } else if (line.find("+++ basicList +++") != std::string::npos) {
      records.back().lists.emplace_back();
    } else if (line.starts_with("\t\t\t") && line.find(" : ") != std::string::npos &&
               !records.back().lists.empty()) {
      records.back().lists.back().push_back(Trim(line.substr(line.find(" : ") + 3)));
    }
  }
  return records;
}

// The value as ipfixDump prints it.
std::string DumpText(const IpfixValue& value) {
  switch (value.type) {
    case IpfixValueType::kUnsigned:
      return std::to_string(value.number);
    case IpfixValueType::kDateTimeSeconds: {
      const auto seconds = static_cast<std::time_t>(value.number);
      std::tm parts{};
      char text[32];
      ::gmtime_r(&seconds, &parts);
      std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &parts);
      return text;
    }
    case IpfixValueType::kIPv4Address:
    case IpfixValueType::kIPv6Address:
      return value.text;
    case IpfixValueType::kString:
      return "(len: " + std::to_string(value.text.size()) + ") " + value.text;
    case IpfixValueType::kBasicList:
      return "";
    default:
      return "(len: " + std::to_string(value.text.size() / 2) + ") 0x" + value.text;
  }
}

// ipfixDump writes IPv6 addresses with leading zeros ("2001:0db8::0001").
std::string Canonical(const IpfixValue& value, const std::string& dumped) {
  if (value.type != IpfixValueType::kIPv6Address) {
    return dumped;
  }
  boost::system::error_code error;
  const auto address = boost::asio::ip::make_address_v6(dumped, error);
  return error ? dumped : address.to_string();
}

// Checks the agent's stream through ipfixDump against this project's own decoder, field by
// field: two decoders written apart must agree on every value.
// With in_sequence, also that ipfixDump finds every sequence number where RFC 7011 puts it (the
// count of data records before the message), which only the agent's own numbering gives.
void ExpectIpfixDumpAgrees(const std::vector<std::vector<std::uint8_t>>& messages,
                           std::size_t expected_records, bool in_sequence = false) {
  const std::string tool = IpfixDumpPath();
  orv::test::TempDir directory;
  int status = 0;
  const std::string output = RunIpfixDump(tool, WriteMessages(directory.path(), messages), &status);
  ASSERT_EQ(status, 0) << output;
  if (in_sequence) {
    EXPECT_EQ(output.find("out of sequence"), std::string::npos) << output;
  }
  const std::vector<DumpedRecord> dumped = ParseDump(output);

  IpfixDecoder decoder;
  std::vector<IpfixRecord> ours;
  for (const auto& bytes : messages) {
    IpfixMessage message;
    ASSERT_EQ(decoder.Decode(bytes, "agent", &message), kObSuccess);
    EXPECT_TRUE(message.problems.empty());
    ours.insert(ours.end(), message.records.begin(), message.records.end());
  }
  ASSERT_EQ(ours.size(), expected_records);
  ASSERT_EQ(dumped.size(), ours.size()) << output;
  for (std::size_t r = 0; r < ours.size(); ++r) {
    SCOPED_TRACE("record " + std::to_string(r));
    EXPECT_EQ(dumped[r].template_id, ours[r].template_id);
    ASSERT_EQ(dumped[r].fields.size(), ours[r].fields.size());
    std::size_t list = 0;
    for (std::size_t f = 0; f < ours[r].fields.size(); ++f) {
      const IpfixField& field = ours[r].fields[f];
      SCOPED_TRACE(field.name);
      EXPECT_EQ(dumped[r].fields[f].first, field.name);
      if (field.value.type != IpfixValueType::kBasicList) {
        EXPECT_EQ(Canonical(field.value, dumped[r].fields[f].second), Trim(DumpText(field.value)));
        continue;
      }
      ASSERT_LT(list, dumped[r].lists.size());
      const std::vector<std::string>& items = dumped[r].lists[list++];
      ASSERT_EQ(items.size(), field.value.items.size());
      for (std::size_t i = 0; i < items.size(); ++i) {
        const IpfixValue& item = field.value.items[i];
        // Undeclared in the element file, element 12350 reaches ipfixDump as octets.
        const std::string expected =
            item.type == IpfixValueType::kString && field.value.item_name == "orvListEntry"
                ? DumpText(IpfixValue{IpfixValueType::kOctets, 0, HexOf(item.text), "", {}})
                : DumpText(item);
        EXPECT_EQ(items[i], Trim(expected));
      }
    }
  }
  const std::string stats = "File Stats: " + std::to_string(messages.size()) + " Messages, " +
                            std::to_string(expected_records) + " Data Records";
  EXPECT_NE(output.find(stats), std::string::npos) << output;
}

// Element 12350 is the item of two lists: 32-byte module hashes and variable-length interface
// details. libfixbuf 2.4 decodes every list item of an element with the length it first saw for
// it, so no single ipfixDump run can show both kinds of list. Each run below therefore carries
// 12350 in one length only; together they cover every record kind and every value.
TEST(IpfixInteropTest, IpfixDumpDecodesEveryAgentRecordWithTheValuesSent) {
  if (IpfixDumpPath().empty()) {
    GTEST_SKIP() << "ipfixDump (Debian package libfixbuf-tools) is not installed";
  }
  {
    SCOPED_TRACE("templates, identity, interface, flows with modules (hash lists empty)");
    ExpectIpfixDumpAgrees(
        {orv::test::AgentTemplateMessage(1), orv::test::AgentIdentityMessage(2),
         orv::test::AgentInterfaceMessage(3), orv::test::AgentFlowMessage(4, false)},
        5);
  }
  {
    SCOPED_TRACE("templates, flows with modules and their hashes");
    ExpectIpfixDumpAgrees({orv::test::AgentTemplateMessage(1), orv::test::AgentFlowMessage(2)}, 3);
  }
  // A few values spelled out, so agreement cannot come from both decoders failing alike.
  orv::test::TempDir directory;
  int status = 0;
  const std::string output = RunIpfixDump(
      IpfixDumpPath(),
      WriteMessages(directory.path(),
                    {orv::test::AgentTemplateMessage(1), orv::test::AgentIdentityMessage(2),
                     orv::test::AgentInterfaceMessage(3), orv::test::AgentFlowMessage(4, false)}),
      &status);
  for (const char* expected :
       {"virtualStationName : (len: 6) host-1", "orvInterfaceName : (len: 5) wlan0",
        "destinationIPv4Address : 192.168.1.2", "orvL4OctetCountIn : 4294967298",
        "(len: 9) mod-a.jar", "orvManufacturer : (len: 11) ACME \"Labs\"",
        "(len: 11) 0x535349443d4f6666696365"}) {
    EXPECT_NE(output.find(expected), std::string::npos) << expected;
  }
}

// The agent's own order (interfaces announced before flows with hashed modules) in one stream.
TEST(IpfixInteropTest, IpfixDumpDecodesMixedListLengthsInOneStream) {
  if (IpfixDumpPath().empty()) {
    GTEST_SKIP() << "ipfixDump (Debian package libfixbuf-tools) is not installed";
  }
  const std::vector<std::vector<std::uint8_t>> messages = {
      orv::test::AgentTemplateMessage(1), orv::test::AgentIdentityMessage(2),
      orv::test::AgentInterfaceMessage(3), orv::test::AgentFlowMessage(4)};
  orv::test::TempDir directory;
  int status = 0;
  (void)RunIpfixDump(IpfixDumpPath(), WriteMessages(directory.path(), messages), &status);
  if (status != 0) {
    GTEST_SKIP() << "this ipfixDump cannot decode element 12350 in lists of two lengths (its "
                    "basicList reader keeps the first length seen; exit status "
                 << status << ")";
  }
  ExpectIpfixDumpAgrees(messages, 5);
}

// The same checks on messages built by the agent's converter from flow, interface and identity
// records, so the encoder is checked by two decoders it was not written with.
class ConverterStream {
 public:
  ConverterStream() : converter_(device_.device(), [] { return DataCollectionPolicy{}; }) {}

  std::vector<std::uint8_t> Templates() {
    return Built([&](std::uint8_t* buffer, std::size_t capacity, std::size_t& written) {
      return converter_.GetTemplatesStream(buffer, capacity, written);
    });
  }
  std::vector<std::uint8_t> Identity() {
    return Built([&](std::uint8_t* buffer, std::size_t capacity, std::size_t& written) {
      return converter_.GetEndpointIdentityStream(buffer, capacity, written);
    });
  }
  std::vector<std::uint8_t> Interface() {
    InterfaceInfo wlan;
    wlan.uid = 7;
    wlan.index = 3;
    wlan.type_code = 2;
    wlan.name = L"wlan0 \u00e9";
    wlan.hardware_address = "02:00:00:aa:bb:cc";
    wlan.detail_list = {L"SSID=Office", L"State=Connected"};
    return Built([&](std::uint8_t* buffer, std::size_t capacity, std::size_t& written) {
      return converter_.GetInterfaceInfoStream(buffer, capacity, written, wlan);
    });
  }
  // One IPv4 and one IPv6 flow; the IPv6 one runs two hosted modules, hashed when with_hashes.
  std::vector<std::uint8_t> Flows(bool with_hashes) {
    FlowRecordQueue queue(10);
    for (const bool v6 : {false, true}) {
      auto flow = std::make_shared<ORVFlowObject>();
      flow->address_family = v6 ? 1 : 0;  // the converter sorts 1 into its IPv6 queue
      flow->protocol = v6 ? 17 : 6;
      flow->source_address = v6 ? "2001:db8::1" : "10.0.0.1";
      flow->destination_address = v6 ? "2001:db8::2" : "192.168.1.2";
      flow->source_port = 50000;
      flow->destination_port = 443;
      flow->flow_start = 1'700'000'100;
      flow->flow_end = 1'700'000'200;
      flow->bytes_in = 0x100000002ULL;
      flow->bytes_out = 1234;
      flow->process_name = L"curl";
      flow->process_hash = std::string(32, '\x11');
      flow->process_user_name = L"HOST\\alice";
      flow->destination_host_name = L"www.example.com";
      flow->interface_uid = 7;
      if (v6) {
        flow->hosted_modules = {L"mod-a.jar", L"mod-b.py"};
        if (with_hashes) {
          flow->hosted_module_hashes = {std::string(32, 'A'), std::string(32, 'B')};
        }
      }
      EXPECT_EQ(queue.Push(flow), kObSuccess);
    }
    return Built([&](std::uint8_t* buffer, std::size_t capacity, std::size_t& written) {
      return converter_.GetMultipleFlowObjectsStream(buffer, 1200, capacity, queue, 5, written);
    });
  }

 private:
  template <typename Build>
  std::vector<std::uint8_t> Built(const Build& build) {
    std::vector<std::uint8_t> buffer(5000);
    std::size_t written = 0;
    EXPECT_EQ(build(buffer.data(), buffer.size(), written), kObSuccess);
    buffer.resize(written);
    return buffer;
  }

  orv::test::FixtureDevice device_;
  CIPFIXConverter converter_;
};

TEST(IpfixInteropTest, ConverterMessagesDecodeWithTheValuesSent) {
  ConverterStream stream;
  const std::vector<std::vector<std::uint8_t>> messages = {stream.Templates(), stream.Identity(),
                                                           stream.Interface(), stream.Flows(true)};
  IpfixDecoder decoder;
  std::vector<IpfixRecord> records;
  for (const auto& bytes : messages) {
    IpfixMessage message;
    ASSERT_EQ(decoder.Decode(bytes, "agent", &message), kObSuccess);
    EXPECT_TRUE(message.problems.empty()) << message.problems.front().reason;
    records.insert(records.end(), message.records.begin(), message.records.end());
  }
  ASSERT_EQ(records.size(), 4u);
  auto value = [](const IpfixRecord& record, const std::string& name) {
    for (const IpfixField& field : record.fields) {
      if (field.name == name) return field.value;
    }
    ADD_FAILURE() << "no " << name;
    return IpfixValue{};
  };
  EXPECT_EQ(records[0].template_id, 262);
  EXPECT_EQ(value(records[0], "orvManufacturer").text, "Acme");
  EXPECT_EQ(value(records[0], "orvEndpointUdid").text.size(), 40u);
  EXPECT_EQ(records[1].template_id, 266);
  EXPECT_EQ(value(records[1], "orvInterfaceName").text, "wlan0 \u00e9");
  EXPECT_EQ(value(records[1], "orvInterfaceDetails").items.size(), 2u);
  EXPECT_EQ(value(records[1], "orvInterfaceMacAddress").text, "02:00:00:aa:bb:cc");
  for (const IpfixRecord& flow : {records[2], records[3]}) {
    const bool v6 = flow.template_id == 268;
    EXPECT_EQ(value(flow, v6 ? "sourceIPv6Address" : "sourceIPv4Address").text,
              v6 ? "2001:db8::1" : "10.0.0.1");
    EXPECT_EQ(value(flow, "protocolIdentifier").number, v6 ? 17u : 6u);
    EXPECT_EQ(value(flow, "flowEndSeconds").number, 1'700'000'200u);
    EXPECT_EQ(value(flow, "orvL4OctetCountIn").number, 0x100000002ULL);
    EXPECT_EQ(value(flow, "orvProcessHash").text, std::string(64, '1'));
    EXPECT_EQ(value(flow, "orvProcessUserName").text, "HOST\\alice");
    EXPECT_EQ(value(flow, "orvInterfaceUid").number, 7u);
    EXPECT_EQ(value(flow, "orvHostedModules").items.size(), v6 ? 2u : 0u);
    EXPECT_EQ(value(flow, "orvHostedModuleHashes").items.size(), v6 ? 2u : 0u);
  }

  if (IpfixDumpPath().empty()) {
    GTEST_SKIP() << "ipfixDump (Debian package libfixbuf-tools) is not installed";
  }
  {
    SCOPED_TRACE("converter: templates, identity, interface, flows (hash lists empty)");
    ConverterStream fresh;
    ExpectIpfixDumpAgrees(
        {fresh.Templates(), fresh.Identity(), fresh.Interface(), fresh.Flows(false)}, 4, true);
  }
  {
    SCOPED_TRACE("converter: templates, flows with hashed modules");
    ConverterStream fresh;
    ExpectIpfixDumpAgrees({fresh.Templates(), fresh.Flows(true), fresh.Flows(true)}, 4, true);
  }
}

}  // namespace
