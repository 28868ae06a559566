// The exporter thread: drains the flow, cache and interface queues into IPFIX messages and sends
// each as one datagram to the collector, keeping the collector informed of templates, endpoint
// identity and interfaces.
//
// State (ExporterState): 1 not started or collector not resolved, 0 resolved with collection on,
// 2 resolved with collection off (drain what is queued), -1 resolution failed. Records leave only
// while the network is trusted and the state allows it (canExport); announcements made while that
// is not so are parked (the latest per interface, built afresh when released) and released one
// per flush pass, before any flow message.
//
// Intervals (aggregation, throttle window, template report) are measured on a monotonic clock
// with signed 64-bit differences, so a wall-clock step never stalls the exporter. A flow message
// held back by the throttle or by a failed send (a collector answering "port unreachable") stays
// in the buffer across passes and goes out before a new one is built; after kMaxHeldSendFailures
// failed sends it is given up with a log line. A collector that cannot be resolved is tried
// again, from kRetryMinMs doubling to kRetryMaxMs, while the network is trusted.
//
// Delivery: the records of a message are reported to the ledger once the message was handed to
// the socket, so the cache deletes rows only for records that went out. On stop, while export is
// possible, the flow queue is sent out first (within kStopDrainMs); live records that could not
// be sent go back into the flow queue, where the cache engine stores them.
//
// Threads: everything runs on the exporter thread except OnExportStatusChange,
// OnProfileStateChanged, Start and Stop, which only set flags and events.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/bounded_queue.h"
#include "common/condition_event.h"
#include "common/delivery_ledger.h"
#include "common/export_status.h"
#include "common/interface_info.h"
#include "common/orv_object.h"
#include "common/status.h"
#include "config/data_collection_policy.h"
#include "config/orv_profile.h"
#include "export/exporter_transport.h"
#include "export/ipfix_converter.h"
#include "netif/network_interface_manager.h"

using CacheObjectQueue = CBoundedQueue<std::shared_ptr<ORVObject>>;

// What the exporter takes from its surroundings; every member left empty gets the production
// default (the process-wide profile, interface manager, UDP transport, this machine's converter).
struct ExporterDependencies {
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  Clock clock;
  std::function<std::unique_ptr<IExporterTransport>()> make_transport;
  std::unique_ptr<CIPFIXConverter> converter;
  // Loads the profile's new settings (processProfileChange step 1).
  std::function<OB_STATUSCODE()> load_profile;
  std::function<ProfileSettings()> settings;
  std::function<DataCollectionPolicy()> policy;
  std::function<std::vector<std::shared_ptr<InterfaceInfo>>()> interface_list;
  // Told of every record handed to the socket; null: nobody is told.
  CDeliveryLedger* ledger = nullptr;
};

// Thins a copy of an interface record by the policy before it is sent: an excluded index or type
// becomes 0, an excluded name or hardware address "-", an anonymised one its anonymised form;
// "SSID=" and "State=" detail entries are removed when excluded and keep their prefix when
// anonymised.
void ApplyInterfacePolicy(const DataCollectionPolicy& policy, InterfaceInfo& info);

class CExporter final : public IExportStatusObserver {
 public:
  using ExporterState = std::int32_t;
  using StateCallback = std::function<void(ExporterState)>;

  static constexpr ExporterState kStateResolved = 0;
  static constexpr ExporterState kStateIdle = 1;
  static constexpr ExporterState kStateDraining = 2;
  static constexpr ExporterState kStateFailed = -1;
  static constexpr std::size_t kPerFamilyLimit = 5;
  static constexpr std::size_t kBufferSize = 5000;
  static constexpr std::size_t kMessageLimit = 1200;
  // Failed sends after which a held (throttled) flow message is given up.
  static constexpr int kMaxHeldSendFailures = 3;
  // Wait after a failed send before the held message is tried again.
  static constexpr std::uint32_t kSendRetryMs = 200;
  static constexpr std::uint32_t kRetryMinMs = 1000;
  static constexpr std::uint32_t kRetryMaxMs = 60000;
  // How long a stop may spend sending the flow queue out.
  static constexpr std::int64_t kStopDrainMs = 5000;

  // Registers for the push events of the three queues (all must outlive the exporter); status is
  // set to -9999 when that fails, and the exporter then cannot start. Trust is read by Start,
  // after registering for its changes, so no change can fall in between.
  CExporter(OB_STATUSCODE& status, IExportStatusRegistrar* registrar, FlowRecordQueue& flow_queue,
            CacheObjectQueue& cache_queue, InterfaceQueue& interface_queue,
            const std::string& collector_host, const std::string& collector_port,
            std::uint32_t template_report_interval, StateCallback state_callback,
            ExporterDependencies dependencies = {});
  ~CExporter() override;
  CExporter(const CExporter&) = delete;
  CExporter& operator=(const CExporter&) = delete;

