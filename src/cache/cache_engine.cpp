#include "cache/cache_engine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>
#include <type_traits>
#include <utility>

#include "common/operator_counters.h"
#include "config/orv_profile.h"
#include "runtime/agent_thread.h"
#include "runtime/log_limiter.h"
#include "runtime/logger.h"
#include "runtime/utils.h"

namespace {

constexpr std::uint32_t kSecondsPerDay = 86400;
constexpr std::uint32_t kTagLength = 4;

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

CacheEngineEnvironment DefaultCacheEnvironment() {
  return {OBRuntime::Utils::GetORVDataDirectory(), std::nullopt,
          [] {
            const CORVProfile& profile = CORVProfile::GetInstance();
            return CacheLimits{profile.GetCacheSize(), profile.GetCacheDuration()};
          },
          nullptr};
}

CCacheEngine::CCacheEngine(IExportStatusRegistrar* registrar, CacheFlowQueue* flow_queue,
                           CacheObjectQueue* cache_queue, CacheInterfaceQueue* interface_queue,
                           OB_STATUSCODE* status)
    : CCacheEngine(registrar, flow_queue, cache_queue, interface_queue, status,
                   DefaultCacheEnvironment()) {}

CCacheEngine::CCacheEngine(IExportStatusRegistrar* registrar, CacheFlowQueue* flow_queue,
                           CacheObjectQueue* cache_queue, CacheInterfaceQueue* interface_queue,
                           OB_STATUSCODE* status, CacheEngineEnvironment environment)
    : registrar_(registrar),
      flow_queue_(flow_queue),
      cache_queue_(cache_queue),
      interface_queue_(interface_queue),
      environment_(std::move(environment)) {
  if (environment_.ledger != nullptr) {
    ledger_ = environment_.ledger;
  }
  OB_STATUSCODE result = kObFailure;
  try {
    result = construct();
  } catch (const std::exception& error) {
    OB_LOG_ERROR("Caught exception: %s", error.what());
    result = kObFailure;
  }
  if (result != kObSuccess) {
    releasePlugins();
    store_.reset();
  }
  if (status != nullptr) {
    *status = result;
  }
}

OB_STATUSCODE CCacheEngine::construct() {
  const CacheLimits limits = environment_.limits ? environment_.limits() : CacheLimits{};
  aging_period_ = static_cast<std::uint32_t>(limits.max_duration_days) * kSecondsPerDay;
  aging_enabled_ = limits.max_duration_days != kNoLimit;
  if (flow_queue_ == nullptr || cache_queue_ == nullptr || interface_queue_ == nullptr ||
      registrar_ == nullptr) {
    OB_LOG_ERROR("Bad parameters passed");
    return kObBadArgument;
  }
  OB_STATUSCODE status = flow_queue_->RegisterPushEvent(&flow_push_event_);
  if (status != kObSuccess) {
    OB_LOG_ERROR("Unable to register for the push event from incoming Queue");
    return status;
  }
  status = interface_queue_->RegisterPushEvent(&interface_push_event_);
  if (status != kObSuccess) {
    OB_LOG_ERROR("Unable to register for the push event from Interface Queue");
    return status;
  }
  status = cache_queue_->RegisterPopEvent(&cache_pop_event_);
  if (status != kObSuccess) {
    OB_LOG_ERROR("Unable to register for the pop event from cache Queue");
    return status;
  }
  if (initializePlugins() != kObSuccess) {
    OB_LOG_ERROR("Unable to initialize ORV Plugins");
    return kObFailure;
  }
  store_ = std::make_unique<CSQLite>(&status, false, databasePath());
  if (status != kObSuccess) {
    OB_LOG_ERROR("Unable to setup the caching database");
    return status;
  }
  migrators_ = MakeMigrators();
  status = registrar_->RegisterForExportStatusChange(this);
  if (status != kObSuccess) {
    OB_LOG_ERROR("Unable to register for export status changes");
    return status;
  }
  registered_ = true;
  bool trusted = false;
  static_cast<void>(registrar_->IsTrusted(&trusted));
  trusted_ = trusted;
  exporting_ = trusted && collector_usable_.load();
  worker_ = OBRuntime::StartAgentThread(&CCacheEngine::MainThread, this);
  return kObSuccess;
}

CCacheEngine::~CCacheEngine() { static_cast<void>(Stop()); }

OB_STATUSCODE CCacheEngine::Stop() {
  if (registered_) {
    static_cast<void>(registrar_->DeRegisterForExportStatusChange(this));
    registered_ = false;
  }
  shutdown_event_.set();
  if (worker_.joinable()) {
    try {
      worker_.join();
    } catch (const std::exception& error) {
      OB_LOG_WARN("Caught exception: %s", error.what());
    }
  }
  store_.reset();
  releasePlugins();
  return kObSuccess;
}

void CCacheEngine::OnExportStatusChange(EXPORTER_STATUS status) {
  trusted_ = status == EXPORT_ENABLED;
  exporting_ = trusted_.load() && collector_usable_.load();
  export_status_event_.set();
}

void CCacheEngine::OnCollectorUsable(bool usable) {
  if (collector_usable_.exchange(usable) == usable) {
    return;
  }
  OB_LOG_DEBUG("The collector is %s: flows are %s", usable ? "usable" : "unusable",
               usable && trusted_.load() ? "exported" : "cached");
  exporting_ = trusted_.load() && usable;
  export_status_event_.set();
}

void CCacheEngine::OnVPNStateChange(const VPNSharedState& /*state*/) {}

void CCacheEngine::OnProfileStateChanged() { profile_event_.set(); }

void CCacheEngine::MainThread() {
  OB_LOG_DEBUG("Main Caching Thread Started");
  if (!prepareStore()) {
    store_.reset();
    releasePlugins();
    return;
  }
  updateCacheLimits();
  condition_event* events[] = {&shutdown_event_, &profile_event_, &export_status_event_};
  std::uint32_t timeout = 0;
  while (!shutdown_) {
    const std::uint32_t result = WaitForMultipleEvents(3, events, false, timeout);
    if (result == 0) {
      shutdown_ = true;
      OB_LOG_DEBUG("Shutdown signaled. Shutting down main thread");
    } else if (result == 1) {
      updateCacheLimits();
      timeout = 0;
    } else if (result == 2 || result == kWaitTimeout) {
      timeout = runMode();
    } else {
      OB_LOG_ERROR("WaitForMultipleObjects failed (code: %d). Shutting down main thread",
                   static_cast<int>(result));
      shutdown_ = true;
    }
  }
  settle(nullptr);
  cacheLeftovers();
  OB_LOG_DEBUG("Exiting Main Caching Thread");
}

void CCacheEngine::noteUnstored(OB_STATUSCODE status) {
  // A full disk: records are lost, counted, and caching goes on for when space returns.
  const std::uint64_t unstored = failed_writes_ + store_->LostRecords();
  if (unstored != reported_unstored_) {
    COperatorCounters::Instance().Add(FlowCounter::kCacheStoreFailed,
                                      unstored - reported_unstored_);
    reported_unstored_ = unstored;
    OB_LOG_LIMITED(LOG_ERROR,
                   "Unable to write record to the database, error code - %d (%llu records not "
                   "stored so far)",
                   status, static_cast<unsigned long long>(unstored));
  }
}

void CCacheEngine::cacheLeftovers() {
  CachingState state;
  state.work.resize(kWorkBufferSize);
  std::size_t stored = 0;
  std::shared_ptr<ORVFlowObject> flow;
  while (flow_queue_->Pop(flow) == kObSuccess) {
    if (flow && cacheRecord(*flow, flow->flow_end != 0 ? flow->flow_end : Now(), state,
                            "Unable to serialize the flow data, error code - %d")) {
      ++stored;
    }
  }
  static_cast<void>(cacheInterfaces(state));
  noteUnstored(store_->FlushRecordsToDatabase());
  if (stored > 0) {
    OB_LOG_DEBUG("Cached %zu queued flow records on stop", stored);
  }
}

std::uint32_t CCacheEngine::runMode() {
  // A failed mode is retried after a short delay rather than waiting for the next status
  // change, which would drop every flow (or stall export) meanwhile.
  if (!exporting_) {
    OB_LOG_DEBUG("Exporting is disabled");
    if (onCaching() != kObSuccess && !shutdown_) {
      OB_LOG_ERROR(
          "Error encountered while caching data into the database, waiting for "
          "shutdown/network change event");
      return kRetryDelayMs;
    }
  } else {
    OB_LOG_DEBUG("Exporting is enabled");
    if (onExporting() != kObSuccess && !shutdown_) {
      OB_LOG_ERROR(
          "Error encountered while pumping data to the Cache Queue, waiting for "
          "shutdown/network change event");
      return kRetryDelayMs;
    }
  }
  return kWaitInfinite;
}

bool CCacheEngine::prepareStore() {
  if (!store_->IsFreshDB() && validateAndMigrateDB() != kObSuccess) {
    OB_LOG_ERROR("Failed to migrate DB. Deleting the DB file.");
    store_.reset();
    releasePlugins();
    const std::filesystem::path database(databasePath());
    const std::filesystem::path directory(environment_.directory);
    std::error_code error;
    // The WAL and shared-memory files go too: an old WAL would be replayed into the new file.
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      std::filesystem::remove(database.string() + suffix, error);
    }
    std::filesystem::remove(directory / "KConfig.dat", error);
  }
  OB_STATUSCODE status = kObFailure;
  if (!store_) {
    store_ = std::make_unique<CSQLite>(&status, true, databasePath());
    if (status != kObSuccess) {
      OB_LOG_ERROR("Unable to setup the caching database");
      return false;
    }
    if (initializePlugins() != kObSuccess) {
      OB_LOG_ERROR("Unable to initialize Cache Plugins");
      return false;
    }
  } else if (store_->StartSQLiteEngine(true) != kObSuccess) {
    OB_LOG_ERROR("Unable to setup the caching database");
    return false;
  }
  char version[4] = {};
  const int written =
      std::snprintf(version, sizeof(version), "%d", static_cast<int>(kCurrentSchemaVersion));
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof(version)) {
    OB_LOG_ERROR("Error while getting the current db version");
    return false;
  }
  if (store_->WriteDBSchemaVersion(version) != kObSuccess) {
    OB_LOG_ERROR("Unable to write the schema version");
  }
  return true;
}

