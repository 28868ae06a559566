#include "context/orv_context_manager.h"

#include <gtest/gtest.h>

#include <map>

#include "context/context_test_support.h"
#include "support/log_capture.h"

namespace orv::context {
namespace {

using FieldMap = std::map<std::int32_t, std::int32_t>;

TEST(ORVContextManagerTest, ForwardsWhileAConsumerIsConnectedAndFailsWhenItCannotListen) {
  orv::test::TempDir dir;
  condition_event demand(true);
  {
    orv::test::LogCapture log;
    OB_STATUSCODE status = kObSuccess;
    CORVContextManager broken(demand, status, {.socket_path = (dir.path() / "no/x.sock").string()});
    EXPECT_EQ(status, kObFailure);
    EXPECT_TRUE(log.Has(LOG_ERROR, "CORVContextManager::CORVContextManager",
                        "Context provider's initialization failed"));
    EXPECT_FALSE(broken.AnyActive());
  }

  OB_STATUSCODE status = kObFailure;
  CORVContextManager manager(demand, status, {.socket_path = SocketPath(dir)});
  ASSERT_EQ(status, kObSuccess);
  EXPECT_EQ(manager.GetRequiredFields(), FieldMap());

  orv::test::ContextTestClient client(SocketPath(dir));
  ExpectRestart(client);
  ASSERT_TRUE(demand.timed_wait(10000));
  EXPECT_TRUE(manager.AnyActive());
  EXPECT_EQ(manager.GetRequiredFields(), (FieldMap{{12340, 0}}));
  manager.OnFlow(Flow(42, L"firefox"));
  ExpectApp(client, 42, L"firefox");

  client.Close();
  ASSERT_TRUE(demand.timed_wait(10000));
  EXPECT_FALSE(manager.AnyActive());
  EXPECT_EQ(manager.GetRequiredFields(), FieldMap());
}

}  // namespace
}  // namespace orv::context
