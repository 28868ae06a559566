// Runs the real orv-context against a provider in this process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "context/context_test_support.h"
#include "context/network_apps_context_provider_service.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace orv::context {
namespace {

using orv::test::ChildProcess;

// The child's exit status once it ends (waiting up to 10 s); nullopt when it does not end, -1
// when a signal ended it.
std::optional<int> WaitForExit(pid_t pid) {
  std::optional<int> code;
  (void)WaitUntil([&] {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) != pid) {
      return false;
    }
    code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
  });
  return code;
}

class OrvContextToolTest : public ::testing::Test {
 protected:
  // Starts orv-context with its standard output in a file of the temporary directory.
  std::unique_ptr<ChildProcess> StartTool(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"orv-context", "--socket", SocketPath(dir_)};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const std::string output = OutputPath();
    return std::make_unique<ChildProcess>(ORV_CONTEXT_PATH, argv, [output] {
      const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(fd, STDOUT_FILENO);
    });
  }
  [[nodiscard]] std::string OutputPath() const { return (dir_.path() / "out.txt").string(); }
  [[nodiscard]] std::string Output() const { return ChildProcess::ReadAll(OutputPath()); }

  orv::test::TempDir dir_;
  condition_event demand_{true};
};

TEST_F(OrvContextToolTest, PrintsAppsAfterItsRequestAndEndsWhenTheAgentCloses) {
  OBRuntime::ContextProviderOptions options;
  options.socket_path = SocketPath(dir_);
  OB_STATUSCODE status = kObFailure;
  auto provider = std::make_unique<CNetworkAppsContextProviderService>(demand_, status, options);
  ASSERT_EQ(status, kObSuccess);
  auto tool = StartTool({"--request"});
  // One restart for the connection, one for the request.
  ASSERT_TRUE(WaitUntil([&] { return Output() == "context restarted\ncontext restarted\n"; }))
      << Output();
  provider->OnFlow(Flow(4242, L"curl"));
  ASSERT_TRUE(WaitUntil([&] { return Output().ends_with("4242 curl\n"); })) << Output();

  provider.reset();
  EXPECT_EQ(WaitForExit(tool->pid()), 0);
}

TEST_F(OrvContextToolTest, EndsOnSigtermAndFailsWithoutAnAgent) {
  OBRuntime::ContextProviderOptions options;
  options.socket_path = SocketPath(dir_);
  OB_STATUSCODE status = kObFailure;
  CNetworkAppsContextProviderService provider(demand_, status, options);
  ASSERT_EQ(status, kObSuccess);
  auto tool = StartTool({});
  ASSERT_TRUE(WaitUntil([&] { return Output() == "context restarted\n"; })) << Output();
  ASSERT_TRUE(demand_.timed_wait(10000));  // connected
  ASSERT_EQ(::kill(tool->pid(), SIGTERM), 0);
  EXPECT_EQ(WaitForExit(tool->pid()), 0);
  ASSERT_TRUE(demand_.timed_wait(10000));  // gone

  auto lost = StartTool({"--socket", (dir_.path() / "nobody.sock").string()});
  EXPECT_EQ(WaitForExit(lost->pid()), 1);
  auto wrong = StartTool({"--bogus"});
  EXPECT_EQ(WaitForExit(wrong->pid()), 2);
}

}  // namespace
}  // namespace orv::context
