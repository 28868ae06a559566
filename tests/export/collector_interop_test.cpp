// The agent's messages, as its converter builds them, read by collectors: libfixbuf's ipfixDump
// with the shipped element file (every record and value must agree with this project's own
// decoder: two decoders written apart), pmacct's nfacctd with the shipped primitives file, and
// this project's orv-collect program fed through the agent's UDP transport.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "export/exporter_udp_transport.h"
#include "export/ipfix_decoder.h"
#include "export/ipfix_test_support.h"
#include "support/child_process.h"

namespace {

using orv::test::Bytes;
using orv::test::ChildProcess;

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
// it (a mixed stream makes it fail), so each stream below carries 12350 in one length only;
// together they cover every record kind and every value. The decoder test spells the values out.
TEST(IpfixInteropTest, IpfixDumpDecodesEveryAgentRecordWithTheValuesSent) {
  if (::access(kIpfixDump, X_OK) != 0) {
    GTEST_SKIP() << "ipfixDump (Debian package libfixbuf-tools) is not installed";
  }
  orv::test::AgentStream one;
  ExpectIpfixDumpAgrees({one.Templates(), one.Identity(), one.Interface(), one.Flows(false)}, 4);
  orv::test::AgentStream two;
  ExpectIpfixDumpAgrees({two.Templates(), two.Flows(), two.Flows()}, 4);
}

const std::filesystem::path kPrimitives =
    std::filesystem::path(__FILE__).parent_path() / "../../packaging/ipfix/orv-primitives.lst";
constexpr char kNfacctd[] = "/usr/sbin/nfacctd";

// Sends the agent's template and flow messages once a second (nfacctd's plugins start after it
// reports itself listening, and drop what came before) until its output holds the last record;
// the fields are all aggregation keys, so a repeat adds no lines.
std::string SendUntilWritten(const std::string& port, const std::filesystem::path& output) {
  orv::test::AgentStream stream;
  const std::vector<orv::test::Bytes> messages = {stream.Templates(), stream.Flows()};
  ExporterUDPTransport transport;
  EXPECT_EQ(transport.Connect("127.0.0.1", port), kObSuccess);
  std::string content;
  auto next_send = std::chrono::steady_clock::now();
  (void)orv::test::WaitUntil([&] {
    for (; std::chrono::steady_clock::now() >= next_send; next_send += std::chrono::seconds(1)) {
      for (const auto& message : messages) (void)transport.Send(message.data(), message.size(), {});
    }
    content = ChildProcess::ReadAll(output.string());
    return content.find("v6.example.com") != std::string::npos;
  });
  return content;
}

TEST(NfacctdInteropTest, ShippedPrimitivesShowNamesHashesAndByteCounts) {
  if (::access(kNfacctd, X_OK) != 0) {
    GTEST_SKIP() << "nfacctd (Debian package pmacct) is not installed";
  }
  orv::test::TempDir directory;
  const std::string port = orv::test::Receiver().Port();  // free a moment ago
  const auto log = directory.path() / "nfacctd.log";
  const auto output = directory.path() / "flows.json";
  std::ofstream(directory.path() / "nfacctd.conf")
      << "daemonize: false\nnfacctd_ip: 127.0.0.1\nnfacctd_port: " << port
      << "\nlogfile: " << log.string()
      << "\nplugins: print[orv]\naggregate_primitives: " << kPrimitives.string()
      << "\naggregate[orv]: src_host, dst_host, src_port, dst_port, proto, orv_process_name, "
         "orv_process_hash, orv_parent_name, orv_process_user, orv_bytes_in, orv_bytes_out, "
         "orv_destination_host, orv_dns_suffix, orv_interface_uid\n"
         "print_output[orv]: json\nprint_refresh_time[orv]: 1\nprint_output_file[orv]: "
      << output.string() << "\n";
  ChildProcess nfacctd(kNfacctd, {"nfacctd", "-f", (directory.path() / "nfacctd.conf").string()});
  const std::string flows = SendUntilWritten(port, output);
  ASSERT_NE(flows.find("v6.example.com"), std::string::npos)
      << flows << ChildProcess::ReadAll(log.string());
  // nfacctd shows raw fields as dash-separated bytes, cut after 21 of them.
  const std::string hash_shown =
      R"("orv_process_hash": "11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-")";
  const std::vector<std::string> expected_fields = {R"("orv_process_name": "curl")",
                                                    R"("orv_parent_name": "bash")",
                                                    R"("orv_process_user": "HOST\\alice")",
                                                    R"("orv_bytes_in": "4294967298")",
                                                    R"("orv_bytes_out": "1234")",
                                                    R"("orv_destination_host": "v6.example.com")",
                                                    R"("orv_dns_suffix": "example.org")",
                                                    R"("orv_interface_uid": "7")",
                                                    R"("ip_src": "2001:db8::1")",
                                                    R"("port_dst": 443)",
                                                    hash_shown};
  for (const std::string& expected : expected_fields) {
    EXPECT_NE(flows.find(expected), std::string::npos) << expected << " not in\n" << flows;
  }
}

TEST(OrvCollectToolTest, PrintsRecordsSentByTheTransportAsJsonLines) {
  const auto tool = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "orv-collect";
  if (!std::filesystem::exists(tool)) {
    GTEST_SKIP() << "orv-collect is not built next to this test program";
  }
  const orv::test::TempDir directory;
  const std::string out = (directory.path() / "out").string();
  const std::string err = (directory.path() / "err").string();
  const ChildProcess collector(tool.string(), {"orv-collect", "--port", "0", "--json"}, [&] {
    ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
  });
  std::string banner;
  ASSERT_TRUE(orv::test::WaitUntil([&] {
    banner = ChildProcess::ReadAll(err);
    return banner.find('\n') != std::string::npos;
  }));
  const auto at = banner.find("listening on UDP port ");
  ASSERT_NE(at, std::string::npos) << banner;

  ExporterUDPTransport transport;
  ASSERT_EQ(transport.Connect("127.0.0.1", std::to_string(std::stoi(banner.substr(at + 22)))),
            kObSuccess);
  orv::test::AgentStream stream;
  for (const orv::test::Bytes& message :
       {stream.Templates(), stream.Identity(), stream.Interface(), stream.Flows(), {0, 9, 0, 16}}) {
    ASSERT_EQ(transport.Send(message.data(), message.size(), {}), kObSuccess);
  }
  std::string output;
  ASSERT_TRUE(orv::test::WaitUntil([&] {
    output = ChildProcess::ReadAll(out);
    return output.find("\"problem\"") != std::string::npos;
  }));
  std::istringstream lines(output);
  std::vector<std::string> records;
  for (std::string line; std::getline(lines, line);) records.push_back(line);
  ASSERT_EQ(records.size(), 5u) << output;
  const std::string exporter =
      "{\"exporter\":\"127.0.0.1:" + std::to_string(transport.LocalPort()) + "\",";
  for (const std::string& record : records) EXPECT_EQ(record.rfind(exporter, 0), 0u) << record;
  EXPECT_NE(records[4].find("\"problem\":\"datagram of 4 bytes is shorter than a message header\""),
            std::string::npos);
}

}  // namespace
