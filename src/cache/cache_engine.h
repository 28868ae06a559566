// The flow cache engine: keeps flow and interface records on disk while export is not allowed
// and feeds them back to the exporter through the cache queue when it is.
//
// One worker thread moves between three states:
//
//   idle (MainThread) --export disabled--> caching (onCaching)
//        ^    ^                                 | export enabled: ends, re-sets the status event
//        |    +----- store empty ---------- exporting (onExporting) <-+
//        +--------------- shut-down from any state ends the thread    |
//                                           caching --export enabled--+
//
// Caching pops flow and interface records, serialises them, runs the plugin chain forward and
// writes them to the store; aging and size purging wait until the flow queue is empty.
// Exporting reads the records in ID order in batches (100 records or 150000 bytes), undoes the
// plugins and pushes the rebuilt objects into the cache queue, each tracked in the delivery
// ledger with its row. A row is deleted only once the exporter reported its record sent (settled
// every 100 pushes and when the mode ends); a record dropped unsent is read again. Rows in flight
// are skipped when read, so a run that starts while the cache queue still holds records of an
// earlier one duplicates nothing. A full cache queue puts the record in hand back and the worker
// sleeps until the exporter pops. The run ends when every record was delivered and the store is
// really empty; only then is a new key made. A mode that fails is retried after kRetryDelayMs.
//
// Size purging runs only while caching: it first drops records larger than the limit itself,
// then the oldest 100 at a time until the pages in use fit. On stop the worker writes whatever is
// left in the flow and interface queues (the exporter has sent out what it could) to the store.
//
// The observer operations and Stop are safe from any thread; everything else runs on the worker.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache_plugins.h"
#include "cache/db_migrate.h"
#include "cache/sqlite_store.h"
#include "common/bounded_queue.h"
#include "common/condition_event.h"
#include "common/delivery_ledger.h"
#include "common/export_status.h"
#include "common/interface_info.h"
#include "common/orv_flow_object.h"
#include "common/status.h"

using CacheFlowQueue = CBoundedQueue<std::shared_ptr<ORVFlowObject>>;
using CacheInterfaceQueue = CBoundedQueue<std::shared_ptr<InterfaceInfo>>;
using CacheObjectQueue = CBoundedQueue<std::shared_ptr<ORVObject>>;

// The profile's cache settings: size in MB (999: no size limit), age in days (999: no aging).
struct CacheLimits {
  std::uint16_t max_size_mb = 999;
  std::uint16_t max_duration_days = 999;
};

// Where the engine keeps its files and where it reads its limits.
struct CacheEngineEnvironment {
  std::wstring directory;                                 // holds "ORV.db" and "KConfig.dat"
  std::optional<OBPlatform::CDataProtection> protection;  // empty: the current account's
  std::function<CacheLimits()> limits;                    // called on the worker thread
  CDeliveryLedger* ledger = nullptr;  // shared with the exporter; null: the engine's own
};

// The agent's data directory and the process-wide profile's limits.
[[nodiscard]] CacheEngineEnvironment DefaultCacheEnvironment();

class CCacheEngine : public IExportStatusObserver {
 public:
  static constexpr std::uint32_t kCurrentSchemaVersion = 10;
  static constexpr std::chrono::seconds kRowCountInterval{5};
  static constexpr std::uint32_t kBatchRecords = 100;
  static constexpr std::uint32_t kBatchBytes = 150000;
  static constexpr std::uint32_t kDeleteBatch = 100;
  static constexpr std::uint32_t kWorkBufferSize = 4096;
  static constexpr std::uint32_t kRetryDelayMs = 1000;
  static constexpr std::uint16_t kNoLimit = 999;
  // Wait between looks at records the exporter still holds, once everything else was read.
  static constexpr std::uint32_t kSettlePollMs = 50;