  // Registers for export status changes, reads trust and starts the thread; -9993 when it is
  // already running.
  [[nodiscard]] OB_STATUSCODE Start();
  // Sends the flow queue out when export is possible, gives back what could not be sent, stops
  // and joins the thread; 0 also when it had exited already.
  OB_STATUSCODE Stop();

  // IExportStatusObserver
  void OnExportStatusChange(EXPORTER_STATUS status) override;
  void OnVPNStateChange(const VPNSharedState& state) override;
  // The profile changed: the thread reloads it.
  void OnProfileStateChanged();

  [[nodiscard]] ExporterState State() const { return state_.load(); }
  // True from Start until the thread has ended (stopped, or given up on its own).
  [[nodiscard]] bool IsRunning() const { return thread_running_.load(); }

 private:
  using TimePoint = std::chrono::steady_clock::time_point;

  void mainThreadProc();
  [[nodiscard]] OB_STATUSCODE resolveCollector();
  [[nodiscard]] OB_STATUSCODE setCollectorAddress(const std::string& host, const std::string& port);
  [[nodiscard]] OB_STATUSCODE processProfileChange();
  [[nodiscard]] OB_STATUSCODE notifyChangeToCollector();
  [[nodiscard]] OB_STATUSCODE sendTemplates();
  [[nodiscard]] OB_STATUSCODE sendEndpointIdentityData();
  [[nodiscard]] OB_STATUSCODE sendInterfaceInfo(const InterfaceInfo& interface_info);
  [[nodiscard]] OB_STATUSCODE sendInterfaceInfo();
  [[nodiscard]] OB_STATUSCODE sendToCollector(const std::uint8_t* bytes, std::size_t length);
  // Builds and sends the interface message now; kObExportNotPossible when it cannot go out.
  [[nodiscard]] OB_STATUSCODE sendInterfaceNow(const InterfaceInfo& interface_info);
  // Sends one parked announcement; false when none is parked.
  [[nodiscard]] bool releaseParked();
  // The cache queue's interface record goes out now (reported delivered) or is parked.
  void sendCachedInterface(const std::shared_ptr<ORVObject>& object);
  // Retries a failed resolution when it is due; the wait until the next try otherwise.
  [[nodiscard]] std::uint32_t retryResolution();
  void onShutdown();
  // Sends the flow queue, the send queue and the held message while export is possible.
  void drainOnStop();
  // Live records not sent go back into the flow queue; cached ones stay in the cache.
  void giveBackUnsent();
  void reportDelivered();
  [[nodiscard]] bool canExport();
  void applySettings(const ProfileSettings& settings);
  void applyPolicy(InterfaceInfo& interface_info) const;
  [[nodiscard]] bool batchReady() const;
  [[nodiscard]] bool workPending() const;
  // One flush pass; returns the next time-out.
  [[nodiscard]] std::uint32_t flushPass();
  // Sends (or keeps) the message in the buffer under the throttle; fills it first when empty.
  void sendFlowMessage(bool throttling);
  [[nodiscard]] std::int64_t elapsedMs(TimePoint since) const;
  void setState(ExporterState state);

  IExportStatusRegistrar* registrar_;
  FlowRecordQueue& flow_queue_;
  CacheObjectQueue& cache_queue_;
  InterfaceQueue& interface_queue_;
  FlowRecordQueue send_queue_{kPerFamilyLimit};
  std::atomic<ExporterState> state_{kStateIdle};
  StateCallback state_callback_;
  std::atomic<bool> trusted_{false};
  ExporterDependencies deps_;
  std::unique_ptr<IExporterTransport> transport_;
  bool identity_parked_ = false;
  std::map<std::uint32_t, InterfaceInfo> parked_interfaces_;  // latest per interface UID
  std::string host_;
  std::string port_;
  std::uint32_t agg_interval_ = 0;
  std::uint32_t throttle_rate_ = 0;
  std::uint32_t template_report_interval_;
  bool aggregation_on_ = false;
  bool throttling_on_ = false;
  condition_event* flow_push_ = nullptr;
  condition_event* cache_push_ = nullptr;
  condition_event* interface_push_ = nullptr;
  condition_event shutdown_event_{false};
  condition_event profile_event_{true};
  condition_event status_event_{true};
  std::vector<std::uint8_t> buffer_;
  std::size_t held_length_ = 0;              // bytes of a flow message kept in buffer_, 0 when none
  std::vector<FlowRecordPtr> held_records_;  // the records of that message
  int held_failures_ = 0;
  bool last_send_failed_ = false;
  std::uint32_t retry_delay_ms_ = kRetryMinMs;
  TimePoint next_retry_{};
  bool registered_ = false;
  TimePoint window_start_{};
  std::uint64_t window_bytes_ = 0;
  TimePoint last_flush_{};
  std::thread thread_;
  std::atomic<bool> thread_running_{false};
  bool ready_ = false;
};
