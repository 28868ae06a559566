// Runs the real orv-context against a provider in this process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>

#include "context/context_test_support.h"
#include "context/network_apps_context_provider_service.h"
#include "support/child_process.h"

namespace orv::context {
namespace {

using orv::test::ChildProcess;

// The child's exit status once it ends (waiting up to 10 s); nullopt when it does not end, -1
// when a signal ended it.
std::optional<int> WaitForExit(const ChildProcess& child) {
  int status = 0;
  if (!WaitUntil([&] { return ::waitpid(child.pid(), &status, WNOHANG) == child.pid(); })) {
    return std::nullopt;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(OrvContextToolTest, PrintsWhatArrivesAndEndsOnSigtermOrWhenTheAgentCloses) {
  orv::test::TempDir dir;
  const std::string output = (dir.path() / "out.txt").string();
  // orv-context with its standard output in the file above.
  const auto start = [&](const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"orv-context", "--socket", SocketPath(dir)};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return std::make_unique<ChildProcess>(ORV_CONTEXT_PATH, argv, [output] {
      ::dup2(::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    });
  };
  const auto printed = [&] { return ChildProcess::ReadAll(output); };
  condition_event demand(true);
  OB_STATUSCODE status = kObFailure;
  auto provider = std::make_unique<CNetworkAppsContextProviderService>(
      demand, status, OBRuntime::ContextProviderOptions{.socket_path = SocketPath(dir)});
  ASSERT_EQ(status, kObSuccess);

  auto tool = start({"--request"});
  // One restart for the connection, one for the request.
  ASSERT_TRUE(WaitUntil([&] { return printed() == "context restarted\ncontext restarted\n"; }))
      << printed();
  ASSERT_TRUE(demand.timed_wait(10000));    // connected
  provider->OnFlow(Flow(4242, L"cu\nrl"));  // a name from another process is escaped
  ASSERT_TRUE(WaitUntil([&] { return printed().ends_with("4242 cu\\nrl\n"); })) << printed();
  ASSERT_EQ(::kill(tool->pid(), SIGTERM), 0);
  EXPECT_EQ(WaitForExit(*tool), 0);
  ASSERT_TRUE(demand.timed_wait(10000));  // gone

  tool = start({});
  ASSERT_TRUE(WaitUntil([&] { return printed() == "context restarted\n"; })) << printed();
  provider.reset();
  EXPECT_EQ(WaitForExit(*tool), 0);

  EXPECT_EQ(WaitForExit(*start({"--socket=" + (dir.path() / "nobody.sock").string()})), 1);
  EXPECT_EQ(WaitForExit(*start({"--bogus"})), 2);
}

}  // namespace
}  // namespace orv::context
