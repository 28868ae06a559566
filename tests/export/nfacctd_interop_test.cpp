// Sends the agent's hand-built template and flow messages to pmacct's nfacctd configured with the
// shipped primitives file, and checks that the names, hashes and byte counts come out as sent.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ipfix_test_messages.h"
#include "runtime/unique_fd.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

const std::filesystem::path kPrimitives =
    std::filesystem::path(__FILE__).parent_path() / "../../packaging/ipfix/orv-primitives.lst";
constexpr char kNfacctd[] = "/usr/sbin/nfacctd";

// A loopback UDP port that was free a moment ago.
std::uint16_t FreeUdpPort() {
  OBRuntime::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

void SendTo(std::uint16_t port, const std::vector<std::uint8_t>& message) {
  OBRuntime::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  ASSERT_EQ(::sendto(fd.get(), message.data(), message.size(), 0,
                     reinterpret_cast<sockaddr*>(&address), sizeof(address)),
            static_cast<ssize_t>(message.size()));
}

// Sends the agent's template and flow messages once a second (nfacctd's plugins start after it
// reports itself listening, and drop what came before) until its output holds the last record;
// the fields are all aggregation keys, so a repeat adds no lines. Gives up after 30 s.
std::string SendUntilWritten(std::uint16_t port, const std::filesystem::path& output) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::string content;
  auto next_send = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() < deadline) {
    if (std::chrono::steady_clock::now() >= next_send) {
      SendTo(port, orv::test::AgentTemplateMessage(0));
      SendTo(port, orv::test::AgentFlowMessage(1));
      next_send += std::chrono::seconds(1);
    }
    content = orv::test::ChildProcess::ReadAll(output.string());
    if (content.find("v6.example.com") != std::string::npos) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return content;
}

TEST(NfacctdInteropTest, ShippedPrimitivesShowNamesHashesAndByteCounts) {
  if (::access(kNfacctd, X_OK) != 0) {
    GTEST_SKIP() << "nfacctd (Debian package pmacct) is not installed";
  }
  orv::test::TempDir directory;
  const std::uint16_t port = FreeUdpPort();
  ASSERT_NE(port, 0);
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
                                                    R"("orv_destination_host": "www.example.com")",
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
