// The interface through which the agent offers flow records to a context provider and learns
// whether the provider has consumers and which flow fields it needs.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "common/orv_flow_object.h"
#include "common/status.h"

class IORVContextProviderService {
 public:
  // Offers one admitted flow record; a provider without consumers ignores it. Never blocks.
  virtual void OnFlow(const std::shared_ptr<const ORVFlowObject>& flow) = 0;
  // Adds the flow fields the provider needs (element id → filter action value) to fields.
  [[nodiscard]] virtual OB_STATUSCODE GetRequiredFields(
      std::map<std::int32_t, std::int32_t>& fields) = 0;
  // Whether a consumer is connected.
  [[nodiscard]] virtual bool IsActive() = 0;
  virtual ~IORVContextProviderService() = default;
};
