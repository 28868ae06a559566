// Feeds messages built by the agent's converter, written as an IPFIX file (messages back to
// back), to libfixbuf's ipfixDump with the shipped element file, and checks that every record
// decodes under the shipped names with the values this project's own decoder reads: two decoders
// written apart must agree on every field.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "export/ipfix_decoder.h"
#include "export/ipfix_test_support.h"
#include "support/temp_dir.h"

namespace {

using orv::test::Bytes;

constexpr char kIpfixDump[] = "/usr/bin/ipfixDump";

// ipfixDump's output (standard output and error) for the messages, and its exit status.
std::string RunIpfixDump(const std::vector<Bytes>& messages, int* status) {
  const orv::test::TempDir directory;
  const std::filesystem::path file = directory.path() / "agent.ipfix";
  std::ofstream out(file, std::ios::binary);
  for (const Bytes& message : messages) {
    out.write(reinterpret_cast<const char*>(message.data()),
              static_cast<std::streamsize>(message.size()));
  }
  out.close();
  const std::filesystem::path elements =
      std::filesystem::path(__FILE__).parent_path() / "../../packaging/ipfix/orv-elements.xml";
  const std::string command = std::string(kIpfixDump) + " --hexdump --element-file '" +
                              elements.string() + "' --in '" + file.string() + "' 2>&1";
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  char buffer[4096];
  for (std::size_t got;
       pipe != nullptr && (got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
    output.append(buffer, got);
  }
  *status = pipe == nullptr ? -1 : ::pclose(pipe);
  return output;
}

// A value as ipfixDump prints it. Element 12350 is not declared in the element file, so its list
// items (as_octets) reach ipfixDump as octets.
std::string DumpText(const IpfixValue& value, bool as_octets = false) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text = value.text;
  switch (value.type) {
    case IpfixValueType::kUnsigned:
      return std::to_string(value.number);
    case IpfixValueType::kDateTimeSeconds: {
      const auto seconds = static_cast<std::time_t>(value.number);
      std::tm parts{};
      char shown[32];
      std::strftime(shown, sizeof(shown), "%Y-%m-%d %H:%M:%S", ::gmtime_r(&seconds, &parts));
      return shown;
    }
    case IpfixValueType::kIPv4Address:
    case IpfixValueType::kBasicList:
      return text;
    case IpfixValueType::kIPv6Address: {  // groups of four digits: "2001:0db8::0001"
      std::string group;
      text.clear();
      for (const char c : value.text + ":") {
        if (c != ':') {
          group += c;
          continue;
        }
        text += (group.empty() ? "" : std::string(4 - group.size(), '0') + group) + ":";
        group.clear();
      }
      text.pop_back();
      return text;
    }
    case IpfixValueType::kString:
      if (!as_octets) return "(len: " + std::to_string(text.size()) + ") " + text;
      text.clear();
      for (const char c : value.text) {
        text += kDigits[static_cast<unsigned char>(c) >> 4];
        text += kDigits[static_cast<unsigned char>(c) & 0x0F];
      }
      [[fallthrough]];
    default:
      return "(len: " + std::to_string(text.size() / 2) + ") 0x" + text;
  }
}

// Checks that ipfixDump prints every field of every record, in order, as the project's decoder
// reads it, and that it finds each sequence number where RFC 7011 puts it (the count of data
// records before the message).
void ExpectIpfixDumpAgrees(const std::vector<Bytes>& messages, std::size_t expected_records) {
  int status = 0;
  const std::string output = RunIpfixDump(messages, &status);
  ASSERT_EQ(status, 0) << output;
  EXPECT_EQ(output.find("out of sequence"), std::string::npos) << output;
  IpfixDecoder decoder;
  std::size_t records = 0;
  std::size_t at = 0;
  for (const Bytes& bytes : messages) {
    IpfixMessage message;
    ASSERT_EQ(decoder.Decode(bytes, "agent", &message), kObSuccess);
    EXPECT_TRUE(message.problems.empty());
    for (const IpfixRecord& record : message.records) {
      ++records;
      at = output.find("--- data record", at);
      for (const IpfixField& field : record.fields) {
        std::vector<std::string> lines = {field.name + " : " + DumpText(field.value)};
        for (const IpfixValue& item : field.value.items) {
          lines.push_back(" : " + DumpText(item, field.value.item_name == "orvListEntry"));
        }
        for (const std::string& line : lines) {
          at = output.find(line, at);
          ASSERT_NE(at, std::string::npos) << line << " not in order in\n" << output;
        }
      }
    }
  }
  EXPECT_EQ(records, expected_records);
  EXPECT_NE(output.find("File Stats: " + std::to_string(messages.size()) + " Messages, " +
                        std::to_string(expected_records) + " Data Records"),
            std::string::npos)
      << output;
}

// Element 12350 is the item of two lists: 32-byte module hashes and variable-length interface
// details. libfixbuf 2.4 decodes every list item of an element with the length it first saw for
// it, so each stream below carries 12350 in one length only; together they cover every record
// kind and every value.
TEST(IpfixInteropTest, IpfixDumpDecodesEveryAgentRecordWithTheValuesSent) {
  if (::access(kIpfixDump, X_OK) != 0) {
    GTEST_SKIP() << "ipfixDump (Debian package libfixbuf-tools) is not installed";
  }
  orv::test::AgentStream one;
  ExpectIpfixDumpAgrees({one.Templates(), one.Identity(), one.Interface(), one.Flows(false)}, 4);
  orv::test::AgentStream two;
  ExpectIpfixDumpAgrees({two.Templates(), two.Flows(), two.Flows()}, 4);
  // A few values spelled out, so agreement cannot come from both decoders failing alike.
  int status = 0;
  const std::string output =
      RunIpfixDump({one.Templates(), one.Interface(), one.Flows(false)}, &status);
  for (const char* expected :
       {"orvInterfaceName : (len: 8) wlan0 \xC3\xA9", "destinationIPv4Address : 192.168.1.2",
        "orvL4OctetCountIn : 4294967298", "(len: 9) mod-a.jar",
        "(len: 11) 0x535349443d4f6666696365"}) {
    EXPECT_NE(output.find(expected), std::string::npos) << expected;
  }
}

// The agent's own order (interfaces announced before flows with hashed modules) in one stream.
TEST(IpfixInteropTest, IpfixDumpDecodesMixedListLengthsInOneStream) {
  orv::test::AgentStream stream;
  const std::vector<Bytes> messages = {stream.Templates(), stream.Interface(), stream.Flows()};
  int status = 0;
  if (::access(kIpfixDump, X_OK) != 0 || (RunIpfixDump(messages, &status), status != 0)) {
    GTEST_SKIP() << "ipfixDump is missing or cannot decode element 12350 in lists of two lengths "
                    "(its basicList reader keeps the first length seen; exit status "
                 << status << ")";
  }
  ExpectIpfixDumpAgrees(messages, 3);
}

}  // namespace
