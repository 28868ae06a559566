// CORVAgent: the one central object of the service process. Its main procedure starts every
// component in a fixed order, runs the event loop until the shut-down event, and tears the
// components down again; its two flow callbacks admit the driver's reports into the flow queue.
//
// Threads: MainThreadProc and every event handler run on the service thread; OnFlowUpdate and
// OnPidInfo run on the flow data channel's thread; Stop, OnSessionChange, the network change
// observer operations and OnExporterStateChange are called from other threads and only set
// events or atomics. The agent lock serialises the handlers that change collection state (and
// every call into the platform framework) against admission.
//
// Shut-down: clean-up marks the agent as shutting down under the agent lock and takes the
// components out of their members before releasing them, so admission, which returns at once once
// the mark is set, never touches a released component; the channel is stopped (its thread
// joined) before the callbacks' targets go away. No flow is lost on the way: collection stops
// first, then the exporter sends the flow queue out while export is possible, then the cache
// engine stores what is left and deletes the rows of records that were sent.
#pragma once

#include <array>
#include <atomic>
#include <boost/signals2/signal.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include "common/bounded_queue.h"
#include "common/condition_event.h"
#include "common/delivery_ledger.h"
#include "common/export_status.h"
#include "common/orv_flow_object.h"
#include "common/vpn_shared_state.h"
#include "config/file_monitor.h"
#include "core/operator_status_reporter.h"
#include "core/pid_info_table.h"
#include "export/exporter.h"
#include "flow/flow_record_builder.h"
#include "flow/platform_framework.h"
#include "netif/network_interface_manager.h"
#include "trust/orv_tnd.h"

class CCacheEngine;
class CORVContextManager;
class CUsageStatistics;

// What the agent takes from its surroundings; members left empty get the production defaults,
// so tests can run an agent against a fake driver and their own shared objects.
struct AgentEnvironment {
  IPlatformFramework* framework = nullptr;  // null: the process-wide CKDF
  CORVTND* detector = nullptr;              // null: the process-wide detector
  std::uint32_t own_pid = 0;                // 0: this process's id
  // Null: the production sources of the flow record builder.
  std::function<FlowRecordSources()> record_sources;
  // Null: the boot-time clock of the usage statistics' periods.
  std::function<std::chrono::seconds()> statistics_clock;
};

