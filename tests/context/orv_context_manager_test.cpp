#include "context/orv_context_manager.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "context/context_test_support.h"
#include "runtime/context_provider_test_client.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace orv::context {
namespace {

using orv::test::ContextTestClient;
using FieldMap = std::map<std::int32_t, std::int32_t>;

TEST(ORVContextManagerTest, ReportsDemandAndFieldsAndForwardsFlowsWhileAConsumerIsConnected) {
  orv::test::TempDir dir;
  condition_event demand(true);
  OBRuntime::ContextProviderOptions options;
  options.socket_path = SocketPath(dir);
  OB_STATUSCODE status = kObFailure;
  CORVContextManager manager(demand, status, options);
  ASSERT_EQ(status, kObSuccess);
  EXPECT_FALSE(manager.AnyActive());
  EXPECT_EQ(manager.GetRequiredFields(), FieldMap());
  manager.OnFlow(Flow(1, L"ignored"));

  ContextTestClient client(SocketPath(dir));
  ExpectRestart(client);
  ASSERT_TRUE(demand.timed_wait(10000));
  EXPECT_TRUE(manager.AnyActive());
  EXPECT_EQ(manager.GetRequiredFields(), (FieldMap{{12340, 0}}));
  const std::shared_ptr<ORVFlowObject> flow = Flow(42, L"firefox");  // as the agent holds it
  manager.OnFlow(flow);
  ExpectApp(client, 42, L"firefox");

  client.Close();
  ASSERT_TRUE(demand.timed_wait(10000));
  EXPECT_FALSE(manager.AnyActive());
  EXPECT_EQ(manager.GetRequiredFields(), FieldMap());
}

TEST(ORVContextManagerTest, ProviderThatCannotListenFailsConstructionWithALogLine) {
  orv::test::TempDir dir;
  orv::test::LogCapture log;
  condition_event demand(true);
  OBRuntime::ContextProviderOptions options;
  options.socket_path = (dir.path() / "missing" / "ContextProvider.sock").string();
  OB_STATUSCODE status = kObSuccess;
  CORVContextManager manager(demand, status, options);
  EXPECT_EQ(status, kObFailure);
  EXPECT_TRUE(log.Has(LOG_ERROR, "CORVContextManager::CORVContextManager",
                      "Context provider's initialization failed"));
  EXPECT_FALSE(manager.AnyActive());
  EXPECT_EQ(manager.GetRequiredFields(), FieldMap());
  manager.OnFlow(Flow(1, L"ignored"));
}

}  // namespace
}  // namespace orv::context