OB_STATUSCODE CCacheEngine::validateAndMigrateDB() {
  OB_STATUSCODE status = kObFailure;
  const CSQLite check(&status, false, databasePath());
  if (status != kObSuccess) {
    OB_LOG_ERROR("Couldn't connect to DB");
    return kObFailure;
  }
  return RunMigrationChain(*store_, *plugin_manager_, migrators_);
}

// ---- caching ----

OB_STATUSCODE CCacheEngine::onCaching() {
  CachingState state;
  state.work.resize(kWorkBufferSize);
  state.size_limit = store_->IsPurgeOnSizeRequired();
  setCachingWait(state);
  condition_event* events[] = {&shutdown_event_, &profile_event_, &export_status_event_,
                               interface_push_event_, flow_push_event_};
  OB_STATUSCODE status = kObSuccess;
  bool running = true;
  while (running) {
    const std::uint32_t result = WaitForMultipleEvents(state.count, events, false, state.timeout);
    switch (result) {
      case kWaitTimeout:
        running = cachingPass(state);
        status = running ? kObSuccess : kObFailure;
        break;
      case 0:
        shutdown_ = true;
        OB_LOG_DEBUG("Shutdown signaled. Shutting down Pumping");
        running = false;
        break;
      case 1:
        updateCacheLimits();
        state.size_limit = store_->IsPurgeOnSizeRequired();
        if (state.size_limit || isAgingDue()) {
          state.timeout = 0;
        }
        break;
      case 2:
        if (exporting_) {
          export_status_event_.set();
          running = false;
        }
        break;
      case 3:
        running = cacheInterfaces(state);
        status = running ? kObSuccess : kObFailure;
        break;
      case 4:
        if (!flow_queue_->IsEmpty()) {
          state.count = 4;
          state.timeout = 0;
        }
        break;
      case kWaitFailed:
        OB_LOG_ERROR("WaitForMultipleObjects failed (code: %d). Shutting down Caching",
                     static_cast<int>(result));
        status = kObFailure;
        running = false;
        break;
      default:
        OB_LOG_ERROR("WaitForMultipleObjects returned an invalid value");
        break;
    }
  }
  noteUnstored(store_->FlushRecordsToDatabase());
  return status;
}

