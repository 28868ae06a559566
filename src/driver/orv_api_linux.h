// COrvApi: the IOrvApi the factory hands out, over the process-wide Linux flow reporter.
//
// Instances are cheap and stateless; the plugin state lives in the process like a loaded driver:
// OpenPlugin opens it (0, or 2 when it was open already), Uninitialize closes it and stops the
// reporter, ClosePlugin only ends the instance's use and leaves the reporter as it is. The
// other requests answer kNgcNotOpen while the plugin is closed. Safe from any thread.
#pragma once

#include "driver/orv_api.h"

class COrvApi final : public IOrvApi {
 public:
  // IOrvApi
  ngc_error_t OpenPlugin() override;
  ngc_error_t ClosePlugin() override;
  // kNgcInvalidArgument for a null pair, a second address of a family other than 2 or 23, or
  // port 0.
  ngc_error_t EnableAppFlow(const OrvEndpointPair* endpoints) override;
  ngc_error_t DisableAppFlow() override;
  ngc_error_t NotifyNetworkChange() override;
  ngc_error_t SetFlowReportInterval(std::uint32_t seconds) override;
  ngc_error_t Uninitialize() override;
};
