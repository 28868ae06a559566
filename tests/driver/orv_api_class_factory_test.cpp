#include "driver/orv_api_class_factory.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace {

TEST(COrvApiClassFactory, AnswersNullUntilAFlowReporterExists) {
  COrvApiClassFactory& factory = COrvApiClassFactory::Instance();
  std::unique_ptr<IOrvApi> api = factory.CreateInstance();
  EXPECT_EQ(api, nullptr);
  EXPECT_EQ(factory.ReleaseInstance(api), kNgcSuccess);  // releasing nothing is harmless
  EXPECT_EQ(&factory, &COrvApiClassFactory::Instance());
}

TEST(OrvEndpointPair, KeepsTheFixedLayout) {
  EXPECT_EQ(sizeof(OrvEndpointPair), 44u);
  EXPECT_EQ(offsetof(OrvEndpointPair, first_address), 0u);
  EXPECT_EQ(offsetof(OrvEndpointPair, second_address), 20u);
  EXPECT_EQ(offsetof(OrvEndpointPair, first_port), 40u);
  EXPECT_EQ(offsetof(OrvEndpointPair, second_port), 42u);
  EXPECT_EQ(offsetof(OrvEndpointAddress, bytes), 4u);
}

}  // namespace