void CCacheEngine::setCachingWait(CachingState& state) {
  if (flow_queue_->IsEmpty()) {
    state.count = 5;
    state.timeout = getAgingTimeout();
  } else {
    state.count = 4;
    state.timeout = 0;
  }
}

bool CCacheEngine::cachingPass(CachingState& state) {
  if (aging_enabled_ && next_aging_time_ == 0) {
    scheduleNextAging();
  }
  if (isAgingDue()) {
    state.aging_due = true;
  }
  // Pop first: another consumer may take the front between a look and a pop.
  std::shared_ptr<ORVFlowObject> flow;
  const OB_STATUSCODE popped = flow_queue_->Pop(flow);
  if (popped == kObSuccess) {
    // One record per pass, so shut-down and status changes are seen between records; aging
    // and size purging wait until the queue is empty.
    if (!flow) {
      OB_LOG_ERROR("Failed to read the front element from the queue due to an unknown reason");
      return true;
    }
    const std::int64_t timestamp = flow->flow_end != 0 ? flow->flow_end : Now();
    static_cast<void>(
        cacheRecord(*flow, timestamp, state, "Unable to serialize the flow data, error code - %d"));
    return true;
  }
  if (popped != kObQueueEmpty) {
    OB_LOG_ERROR("Failed to read the front element from the queue due to an unknown reason");
    return false;
  }
  noteUnstored(store_->FlushRecordsToDatabase());
  state.count = 5;
  state.timeout = getAgingTimeout();
  publishRowCount(false);
  if (state.aging_due) {
    if (purgeByAge() == kObSuccess) {
      scheduleNextAging();
      state.aging_due = false;
    } else {
      OB_LOG_ERROR("Failed to delete records with older data");
    }
    state.timeout = getAgingTimeout();
  }
  if (state.size_limit) {
    state.timeout = 0;
    purgeBySize(state.size_limit);
  }
  return true;
}

