// The agent's context providers (the network apps context only): whether any has consumers,
// which flow fields they need, and the hand-off of admitted flow records to the active ones.
//
// Threads: the providers are fixed at construction. OnFlow is safe from any thread (the
// admission thread calls it); AnyActive and GetRequiredFields too (the agent's loop calls them
// when the context demand event fires).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "common/condition_event.h"
#include "common/orv_flow_object.h"
#include "common/status.h"
#include "context/orv_context_provider_service.h"
#include "runtime/context_provider_service_base.h"

class CORVContextManager {
 public:
  // Creates the providers, which set demand_event on every change of demand; status is
  // kObFailure (logged) when one could not be created; the manager then works without it.
  // options.socket_path empty: the ORV data directory's socket.
  CORVContextManager(condition_event& demand_event, OB_STATUSCODE& status,
                     OBRuntime::ContextProviderOptions options = {});
  CORVContextManager(const CORVContextManager&) = delete;
  CORVContextManager& operator=(const CORVContextManager&) = delete;

  // True when some provider has a consumer.
  [[nodiscard]] bool AnyActive();
  // The union of the fields the active providers need (element id → filter action value); also
  // kept as the manager's current required fields.
  [[nodiscard]] std::map<std::int32_t, std::int32_t> GetRequiredFields();
  // Offers the flow record to every active provider.
  void OnFlow(const std::shared_ptr<const ORVFlowObject>& flow);

 private:
  std::vector<std::unique_ptr<IORVContextProviderService>> providers_;  // fixed at construction
  std::mutex mutex_;
  std::map<std::int32_t, std::int32_t> required_fields_;  // guarded by mutex_
};
