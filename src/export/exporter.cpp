#include "export/exporter.h"

#include <algorithm>
#include <exception>
#include <set>
#include <utility>

#include "common/operator_counters.h"
#include "export/exporter_udp_transport.h"
#include "runtime/agent_thread.h"
#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/utils.h"

namespace {

// Policy fields of the interface record.
constexpr std::int32_t kFieldInterfaceIndex = 12356;
constexpr std::int32_t kFieldInterfaceType = 12357;
constexpr std::int32_t kFieldInterfaceName = 12358;
constexpr std::int32_t kFieldHardwareAddress = 12360;
constexpr std::int32_t kFieldDetailSsid = 123591;
constexpr std::int32_t kFieldDetailState = 123592;

constexpr std::int64_t kWindowMs = 1000;
constexpr std::uint32_t kDrainProbeMs = 500;

enum WaitIndex : std::uint32_t {
  kWaitShutdown = 0,
  kWaitProfile = 1,
  kWaitStatus = 2,
  kWaitInterfaceQueue = 3,
  kWaitFlowQueue = 4,
  kWaitCacheQueue = 5,
};

std::uint32_t ClampTimeout(std::int64_t milliseconds) {
  return static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(milliseconds, 0, static_cast<std::int64_t>(kWaitInfinite) - 1));
}

// Applies the policy to one detail entry of the given prefix; false when it is to be removed.
bool ApplyDetailPolicy(const DataCollectionPolicy& policy, std::int32_t field,
                       std::wstring_view prefix, std::wstring& entry) {
  if (entry.rfind(prefix, 0) != 0) {
    return true;
  }
  if (policy.IsFieldExcluded(field)) {
    return false;
  }
  if (policy.IsFieldAnonymised(field)) {
    std::wstring rest = entry.substr(prefix.size());
    AnonymizeValue(rest);
    entry = std::wstring(prefix) + rest;
  }
  return true;
}

void FillDefaults(ExporterDependencies& deps) {
  if (!deps.clock) {
    deps.clock = [] { return std::chrono::steady_clock::now(); };
  }
  if (!deps.make_transport) {
    deps.make_transport = [] { return std::make_unique<ExporterUDPTransport>(); };
  }
  if (!deps.converter) {
    deps.converter = std::make_unique<CIPFIXConverter>();
  }
  if (!deps.load_profile) {
    deps.load_profile = [] { return CORVProfile::LoadProfile(); };
  }
  if (!deps.settings) {
    deps.settings = [] { return CORVProfile::GetInstance().GetSettings(); };
  }
  if (!deps.policy) {
    deps.policy = [] { return CORVProfile::GetInstance().GetCurrentDataCollectionPolicy(); };
  }
  if (!deps.interface_list) {
    deps.interface_list = [] { return CNetworkInterfaceManager::GetInstance().GetInterfaceList(); };
  }
}

}  // namespace

CExporter::CExporter(OB_STATUSCODE& status, IExportStatusRegistrar* registrar,
                     FlowRecordQueue& flow_queue, CacheObjectQueue& cache_queue,
                     InterfaceQueue& interface_queue, const std::string& collector_host,
                     const std::string& collector_port, std::uint32_t template_report_interval,
                     StateCallback state_callback, ExporterDependencies dependencies)
    : registrar_(registrar),
      flow_queue_(flow_queue),
      cache_queue_(cache_queue),
      interface_queue_(interface_queue),
      state_callback_(std::move(state_callback)),
      deps_(std::move(dependencies)),
      host_(collector_host),
      port_(collector_port),
      template_report_interval_(template_report_interval) {
  status = kObSuccess;
  if (flow_queue_.RegisterPushEvent(&flow_push_) != kObSuccess) {
    OB_LOG_ERROR("failed to register for the Push Events on RTQueue\n");
    status = kObFailure;
    return;
  }
  if (cache_queue_.RegisterPushEvent(&cache_push_) != kObSuccess) {
    OB_LOG_ERROR("failed to register for the Push events on CQueue.");
    status = kObFailure;
    return;
  }
  if (interface_queue_.RegisterPushEvent(&interface_push_) != kObSuccess) {
    OB_LOG_ERROR("failed to register for the Push events on InterfaceQueue.");
    status = kObFailure;
    return;
  }
  if (registrar_ == nullptr) {
    OB_LOG_ERROR("no export status registrar given");
    status = kObBadArgument;
    return;
  }
  FillDefaults(deps_);
  const ProfileSettings settings = deps_.settings();
  agg_interval_ = settings.aggregation_timeout;
  throttle_rate_ = settings.throttle_rate;
  aggregation_on_ = agg_interval_ != 0;
  throttling_on_ = throttle_rate_ != 0;
  ready_ = true;
}