template <typename Record>
bool CCacheEngine::cacheRecord(const Record& record, std::int64_t timestamp, CachingState& state,
                               const char* serialize_error) {
  const std::size_t needed = record.SerializedSize();
  if (needed > state.work.size()) {
    state.work.resize(needed);
  }
  auto length = static_cast<std::uint32_t>(state.work.size());
  OB_STATUSCODE status = record.Serialize(state.work.data(), &length);
  if (status != kObSuccess) {
    OB_LOG_ERROR(serialize_error, status);
    return true;
  }
  status = plugin_manager_->ProcessForward(state.work, length);
  if (status != kObSuccess) {
    OB_LOG_ERROR("Unable to construct data, so dropping the record, error code - %d", status);
    return true;
  }
  status = store_->WriteEntry(state.work.data(), timestamp, length, &state.size_limit);
  if (status != kObSuccess) {
    ++failed_writes_;
  } else if constexpr (std::is_same_v<Record, ORVFlowObject>) {
    COperatorCounters::Instance().Add(FlowCounter::kCached);
  }
  noteUnstored(status);
  return status == kObSuccess;
}

bool CCacheEngine::cacheInterfaces(CachingState& state) {
  // Drained on each signal: one auto-reset signal may stand for several pushes.
  for (;;) {
    std::shared_ptr<InterfaceInfo> info;
    const OB_STATUSCODE popped = interface_queue_->Pop(info);
    if (popped == kObQueueEmpty) {
      return true;
    }
    if (popped != kObSuccess) {
      OB_LOG_ERROR("Failed to read the front element from the queue due to an unknown reason");
      return false;
    }
    if (!info) {
      continue;
    }
    static_cast<void>(cacheRecord(*info, Now(), state,
                                  "Unable to serialize the interface data, error code - %d"));
  }
}

