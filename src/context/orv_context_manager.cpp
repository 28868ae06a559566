#include "context/orv_context_manager.h"

#include <exception>
#include <utility>

#include "context/network_apps_context_provider_service.h"
#include "runtime/logger.h"

CORVContextManager::CORVContextManager(condition_event& demand_event, OB_STATUSCODE& status,
                                       OBRuntime::ContextProviderOptions options) {
  status = kObSuccess;
  OB_STATUSCODE provider_status = kObFailure;
  std::unique_ptr<CNetworkAppsContextProviderService> provider;
  try {
    provider = std::make_unique<CNetworkAppsContextProviderService>(demand_event, provider_status,
                                                                    std::move(options));
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Caught exception: %s.", e.what());
  }
  if (!provider || !ObSucceeded(provider_status)) {
    OB_LOG_AS(LOG_ERROR, "CORVContextManager::CORVContextManager",
              "Context provider's initialization failed");
    status = kObFailure;
    return;
  }
  providers_.push_back(std::move(provider));
}

bool CORVContextManager::AnyActive() {
  for (const auto& provider : providers_) {
    if (provider->IsActive()) {
      return true;
    }
  }
  return false;
}

std::map<std::int32_t, std::int32_t> CORVContextManager::GetRequiredFields() {
  std::map<std::int32_t, std::int32_t> fields;
  for (const auto& provider : providers_) {
    if (provider->IsActive() && !ObSucceeded(provider->GetRequiredFields(fields))) {
      OB_LOG_WARN("A context provider could not tell its required fields");
    }
  }
  const std::lock_guard lock(mutex_);
  required_fields_ = fields;
  return fields;
}

void CORVContextManager::OnFlow(const std::shared_ptr<const ORVFlowObject>& flow) {
  for (const auto& provider : providers_) {
    if (provider->IsActive()) {
      provider->OnFlow(flow);
    }
  }
}