CExporter::~CExporter() { (void)Stop(); }

OB_STATUSCODE CExporter::Start() {
  // A thread that has not yet left state 1 is still running: never replace a joinable thread.
  if (state_.load() != kStateIdle || thread_.joinable()) {
    OB_LOG_AS(LOG_ERROR, "CExporter::Exporter", "thread was already running");
    return kObAlreadyRunning;
  }
  if (!ready_) {
    OB_LOG_ERROR("the exporter was not constructed completely");
    return kObFailure;
  }
  // Registered before trust is read: a change in between is then never lost.
  if (!registered_) {
    if (registrar_->RegisterForExportStatusChange(this) != kObSuccess) {
      OB_LOG_AS(LOG_DEBUG, "CExporter::CExporter", "failed to register for TND change events.");
      return kObFailure;
    }
    registered_ = true;
  }
  bool trusted = false;
  (void)registrar_->IsTrusted(&trusted);
  trusted_ = trusted;
  thread_running_ = true;
  try {
    thread_ = OBRuntime::StartAgentThread([this] {
      mainThreadProc();
      thread_running_ = false;
    });
  } catch (const std::exception& error) {
    thread_running_ = false;
    OB_LOG_ERROR("Exporter failed to start exporter thread with the exception: %s", error.what());
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CExporter::Stop() {
  if (!thread_.joinable()) {
    OB_LOG_DEBUG("Exporter thread exited already");
    if (registered_) {
      (void)registrar_->DeRegisterForExportStatusChange(this);
      registered_ = false;
    }
    return kObSuccess;
  }
  shutdown_event_.set();  // stopExporter
  try {
    thread_.join();
  } catch (const std::exception& error) {
    OB_LOG_ERROR("failed to join the exporter thread with an exception: %s", error.what());
    return kObFailure;
  }
  (void)registrar_->DeRegisterForExportStatusChange(this);
  registered_ = false;
  OB_LOG_DEBUG("Stopping Exporter");
  shutdown_event_.reset();
  setState(kStateIdle);
  return kObSuccess;
}

void CExporter::OnExportStatusChange(EXPORTER_STATUS status) {
  trusted_ = status == EXPORT_ENABLED;
  status_event_.set();
}

void CExporter::OnVPNStateChange(const VPNSharedState& /*state*/) {}

void CExporter::OnProfileStateChanged() {
  OB_LOG_DEBUG("New profile detected.");
  profile_event_.set();
}

void CExporter::setState(ExporterState state) {
  if (state_.exchange(state) != state && state_callback_) {
    state_callback_(state);
  }
}

std::int64_t CExporter::elapsedMs(TimePoint since) const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deps_.clock() - since).count();
}

OB_STATUSCODE CExporter::resolveCollector() {
  setState(kStateIdle);
  // An empty address would resolve to this machine: no collector is configured.
  const OB_STATUSCODE status = host_.empty() ? kObBadArgument : transport_->Connect(host_, port_);
  if (status != kObSuccess) {
    OB_LOG_ERROR("Failed to resolve/bind to collector: %d", status);
    setState(kStateFailed);
    next_retry_ = deps_.clock() + std::chrono::milliseconds(retry_delay_ms_);
    retry_delay_ms_ = std::min(retry_delay_ms_ * 2, kRetryMaxMs);
    return kObFailure;
  }
  retry_delay_ms_ = kRetryMinMs;
  setState(deps_.settings().collection_mode != kCollectionModeOff ? kStateResolved
                                                                  : kStateDraining);
  return kObSuccess;
}

