#include "core/orv_agent.h"

#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <filesystem>
#include <string>
#include <utility>

#include "cache/cache_engine.h"
#include "common/operator_counters.h"
#include "config/data_collection_policy.h"
#include "config/file_monitor_linux.h"
#include "config/orv_profile.h"
#include "context/orv_context_manager.h"
#include "core/orv_utils.h"
#include "flow/kdf.h"
#include "flow/user_info.h"
#include "netif/network_interface_info.h"
#include "runtime/logger.h"
#include "runtime/openssl_utility.h"
#include "runtime/text.h"
#include "runtime/utils.h"
#include "stats/usage_statistics.h"

namespace {

constexpr std::uint32_t kProfileWriterPauseMs = 500;
constexpr int kTrusted = 1;

}  // namespace

CORVAgent::CORVAgent(AgentEnvironment environment)
    : framework_(environment.framework != nullptr ? *environment.framework : CKDF::GetInstance()),
      profile_monitor_(std::make_unique<CFileMonitorLinux>()),
      detector_(environment.detector != nullptr ? *environment.detector : CORVTND::GetInstance()),
      own_pid_(environment.own_pid != 0 ? environment.own_pid
                                        : static_cast<std::uint32_t>(::getpid())),
      record_builder_(environment.record_sources ? environment.record_sources()
                                                 : CFlowRecordBuilder::ProductionSources()),
      statistics_clock_(std::move(environment.statistics_clock)) {
  CORVProfile::GetInstance().SetTrustedNetworkState(&detector_);
}

CORVAgent::~CORVAgent() = default;

int CORVAgent::MainThreadProc() {
  OB_LOG_DEBUG("ORV service just started (y)");
  statistics_ = statistics_clock_
                    ? std::make_shared<CUsageStatistics>(statistics_clock_,
                                                         &OBRuntime::Utils::GetAllUsersAppDataPath)
                    : std::make_shared<CUsageStatistics>();
  statistics_database_path_ = OBRuntime::Utils::GetORVDataDirectory() + L"/ORV.db";
  if (const OB_STATUSCODE status = OBRuntime::COpensslUtility::InitOpenSSL();
      status != kObSuccess) {
    OB_LOG_ERROR("CORVAgent::MainThreadProc failed to setup OPENSSL for Multi threading ");
    return status;  // nothing is started yet, so nothing is cleaned up
  }
  const OB_STATUSCODE status = startUp();
  if (status == kObSuccess) {
    runEventLoop();
  }
  doCleanUp();
  if (status == kObSuccess) {
    OB_LOG_DEBUG("ORV service shutdown. Exiting now.");
  }
  return status;
}

void CORVAgent::Stop() { events_[kShutdownEvent].set(); }

void CORVAgent::OnSessionChange() { events_[kSessionChangeEvent].set(); }

void CORVAgent::OnExporterStateChange(CExporter::ExporterState state) {
  exporter_state_ = state;
  if (CCacheEngine* cache = collector_watcher_.load()) {
    // Idle covers a resolution under way or being retried after a failure.
    cache->OnCollectorUsable(state == CExporter::kStateResolved ||
                             state == CExporter::kStateDraining);
  }
}

// ---- start-up and loop ----