class CORVAgent final : public IORVNetworkChangeObserver,
                        public IExportStatusRegistrar,
                        public IKdfMessageSink {
 public:
  // Wait indexes of the seven events, in priority order.
  enum AgentEvent : std::uint32_t {
    kShutdownEvent = 0,
    kProfileChangeEvent,
    kTrustedStateEvent,
    kVpnStateEvent,
    kInterfaceChangeEvent,
    kContextDemandEvent,
    kSessionChangeEvent,
    kEventCount
  };
  static constexpr std::size_t kQueueCapacity = 100;
  // The flow queue is deeper than the other two: admission never waits, so the queue is all the
  // slack there is while the exporter thread is not scheduled. 100 records are 5 ms at 20,000
  // flows per second, which a busy 2-core machine overruns; 2048 are 100 ms (a few MB at most).
  static constexpr std::size_t kFlowQueueCapacity = 2048;
  static constexpr std::int32_t kNoCollectionMode = 4;
  static constexpr int kNoTrustedState = 3;
  // The report interval the driver gets while the network is not trusted.
  static constexpr std::uint32_t kUntrustedReportInterval = 999;

  // Creates the queues and events and takes the framework, detector and profile monitor; starts
  // nothing.
  explicit CORVAgent(AgentEnvironment environment = {});
  ~CORVAgent() override;
  CORVAgent(const CORVAgent&) = delete;
  CORVAgent& operator=(const CORVAgent&) = delete;

  // Runs the agent's whole life on the calling thread: 0 after an orderly shut-down, else the
  // status of the first start-up step that failed.
  [[nodiscard]] int MainThreadProc();
  // Sets the shut-down event; any thread.
  void Stop();
  // Sets the session change event; any thread.
  void OnSessionChange();
  // Records the exporter's state; bound into the exporter at its creation.
  void OnExporterStateChange(CExporter::ExporterState state);

  // IKdfMessageSink: admission, on the flow data channel's thread.
  void OnFlowUpdate(std::shared_ptr<const KdfFlowData> message) override;
  void OnPidInfo(std::shared_ptr<const KdfPidInfo> message) override;

  // IORVNetworkChangeObserver
  void OnVPNStateChanged(const VPNSharedState& state) override;
  void OnTrustedStateChanged() override;
  void OnNetworkTypeChange() override;

  // IExportStatusRegistrar
  [[nodiscard]] OB_STATUSCODE RegisterForExportStatusChange(
      IExportStatusObserver* observer) override;
  [[nodiscard]] OB_STATUSCODE DeRegisterForExportStatusChange(
      IExportStatusObserver* observer) override;
  int IsTrusted(bool* trusted) override;

  // Counts a finished flow in the usage statistics and refreshes the statistics file when a
  // period has passed; admission calls it under the agent lock.
  OB_STATUSCODE collectandReportStatstoPhoneHome();

  // The flow queue, for tests that take admitted records themselves.
  [[nodiscard]] FlowRecordQueue& FlowQueue() noexcept { return flow_queue_; }

 private:
  struct ObserverConnections {
    boost::signals2::connection export_status;
    boost::signals2::connection vpn_state;
  };

  // When and how big the profile file was; exists is false when it was missing.
  struct FileStamp {
    std::filesystem::file_time_type modified{};
    std::uintmax_t size = 0;
    bool exists = false;
    friend bool operator==(const FileStamp&, const FileStamp&) = default;
  };
  [[nodiscard]] static FileStamp profileFileStamp();

  [[nodiscard]] OB_STATUSCODE startUp();
  void runEventLoop();
  void handleTrustedState();
  void handleVpnState();
  void handleInterfaceChange();
  // Waits the 500 ms that let the profile's writer finish; cut short by the shut-down event.
  void pauseForProfileWriter();
  // Reads the profile file without the agent lock (a large or slow file never holds up
  // admission), then applies it under the lock.
  OB_STATUSCODE reloadProfile();
  [[nodiscard]] OB_STATUSCODE loadProfileFile();
  // Lock held (these three). Applies a profile that loaded (loaded == kObSuccess).
  [[nodiscard]] OB_STATUSCODE processStateProfileChanged(OB_STATUSCODE loaded);
  [[nodiscard]] OB_STATUSCODE initializeExporter();
  [[nodiscard]] OB_STATUSCODE createExporter();
  // Lock held (these four).
  OB_STATUSCODE updateCollectionState();
  OB_STATUSCODE applyCollectionState();
  [[nodiscard]] OB_STATUSCODE startFlowCollection();
  OB_STATUSCODE stopFlowCollection();
  // Takes the lock.
  void refreshContextDemand();
  void attachContextManager();
  void doCleanUp();

  // Admission steps (channel thread).
  struct FlowAddresses;
  [[nodiscard]] int dropReason(const FlowAddresses& addresses) const;
  void admitLocked(const std::shared_ptr<ORVFlowObject>& flow, const KdfFlowData& message);
  // Whether a pid information record still describes the process now under its id: the same
  // image hash and the same user.
  [[nodiscard]] bool stillDescribes(const ORVFlowObject& stored);
  void handleQueueFailure(const ORVFlowObject& flow, OB_STATUSCODE status);
  [[nodiscard]] bool exporterSettledNotRunning() const;

  // Members in the order of the agent's data model.
  std::atomic<CExporter::ExporterState> exporter_state_{0};
  boost::signals2::signal<void(const VPNSharedState&)> vpn_state_signal_;
  boost::signals2::signal<void(IExportStatusObserver::EXPORTER_STATUS)> export_status_signal_;
  IPlatformFramework& framework_;
  FlowRecordQueue flow_queue_{kFlowQueueCapacity};
  InterfaceQueue interface_queue_{kQueueCapacity};
  CacheObjectQueue cache_queue_{kQueueCapacity};
  // Which records read back from the cache were sent; shared by the exporter and the cache.
  CDeliveryLedger delivery_ledger_;
  std::array<condition_event, kEventCount> events_{
      condition_event{true}, condition_event{true}, condition_event{true}, condition_event{true},
      condition_event{true}, condition_event{true}, condition_event{true}};
  CPidInfoTable pid_table_;          // channel thread, agent lock held
  std::mutex lock_;                  // the agent lock
  bool flow_collection_on_ = false;  // lock_
  std::atomic<bool> collection_stopped_for_exporter_{false};
  bool context_demand_ = false;      // lock_
  bool collection_allowed_ = false;  // lock_
  bool shutting_down_ = false;       // lock_
  std::unique_ptr<IFileMonitor> profile_monitor_;
  // Service thread only: publishes the operator counters from start-up to the end of clean-up.
  std::unique_ptr<COperatorStatusReporter> status_reporter_;
  std::unique_ptr<CORVContextManager> context_manager_;  // lock_ for replacement
  std::shared_ptr<CUsageStatistics> statistics_;
  // The cache database's path for the statistics, set at start: a final report comes with nearly
  // every flow, and the path never changes while the agent runs.
  std::wstring statistics_database_path_;
  FileStamp loaded_profile_stamp_;                         // service thread only
  std::int32_t last_collection_mode_ = kNoCollectionMode;  // lock_
  int last_trusted_state_ = kNoTrustedState;               // lock_
  std::mutex vpn_snapshot_mutex_;
  // Guarded by vpn_snapshot_mutex_. The record is large (about 155 KiB), so it lives on the heap
  // and only the reader's callback copies into it.
  std::unique_ptr<VPNSharedState> vpn_snapshot_ = std::make_unique<VPNSharedState>();
  CORVTND& detector_;
  std::unique_ptr<CCacheEngine> cache_engine_;  // lock_ for replacement
  // The cache engine as the exporter's thread may reach it (set after it is created, cleared once
  // the exporter's thread is joined), to hear whether the collector is usable.
  std::atomic<CCacheEngine*> collector_watcher_{nullptr};
  std::unique_ptr<CExporter> exporter_;  // lock_ for replacement
  std::mutex observers_mutex_;
  std::map<IExportStatusObserver*, ObserverConnections> observers_;  // observers_mutex_
  const std::uint32_t own_pid_;
  CFlowRecordBuilder record_builder_;  // channel thread
  const std::function<std::chrono::seconds()> statistics_clock_;
};
