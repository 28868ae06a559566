// Runs the orv-collect program against the agent's UDP transport on loopback: messages sent with
// ExporterUDPTransport come out as JSON lines, and a datagram that is not IPFIX is reported.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "export/exporter_udp_transport.h"
#include "export/ipfix_test_support.h"
#include "support/child_process.h"

namespace {

using orv::test::ChildProcess;

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
  EXPECT_NE(records[0].find("\"templateId\":262,"), std::string::npos);
  EXPECT_NE(records[1].find("\"orvInterfaceDetails\":[\"SSID=Office\",\"State=Connected\"]"),
            std::string::npos);
  EXPECT_NE(records[3].find("\"orvHostedModules\":[\"mod-a.jar\",\"mod-b.py\"]"),
            std::string::npos);
  EXPECT_NE(records[4].find("\"problem\":\"datagram of 4 bytes is shorter than a message header\""),
            std::string::npos);
}

}  // namespace