OB_STATUSCODE CExporter::setCollectorAddress(const std::string& host, const std::string& port) {
  const ExporterState state = state_.load();
  if (host == host_ && port == port_ && (state == kStateResolved || state == kStateDraining)) {
    OB_LOG_AS(LOG_DEBUG, "CExporter::SetCollectorAddress",
              "There was no change in collector configuration.");
    return kObSuccess;
  }
  if (host != host_ || port != port_) {
    announced_interfaces_.clear();  // another collector learns every interface
  }
  host_ = host;
  port_ = port;
  OB_LOG_AS(LOG_DEBUG, "CExporter::SetCollectorAddress", "HOSTNAME::%s, PORT::%s", host_.c_str(),
            port_.c_str());
  return resolveCollector();
}

void CExporter::applySettings(const ProfileSettings& settings) {
  agg_interval_ = settings.aggregation_timeout;
  throttle_rate_ = settings.throttle_rate;
  template_report_interval_ = settings.template_report_interval;
  aggregation_on_ = agg_interval_ != 0;
  throttling_on_ = throttle_rate_ != 0;
}

OB_STATUSCODE CExporter::processProfileChange() {
  OB_STATUSCODE status = deps_.load_profile();
  if (status != kObSuccess) {
    OB_LOG_ERROR("failed to load new profile.");
    return status;
  }
  const ProfileSettings settings = deps_.settings();
  std::string host;
  status = OBRuntime::Utils::WideCharToMBCS(settings.collector_ip, host);
  if (status != kObSuccess) {
    OB_LOG_ERROR("call to WideCharToMBCS failed");
    return status;
  }
  status = setCollectorAddress(host, std::to_string(settings.collector_port));
  if (status != kObSuccess) {
    OB_LOG_ERROR("call to setCollector failed.");
    return status;
  }
  applySettings(settings);
  const ExporterState state = state_.load();
  if (state == kStateResolved || state == kStateDraining) {
    setState(settings.collection_mode != kCollectionModeOff ? kStateResolved : kStateDraining);
  }
  if (canExport() && notifyChangeToCollector() != kObSuccess) {
    OB_LOG_ERROR("failed to notify collector about the profile change.");
  }
  return kObSuccess;
}

OB_STATUSCODE CExporter::notifyChangeToCollector() {
  const OB_STATUSCODE templates = sendTemplates();
  if (templates != kObSuccess) {
    OB_LOG_ERROR("failed to send template information.");
  }
  const OB_STATUSCODE identity = sendEndpointIdentityData();
  const OB_STATUSCODE interfaces = sendInterfaceInfo();
  return templates == kObSuccess && identity == kObSuccess && interfaces == kObSuccess ? kObSuccess
                                                                                       : kObFailure;
}

OB_STATUSCODE CExporter::sendTemplates() {
  if (!canExport()) {
    return kObExportNotPossible;
  }
  std::vector<std::uint8_t> buffer(kBufferSize);
  std::size_t written = 0;
  OB_STATUSCODE status = deps_.converter->GetTemplatesStream(buffer.data(), buffer.size(), written);
  if (status != kObSuccess) {
    OB_LOG_ERROR("failed to extract template information.");
    return status;
  }
  status = sendToCollector(buffer.data(), written);
  if (status != kObSuccess) {
    OB_LOG_ERROR("failed to export template information.");
    return status;
  }
  OB_LOG_DEBUG("IPFIX Templates sent out successfully.");
  return kObSuccess;
}

OB_STATUSCODE CExporter::sendEndpointIdentityData() {
  if (!canExport()) {
    return kObExportNotPossible;
  }
  std::vector<std::uint8_t> buffer(kBufferSize);
  std::size_t written = 0;
  OB_STATUSCODE status =
      deps_.converter->GetEndpointIdentityStream(buffer.data(), buffer.size(), written);
  if (status != kObSuccess) {
    OB_LOG_ERROR("failed to extract endpoint data stream");
    return status;
  }
  status = sendToCollector(buffer.data(), written);
  if (status != kObSuccess) {
    OB_LOG_ERROR("failed to export endpoint information");
    return status;
  }
  return kObSuccess;
}

void CExporter::applyPolicy(InterfaceInfo& info) const {
  ApplyInterfacePolicy(deps_.policy(), info);
}

