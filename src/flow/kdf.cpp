#include "flow/kdf.h"

#include <arpa/inet.h>

#include <utility>

#include "runtime/logger.h"

CKDF& CKDF::GetInstance() {
  static CKDF framework(COrvApiClassFactory::Instance(), OrvUserKdfIpc::kDefaultPort);
  return framework;
}

CKDF::CKDF(IOrvApiClassFactory& factory, std::uint16_t port) : factory_(factory), port_(port) {}

CKDF::~CKDF() = default;

OB_STATUSCODE CKDF::EnableAppFlow() { return callKDFApi(kOperationEnableAppFlow); }

OB_STATUSCODE CKDF::DisableAppFlow() { return callKDFApi(kOperationDisableAppFlow); }

OB_STATUSCODE CKDF::NotifyNetworkChange() { return callKDFApi(kOperationNotifyNetworkChange); }

OB_STATUSCODE CKDF::Uninitialize() { return callKDFApi(kOperationUninitialize); }

OB_STATUSCODE CKDF::SetFlowReportInterval(std::uint32_t seconds) {
  report_interval_ = seconds;
  return callKDFApi(kOperationSetFlowReportInterval);
}

OB_STATUSCODE CKDF::Initialize(IKdfMessageSink* agent) {
  if (agent == nullptr) {
    return kObFailure;
  }
  if (listener_) {
    OB_LOG_ERROR("kdf listener already initialized.");
    return kObAlreadyInitialised;
  }
  OB_STATUSCODE status = kObSuccess;
  auto listener = std::make_unique<OrvUserKdfIpc>(
      port_,
      [agent](std::shared_ptr<const KdfFlowData> message) {
        agent->OnFlowUpdate(std::move(message));
      },
      [agent](std::shared_ptr<const KdfPidInfo> message) { agent->OnPidInfo(std::move(message)); },
      status);
  if (status != kObSuccess) {
    return kObFailure;
  }
  if (!listener->Start()) {
    OB_LOG_DEBUG("Failed to initialize kdf listener.");
    return kObFailure;
  }
  listener_ = std::move(listener);
  OB_LOG_DEBUG("Success: initialized kdf listener.");
  return kObSuccess;
}

void CKDF::UninitializeListener() {
  if (!listener_) {
    return;
  }
  if (!listener_->Stop()) {
    OB_LOG_WARN("kdf listener did not stop in time; waiting for it.");
  }
  listener_.reset();
}

std::uint16_t CKDF::ListenerPort() const noexcept { return listener_ ? listener_->LocalPort() : 0; }

OB_STATUSCODE CKDF::callKDFApi(int operation) {
  std::unique_ptr<IOrvApi> api = factory_.CreateInstance();
  if (!api) {
    return kObFailure;
  }
  OB_STATUSCODE result = kObSuccess;
  if (operation == kOperationUninitialize) {
    // Releasing the plugin needs no open plugin, and nothing is closed afterwards.
    result = api->Uninitialize() == kNgcSuccess ? kObSuccess : kObFailure;
  } else {
    result = openPlugin(*api);
    if (result == kObSuccess) {
      result = runOperation(*api, operation);
      if (api->ClosePlugin() != kNgcSuccess) {
        result = kObFailure;
      }
    }
  }
  static_cast<void>(factory_.ReleaseInstance(api));
  return result;
}

OB_STATUSCODE CKDF::openPlugin(IOrvApi& api) {
  const ngc_error_t error = api.OpenPlugin();
  if (error != kNgcSuccess && error != kNgcAlreadyOpen) {
    OB_LOG_AS(LOG_ERROR, "CKDF::callKDFApi",
              "Error: unable to open socket plugin %s with error code %d\n", kOrvPluginName, error);
    return kObFailure;
  }
  OB_LOG_AS(LOG_DEBUG, "CKDF::callKDFApi", "Success: OpenPlugin(), plugin name=%s\n",
            kOrvPluginName);
  return kObSuccess;
}

OB_STATUSCODE CKDF::runOperation(IOrvApi& api, int operation) {
  switch (operation) {
    case kOperationEnableAppFlow:
      return enableAppFlow(api);
    case kOperationDisableAppFlow:
      return disableAppFlow(api);
    case kOperationNotifyNetworkChange:
      return api.NotifyNetworkChange() == kNgcSuccess ? kObSuccess : kObFailure;
    case kOperationSetFlowReportInterval:
      return setFlowReportInterval(api);
    default:
      return kObBadArgument;
  }
}

OB_STATUSCODE CKDF::enableAppFlow(IOrvApi& api) {
  const OrvEndpointPair endpoints = channelEndpoints();
  const ngc_error_t error = api.EnableAppFlow(&endpoints);
  if (error != kNgcSuccess) {
    OB_LOG_AS(LOG_ERROR, "CKDF::callKDFApi",
              "Error: unable to enable appflow service or plugin %s with error code %d\n",
              kOrvPluginName, error);
    return kObFailure;
  }
  OB_LOG_AS(LOG_DEBUG, "CKDF::callKDFApi", "Success: EnableAppFlow, plugin name=%s\n",
            kOrvPluginName);
  return kObSuccess;
}

OB_STATUSCODE CKDF::disableAppFlow(IOrvApi& api) {
  const ngc_error_t error = api.DisableAppFlow();
  if (error != kNgcSuccess) {
    OB_LOG_AS(LOG_ERROR, "CKDF::callKDFApi",
              "Error: unable to disable appflow service or plugin %s with error code %d\n",
              kOrvPluginName, error);
    return kObFailure;
  }
  OB_LOG_AS(LOG_DEBUG, "CKDF::callKDFApi", "Success: DisabledAppFlow, plugin name=%s\n",
            kOrvPluginName);
  return kObSuccess;
}

OB_STATUSCODE CKDF::setFlowReportInterval(IOrvApi& api) {
  const ngc_error_t error = api.SetFlowReportInterval(report_interval_);
  if (error != kNgcSuccess) {
    OB_LOG_AS(LOG_ERROR, "CKDF::callKDFApi",
              "Error: unable to set flow report interval with error code %d", error);
    return kObFailure;
  }
  OB_LOG_AS(LOG_DEBUG, "CKDF::callKDFApi", "Success: SetFlowReportInterval");
  return kObSuccess;
}

OrvEndpointPair CKDF::channelEndpoints() const {
  OrvEndpointPair endpoints;
  endpoints.first_address.family = kKdfFamilyIPv4;
  endpoints.second_address.family = kKdfFamilyIPv4;
  endpoints.second_address.bytes[0] = 127;
  endpoints.second_address.bytes[3] = 1;
  const std::uint16_t port = listener_ ? listener_->LocalPort() : port_;
  endpoints.first_port = 0;
  endpoints.second_port = htons(port);
  return endpoints;
}
