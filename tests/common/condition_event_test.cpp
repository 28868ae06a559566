#include "common/condition_event.h"

#include <gtest/gtest.h>

namespace {

TEST(ConditionEventTest, PlaceholderBuilds) {
  condition_event event(true);
  event.set();
  EXPECT_TRUE(event.timed_wait(0));
}

}  // namespace