void CCacheEngine::purgeBySize(bool& size_limit) {
  // Stops when nothing is left or a pass deleted nothing, so a store that cannot shrink (a
  // failing VACUUM, other files) does not delete each new record as it arrives.
  std::int64_t before = 0;
  if (store_->IsEmpty() || store_->totalRecords(&before, 0, 0) != kObSuccess) {
    size_limit = false;
    return;
  }
  static_cast<void>(store_->DeleteOversized());
  std::uint32_t count = kDeleteBatch;
  static_cast<void>(clean_database(&count, &size_limit));
  std::int64_t after = 0;
  if (store_->totalRecords(&after, 0, 0) != kObSuccess || after >= before || after == 0) {
    size_limit = false;
  }
  if (after < before) {
    COperatorCounters::Instance().Add(FlowCounter::kCachePurgedSize,
                                      static_cast<std::uint64_t>(before - after));
  }
}

OB_STATUSCODE CCacheEngine::purgeByAge() {
  std::int64_t before = 0;
  std::int64_t after = 0;
  const bool counted = store_->totalRecords(&before, 0, 0) == kObSuccess;
  const OB_STATUSCODE status = store_->DeleteBasedOnDuration();
  if (counted && store_->totalRecords(&after, 0, 0) == kObSuccess && after < before) {
    COperatorCounters::Instance().Add(FlowCounter::kCachePurgedAge,
                                      static_cast<std::uint64_t>(before - after));
  }
  return status;
}

void CCacheEngine::publishRowCount(bool now) {
  // A count is a table scan: at most one every few seconds, for the operator's status.
  const auto current = std::chrono::steady_clock::now();
  if (!now && current < next_row_count_) {
    return;
  }
  next_row_count_ = current + kRowCountInterval;
  std::int64_t rows = 0;
  if (store_->totalRecords(&rows, 0, 0) == kObSuccess && rows >= 0) {
    COperatorCounters::Instance().SetCacheRows(static_cast<std::uint64_t>(rows));
  }
}

// ---- exporting ----

OB_STATUSCODE CCacheEngine::onExporting() {
  ExportState state;
  settle(&state);
  if (store_->IsEmpty() && ledger_->Outstanding() == 0) {
    return kObSuccess;
  }
  state.batch.buffer.resize(kBatchBytes);
  state.batch.sizes.resize(kBatchRecords);
  state.batch.ids.resize(kBatchRecords);
  state.work.resize(kWorkBufferSize);
  condition_event* events[] = {&shutdown_event_, &profile_event_, &export_status_event_,
                               cache_pop_event_};
  waitForQueueRoom(state);
  OB_STATUSCODE status = kObSuccess;
  bool running = true;
  while (running) {
    const std::uint32_t result = WaitForMultipleEvents(state.count, events, false, state.timeout);
    switch (result) {
      case kWaitTimeout:
        running = exportingPass(state, status);
        break;
      case 0:
        shutdown_ = true;
        OB_LOG_DEBUG("Shutdown signaled. Shutting down pumping");
        running = false;
        break;
      case 1:
        updateCacheLimits();
        if (isAgingDue()) {
          state.timeout = 0;
        }
        break;
      case 2:
        if (!exporting_) {
          export_status_event_.set();
          running = false;
        }
        break;
      case 3:
        if (!cache_queue_->IsFull()) {
          state.count = 3;
          state.timeout = 0;
        }
        break;
      case kWaitFailed:
        OB_LOG_ERROR("WaitForMultipleObjects failed (code: %d). Shutting down pumping",
                     static_cast<int>(result));
        status = kObFailure;
        running = false;
        break;
      default:
        OB_LOG_ERROR("WaitForMultipleObjects returned an invalid value");
        break;
    }
  }
  settle(nullptr);
  return status;
}

