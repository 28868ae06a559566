#include "flow/record_pool.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <utility>

namespace {

// A record let go on another thread comes back as a default record that kept its buffers, and
// records outlive their pool.
TEST(FlowRecordPool, RecyclesRecordsEmptiedWithTheirBuffersAndOutlivesThePool) {
  std::shared_ptr<ORVFlowObject> kept;
  {
    CFlowRecordPool pool(2);
    std::shared_ptr<ORVFlowObject> record = pool.Acquire();
    const ORVFlowObject* first = record.get();
    record->process_name = L"a process name longer than any small-string buffer";
    record->process_hash = std::string(32, 'x');
    record->hosted_modules = {L"app.jar"};
    record->tracked = true;
    record->flow_id = 7;
    record->bytes_in = 9;
    std::thread([held = std::move(record)]() mutable { held.reset(); }).join();
    const std::shared_ptr<ORVFlowObject> again = pool.Acquire();
    EXPECT_EQ(again.get(), first);
    EXPECT_EQ(again->ToString(), ORVFlowObject().ToString());
    EXPECT_TRUE(again->hosted_modules.empty());
    EXPECT_FALSE(again->tracked);
    EXPECT_GE(again->process_name.capacity(), 50u);
    kept = pool.Acquire();
    EXPECT_NE(kept.get(), first);
  }
  kept->process_name = L"still usable";
  kept.reset();
}

}  // namespace