void ApplyInterfacePolicy(const DataCollectionPolicy& policy, InterfaceInfo& info) {
  if (policy.IsFieldExcluded(kFieldInterfaceIndex)) {
    info.index = 0;
  }
  if (policy.IsFieldExcluded(kFieldInterfaceName)) {
    info.name = L"-";
  } else if (policy.IsFieldAnonymised(kFieldInterfaceName)) {
    AnonymizeValue(info.name);
  }
  if (policy.IsFieldExcluded(kFieldHardwareAddress)) {
    info.hardware_address = "-";
  } else if (policy.IsFieldAnonymised(kFieldHardwareAddress) && !info.hardware_address.empty()) {
    std::wstring address = OBRuntime::Utf8ToWide(info.hardware_address);
    AnonymizeValue(address);
    info.hardware_address = OBRuntime::WideToUtf8(address);
  }
  if (policy.IsFieldExcluded(kFieldInterfaceType)) {
    info.type_code = 0;
  }
  std::erase_if(info.detail_list, [&policy](std::wstring& entry) {
    return !ApplyDetailPolicy(policy, kFieldDetailSsid, L"SSID=", entry) ||
           !ApplyDetailPolicy(policy, kFieldDetailState, L"State=", entry);
  });
}

OB_STATUSCODE CExporter::sendInterfaceInfo(const InterfaceInfo& interface_info) {
  if (!canExport()) {
    // Only the latest record per interface matters; its message is built when it is released.
    parked_interfaces_.insert_or_assign(interface_info.uid, interface_info);
    return kObSuccess;
  }
  return sendInterfaceNow(interface_info) == kObSuccess ? kObSuccess : kObFailure;
}

OB_STATUSCODE CExporter::sendInterfaceNow(const InterfaceInfo& interface_info) {
  InterfaceInfo copy = interface_info;
  applyPolicy(copy);
  std::vector<std::uint8_t> record(copy.SerializedSize());
  auto record_size = static_cast<std::uint32_t>(record.size());
  if (copy.Serialize(record.data(), &record_size) == kObSuccess) {
    record.resize(record_size);
    const auto announced = announced_interfaces_.find(copy.uid);
    if (announced != announced_interfaces_.end() && announced->second == record) {
      return kObSuccess;  // the collector knows this interface as it is
    }
  } else {
    record.clear();
  }
  std::vector<std::uint8_t> buffer(kBufferSize);
  std::size_t written = 0;
  OB_STATUSCODE status =
      deps_.converter->GetInterfaceInfoStream(buffer.data(), buffer.size(), written, copy);
  if (status != kObSuccess) {
    OB_LOG_ERROR("failed to extract interface information");
    return status;
  }
  status = sendToCollector(buffer.data(), written);
  if (status != kObSuccess) {
    OB_LOG_AS(LOG_ERROR, "CExporter::sendInterfaceInfo", "failed to export interface information");
    return status;
  }
  if (!record.empty()) {
    announced_interfaces_.insert_or_assign(copy.uid, std::move(record));
  }
  return kObSuccess;
}

bool CExporter::releaseParked() {
  if (parked_interfaces_.empty()) {
    return false;
  }
  const auto parked = parked_interfaces_.extract(parked_interfaces_.begin());
  (void)sendInterfaceNow(parked.mapped());
  return true;
}

void CExporter::sendCachedInterface(const std::shared_ptr<ORVObject>& object) {
  const auto& info = static_cast<const InterfaceInfo&>(*object);
  if (!canExport()) {
    parked_interfaces_.insert_or_assign(info.uid, info);
    return;
  }
  if (sendInterfaceNow(info) == kObSuccess && deps_.ledger != nullptr) {
    deps_.ledger->Delivered(object.get());
  }
}

OB_STATUSCODE CExporter::sendInterfaceInfo() {
  std::set<std::uint32_t> sent;
  OB_STATUSCODE result = kObSuccess;
  for (const auto& info : deps_.interface_list()) {
    if (info == nullptr || !sent.insert(info->uid).second) {
      continue;
    }
    if (sendInterfaceInfo(*info) != kObSuccess) {
      result = kObPartialFailure;
    }
  }
  return result;
}