void CCacheEngine::waitForQueueRoom(ExportState& state) {
  if (cache_queue_->IsFull()) {
    OB_LOG_ERROR("Cache Queue Full. Waiting for it to get non-full...");
    state.count = 4;
    state.timeout = kWaitInfinite;
  } else {
    state.count = 3;
    state.timeout = 0;
  }
}

bool CCacheEngine::exportingPass(ExportState& state, OB_STATUSCODE& status) {
  publishRowCount(false);
  if (isAgingDue()) {
    if (purgeByAge() != kObSuccess) {
      OB_LOG_ERROR("Failed to delete records with older data");
    }
    scheduleNextAging();
  }
  state.count = 3;
  state.timeout = 0;
  if (state.batch.remaining == 0) {
    status = fillBatch(state.batch, state.last_row);
    if (status == kObQueueEmpty) {
      status = kObSuccess;
      return finishRun(state, status);
    }
    if (status != kObSuccess) {
      OB_LOG_ERROR("Unable to read from database");
      return false;
    }
  }
  return pushRecord(state, status);
}

bool CCacheEngine::finishRun(ExportState& state, OB_STATUSCODE& status) {
  const std::int64_t read_up_to = state.last_row;
  settle(&state);
  if (state.last_row < read_up_to) {
    return true;  // released rows are read again
  }
  if (ledger_->Outstanding() > 0) {
    state.timeout = kSettlePollMs;  // the exporter still holds records: wait for their fate
    return true;
  }
  std::int64_t rows = -1;
  if (store_->totalRecords(&rows, 0, 0) != kObSuccess || rows < 0) {
    OB_LOG_ERROR("Unable to get the total number of records");
    status = kObFailure;
    return false;
  }
  if (rows > static_cast<std::int64_t>(due_for_deletion_.size())) {
    state.last_row = 0;  // rows below what was read (written meanwhile): start over
    return true;
  }
  if (rows > 0) {
    // Delivered rows could not be deleted (a full disk): keep them, and the key that reads them.
    OB_LOG_LIMITED(LOG_ERROR, "Unable to delete %lld delivered records; trying again later",
                   static_cast<long long>(rows));
    status = kObFailure;
    return false;
  }
  COperatorCounters::Instance().SetCacheRows(0);
  OB_LOG_WARN("Database empty, waiting for shutdown/network change event");
  if (obfuscation_plugin_ && obfuscation_plugin_->RegenerateKey() != kObSuccess) {
    OB_LOG_ERROR("Unable to regenerate the cache key");
  }
  return false;
}

bool CCacheEngine::pushRecord(ExportState& state, OB_STATUSCODE& status) {
  ReadBatch& batch = state.batch;
  const std::uint32_t size = batch.sizes[batch.index];
  const std::int64_t row = batch.ids[batch.index];
  const std::uint32_t offset = batch.offset;
  batch.index += 1;
  batch.remaining -= 1;
  batch.offset += size;
  if (ledger_->IsTracked(row) || due_for_deletion_.contains(row)) {
    state.last_row = row;  // in flight or delivered already
    return true;
  }
  if (size > state.work.size()) {
    state.work.resize(size);
  }
  if (size > 0) {
    std::memcpy(state.work.data(), batch.buffer.data() + offset, size);
  }
  std::uint32_t length = size;
  std::shared_ptr<ORVObject> object;
  if (plugin_manager_->ProcessBackward(state.work, length) != kObSuccess) {
    OB_LOG_ERROR("Unable to reconstruct data so dropping the current record");
  } else {
    object = rebuild(state.work, length);
  }
  if (!object) {
    due_for_deletion_.insert(row);
    state.last_row = row;
    return true;
  }
  ledger_->Track(object, row);
  const ORVObject* tracked = object.get();
  const OB_STATUSCODE pushed = cache_queue_->Push(std::move(object));
  if (pushed == kObQueueFull) {
    // Put the record back; it is read again once the exporter has made room.
    ledger_->Untrack(tracked);
    batch.index -= 1;
    batch.remaining += 1;
    batch.offset -= size;
    state.count = 4;
    state.timeout = kWaitInfinite;
    return true;
  }
  if (pushed != kObSuccess) {
    ledger_->Untrack(tracked);
    OB_LOG_ERROR(
        "Failed to push data into the Cache queue due to an unknown reason so dropping record");
    status = pushed;
    return false;
  }
  state.last_row = row;
  if (++state.pushed >= kDeleteBatch) {
    settle(&state);
  }
  return true;
}

