#include "context/network_apps_context_provider_service.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "context/network_app_payload.h"
#include "runtime/agent_thread.h"
#include "runtime/logger.h"
#include "runtime/text.h"

namespace {

// The status of a service whose queue could not hand out its push event.
constexpr OB_STATUSCODE kQueueEventUnavailable = -9989;

// The base's parameters that name this service among the product's modules.
constexpr std::int32_t kSelfIdentity = 4;
constexpr std::int32_t kProviderType = 0;
constexpr std::int32_t kConsumerIdentity = 5;
constexpr std::uint32_t kServiceValue = 32557;
constexpr std::uint32_t kRetryCount = 5;

}  // namespace

CNetworkAppsContextProviderService::CNetworkAppsContextProviderService(
    condition_event& demand_event, OB_STATUSCODE& status, OBRuntime::ContextProviderOptions options)
    : CContextProviderServiceBase(kSelfIdentity, kProviderType, {kConsumerIdentity}, kServiceValue,
                                  status, kRetryCount, std::move(options)),
      demand_event_(demand_event),
      payload_buffer_(orv::context::kNetworkAppBufferSize) {
  if (!ObSucceeded(status)) {
    return;
  }
  if (!ObSucceeded(tuple_queue_.RegisterPushEvent(&push_event_))) {
    OB_LOG_ERROR(
        "CNetworkAppsContextProviderService::CNetworkAppsContextProviderService Unable to "
        "initialize flow object queue pushed event.");
    status = kQueueEventUnavailable;
    return;  // nothing listens: the service stays reset
  }
  status = Listen();
}

CNetworkAppsContextProviderService::~CNetworkAppsContextProviderService() {
  Shutdown();  // no callback runs after this
  stopServiceThread();
}

void CNetworkAppsContextProviderService::OnFlow(const std::shared_ptr<const ORVFlowObject>& flow) {
  if (!active_ || !flow) {
    return;
  }
  const OB_STATUSCODE status = tuple_queue_.Push(AppTuple(flow->process_id, flow->process_name));
  if (!ObSucceeded(status)) {
    OB_LOG_ERROR(
        "CNetworkAppsContextProviderService::OnFlow Unable to insert data into the tuple queue as "
        "- %s",
        status == kObQueueFull ? "Q is full." : "Unknown error.");
  }
}

OB_STATUSCODE CNetworkAppsContextProviderService::GetRequiredFields(
    std::map<std::int32_t, std::int32_t>& fields) {
  fields[static_cast<std::int32_t>(kFieldProcessName)] = 0;
  return kObSuccess;
}

bool CNetworkAppsContextProviderService::IsActive() { return ArePeersConnected(); }

void CNetworkAppsContextProviderService::start() {
  try {
    if (!active_) {
      active_ = true;
      service_thread_ = OBRuntime::StartAgentThread([this] { mainThreadProc(); });
      demand_event_.set();
    }
    restartContext();
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Caught exception: %s.", e.what());
    active_ = service_thread_.joinable();
  }
}

void CNetworkAppsContextProviderService::stop(std::int32_t identity) {
  try {
    if (active_ && identity >= 0) {
      if (!ObSucceeded(DisconnectPeer(identity))) {
        OB_LOG_WARN(
            "CNetworkAppsContextProviderService::stop Unable to disconnect peer even after it "
            "requested to stop the network apps context");
      }
      if (!ArePeersConnected()) {
        active_ = false;
        stopServiceThread();
        demand_event_.set();
      }
    }
    restartContext();
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Caught exception: %s.", e.what());
  }
}

void CNetworkAppsContextProviderService::OnNewMessageReceived(
    const OBRuntime::IPC_MESSAGE& message) {
  if (message.type == orv::context::kMessageContextRequest) {
    restartContext();
    return;
  }
  OB_LOG_WARN(
      "CNetworkAppsContextProviderService::OnNewMessageReceived Invalid messsage received from "
      "subscriber");
}

void CNetworkAppsContextProviderService::restartContext() {
  const std::lock_guard lock(map_mutex_);
  sent_apps_.clear();
  if (ArePeersConnected()) {
    (void)sendNotification(orv::context::kMessageContextRestart, nullptr, 0);
  }
}