OB_STATUSCODE CExporter::sendToCollector(const std::uint8_t* bytes, std::size_t length) {
  const OB_STATUSCODE status = transport_->Send(bytes, length, nullptr);
  if (status != kObSuccess) {
    COperatorCounters::Instance().Add(FlowCounter::kSendFailures);
    OB_LOG_ERROR("failed, status: %d.", status);
    return kObFailure;
  }
  return kObSuccess;
}

bool CExporter::canExport() {
  if (!trusted_.load()) {
    return false;
  }
  const ExporterState state = state_.load();
  if (state == kStateResolved) {
    return true;
  }
  if (state != kStateDraining) {
    return false;
  }
  if (!flow_queue_.IsEmpty() || !cache_queue_.IsEmpty() || !send_queue_.IsEmpty() ||
      workPending()) {
    return true;
  }
  // Wakes early on shut-down (a manual-reset event stays set for the loop to see).
  (void)shutdown_event_.timed_wait(kDrainProbeMs);
  return !cache_queue_.IsEmpty();
}

bool CExporter::workPending() const {
  return held_length_ != 0 || deps_.converter->PendingRecords() != 0;
}

bool CExporter::batchReady() const {
  const std::size_t queued = flow_queue_.Size() + cache_queue_.Size();
  return aggregation_on_ ? queued >= kPerFamilyLimit : queued != 0;
}

void CExporter::countSent() const {
  std::uint64_t from_cache = 0;
  for (const auto& record : held_records_) {
    from_cache += deps_.ledger != nullptr && deps_.ledger->IsTracked(record.get()) ? 1 : 0;
  }
  auto& counters = COperatorCounters::Instance();
  counters.Add(FlowCounter::kCacheDelivered, from_cache);
  counters.Add(FlowCounter::kExported, held_records_.size() - from_cache);
}

void CExporter::reportDelivered() {
  if (deps_.ledger != nullptr) {
    deps_.ledger->Delivered<ORVFlowObject>(held_records_);
  }
  held_records_.clear();
}

void CExporter::sendFlowMessage(bool throttling) {
  if (held_length_ == 0) {
    std::size_t written = 0;
    held_records_.clear();
    const OB_STATUSCODE status = deps_.converter->GetMultipleFlowObjectsStream(
        buffer_.data(), kMessageLimit, buffer_.size(), send_queue_, kPerFamilyLimit, written,
        &held_records_);
    if (status != kObSuccess) {
      OB_LOG_AS(LOG_WARNING, "CExporter::mainProc", "GetMultipleFlowObjectsStream failed.");
      held_records_.clear();
      return;
    }
    held_length_ = written;
    held_failures_ = 0;
  }
  if (held_length_ == 0) {
    reportDelivered();  // only records too large for any message: gone for good
    return;
  }
  const bool window_passed = elapsedMs(window_start_) >= kWindowMs;
  if (throttling && !window_passed && window_bytes_ + held_length_ > throttle_rate_) {
    window_bytes_ = static_cast<std::uint64_t>(throttle_rate_) + 1;
    return;
  }
  if (throttling && window_passed) {
    window_start_ = deps_.clock();
    window_bytes_ = 0;
  }
  if (sendToCollector(buffer_.data(), held_length_) == kObSuccess) {
    if (throttling) {
      window_bytes_ += held_length_;
    }
    last_send_failed_ = false;
    held_length_ = 0;
    countSent();
    reportDelivered();
    return;
  }
  // Kept for another try: a collector's "port unreachable" fails the send after the one it
  // answered, and the next one usually goes through.
  last_send_failed_ = true;
  OB_LOG_AS(LOG_ERROR, "CExporter::mainProc", "sendToCollector failed.");
  if (++held_failures_ >= kMaxHeldSendFailures) {
    OB_LOG_AS(LOG_ERROR, "CExporter::mainProc",
              "giving up a held message of %zu bytes after %d failed sends; the collector is "
              "unusable until it is connected again.",
              held_length_, held_failures_);
    // Live records go back to the flow queue, where the cache engine takes them while the
    // collector is unusable; cached ones are read from the cache again.
    giveBackUnsent();
    setState(kStateFailed);
    next_retry_ = deps_.clock() + std::chrono::milliseconds(retry_delay_ms_);
  }
}