void CCacheEngine::settle(ExportState* state) {
  if (!store_) {
    return;
  }
  CDeliveryLedger::Settlement settlement = ledger_->Settle();
  due_for_deletion_.insert(settlement.delivered.begin(), settlement.delivered.end());
  if (!due_for_deletion_.empty()) {
    const std::vector<std::int64_t> rows(due_for_deletion_.begin(), due_for_deletion_.end());
    if (store_->DeleteRows(rows) == kObSuccess) {
      due_for_deletion_.clear();
    } else {
      OB_LOG_LIMITED(
          LOG_WARNING,
          "Unable to delete the records from the database that have already been pushed in the "
          "Cache Queue");
    }
  }
  if (aging_enabled_) {
    scheduleNextAging();
  }
  if (state == nullptr) {
    return;
  }
  state->pushed = 0;
  if (!settlement.released.empty()) {
    const std::int64_t first =
        *std::min_element(settlement.released.begin(), settlement.released.end());
    if (first <= state->last_row) {
      state->last_row = first - 1;
      state->batch.remaining = 0;
    }
  }
}

std::shared_ptr<ORVObject> CCacheEngine::rebuild(std::vector<std::uint8_t>& work,
                                                 std::uint32_t length) {
  OB_STATUSCODE status = kObUnexpectedRecord;
  std::shared_ptr<ORVObject> object;
  if (length >= kTagLength && (std::memcmp(work.data(), "ORVN", kTagLength) == 0 ||
                               std::memcmp(work.data(), "ORVO", kTagLength) == 0)) {
    auto flow = std::make_shared<ORVFlowObject>();
    status = flow->Deserialize(work.data(), length);
    object = std::move(flow);
  } else if (length >= kTagLength && std::memcmp(work.data(), "ORVI", kTagLength) == 0) {
    auto info = std::make_shared<InterfaceInfo>();
    status = info->Deserialize(work.data(), length);
    object = std::move(info);
  } else {
    OB_LOG_ERROR("Data of unexpected type(not flow or interface record). Dropping.");
  }
  if (status != kObSuccess) {
    OB_LOG_ERROR("Unable to de-serialize the data, so dropping record");
    return nullptr;
  }
  return object;
}

OB_STATUSCODE CCacheEngine::fillBatch(ReadBatch& batch, std::int64_t after) {
  std::uint32_t count = kBatchRecords;
  auto bytes = static_cast<std::uint32_t>(batch.buffer.size());
  const OB_STATUSCODE status = store_->ReadEntriesAfter(after, &count, batch.buffer.data(), &bytes,
                                                        batch.sizes.data(), batch.ids.data());
  batch.index = 0;
  batch.offset = 0;
  batch.remaining = status == kObSuccess ? count : 0;
  if (status == kObSuccess && count == 0) {
    return readOversized(batch, batch.ids[0], batch.sizes[0]);
  }
  return status;
}

OB_STATUSCODE CCacheEngine::readOversized(ReadBatch& batch, std::int64_t id, std::uint32_t length) {
  // The next record is larger than the batch buffer: read it alone.
  batch.buffer.resize(std::max<std::size_t>(batch.buffer.size(), length));
  OB_STATUSCODE status = store_->ReadSingleEntry(id, batch.buffer.data(), &length);
  if (status == kObBufferTooSmall) {
    batch.buffer.resize(length);
    status = store_->ReadSingleEntry(id, batch.buffer.data(), &length);
  }
  if (status != kObSuccess) {
    // An empty record fails to reconstruct and is deleted: the run moves on.
    OB_LOG_ERROR("Unable to read a record of %u bytes on its own, so dropping it", length);
    length = 0;
  }
  batch.sizes[0] = length;
  batch.ids[0] = id;
  batch.remaining = 1;
  return kObSuccess;
}

