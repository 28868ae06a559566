// The network apps context: its payload, the provider and the manager the agent holds against
// real consumers, and the real orv-context against a provider in this process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "context/context_test_support.h"
#include "context/network_apps_context_provider_service.h"
#include "context/orv_context_manager.h"
#include "support/child_process.h"
#include "support/log_capture.h"

namespace orv::context {
namespace {

using orv::test::ContextTestClient;
using Bytes = std::vector<std::uint8_t>;
using FieldMap = std::map<std::int32_t, std::int32_t>;
using Sized = std::pair<std::wstring, std::size_t>;    // a name and its payload size
using Named = std::pair<std::uint32_t, std::wstring>;  // a process id and name

class ContextTest : public ::testing::Test {
 protected:
  std::unique_ptr<CNetworkAppsContextProviderService> Provider() {
    OB_STATUSCODE status = kObFailure;
    auto provider = std::make_unique<CNetworkAppsContextProviderService>(
        demand_, status, OBRuntime::ContextProviderOptions{.socket_path = SocketPath(dir_)});
    EXPECT_EQ(status, kObSuccess);
    return provider;
  }

  orv::test::TempDir dir_;
  orv::test::LogCapture log_;
  condition_event demand_{true};
};

TEST(NetworkAppPayloadTest, WritesGrowsAndReadsBack) {
  Bytes buffer;
  std::size_t size = 0;
  std::uint32_t process_id = 0;
  std::wstring read;
  // Payload sizes: the first buffer filled exactly, then grown; a surrogate pair is two units.
  for (const auto& [name, expected_size] :
       {Sized{L"", 6}, Sized{std::wstring(129, L'n'), 264}, Sized{std::wstring(130, L'n'), 266},
        Sized{L"caf\u00e9\U0001F600", 18}}) {
    buffer.assign(kNetworkAppBufferSize, 0);
    const OB_STATUSCODE status = WriteNetworkAppPayload(77, name, buffer, size);
    EXPECT_EQ(std::pair(status, size),
              std::pair(size > buffer.size() ? kObBufferTooSmall : kObSuccess, expected_size));
    buffer.resize(size);
    ASSERT_EQ(WriteNetworkAppPayload(77, name, buffer, size), kObSuccess);
    ASSERT_EQ(ReadNetworkAppPayload(buffer, process_id, read), kObSuccess);
    EXPECT_EQ(std::pair(process_id, read), std::pair(77U, name));
  }
  EXPECT_EQ(WriteNetworkAppPayload(1, std::wstring(L"a\0b", 3), buffer, size), kObBadArgument);
  // No name, an odd length, no terminator, a zero inside the name.
  for (const Bytes& name : std::vector<Bytes>{{}, {'a', 0, 0}, {'a', 0}, {0, 0, 'a', 0, 0, 0}}) {
    Bytes payload = {1, 0, 0, 0};
    payload.insert(payload.end(), name.begin(), name.end());
    EXPECT_EQ(ReadNetworkAppPayload(payload, process_id, read), kObBadArgument) << payload.size();
  }
}

// Each process is sent once, again when its name changes and again after a consumer's request
// restarts the context; a long name is sent whole after the payload buffer grows. A consumer that
// stays connected for days sees thousands of processes come and go: the map of sent apps forgets
// those that exited instead of growing without bound.
TEST_F(ContextTest, ProviderSendsEachProcessOnceUntilItsNameChangesItExitsOrARestart) {
  const auto provider = Provider();

  ContextTestClient client(SocketPath(dir_));
  ExpectRestart(client);

  // Each flow comes twice: the next message shows whether the second was sent.
  for (const auto& [pid, name] : {Named{100, L"curl"}, Named{200, L"ssh"}, Named{100, L"wget"},
                                  Named{9, std::wstring(140, L'x')}}) {
    provider->OnFlow(Flow(pid, name));
    provider->OnFlow(Flow(pid, name));
    ExpectApp(client, pid, name);
  }
  provider->OnFlow(Flow(10, L"short"));  // the grown buffer still sends the exact length
  ExpectApp(client, 10, L"short");

  ASSERT_TRUE(client.SendMessage(kMessageContextRequest, {1, 2}));  // payload not looked at
  ExpectRestart(client);
  provider->OnFlow(Flow(200, L"ssh"));
  ExpectApp(client, 200, L"ssh");

  // Ids above the kernel's largest pid name processes that are gone.
  constexpr std::uint32_t kGone = 1u << 23;
  for (std::uint32_t n = 0; n <= CNetworkAppsContextProviderService::kMaxSentApps; ++n) {
    provider->OnFlow(Flow(kGone + n, L"short-lived"));
    ExpectApp(client, kGone + n, L"short-lived");
  }
  provider->OnFlow(Flow(kGone, L"short-lived"));  // forgotten, so sent again
  ExpectApp(client, kGone, L"short-lived");

  ASSERT_TRUE(client.SendMessage(1234));
  EXPECT_TRUE(
      WaitUntil([&] { return log_.Contains("Invalid messsage received from subscriber"); }));
}

// Through the manager the agent holds: demand and the required field follow the consumers, every
// consumer hears of a restart, and flows while nobody listens are not kept for later.
TEST_F(ContextTest, ManagerDemandFollowsConsumersAndFlowsWaitForNoOne) {
  OB_STATUSCODE status = kObSuccess;
  CORVContextManager broken(demand_, status, {.socket_path = (dir_.path() / "no/x.sock").string()});
  EXPECT_EQ(status, kObFailure);
  EXPECT_TRUE(log_.Contains("Context provider's initialization failed"));
  CORVContextManager manager(demand_, status, {.socket_path = SocketPath(dir_)});
  ASSERT_EQ(status, kObSuccess);

  ContextTestClient first(SocketPath(dir_));
  ExpectRestart(first);
  ASSERT_TRUE(demand_.timed_wait(10000));
  EXPECT_EQ(manager.GetRequiredFields(), (FieldMap{{12340, 0}}));
  ContextTestClient second(SocketPath(dir_));
  ExpectRestart(second);
  ExpectRestart(first);

  manager.OnFlow(Flow(5, L"during"));
  ExpectApp(first, 5, L"during");
  ExpectApp(second, 5, L"during");

  first.Close();
  ExpectRestart(second);
  EXPECT_TRUE(manager.AnyActive());
  EXPECT_FALSE(demand_.timed_wait(0));  // still active: no change of demand

  second.Close();
  ASSERT_TRUE(demand_.timed_wait(10000));
  EXPECT_FALSE(manager.AnyActive());
  EXPECT_EQ(manager.GetRequiredFields(), FieldMap());
  manager.OnFlow(Flow(6, L"after"));

  ContextTestClient third(SocketPath(dir_));
  ExpectRestart(third);
  manager.OnFlow(Flow(7, L"sentinel"));
  ExpectApp(third, 7, L"sentinel");  // "after" was never queued
}

TEST_F(ContextTest, ToolPrintsWhatArrivesAndEndsOnSigtermOrWhenTheAgentCloses) {
  const std::string output = (dir_.path() / "out.txt").string();
  // orv-context with its standard output in the file above.
  const auto start = [&](const std::string& argument) {
    std::vector<std::string> argv = {"orv-context", "--socket", SocketPath(dir_)};
    if (!argument.empty()) argv.push_back(argument);
    return std::make_unique<orv::test::ChildProcess>(ORV_CONTEXT_PATH, argv, [output] {
      ::dup2(::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    });
  };
  const auto printed = [&] { return orv::test::ChildProcess::ReadAll(output); };
  auto provider = Provider();

  auto tool = start("--request");
  // One restart for the connection, one for the request.
  ASSERT_TRUE(WaitUntil([&] { return printed() == "context restarted\ncontext restarted\n"; }))
      << printed();
  provider->OnFlow(Flow(4242, L"cu\nrl"));  // a name from another process is escaped
  ASSERT_TRUE(WaitUntil([&] { return printed().ends_with("4242 cu\\nrl\n"); })) << printed();
  ASSERT_EQ(::kill(tool->pid(), SIGTERM), 0);
  EXPECT_EQ(tool->WaitExit(), 0);

  tool = start("");
  ASSERT_TRUE(WaitUntil([&] { return printed() == "context restarted\n"; })) << printed();
  provider.reset();
  EXPECT_EQ(tool->WaitExit(), 0);

  EXPECT_EQ(start("--socket=" + (dir_.path() / "nobody.sock").string())->WaitExit(), 1);
  EXPECT_EQ(start("--bogus")->WaitExit(), 2);
}

}  // namespace
}  // namespace orv::context
