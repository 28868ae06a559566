// Sends the agent's hand-built template and flow messages to pmacct's nfacctd configured with the
// shipped primitives file, and checks that the names, hashes and byte counts come out as sent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "export/exporter_udp_transport.h"
#include "export/ipfix_test_support.h"
#include "support/child_process.h"

namespace {

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
    content = orv::test::ChildProcess::ReadAll(output.string());
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
  orv::test::ChildProcess nfacctd(kNfacctd,
                                  {"nfacctd", "-f", (directory.path() / "nfacctd.conf").string()});
  const std::string flows = SendUntilWritten(port, output);
  ASSERT_NE(flows.find("v6.example.com"), std::string::npos)
      << flows << orv::test::ChildProcess::ReadAll(log.string());
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

}  // namespace
