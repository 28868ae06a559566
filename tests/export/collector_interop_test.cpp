// The agent's messages, as its converter builds them, read by collectors written apart from it:
// libfixbuf's ipfixDump and pmacct's nfacctd with the shipped element and primitives files, and
// this project's orv-collect fed through the agent's UDP transport. Each must decode the stream
// with our element names, byte counts and sequence numbers; the decoder test spells out values.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "export/exporter_udp_transport.h"
#include "export/ipfix_test_support.h"
#include "support/child_process.h"

namespace {

using orv::test::Bytes;
using orv::test::ChildProcess;
namespace fs = std::filesystem;

const fs::path kPackaging = fs::path(__FILE__).parent_path() / "../../packaging/ipfix";

// Element 12350 is the item of both the 32-byte module hash list and the variable-length
// interface details; libfixbuf 2.4 decodes every item of an element with the length it first saw,
// so the stream leaves the module hashes out. Two flow messages of two records each: a sequence
// number counting messages instead of records shows as "out of sequence". Last, a datagram too
// short for a header.
std::vector<Bytes> AgentMessages() {
  orv::test::AgentStream stream;
  return {stream.Templates(),  stream.Identity(),   stream.Interface(),
          stream.Flows(false), stream.Flows(false), {0, 9, 0, 16}};
}

void ExpectAll(const std::string& output, const std::vector<std::string>& expected) {
  for (const std::string& text : expected)
    EXPECT_NE(output.find(text), std::string::npos) << text << " not in\n" << output;
}

TEST(CollectorInteropTest, IpfixDumpDecodesTheStreamInSequence) {
  if (::access("/usr/bin/ipfixDump", X_OK) != 0)
    GTEST_SKIP() << "ipfixDump (Debian package libfixbuf-tools) is not installed";
  const orv::test::TempDir directory;
  const fs::path file = directory.path() / "agent.ipfix";
  std::vector<Bytes> messages = AgentMessages();
  messages.pop_back();
  std::ofstream out(file, std::ios::binary);
  for (const Bytes& message : messages) {
    out.write(reinterpret_cast<const char*>(message.data()),
              static_cast<std::streamsize>(message.size()));
  }
  out.close();
  const std::string dump = (directory.path() / "dump").string();
  const std::string command = "/usr/bin/ipfixDump --element-file '" +
                              (kPackaging / "orv-elements.xml").string() + "' --in '" +
                              file.string() + "' > '" + dump + "' 2>&1";
  const int status = std::system(command.c_str());
  const std::string output = ChildProcess::ReadAll(dump);
  ASSERT_EQ(status, 0) << output;
  EXPECT_EQ(output.find("out of sequence"), std::string::npos) << output;
  ExpectAll(output, {"File Stats: 5 Messages, 6 Data Records", "orvManufacturer",
                     "orvInterfaceName", "orvInterfaceDetails", "sourceIPv6Address",
                     "orvProcessName", "orvL4OctetCountIn", "4294967298"});
}

// Starts a collector on a loopback port that was free a moment ago and sends it the stream once
// a second (nfacctd's plugins start after it reports itself listening and drop what came
// before) until file holds needle; the file's content. The collector's standard output and error
// go to files of those names in directory.
std::string Feed(const std::string& program, const std::vector<std::string>& argv,
                 const std::string& port, const fs::path& directory, const fs::path& file,
                 const std::vector<std::string>& needles, std::uint16_t* local_port) {
  const std::string out = (directory / "stdout").string();
  const std::string err = (directory / "stderr").string();
  const ChildProcess collector(program, argv, [&] {
    ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
  });
  const std::vector<Bytes> messages = AgentMessages();
  ExporterUDPTransport transport;
  EXPECT_EQ(transport.Connect("127.0.0.1", port), kObSuccess);
  *local_port = transport.LocalPort();
  std::string content;
  auto next_send = std::chrono::steady_clock::now();
  (void)orv::test::WaitUntil([&] {
    for (; std::chrono::steady_clock::now() >= next_send; next_send += std::chrono::seconds(1)) {
      for (const Bytes& message : messages)
        (void)transport.Send(message.data(), message.size(), {});
    }
    content = ChildProcess::ReadAll(file.string());
    return std::all_of(needles.begin(), needles.end(), [&](const std::string& needle) {
      return content.find(needle) != std::string::npos;
    });
  });
  return content;
}

TEST(CollectorInteropTest, NfacctdShowsNamesHashesAndByteCountsWithTheShippedPrimitives) {
  if (::access("/usr/sbin/nfacctd", X_OK) != 0)
    GTEST_SKIP() << "nfacctd (Debian package pmacct) is not installed";
  const orv::test::TempDir directory;
  const std::string port = orv::test::Receiver().Port();
  const fs::path output = directory.path() / "flows.json";
  std::ofstream(directory.path() / "nfacctd.conf")
      << "daemonize: false\nnfacctd_ip: 127.0.0.1\nnfacctd_port: " << port
      << "\nplugins: print[orv]\naggregate_primitives: "
      << (kPackaging / "orv-primitives.lst").string()
      << "\naggregate[orv]: src_host, dst_host, src_port, dst_port, proto, orv_process_name, "
         "orv_process_hash, orv_parent_name, orv_process_user, orv_bytes_in, orv_bytes_out, "
         "orv_destination_host, orv_dns_suffix, orv_interface_uid\n"
         "print_output[orv]: json\nprint_refresh_time[orv]: 1\nprint_output_file[orv]: "
      << output.string() << "\n";
  std::uint16_t sender = 0;
  const std::string flows =
      Feed("/usr/sbin/nfacctd", {"nfacctd", "-f", (directory.path() / "nfacctd.conf").string()},
           port, directory.path(), output, {"v6.example.com"}, &sender);
  // nfacctd shows raw fields as dash-separated bytes, cut after 21 of them.
  ExpectAll(
      flows,
      {R"("orv_process_name": "curl")", R"("orv_parent_name": "bash")",
       R"("orv_process_user": "HOST\\alice")", R"("orv_bytes_in": "4294967298")",
       R"("orv_bytes_out": "1234")", R"("orv_destination_host": "v6.example.com")",
       R"("orv_dns_suffix": "example.org")", R"("orv_interface_uid": "7")",
       R"("ip_src": "2001:db8::1")", R"("port_dst": 443)",
       R"("orv_process_hash": "11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-11-")"});
}

TEST(CollectorInteropTest, OrvCollectPrintsRecordsAndProblemsAsJsonLines) {
  const fs::path tool = fs::read_symlink("/proc/self/exe").parent_path() / "orv-collect";
  if (!fs::exists(tool)) GTEST_SKIP() << "orv-collect is not built next to this test program";
  const orv::test::TempDir directory;
  const std::string port = orv::test::Receiver().Port();
  std::uint16_t sender = 0;
  // The collector may start after the first round's templates: rounds repeat until all is seen.
  const std::vector<std::string> expected = {
      R"("orvProcessName":"curl")", R"("orvL4OctetCountIn":4294967298)",
      R"("orvInterfaceName":"wlan0 )",
      R"("problem":"datagram of 4 bytes is shorter than a message header")"};
  const std::string output = Feed(tool.string(), {"orv-collect", "--port", port, "--json"}, port,
                                  directory.path(), directory.path() / "stdout", expected, &sender);
  const std::string exporter = "{\"exporter\":\"127.0.0.1:" + std::to_string(sender) + "\",";
  EXPECT_EQ(output.rfind(exporter, 0), 0U) << output;
  ExpectAll(output, expected);
}

}  // namespace
