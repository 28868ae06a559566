#include "driver/orv_api_class_factory.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

TEST(COrvApiClassFactory, HandsOutInstancesOverOneProcessWidePlugin) {
  COrvApiClassFactory& factory = COrvApiClassFactory::Instance();
  EXPECT_EQ(&factory, &COrvApiClassFactory::Instance());
  std::unique_ptr<IOrvApi> api = factory.CreateInstance();
  ASSERT_NE(api, nullptr);
  ASSERT_EQ(api->Uninitialize(), kNgcSuccess);  // whatever an earlier test left

  // Closed: every request but Uninitialize is refused.
  OrvEndpointPair endpoints;
  endpoints.second_address.family = 2;
  endpoints.second_address.bytes = {127, 0, 0, 1};
  endpoints.second_port = htons(9);
  EXPECT_EQ(api->EnableAppFlow(&endpoints), kNgcNotOpen);
  EXPECT_EQ(api->DisableAppFlow(), kNgcNotOpen);
  EXPECT_EQ(api->NotifyNetworkChange(), kNgcNotOpen);
  EXPECT_EQ(api->SetFlowReportInterval(999), kNgcNotOpen);

  // Open once per process, whichever instance asks.
  EXPECT_EQ(api->OpenPlugin(), kNgcSuccess);
  EXPECT_EQ(api->ClosePlugin(), kNgcSuccess);
  EXPECT_EQ(factory.ReleaseInstance(api), kNgcSuccess);
  EXPECT_EQ(api, nullptr);
  api = factory.CreateInstance();
  EXPECT_EQ(api->OpenPlugin(), kNgcAlreadyOpen);
  EXPECT_EQ(api->SetFlowReportInterval(999), kNgcSuccess);
  EXPECT_EQ(api->NotifyNetworkChange(), kNgcSuccess);  // no reporter thread yet: nothing to do
  EXPECT_EQ(api->DisableAppFlow(), kNgcSuccess);

  // Unusable endpoints.
  EXPECT_EQ(api->EnableAppFlow(nullptr), kNgcInvalidArgument);
  OrvEndpointPair no_port = endpoints;
  no_port.second_port = 0;
  EXPECT_EQ(api->EnableAppFlow(&no_port), kNgcInvalidArgument);
  OrvEndpointPair bad_family = endpoints;
  bad_family.second_address.family = 10;  // Linux's AF_INET6 is not a wire value
  EXPECT_EQ(api->EnableAppFlow(&bad_family), kNgcInvalidArgument);

  EXPECT_EQ(api->Uninitialize(), kNgcSuccess);
  EXPECT_EQ(api->SetFlowReportInterval(1), kNgcNotOpen);
  EXPECT_EQ(api->OpenPlugin(), kNgcSuccess);
  EXPECT_EQ(api->Uninitialize(), kNgcSuccess);
}

}  // namespace