OB_STATUSCODE CORVAgent::startUp() {
  if (ORVUtils::CreateORVDirectory() != kObSuccess) {
    OB_LOG_ERROR("CORVAgent::MainThreadProc failed to create ORVDirectory");
    return kObFailure;
  }
  COperatorCounters::Instance().SetActivity(AgentActivity::kStarting);
  status_reporter_ = std::make_unique<COperatorStatusReporter>(
      std::filesystem::path(OBRuntime::WideToUtf8(OBRuntime::Utils::GetORVDataDirectory())) /
          COperatorStatusReporter::kStatusFileName,
      [](const std::string& message) { static_cast<void>(sd_notify(0, message.c_str())); });
  status_reporter_->Start();
  if (const OB_STATUSCODE status = framework_.Initialize(this); status != kObSuccess) {
    OB_LOG_ERROR("Initialize PlatformFramework failed");
    return status;
  }
  refreshContextDemand();
  if (detector_.Start() != kObSuccess) {
    OB_LOG_ERROR("Unable to start network state/type detector");
    return kObFailure;
  }
  (void)detector_.RegisterForNetworkChange(this);
  pauseForProfileWriter();
  (void)reloadProfile();
  OB_STATUSCODE cache_status = kObFailure;
  CacheEngineEnvironment cache_environment = DefaultCacheEnvironment();
  cache_environment.ledger = &delivery_ledger_;
  auto cache_engine =
      std::make_unique<CCacheEngine>(this, &flow_queue_, &cache_queue_, &interface_queue_,
                                     &cache_status, std::move(cache_environment));
  if (cache_status != kObSuccess) {
    OB_LOG_ERROR("Unable to setup Cache Engine");
    return kObFailure;
  }
  {
    const std::scoped_lock lock(lock_);
    cache_engine_ = std::move(cache_engine);
    collector_watcher_ = cache_engine_.get();
  }
  if (profile_monitor_->StartMonitor(events_[kProfileChangeEvent], CORVProfile::GetProfilePath()) !=
      kObSuccess) {
    OB_LOG_ERROR("Start Monitor Failed");
    return kObFailure;
  }
  // A profile written after the first load but before the monitor watched would otherwise wait
  // for the next change of the file.
  if (profileFileStamp() != loaded_profile_stamp_) {
    events_[kProfileChangeEvent].set();
  }
  {
    const std::scoped_lock lock(lock_);
    if (initializeExporter() != kObSuccess) {
      OB_LOG_ERROR("CORVAgent::MainThreadProc failed to initialize exporter");
      return kObFailure;
    }
  }
  attachContextManager();
  return kObSuccess;
}

void CORVAgent::runEventLoop() {
  std::array<condition_event*, kEventCount> waits{};
  for (std::size_t index = 0; index < kEventCount; ++index) {
    waits[index] = &events_[index];
  }
  for (;;) {
    switch (WaitForMultipleEvents(kEventCount, waits.data(), false, kWaitInfinite)) {
      case kShutdownEvent:
        OB_LOG_DEBUG("ORVAgent: ORVShutdownEvent received.\n");
        return;
      case kProfileChangeEvent: {
        pauseForProfileWriter();
        (void)reloadProfile();
        break;
      }
      case kTrustedStateEvent:
        handleTrustedState();
        break;
      case kVpnStateEvent:
        handleVpnState();
        break;
      case kInterfaceChangeEvent:
        handleInterfaceChange();
        break;
      case kContextDemandEvent:
        refreshContextDemand();
        break;
      case kSessionChangeEvent:
        CUserInfo::GetInstance().MarkStale();
        break;
      default:
        break;
    }
  }
}

void CORVAgent::handleTrustedState() {
  const int state = detector_.GetNetworkType();
  OB_LOG_DEBUG("New Trusted State: %s", state == kTrusted ? "TRUSTED" : "UNTRUSTED");
  const std::scoped_lock lock(lock_);
  export_status_signal_(state == kTrusted ? IExportStatusObserver::EXPORT_ENABLED
                                          : IExportStatusObserver::EXPORT_DISABLED);
  (void)updateCollectionState();
  RefreshProfilePolicy();
}

void CORVAgent::handleVpnState() {
  if (!detector_.IsVpnConnected() && !detector_.IsVpnDisconnected()) {
    return;
  }
  const std::scoped_lock lock(lock_);
  {
    const std::scoped_lock snapshot_lock(vpn_snapshot_mutex_);
    vpn_state_signal_(*vpn_snapshot_);
  }
  (void)updateCollectionState();
  RefreshProfilePolicy();
}

void CORVAgent::handleInterfaceChange() {
  (void)CNetworkInterfaceInfo::GetInstance().PopulateDNSSuffix();
  {
    const std::scoped_lock lock(lock_);
    if (flow_collection_on_) {
      (void)framework_.NotifyNetworkChange();
    }
  }
  if (collection_stopped_for_exporter_) {
    pauseForProfileWriter();
    (void)reloadProfile();
    collection_stopped_for_exporter_ = false;
  }
}