OB_STATUSCODE CNetworkAppsContextProviderService::sendNotification(std::uint32_t type,
                                                                   const std::uint8_t* payload,
                                                                   std::size_t length) {
  if (length != 0 && payload == nullptr) {
    return kObBadArgument;
  }
  OBRuntime::IPC_MESSAGE message;
  message.version = OBRuntime::kIpcMessageVersion;
  message.type = type;
  message.payload_length = static_cast<std::uint32_t>(length);
  message.part_count = OBRuntime::kIpcMessagePartCount;
  if (length != 0) {
    message.payload.assign(payload, payload + length);
  }
  if (!ObSucceeded(SendMessageToAllPeers(message))) {
    OB_LOG_WARN(
        "CNetworkAppsContextProviderService::sendNotification Unable to send the message to all "
        "the peers");
    return kObFailure;
  }
  return kObSuccess;
}

// Processes that have exited are forgotten first; when that is not enough, the ones sent
// longest ago, down to three quarters of the bound so that the sweep stays rare. A forgotten
// process that makes another flow is simply sent again.
void CNetworkAppsContextProviderService::forgetSentApps() {
  std::erase_if(sent_apps_, [](const auto& entry) {
    return ::kill(static_cast<pid_t>(entry.first), 0) != 0 && errno == ESRCH;
  });
  while (sent_apps_.size() > kMaxSentApps / 4 * 3) {
    sent_apps_.erase(std::min_element(
        sent_apps_.begin(), sent_apps_.end(),
        [](const auto& a, const auto& b) { return a.second.order < b.second.order; }));
  }
}

void CNetworkAppsContextProviderService::sendNetworkApp(const AppTuple& app) {
  const std::lock_guard lock(map_mutex_);
  const auto [process_id, name] = app;
  const auto sent = sent_apps_.find(process_id);
  if (sent != sent_apps_.end() && sent->second.name == name) {
    return;
  }
  if (sent == sent_apps_.end() && sent_apps_.size() >= kMaxSentApps) {
    forgetSentApps();
  }
  sent_apps_[process_id] = SentApp{name, ++send_counter_};
  std::size_t size = 0;
  OB_STATUSCODE status =
      orv::context::WriteNetworkAppPayload(process_id, name, payload_buffer_, size);
  if (status == kObBufferTooSmall) {
    payload_buffer_.resize(size);
    status = orv::context::WriteNetworkAppPayload(process_id, name, payload_buffer_, size);
  }
  if (!ObSucceeded(status)) {
    OB_LOG_ERROR(
        "CNetworkAppsContextProviderService::sendNetworkApp Failed to send the app - %s, to the "
        "subscriber due to failure in serialization.",
        OBRuntime::WideToUtf8(name).c_str());
    return;
  }
  (void)sendNotification(orv::context::kMessageNetworkApp, payload_buffer_.data(), size);
}

void CNetworkAppsContextProviderService::mainThreadProc() {
  condition_event* events[] = {&shutdown_event_, push_event_};
  // Waiting on both events until something is queued, then polling the shut-down event between
  // apps until the queue is empty.
  bool polling = !tuple_queue_.IsEmpty();
  try {
    for (;;) {
      const std::uint32_t result =
          WaitForMultipleEvents(polling ? 1 : 2, events, false, polling ? 0 : kWaitInfinite);
      if (result == 0) {
        OB_LOG_DEBUG("Network Apps Context - Shutdown Event received.");
        return;
      }
      if (result == 1) {
        polling = true;
      } else if (result == kWaitTimeout) {
        AppTuple app;
        const OB_STATUSCODE status = tuple_queue_.Pop(app);
        if (status == kObQueueEmpty) {
          polling = false;
        } else if (!ObSucceeded(status)) {
          OB_LOG_ERROR("Network Apps Context - Unable to get data from network app queue");
        } else {
          sendNetworkApp(app);
        }
      } else {
        OB_LOG_WARN("Network Apps Context - Invalid event received.");
      }
    }
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Caught exception: %s.", e.what());
  }
}

void CNetworkAppsContextProviderService::stopServiceThread() {
  if (service_thread_.joinable()) {
    shutdown_event_.set();
    service_thread_.join();
  }
  tuple_queue_.Clear();  // a later consumer hears only of flows seen while it is connected
}