std::uint32_t CExporter::flushPass() {
  if (!canExport()) {
    return kWaitInfinite;
  }
  if (releaseParked()) {
    return 0;
  }
  FlowRecordPtr record;
  while (!flow_queue_.IsEmpty() && !send_queue_.IsFull() &&
         (aggregation_on_ || send_queue_.IsEmpty()) && flow_queue_.Pop(record) == kObSuccess) {
    (void)send_queue_.Push(std::move(record));
  }
  // A held message keeps the throttle on even when the cache queue ran empty meanwhile.
  const bool throttling = throttle_rate_ != 0 && (!cache_queue_.IsEmpty() || held_length_ != 0);
  std::shared_ptr<ORVObject> object;
  while (!cache_queue_.IsEmpty() && !send_queue_.IsFull() &&
         (aggregation_on_ || send_queue_.IsEmpty()) && cache_queue_.Pop(object) == kObSuccess) {
    if (object == nullptr) {
      continue;
    }
    if (object->GetObjectType() == kObjectTypeFlow) {
      (void)send_queue_.Push(std::static_pointer_cast<ORVFlowObject>(object));
    } else if (object->GetObjectType() == kObjectTypeInterface) {
      sendCachedInterface(object);
    }
  }
  if (!send_queue_.IsEmpty() || workPending()) {
    sendFlowMessage(throttling);
  }
  last_flush_ = deps_.clock();
  if (last_send_failed_ && held_length_ != 0) {
    return kSendRetryMs;
  }
  const bool ready = batchReady() || workPending() || !send_queue_.IsEmpty();
  if (ready && throttling) {
    const bool spent = window_bytes_ > throttle_rate_;
    return spent ? ClampTimeout(kWindowMs - elapsedMs(window_start_)) : 0;
  }
  if (ready) {
    return 0;
  }
  return aggregation_on_ ? agg_interval_ : kWaitInfinite;
}

void CExporter::mainThreadProc() {
  if (!transport_) {
    transport_ = deps_.make_transport();
  }
  if (resolveCollector() != kObSuccess) {
    OB_LOG_AS(LOG_WARNING, "CExporter::Start", "failed to resolve collector.");
  }
  if (processProfileChange() != kObSuccess) {
    OB_LOG_AS(LOG_WARNING, "CExporter::Start", "failed to process profile.");
  }
  buffer_.assign(kBufferSize, 0);
  export_was_enabled_ = trusted_.load();
  if (sendInterfaceInfo() != kObSuccess) {
    OB_LOG_AS(LOG_ERROR, "CExporter::CExporter", "failed to send out all interface information.");
  }
  condition_event* const events[] = {&shutdown_event_, &profile_event_, &status_event_,
                                     interface_push_,  flow_push_,      cache_push_};
  std::uint32_t count = trusted_.load() ? 6 : 3;
  TimePoint template_time = deps_.clock();
  window_start_ = template_time;
  last_flush_ = template_time;
  std::uint32_t timeout = aggregation_on_ ? agg_interval_ : kWaitInfinite;
  bool stop = false;
  while (!stop) {
    if (state_.load() == kStateFailed) {
      timeout = std::min(timeout, retryResolution());
    }
    // The queues' push events are shared with the cache engine, which takes the flows while
    // nothing can be sent (untrusted, or no usable collector): then they are not waited on here.
    const ExporterState state = state_.load();
    count = trusted_.load() && (state == kStateResolved || state == kStateDraining) ? 6 : 3;
    const std::uint32_t result = WaitForMultipleEvents(count, events, false, timeout);
    if (elapsedMs(template_time) > static_cast<std::int64_t>(template_report_interval_) * 60000) {
      announced_interfaces_.clear();  // the periodic refresh repeats every interface
      (void)sendTemplates();
      (void)sendEndpointIdentityData();
      (void)sendInterfaceInfo();
      template_time = deps_.clock();
    }
    timeout = kWaitInfinite;
    switch (result) {
      case kWaitShutdown:
        stop = true;
        onShutdown();
        break;
      case kWaitProfile:
        OB_LOG_AS(LOG_DEBUG, "CExporter::mainProc", "Profile change event received.");
        if (processProfileChange() == kObSuccess) {
          timeout = canExport() ? 0 : kWaitInfinite;
        } else if (state_.load() != kStateFailed) {
          setState(kStateDraining);  // an unusable collector stays refused
        }
        break;
      case kWaitStatus:
        count = trusted_.load() ? 6 : 3;
        if (trusted_.load() && !export_was_enabled_) {
          announced_interfaces_.clear();  // after a pause, the collector may have restarted
        }
        export_was_enabled_ = trusted_.load();
        if (trusted_.load()) {
          if (resolveCollector() != kObSuccess) {
            OB_LOG_AS(LOG_ERROR, "CExporter::mainProc", "failed to resolve collector.");
          } else if (notifyChangeToCollector() != kObSuccess) {
            OB_LOG_AS(LOG_ERROR, "CExporter::SetCollectorAddress",
                      "failed to notify collector about new config.");
          }
        }
        OB_LOG_AS(LOG_DEBUG, "CExporter::mainProc", "Network change event received.");
        timeout = 0;
        break;
      case kWaitInterfaceQueue:
        if (canExport()) {
          std::shared_ptr<InterfaceInfo> info;
          while (interface_queue_.Pop(info) == kObSuccess) {
            if (info != nullptr) {
              (void)sendInterfaceInfo(*info);
            }
          }
        }
        break;
      case kWaitFlowQueue:
      case kWaitCacheQueue:
        timeout =
            batchReady() || workPending()
                ? 0
                : ClampTimeout(static_cast<std::int64_t>(agg_interval_) - elapsedMs(last_flush_));
        break;
      case kWaitTimeout:
        timeout = flushPass();
        break;
      case kWaitFailed:
        stop = true;
        OB_LOG_AS(LOG_ERROR, "CExporter::mainProc", "WaitForMultiple objects failed");
        break;
      default:
        OB_LOG_AS(LOG_ERROR, "CExporter::mainProc",
                  "WaitForMultipleObjects returned invalid event");
        break;
    }
  }
}