void CORVAgent::pauseForProfileWriter() {
  OB_LOG_AS(LOG_DEBUG, "CORVAgent::processStateProfileChanged", "Profile changed.");
  // A shut-down arriving during the pause stays signalled for the loop (manual re-set).
  if (events_[kShutdownEvent].timed_wait(kProfileWriterPauseMs)) {
    events_[kShutdownEvent].set();
  }
}

// ---- profile, exporter and collection state (agent lock held) ----

OB_STATUSCODE CORVAgent::reloadProfile() {
  const OB_STATUSCODE loaded = loadProfileFile();
  const std::scoped_lock lock(lock_);
  return processStateProfileChanged(loaded);
}

OB_STATUSCODE CORVAgent::loadProfileFile() {
  loaded_profile_stamp_ = profileFileStamp();
  std::error_code error;
  if (!std::filesystem::exists(CORVProfile::GetProfilePath(), error)) {
    OB_LOG_DEBUG("ORV profile is missing, reseting to default values.");
    CORVProfile::GetInstance().ResetToDefaults();
    return kObSuccess;
  }
  const OB_STATUSCODE status = CORVProfile::LoadProfile();
  if (status != kObSuccess) {
    OB_LOG_ERROR("Loading profile failed, error: %d", status);
  }
  return status;
}

OB_STATUSCODE CORVAgent::processStateProfileChanged(OB_STATUSCODE loaded) {
  if (loaded != kObSuccess) {
    return loaded;
  }
  RefreshProfilePolicy();
  if (cache_engine_) {
    cache_engine_->OnProfileStateChanged();
  }
  if (exporter_) {
    exporter_->OnProfileStateChanged();
  } else {
    (void)initializeExporter();
  }
  OB_LOG_DEBUG("New Profile loaded.");
  (void)updateCollectionState();
  return kObSuccess;
}

CORVAgent::FileStamp CORVAgent::profileFileStamp() {
  std::error_code error;
  const std::filesystem::path path = CORVProfile::GetProfilePath();
  const auto modified = std::filesystem::last_write_time(path, error);
  if (error) {
    return {};
  }
  const auto size = std::filesystem::file_size(path, error);
  return {modified, error ? 0 : size, true};
}

OB_STATUSCODE CORVAgent::initializeExporter() {
  if (exporter_) {
    OB_LOG_DEBUG("CORVAgent::initilizeExporter Exporter was already up");
    return kObSuccess;
  }
  if (!CORVProfile::IsProfileValid()) {
    std::error_code error;
    if (std::filesystem::exists(CORVProfile::GetProfilePath(), error)) {
      // An invalid profile must not keep the agent from starting (and a service manager from
      // restarting it forever): it runs on the default settings until a valid one is written.
      if (const OB_STATUSCODE status = CORVProfile::LoadProfile(); status != kObSuccess) {
        OB_LOG_ERROR(
            "CORVAgent::initializeExporter Loading profile failed, error: %d; running on the "
            "default settings until a valid profile is written",
            status);
      }
    }
  }
  return createExporter();
}

OB_STATUSCODE CORVAgent::createExporter() {
  const CORVProfile& profile = CORVProfile::GetInstance();
  std::string collector;
  if (const OB_STATUSCODE status =
          OBRuntime::Utils::WideCharToMBCS(profile.GetCollectorIP(), collector);
      status != kObSuccess) {
    OB_LOG_ERROR("CORVAgent::initializeExporter call to WideCharToMBCS failed");
    return status;
  }
  const std::string port = std::to_string(profile.GetCollectorPort());
  OB_STATUSCODE status = kObSuccess;
  ExporterDependencies dependencies;
  dependencies.ledger = &delivery_ledger_;
  try {
    exporter_ = std::make_unique<CExporter>(
        status, this, flow_queue_, cache_queue_, interface_queue_, collector, port,
        profile.GetTemplateReportInterval(),
        [this](CExporter::ExporterState state) { OnExporterStateChange(state); },
        std::move(dependencies));
  } catch (const std::exception& error) {
    OB_LOG_ERROR(
        "CORVAgent::initializeExporter Failed to create Exporter object with an exception: %s",
        error.what());
    return kObFailure;
  }
  if (status != kObSuccess) {
    OB_LOG_ERROR("CORVAgent::initializeExporter Failed to create Exporter object.");
    exporter_.reset();
    return status;
  }
  OB_LOG_DEBUG("Collector_Config:: IP: %s, Port: %s", collector.c_str(), port.c_str());
  if (const OB_STATUSCODE started = exporter_->Start(); started != kObSuccess) {
    OB_LOG_ERROR("CORVAgent::initializeExporter failed to start exporter thread");
    return started;
  }
  return kObSuccess;
}