  // Registers with the queues and the registrar and starts the worker, using the agent's data
  // directory and the process-wide profile; *status is 0 or the failing step's status.
  CCacheEngine(IExportStatusRegistrar* registrar, CacheFlowQueue* flow_queue,
               CacheObjectQueue* cache_queue, CacheInterfaceQueue* interface_queue,
               OB_STATUSCODE* status);
  // As above with an explicit environment.
  CCacheEngine(IExportStatusRegistrar* registrar, CacheFlowQueue* flow_queue,
               CacheObjectQueue* cache_queue, CacheInterfaceQueue* interface_queue,
               OB_STATUSCODE* status, CacheEngineEnvironment environment);
  ~CCacheEngine() override;
  CCacheEngine(const CCacheEngine&) = delete;
  CCacheEngine& operator=(const CCacheEngine&) = delete;

  // Deregisters, stops and joins the worker and releases the store and plugins; returns 0.
  // Calling it again does nothing.
  OB_STATUSCODE Stop();

  // IExportStatusObserver
  void OnExportStatusChange(EXPORTER_STATUS status) override;
  void OnVPNStateChange(const VPNSharedState& state) override;

  // The profile was reloaded: the worker rereads the limits.
  void OnProfileStateChanged();
  // Whether the exporter has a usable collector. While it has none (a name that does not
  // resolve, an empty address) flows are cached even on a trusted network, rather than left to
  // fill the flow queue and be dropped; they are sent once it has one. Safe from any thread.
  void OnCollectorUsable(bool usable);

  // The ledger the exporter reports delivered records to.
  [[nodiscard]] CDeliveryLedger& Ledger() { return *ledger_; }

 private:
  // One batch read back from the store while exporting.
  struct ReadBatch {
    std::vector<std::uint8_t> buffer;
    std::vector<std::uint32_t> sizes;
    std::vector<std::int64_t> ids;
    std::uint32_t remaining = 0;  // R: records not yet taken
    std::uint32_t index = 0;      // I: next record
    std::uint32_t offset = 0;     // O: its first byte in buffer
  };
  struct CachingState {
    std::vector<std::uint8_t> work;
    std::uint32_t count = 5;  // events waited on; 4 leaves the flow queue's push event out
    std::uint32_t timeout = 0;
    bool size_limit = false;
    bool aging_due = false;
  };
  struct ExportState {
    ReadBatch batch;
    std::vector<std::uint8_t> work;
    std::int64_t last_row = 0;  // the highest row taken in this run
    std::uint32_t pushed = 0;   // since the last settlement
    std::uint32_t count = 3;
    std::uint32_t timeout = 0;
  };

  [[nodiscard]] OB_STATUSCODE construct();
  void MainThread();
  // Runs the mode the export status asks for; the wait before the next run.
  [[nodiscard]] std::uint32_t runMode();
  // Validates or recreates the store and stamps the schema version; false ends the thread.
  [[nodiscard]] bool prepareStore();
  [[nodiscard]] OB_STATUSCODE validateAndMigrateDB();
  [[nodiscard]] OB_STATUSCODE onCaching();
  [[nodiscard]] OB_STATUSCODE onExporting();
  // Deletes the *count oldest records; *count becomes 0 when they were deleted.
  [[nodiscard]] OB_STATUSCODE clean_database(std::uint32_t* count, bool* size_limit);
  // Deletes records past the age limit, counting them for the operator.
  [[nodiscard]] OB_STATUSCODE purgeByAge();
  // Publishes the row count for the operator's status, at most every kRowCountInterval unless now.
  void publishRowCount(bool now);

  void setCachingWait(CachingState& state);
  // One time-out pass of caching; false ends the mode.
  [[nodiscard]] bool cachingPass(CachingState& state);
  // Serialises, transforms and writes one record; false when it was not stored.
  template <typename Record>
  [[nodiscard]] bool cacheRecord(const Record& record, std::int64_t timestamp, CachingState& state,
                                 const char* serialize_error);
  // Drains the interface queue into the store; false when reading the queue failed.
  [[nodiscard]] bool cacheInterfaces(CachingState& state);
  // One size-driven deletion of the oldest records; clears size_limit when it cannot help.
  void purgeBySize(bool& size_limit);

