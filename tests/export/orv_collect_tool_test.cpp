// Runs the orv-collect program against the agent's UDP transport on loopback: messages sent with
// ExporterUDPTransport come out as JSON lines, and a datagram that is not IPFIX is reported.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "export/exporter_udp_transport.h"
#include "ipfix_test_messages.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

std::filesystem::path CollectorPath() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "orv-collect";
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Waits up to 10 s until the file holds the text; the file's content then.
std::string WaitForText(const std::filesystem::path& path, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string content = ReadFile(path);
  while (content.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    content = ReadFile(path);
  }
  return content;
}

TEST(OrvCollectToolTest, PrintsRecordsSentByTheTransportAsJsonLines) {
  if (!std::filesystem::exists(CollectorPath())) {
    GTEST_SKIP() << "orv-collect is not built next to this test program";
  }
  orv::test::TempDir directory;
  const std::string out = (directory.path() / "out").string();
  const std::string err = (directory.path() / "err").string();
  orv::test::ChildProcess collector(
      CollectorPath().string(), {"orv-collect", "--port", "0", "--json"}, [&] {
        const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out_fd, STDOUT_FILENO);
        ::dup2(err_fd, STDERR_FILENO);
      });
  const std::string banner = WaitForText(err, "\n");
  const auto at = banner.find("listening on UDP port ");
  ASSERT_NE(at, std::string::npos) << banner;
  const std::string port = std::to_string(std::stoi(banner.substr(at + 22)));

  ExporterUDPTransport transport;
  ASSERT_EQ(transport.Connect("127.0.0.1", port), kObSuccess);
  const std::vector<std::vector<std::uint8_t>> messages = {orv::test::AgentTemplateMessage(1),
                                                           orv::test::AgentIdentityMessage(2),
                                                           orv::test::AgentInterfaceMessage(3),
                                                           orv::test::AgentFlowMessage(4),
                                                           {0x00, 0x09, 0x00, 0x10}};
  for (const auto& message : messages) {
    ASSERT_EQ(transport.Send(message.data(), message.size(), {}), kObSuccess);
  }
  const std::string output = WaitForText(out, "\"problem\"");
  std::istringstream lines(output);
  std::vector<std::string> records;
  for (std::string line; std::getline(lines, line);) {
    records.push_back(line);
  }
  ASSERT_EQ(records.size(), 6u) << output;
  const std::string exporter =
      "{\"exporter\":\"127.0.0.1:" + std::to_string(transport.LocalPort()) + "\",\"domain\":127,";
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(records[i].rfind(exporter, 0), 0u) << records[i];
  }
  EXPECT_NE(records[0].find("\"templateId\":262,"), std::string::npos);
  EXPECT_NE(records[1].find("\"orvInterfaceDetails\":[\"SSID=Office\",\"State=Connected\"]"),
            std::string::npos);
  EXPECT_NE(records[4].find("\"orvHostedModules\":[\"mod-a.jar\",\"mod-b.py\"]"),
            std::string::npos);
  EXPECT_NE(records[5].find("\"problem\":\"datagram of 4 bytes is shorter than a message header\""),
            std::string::npos);
}

}  // namespace