OB_STATUSCODE CORVAgent::updateCollectionState() {
  const std::int32_t mode = CORVProfile::GetInstance().GetCollectionMode();
  const int trusted_state = detector_.GetNetworkType();
  if (mode == last_collection_mode_ && trusted_state == last_trusted_state_ &&
      !collection_stopped_for_exporter_) {
    return kObSuccess;
  }
  last_collection_mode_ = mode;
  last_trusted_state_ = trusted_state;
  switch (mode) {
    case kCollectionModeOff:
      collection_allowed_ = false;
      break;
    case kCollectionModeTrusted:
      collection_allowed_ = trusted_state == kTrusted;
      break;
    case kCollectionModeUntrusted:
      collection_allowed_ = trusted_state != kTrusted;
      break;
    case kCollectionModeAll:
      collection_allowed_ = true;
      break;
    default:
      break;
  }
  return applyCollectionState();
}

OB_STATUSCODE CORVAgent::applyCollectionState() {
  const OB_STATUSCODE status =
      collection_allowed_ || context_demand_ ? startFlowCollection() : stopFlowCollection();
  AgentActivity activity = AgentActivity::kCollectionOff;
  if (flow_collection_on_) {
    activity =
        last_trusted_state_ == kTrusted ? AgentActivity::kExporting : AgentActivity::kCaching;
  }
  COperatorCounters::Instance().SetActivity(activity);
  return status;
}

OB_STATUSCODE CORVAgent::startFlowCollection() {
  const int trusted_state = detector_.GetNetworkType();
  const std::uint32_t interval = trusted_state != 0 && trusted_state != kTrusted
                                     ? kUntrustedReportInterval
                                     : CORVProfile::GetInstance().GetFlowReportInterval();
  if (const OB_STATUSCODE status = framework_.EnableAppFlow(); status != kObSuccess) {
    return status;
  }
  flow_collection_on_ = true;
  if (const OB_STATUSCODE status = CNetworkInterfaceManager::GetInstance().Start(interface_queue_);
      status != kObSuccess && status != kObAlreadyRunning) {
    OB_LOG_ERROR("Start Network Interface Manager failed");
  }
  if (framework_.SetFlowReportInterval(interval) != kObSuccess) {
    OB_LOG_ERROR("SetFlowReportInterval failed");
  }
  return kObSuccess;
}

OB_STATUSCODE CORVAgent::stopFlowCollection() {
  if (flow_collection_on_) {
    CNetworkInterfaceManager::GetInstance().Stop();
  }
  const OB_STATUSCODE status = framework_.DisableAppFlow();
  if (status == kObSuccess) {
    flow_collection_on_ = false;
    exporter_state_ = 0;
  }
  return status;
}

void CORVAgent::refreshContextDemand() {
  const std::scoped_lock lock(lock_);
  if (context_manager_) {
    context_demand_ = context_manager_->AnyActive();
    RefreshProviderPolicy(context_manager_->GetRequiredFields());
  }
  (void)applyCollectionState();
}

void CORVAgent::attachContextManager() {
  OB_STATUSCODE status = kObSuccess;
  auto manager = std::make_unique<CORVContextManager>(events_[kContextDemandEvent], status);
  if (status != kObSuccess) {
    OB_LOG_WARN("Network apps context is not offered; the agent goes on without it");
    return;
  }
  const std::scoped_lock lock(lock_);
  context_manager_ = std::move(manager);
}

// ---- clean-up ----