OB_STATUSCODE CCacheEngine::clean_database(std::uint32_t* count, bool* size_limit) {
  if (*count == 0) {
    return kObBadArgument;
  }
  const std::uint32_t requested = *count;
  if (store_->DeleteEntry(count, size_limit, 0, 0) != kObSuccess) {
    *count = requested;  // nothing was deleted: the delivered rows are still counted
    OB_LOG_WARN(
        "Unable to delete the records from the database that have already been pushed in the "
        "Cache Queue");
  } else {
    *count = 0;
  }
  if (aging_enabled_) {
    scheduleNextAging();
  }
  return kObSuccess;
}

// ---- plugins and limits ----

OB_STATUSCODE CCacheEngine::initializePlugins() {
  if (!plugin_manager_) {
    plugin_manager_ = std::make_unique<CPluginManager>();
  }
  compression_plugin_ = std::make_unique<CCompressionPlugin>();
  if (plugin_manager_->AddPlugin(compression_plugin_.get()) != kObSuccess) {
    return kObFailure;
  }
  OB_STATUSCODE crypto_status = kObFailure;
  auto crypto = std::make_unique<COpenSSLCryptoPlugin>(
      &crypto_status, KeyFileLocation{environment_.directory, environment_.protection});
  OB_STATUSCODE status = kObFailure;
  obfuscation_plugin_ =
      std::make_unique<CObfuscationPlugin>(&status, std::move(crypto), crypto_status);
  if (status != kObSuccess && status != kObPartialFailure) {
    return kObFailure;
  }
  return plugin_manager_->AddPlugin(obfuscation_plugin_.get());
}

void CCacheEngine::releasePlugins() {
  plugin_manager_.reset();
  obfuscation_plugin_.reset();
  compression_plugin_.reset();
}

void CCacheEngine::updateCacheLimits() {
  const CacheLimits limits = environment_.limits ? environment_.limits() : CacheLimits{};
  aging_period_ = static_cast<std::uint32_t>(limits.max_duration_days) * kSecondsPerDay;
  aging_enabled_ = limits.max_duration_days != kNoLimit;
  if (!store_) {
    return;
  }
  if (aging_enabled_) {
    scheduleNextAging();
  }
  store_->SetCacheLimits(limits.max_size_mb, aging_period_);
}

void CCacheEngine::scheduleNextAging() {
  next_aging_time_ = 0;
  std::int64_t oldest = 0;
  if (aging_enabled_ && store_ && !store_->IsEmpty() &&
      store_->GetOldestTimeStamp(&oldest) == kObSuccess && oldest != 0) {
    next_aging_time_ = oldest + aging_period_;
  }
}

bool CCacheEngine::isAgingDue() {
  if (!aging_enabled_ || !store_ || store_->IsEmpty() || next_aging_time_ == 0) {
    return false;
  }
  return Now() >= next_aging_time_;
}

std::uint32_t CCacheEngine::getAgingTimeout() {
  // Unscheduled aging waits for the next pass that schedules it rather than polling.
  if (!aging_enabled_ || !store_ || next_aging_time_ == 0 || store_->IsEmpty()) {
    return kWaitInfinite;
  }
  const std::int64_t remaining = next_aging_time_ - Now();
  if (remaining < 1) {
    return 0;
  }
  // Capped below kWaitInfinite so a far-off aging run never reads as "no limit" by accident.
  return static_cast<std::uint32_t>(std::min<std::int64_t>(remaining * 1000, kWaitInfinite - 1));
}

std::wstring CCacheEngine::databasePath() const {
  return OBRuntime::Utils::ConcatenatePath(environment_.directory, L"ORV.db", L"");
}
