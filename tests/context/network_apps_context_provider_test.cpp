#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "context/context_test_support.h"
#include "context/network_apps_context_provider_service.h"
#include "context/orv_context_manager.h"
#include "support/log_capture.h"

namespace orv::context {
namespace {

using orv::test::ContextTestClient;
using FieldMap = std::map<std::int32_t, std::int32_t>;

class NetworkAppsContextProviderTest : public ::testing::Test {
 protected:
  orv::test::TempDir dir_;
  orv::test::LogCapture log_;
  condition_event demand_{true};
};

TEST(NetworkAppPayloadTest, WritesGrowsAndReadsBack) {
  std::vector<std::uint8_t> buffer;
  std::size_t size = 0;
  std::uint32_t process_id = 0;
  std::wstring read;
  // Payload sizes: the first buffer filled exactly, then grown; a surrogate pair is two units.
  for (const auto& [name, expected_size] :
       std::vector<std::pair<std::wstring, std::size_t>>{{L"", 6},
                                                         {std::wstring(129, L'n'), 264},
                                                         {std::wstring(130, L'n'), 266},
                                                         {L"caf\u00e9\U0001F600", 4 + 2 * 7}}) {
    buffer.assign(kNetworkAppBufferSize, 0);
    OB_STATUSCODE status = WriteNetworkAppPayload(77, name, buffer, size);
    EXPECT_EQ(size, expected_size);
    if (size > kNetworkAppBufferSize) {
      EXPECT_EQ(status, kObBufferTooSmall);
      buffer.resize(size);
      status = WriteNetworkAppPayload(77, name, buffer, size);
    }
    ASSERT_EQ(status, kObSuccess);
    ASSERT_EQ(ReadNetworkAppPayload(std::span(buffer.data(), size), process_id, read), kObSuccess);
    EXPECT_EQ(std::pair(process_id, read), std::pair(77U, name));
  }
  EXPECT_EQ(WriteNetworkAppPayload(1, std::wstring(L"a\0b", 3), buffer, size), kObBadArgument);

  const std::vector<std::vector<std::uint8_t>> bad = {
      {},                                // nothing
      {1, 0, 0, 0},                      // no name at all
      {1, 0, 0, 0, 'a', 0, 0},           // odd length
      {1, 0, 0, 0, 'a', 0},              // no terminator
      {1, 0, 0, 0, 0, 0, 'a', 0, 0, 0},  // a zero inside the name
  };
  for (const auto& payload : bad) {
    EXPECT_EQ(ReadNetworkAppPayload(payload, process_id, read), kObBadArgument) << payload.size();
  }
}

// Each process is sent once, again when its name changes and again after a consumer's request
// restarts the context; a long name is sent whole after the payload buffer grows. A consumer that
// stays connected for days sees thousands of processes come and go: the map of sent apps forgets
// those that exited instead of growing without bound.
TEST_F(NetworkAppsContextProviderTest, SendsEachProcessOnceUntilItsNameChangesItExitsOrARestart) {
  OB_STATUSCODE status = kObFailure;
  auto provider = std::make_unique<CNetworkAppsContextProviderService>(
      demand_, status, OBRuntime::ContextProviderOptions{.socket_path = SocketPath(dir_)});
  ASSERT_EQ(status, kObSuccess);
  EXPECT_FALSE(provider->IsActive());
  provider->OnFlow(Flow(1, L"unseen"));  // nobody listens: not queued

  ContextTestClient client(SocketPath(dir_));
  ASSERT_TRUE(client.connected());
  ExpectRestart(client);
  EXPECT_TRUE(demand_.timed_wait(10000));
  EXPECT_TRUE(provider->IsActive());

  const std::wstring long_name(140, L'x');
  for (const auto& [pid, name] : std::vector<std::pair<std::uint32_t, std::wstring>>{
           {100, L"curl"}, {100, L"curl"}, {200, L"ssh"}, {100, L"wget"}, {9, long_name}}) {
    provider->OnFlow(Flow(pid, name));
  }
  provider->OnFlow(Flow(10, L"short"));  // the grown buffer still sends the exact length
  ExpectApp(client, 100, L"curl");
  ExpectApp(client, 200, L"ssh");
  ExpectApp(client, 100, L"wget");
  ExpectApp(client, 9, long_name);
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
  ASSERT_TRUE(WaitUntil([&] {
    return log_.Has(LOG_WARNING, "CNetworkAppsContextProviderService::OnNewMessageReceived",
                    "CNetworkAppsContextProviderService::OnNewMessageReceived Invalid messsage "
                    "received from subscriber");
  }));
}

// Through the manager the agent holds: demand and the required field follow the consumers, every
// consumer hears of a restart, and flows while nobody listens are not kept for later.
TEST_F(NetworkAppsContextProviderTest, ManagerDemandFollowsConsumersAndFlowsWaitForNoOne) {
  OB_STATUSCODE status = kObSuccess;
  CORVContextManager broken(demand_, status, {.socket_path = (dir_.path() / "no/x.sock").string()});
  EXPECT_EQ(status, kObFailure);
  EXPECT_TRUE(log_.Has(LOG_ERROR, "CORVContextManager::CORVContextManager",
                       "Context provider's initialization failed"));
  CORVContextManager manager(demand_, status, {.socket_path = SocketPath(dir_)});
  ASSERT_EQ(status, kObSuccess);
  EXPECT_EQ(manager.GetRequiredFields(), FieldMap());

  ContextTestClient first(SocketPath(dir_));
  ExpectRestart(first);
  ASSERT_TRUE(demand_.timed_wait(10000));
  EXPECT_EQ(manager.GetRequiredFields(), (FieldMap{{12340, 0}}));
  ContextTestClient second(SocketPath(dir_));
  ExpectRestart(second);
  ExpectRestart(first);
  EXPECT_FALSE(demand_.timed_wait(0));  // still active: no change of demand

  manager.OnFlow(Flow(5, L"during"));
  ExpectApp(first, 5, L"during");
  ExpectApp(second, 5, L"during");

  first.Close();
  ExpectRestart(second);
  EXPECT_TRUE(manager.AnyActive());
  EXPECT_FALSE(demand_.timed_wait(0));

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

}  // namespace
}  // namespace orv::context