void CORVAgent::doCleanUp() {
  COperatorCounters::Instance().SetActivity(AgentActivity::kStopping);
  std::unique_ptr<CORVContextManager> context_manager;
  std::unique_ptr<CCacheEngine> cache_engine;
  std::unique_ptr<CExporter> exporter;
  {
    // From here admission returns at once, so no component below is used while it is released.
    const std::scoped_lock lock(lock_);
    shutting_down_ = true;
    context_manager = std::move(context_manager_);
    cache_engine = std::move(cache_engine_);
    exporter = std::move(exporter_);
  }
  profile_monitor_->StopMonitor();
  context_manager.reset();
  (void)detector_.DeRegisterForNetworkChange(this);
  // Collection stops first, so nothing more enters the queues while they are drained.
  {
    const std::scoped_lock lock(lock_);
    (void)stopFlowCollection();
  }
  // Joins the channel's thread: never with the agent lock held, which admission may be waiting on.
  framework_.UninitializeListener();
  // The exporter sends the flow queue out while export is possible and gives back what it could
  // not send; the cache engine then stores what is left and deletes the rows that were sent.
  if (exporter) {
    (void)exporter->Stop();
    exporter.reset();
  }
  collector_watcher_ = nullptr;  // no exporter thread is left to call it
  if (cache_engine) {
    (void)cache_engine->Stop();
    cache_engine.reset();
  }
  (void)detector_.Stop();
  if (framework_.Uninitialize() != kObSuccess) {
    OB_LOG_ERROR("Uninitialize PlatformFramework failed");
  }
  {
    const std::scoped_lock lock(lock_);
    last_collection_mode_ = kNoCollectionMode;
    last_trusted_state_ = kNoTrustedState;
  }
  if (OBRuntime::COpensslUtility::CleanUpOpenSSL() != kObSuccess) {
    OB_LOG_ERROR("CORVAgent::MainThreadProc failed to cleanup OPENSSL for Multi threading ");
  }
  if (status_reporter_) {
    status_reporter_->Stop();  // the last status: what the stop left
    status_reporter_.reset();
  }
}

// ---- observers ----

void CORVAgent::OnVPNStateChanged(const VPNSharedState& state) {
  {
    const std::scoped_lock lock(vpn_snapshot_mutex_);
    *vpn_snapshot_ = state;
  }
  events_[kVpnStateEvent].set();
}

void CORVAgent::OnTrustedStateChanged() { events_[kTrustedStateEvent].set(); }

void CORVAgent::OnNetworkTypeChange() { events_[kInterfaceChangeEvent].set(); }

OB_STATUSCODE CORVAgent::RegisterForExportStatusChange(IExportStatusObserver* observer) {
  if (observer == nullptr) {
    return kObBadArgument;
  }
  try {
    const std::scoped_lock lock(observers_mutex_);
    if (observers_.contains(observer)) {
      return kObSuccess;  // connected once only, so it is never notified twice
    }
    ObserverConnections connections;
    connections.export_status =
        export_status_signal_.connect([observer](IExportStatusObserver::EXPORTER_STATUS status) {
          observer->OnExportStatusChange(status);
        });
    connections.vpn_state = vpn_state_signal_.connect(
        [observer](const VPNSharedState& state) { observer->OnVPNStateChange(state); });
    observers_.emplace(observer, connections);
  } catch (const std::exception& error) {
    OB_LOG_ERROR("Failed to connect the signal to the passed slot as %s", error.what());
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CORVAgent::DeRegisterForExportStatusChange(IExportStatusObserver* observer) {
  try {
    const std::scoped_lock lock(observers_mutex_);
    const auto found = observers_.find(observer);
    if (found != observers_.end()) {
      found->second.export_status.disconnect();
      found->second.vpn_state.disconnect();
      observers_.erase(found);
    }
  } catch (const std::exception& error) {
    OB_LOG_ERROR("Failed to disconnect the signal to the passed slot as %s", error.what());
    return kObFailure;
  }
  return kObSuccess;
}

int CORVAgent::IsTrusted(bool* trusted) {
  const int state = detector_.GetNetworkType();
  if (trusted != nullptr) {
    *trusted = state == kTrusted;
  }
  return state;
}

OB_STATUSCODE CORVAgent::collectandReportStatstoPhoneHome() {
  if (!statistics_) {
    return kObSuccess;
  }
  return statistics_->CollectAndReport(statistics_database_path_);
}
