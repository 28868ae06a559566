// Creation of flow reporter API instances, behind a seam so that tests can hand the platform
// framework a recording fake.
#pragma once

#include <memory>

#include "driver/orv_api.h"

// Creates and releases IOrvApi instances. Safe from any thread.
class IOrvApiClassFactory {
 public:
  virtual ~IOrvApiClassFactory() = default;
  // A new instance, or null when none can be created.
  [[nodiscard]] virtual std::unique_ptr<IOrvApi> CreateInstance() = 0;
  // Releases instance (null afterwards); the answer is informational.
  virtual ngc_error_t ReleaseInstance(std::unique_ptr<IOrvApi>& instance) = 0;
};

// The production factory: instances of COrvApi over the process-wide Linux flow reporter.
class COrvApiClassFactory final : public IOrvApiClassFactory {
 public:
  // The process-wide factory.
  static COrvApiClassFactory& Instance();

  // IOrvApiClassFactory
  [[nodiscard]] std::unique_ptr<IOrvApi> CreateInstance() override;
  ngc_error_t ReleaseInstance(std::unique_ptr<IOrvApi>& instance) override;
};