std::uint32_t CExporter::retryResolution() {
  const auto remaining =
      std::chrono::duration_cast<std::chrono::milliseconds>(next_retry_ - deps_.clock()).count();
  if (remaining > 0) {
    return ClampTimeout(remaining);
  }
  if (resolveCollector() != kObSuccess) {
    return retry_delay_ms_ / 2;  // resolveCollector has doubled it for the try after this one
  }
  if (trusted_.load() && notifyChangeToCollector() != kObSuccess) {
    OB_LOG_AS(LOG_ERROR, "CExporter::mainProc", "failed to notify collector about new config.");
  }
  return 0;
}

void CExporter::onShutdown() {
  drainOnStop();
  giveBackUnsent();
  (void)transport_->Disconnect();
  OB_LOG_AS(LOG_DEBUG, "CExporter::mainProc", "Shutdown event received.\n");
}

void CExporter::drainOnStop() {
  const ExporterState state = state_.load();
  if (!trusted_.load() || (state != kStateResolved && state != kStateDraining)) {
    return;
  }
  const TimePoint start = deps_.clock();
  while (elapsedMs(start) < kStopDrainMs) {
    FlowRecordPtr record;
    while (!send_queue_.IsFull() && flow_queue_.Pop(record) == kObSuccess) {
      (void)send_queue_.Push(std::move(record));
    }
    if (send_queue_.IsEmpty() && !workPending()) {
      return;
    }
    sendFlowMessage(false);
    if (last_send_failed_) {
      return;
    }
  }
}

void CExporter::giveBackUnsent() {
  std::vector<FlowRecordPtr> unsent = deps_.converter->TakePendingRecords();
  if (held_length_ != 0) {
    unsent.insert(unsent.end(), held_records_.begin(), held_records_.end());
  }
  held_length_ = 0;
  held_records_.clear();
  FlowRecordPtr record;
  while (send_queue_.Pop(record) == kObSuccess) {
    unsent.push_back(std::move(record));
  }
  std::size_t lost = 0;
  for (FlowRecordPtr& flow : unsent) {
    const bool cached = deps_.ledger != nullptr && deps_.ledger->IsTracked(flow.get());
    if (flow != nullptr && !cached && flow_queue_.Push(std::move(flow)) != kObSuccess) {
      ++lost;
    }
  }
  if (lost != 0) {
    OB_LOG_ERROR("%zu unsent flow records found no room in the flow queue", lost);
  }
}