  void waitForQueueRoom(ExportState& state);
  // One time-out pass of exporting; false ends the mode with status.
  [[nodiscard]] bool exportingPass(ExportState& state, OB_STATUSCODE& status);
  [[nodiscard]] bool pushRecord(ExportState& state, OB_STATUSCODE& status);
  // Every row above last_row was taken: wait for the exporter, read released rows again, or end.
  [[nodiscard]] bool finishRun(ExportState& state, OB_STATUSCODE& status);
  // Refills the batch with the rows above after; -9991 when there are none.
  [[nodiscard]] OB_STATUSCODE fillBatch(ReadBatch& batch, std::int64_t after);
  // Reads the record with this ID alone when it does not fit a batch.
  [[nodiscard]] OB_STATUSCODE readOversized(ReadBatch& batch, std::int64_t id,
                                            std::uint32_t length);
  // Rebuilds the object from work[0, length); null (logged) when it cannot be.
  [[nodiscard]] std::shared_ptr<ORVObject> rebuild(std::vector<std::uint8_t>& work,
                                                   std::uint32_t length);
  // Deletes the rows of delivered records; released rows are read again.
  void settle(ExportState* state);
  // Counts and logs (once a minute) records that could not be stored, after status.
  void noteUnstored(OB_STATUSCODE status);
  // On stop: what is left in the flow and interface queues goes to the store.
  void cacheLeftovers();

  [[nodiscard]] OB_STATUSCODE initializePlugins();
  void releasePlugins();
  void updateCacheLimits();
  void scheduleNextAging();
  [[nodiscard]] bool isAgingDue();
  [[nodiscard]] std::uint32_t getAgingTimeout();
  [[nodiscard]] std::wstring databasePath() const;

  // Set before the worker starts.
  IExportStatusRegistrar* registrar_;
  std::atomic<bool> exporting_{false};  // trusted_ && collector_usable_
  std::atomic<bool> trusted_{false};
  std::atomic<bool> collector_usable_{true};
  bool shutdown_ = false;  // worker only
  CacheFlowQueue* flow_queue_;
  CacheObjectQueue* cache_queue_;
  CacheInterfaceQueue* interface_queue_;
  condition_event shutdown_event_{true};
  condition_event* flow_push_event_ = nullptr;
  condition_event* cache_pop_event_ = nullptr;
  condition_event* interface_push_event_ = nullptr;
  condition_event export_status_event_{true};
  condition_event profile_event_{true};
  std::thread worker_;
  CacheEngineEnvironment environment_;

  // Worker only once it runs.
  std::unique_ptr<CSQLite> store_;  // null after the database was discarded
  std::unique_ptr<CPluginManager> plugin_manager_;
  std::uint32_t aging_period_ = 0;    // seconds
  std::int64_t next_aging_time_ = 0;  // seconds since 1970; 0: none scheduled
  bool aging_enabled_ = false;
  MigratorList migrators_;
  std::unique_ptr<CCompressionPlugin> compression_plugin_;
  std::unique_ptr<CObfuscationPlugin> obfuscation_plugin_;
  bool registered_ = false;
  CDeliveryLedger own_ledger_;
  CDeliveryLedger* ledger_ = &own_ledger_;
  std::set<std::int64_t> due_for_deletion_;
  // Engine thread only: when the cache's row count is next published for the operator.
  std::chrono::steady_clock::time_point next_row_count_{};
  std::uint64_t failed_writes_ = 0;      // records whose insert failed (a full disk)
  std::uint64_t reported_unstored_ = 0;  // delivered
                                         // or unreadable rows not yet deleted
};
