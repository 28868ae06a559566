#include "cache/sqlite_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/log_limiter.h"
#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/utils.h"

namespace {

constexpr const char* kCreateProcessData =
    "CREATE TABLE IF NOT EXISTS PROCESS_DATA(ID INTEGER PRIMARY KEY AUTOINCREMENT,INFO BLOB NOT "
    "NULL,TIMESTAMP INTEGER NOT NULL);";
constexpr const char* kCreateMetadata =
    "CREATE TABLE IF NOT EXISTS METADATA(PARAMETER TEXT PRIMARY KEY ,VALUE TEXT NOT NULL );";
constexpr const char* kIsFresh =
    "SELECT name FROM sqlite_master WHERE type='table' AND name='PROCESS_DATA'";
constexpr const char* kReadMetadata = "SELECT VALUE FROM METADATA WHERE PARAMETER=?";
constexpr const char* kWriteMetadata = "REPLACE INTO METADATA(PARAMETER,VALUE) VALUES(?,?)";
constexpr const char* kInsert = "INSERT INTO PROCESS_DATA(INFO,TIMESTAMP) VALUES(?,?)";
constexpr const char* kReadLimit = "SELECT INFO FROM PROCESS_DATA LIMIT ?";
constexpr const char* kReadLimitOffset = "SELECT INFO FROM PROCESS_DATA LIMIT ? OFFSET ?";
constexpr const char* kReadRange = "SELECT INFO FROM PROCESS_DATA WHERE ID >= ? AND ID <= ?";
constexpr const char* kCountAll = "SELECT COUNT(*) FROM PROCESS_DATA";
constexpr const char* kCountLimit = "SELECT ID FROM PROCESS_DATA LIMIT ?";
constexpr const char* kCountLimitOffset = "SELECT ID FROM PROCESS_DATA LIMIT ? OFFSET ?";
constexpr const char* kDeleteOldest =
    "DELETE FROM PROCESS_DATA WHERE ID IN (SELECT ID FROM PROCESS_DATA LIMIT ?)";
constexpr const char* kDeleteRange = "DELETE FROM PROCESS_DATA WHERE ID >= ? AND ID <= ?";
constexpr const char* kDeleteOld = "DELETE FROM PROCESS_DATA WHERE TIMESTAMP< ?";
constexpr const char* kResetSequence = "DELETE FROM SQLITE_SEQUENCE WHERE NAME = \"PROCESS_DATA\"";
constexpr const char* kReadOne = "SELECT INFO FROM PROCESS_DATA WHERE ID=?";
constexpr const char* kNextId = "SELECT MIN(ID) FROM PROCESS_DATA WHERE ID > ?";
constexpr const char* kReadAfter =
    "SELECT ID, INFO FROM PROCESS_DATA WHERE ID > ? ORDER BY ID LIMIT ?";
constexpr const char* kDeleteOne = "DELETE FROM PROCESS_DATA WHERE ID=?";
constexpr const char* kDeleteOversized = "DELETE FROM PROCESS_DATA WHERE length(INFO) > ?";
constexpr const char* kUpdateOne = "UPDATE PROCESS_DATA SET INFO=? WHERE ID=?";

constexpr const char* kPartialWrite =
    "Insufficient memory.Only partial write was successful memory needed=%d";
constexpr const char* kExecutionFailed = "Execution failed due to - %s";
constexpr const char* kBindIntFailed = "Unable to bind the integer to the above compiled statement";
constexpr const char* kBindBlobFailed =
    "Unable to bind the binary data to the above compiled statement";
constexpr const char* kCountFailed = "Unable to get the total number of records";
// How long a statement waits for another connection's lock (schema checks) before failing.
constexpr int kBusyTimeoutMs = 5000;

// Creates the file 0600 before SQLite sees it, so there is no moment with wider permissions.
void CreatePrivateFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
  }
}

bool BindInt(sqlite3_stmt* statement, int index, std::int64_t value) {
  if (sqlite3_bind_int64(statement, index, value) != SQLITE_OK) {
    OB_LOG_ERROR("%s", kBindIntFailed);
    return false;
  }
  return true;
}

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Resets a cached statement on every exit so it holds no lock between uses.
class StatementUse {
 public:
  explicit StatementUse(sqlite3_stmt* statement) : statement_(statement) {}
  ~StatementUse() {
    if (statement_ != nullptr) {
      sqlite3_reset(statement_);
      sqlite3_clear_bindings(statement_);
    }
  }
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;

 private:
  sqlite3_stmt* statement_;
};

}  // namespace

namespace internal {
void StatementDeleter::operator()(sqlite3_stmt* statement) const {
  if (sqlite3_finalize(statement) != SQLITE_OK) {
    OB_LOG_AS(LOG_WARNING, "CSQLite::finalize", "Unable to delete the prepared statement");
  }
}
void ConnectionDeleter::operator()(sqlite3* connection) const {
  if (sqlite3_close(connection) != SQLITE_OK) {
    OB_LOG_AS(LOG_ERROR, "CSQLite::closeDatabase", "Failed to close the database connection");
    sqlite3_close_v2(connection);
  }
}
}  // namespace internal

CSQLite::CSQLite(OB_STATUSCODE* status, bool create_tables)
    : CSQLite(status, create_tables,
              OBRuntime::Utils::ConcatenatePath(OBRuntime::Utils::GetORVDataDirectory(), L"ORV.db",
                                                L"")) {}

CSQLite::CSQLite(OB_STATUSCODE* status, bool create_tables, std::wstring path)
    : path_(std::move(path)), path_utf8_(OBRuntime::WideToUtf8(path_)) {
  const OB_STATUSCODE result = StartSQLiteEngine(create_tables);
  if (status != nullptr) {
    *status = result;
  }
}

CSQLite::~CSQLite() { static_cast<void>(closeDatabase()); }

OB_STATUSCODE CSQLite::StartSQLiteEngine(bool create_tables) {
  OB_STATUSCODE status = kObSuccess;
  if (!connection_) {
    status = connectToDatabase();
  }
  if (status == kObSuccess && create_tables) {
    status = createTable();
  }
  if (status != kObSuccess) {
    OB_LOG_ERROR("Unable to start SQLite Engine");
  }
  return status;
}

OB_STATUSCODE CSQLite::connectToDatabase() {
  CreatePrivateFile(path_utf8_);
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path_utf8_.c_str(), &raw,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  std::unique_ptr<sqlite3, internal::ConnectionDeleter> connection(raw);
  if (rc != SQLITE_OK) {
    OB_LOG_ERROR("Unable to connect to database");
    return kObFailure;
  }
  if (::chmod(path_utf8_.c_str(), 0600) != 0) {
    OB_LOG_ERROR("Unable to change the file permission of database");
  }
  sqlite3_busy_timeout(connection.get(), kBusyTimeoutMs);
  connection_ = std::move(connection);
  // The WAL counts towards the size limit: checkpoint it every 1 MiB and truncate it back to
  // that size, so it never takes more than a small share of the limit.
  // A file that is not a database fails here; it is still "connected" so that the schema check
  // fails next and the cache replaces the file.
  if (executeStatement("PRAGMA journal_mode=WAL") != kObSuccess ||
      executeStatement("PRAGMA synchronous=NORMAL") != kObSuccess ||
      executeStatement("PRAGMA wal_autocheckpoint=256") != kObSuccess ||
      executeStatement("PRAGMA journal_size_limit=1048576") != kObSuccess) {
    OB_LOG_WARN("Unable to set the journal mode of the database");
  }
  return kObSuccess;
}

sqlite3_stmt* CSQLite::prepare(const std::string& sql) {
  if (!connection_) {
    OB_LOG_ERROR("Unable to compile the SQL statement");
    return nullptr;
  }
  auto found = statements_.find(sql);
  if (found != statements_.end()) {
    return found->second.get();
  }
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(connection_.get(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK ||
      raw == nullptr) {
    OB_LOG_ERROR("Unable to compile the SQL statement");
    sqlite3_finalize(raw);
    return nullptr;
  }
  return statements_.emplace(sql, Statement(raw)).first->second.get();
}

OB_STATUSCODE CSQLite::stepDone(sqlite3_stmt* statement) {
  if (sqlite3_step(statement) != SQLITE_DONE) {
    OB_LOG_LIMITED(LOG_ERROR, "Execution failed due to - %s", sqlite3_errmsg(connection_.get()));
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CSQLite::executeStatement(const char* sql) {
  if (!connection_) {
    return kObFailure;
  }
  char* error = nullptr;
  if (sqlite3_exec(connection_.get(), sql, nullptr, nullptr, &error) != SQLITE_OK) {
    OB_LOG_ERROR(kExecutionFailed, error != nullptr ? error : "unknown error");
    sqlite3_free(error);
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CSQLite::createTable() {
  if (executeStatement(kCreateProcessData) != kObSuccess) {
    OB_LOG_ERROR("Unable to Create Table");
    return kObFailure;
  }
  if (CreateMetaDataTable() != kObSuccess) {
    OB_LOG_ERROR("Unable to create MetaData Table");
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CSQLite::CreateMetaDataTable() {
  if (executeStatement(kCreateMetadata) != kObSuccess) {
    OB_LOG_ERROR("Unable to create MetaData Table");
    return kObFailure;
  }
  return kObSuccess;
}

bool CSQLite::IsFreshDB() {
  sqlite3_stmt* statement = prepare(kIsFresh);
  if (statement == nullptr) {
    return false;
  }
  StatementUse use(statement);
  return sqlite3_step(statement) == SQLITE_DONE;
}

OB_STATUSCODE CSQLite::readFromMetadataTable(const char* name, char* buffer,
                                             std::uint32_t* capacity) {
  if (name == nullptr || buffer == nullptr || capacity == nullptr) {
    return kObBadArgument;
  }
  sqlite3_stmt* statement = prepare(kReadMetadata);
  if (statement == nullptr) {
    return kObFailure;
  }
  StatementUse use(statement);
  if (sqlite3_bind_text(statement, 1, name, -1, SQLITE_STATIC) != SQLITE_OK) {
    OB_LOG_ERROR("Unable to bind the text to the above compiled statement");
    return kObFailure;
  }
  if (sqlite3_step(statement) != SQLITE_ROW) {
    OB_LOG_ERROR(kExecutionFailed, sqlite3_errmsg(connection_.get()));
    return kObNotFound;
  }
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  const auto length = static_cast<std::uint32_t>(sqlite3_column_bytes(statement, 0));
  if (length + 1 > *capacity) {
    OB_LOG_ERROR(kPartialWrite, static_cast<int>(length));
    *capacity = length + 1;
    return kObBufferTooSmall;
  }
  if (length > 0) {
    std::memcpy(buffer, text, length);
  }
  buffer[length] = '\0';
  *capacity = length + 1;
  return kObSuccess;
}

OB_STATUSCODE CSQLite::writeToMetadataTable(const char* name, const char* value) {
  if (name == nullptr || value == nullptr) {
    return kObBadArgument;
  }
  sqlite3_stmt* statement = prepare(kWriteMetadata);
  if (statement == nullptr) {
    return kObFailure;
  }
  StatementUse use(statement);
  if (sqlite3_bind_text(statement, 1, name, -1, SQLITE_STATIC) != SQLITE_OK ||
      sqlite3_bind_text(statement, 2, value, -1, SQLITE_STATIC) != SQLITE_OK) {
    OB_LOG_ERROR("Unable to bind the text to the above compiled statement");
    return kObFailure;
  }
  return stepDone(statement);
}

OB_STATUSCODE CSQLite::ReadDBSchemaVersion(int* version) {
  if (version == nullptr) {
    return kObBadArgument;
  }
  std::vector<char> buffer(5);
  auto capacity = static_cast<std::uint32_t>(buffer.size());
  OB_STATUSCODE status = readFromMetadataTable("VERSION", buffer.data(), &capacity);
  if (status == kObBufferTooSmall) {
    buffer.resize(capacity);
    status = readFromMetadataTable("VERSION", buffer.data(), &capacity);
  }
  if (status != kObSuccess) {
    OB_LOG_DEBUG("Failed to get version from metadata table");
    *version = 0;
    return status;
  }
  *version = std::atoi(buffer.data());
  if (*version < 0 || *version > 10) {
    OB_LOG_DEBUG("Invalid DB version value %d found in the table.", *version);
    *version = 11;
  }
  return kObSuccess;
}

OB_STATUSCODE CSQLite::WriteDBSchemaVersion(const char* version) {
  return writeToMetadataTable("VERSION", version);
}

OB_STATUSCODE CSQLite::WriteEntry(const std::uint8_t* blob, std::int64_t timestamp,
                                  std::uint32_t length, bool* size_limit) {
  if (blob == nullptr || length == 0 || size_limit == nullptr) {
    return kObBadArgument;
  }
  if (batch_count_ == 0) {
    if (executeStatement("BEGIN TRANSACTION") != kObSuccess) {
      // The record goes out in auto-commit mode; the count wraps to 0 again below so the next
      // write tries to open the batch again.
      --batch_count_;
    }
    *size_limit = IsPurgeOnSizeRequired();
  }
  sqlite3_stmt* statement = prepare(kInsert);
  if (statement == nullptr) {
    return kObFailure;
  }
  StatementUse use(statement);
  if (sqlite3_bind_blob(statement, 1, blob, static_cast<int>(length), SQLITE_STATIC) != SQLITE_OK) {
    OB_LOG_ERROR("%s", kBindBlobFailed);
    return kObFailure;
  }
  if (!BindInt(statement, 2, timestamp)) {
    return kObFailure;
  }
  if (sqlite3_step(statement) != SQLITE_DONE) {
    // A full disk fails every insert: the caller counts them and logs once a minute.
    OB_LOG_LIMITED(LOG_ERROR, "Execution failed due to - %s", sqlite3_errmsg(connection_.get()));
    if (sqlite3_get_autocommit(connection_.get()) != 0) {
      lost_records_ += batch_count_;  // SQLite rolled the batch back
      batch_count_ = 0;
    }
    return kObFailure;
  }
  ++batch_count_;
  if (batch_count_ >= kBatchSize) {
    static_cast<void>(FlushRecordsToDatabase());
  }
  return kObSuccess;
}

OB_STATUSCODE CSQLite::FlushRecordsToDatabase() {
  if (batch_count_ == 0) {
    return kObSuccess;
  }
  if (connection_ &&
      sqlite3_exec(connection_.get(), "END TRANSACTION", nullptr, nullptr, nullptr) == SQLITE_OK) {
    batch_count_ = 0;
    return kObSuccess;
  }
  // A full disk fails every commit: logged once a minute.
  OB_LOG_LIMITED(LOG_WARNING, "Unable to flush records to the database. (%s)",
                 connection_ ? sqlite3_errmsg(connection_.get()) : "not connected");
  // SQLite may have rolled the transaction back itself; then its records are lost.
  if (connection_ && sqlite3_get_autocommit(connection_.get()) != 0) {
    lost_records_ += batch_count_;
    batch_count_ = 0;
  } else {
    batch_count_ = kBatchSize - 1;
  }
  return kObFailure;
}

OB_STATUSCODE CSQLite::validateRange(std::uint32_t* count, std::int64_t* first_id,
                                     std::int64_t* last_id, bool for_delete) {
  const bool full_range = *first_id > 0 && *last_id > 0;
  if ((*last_id > 0 && *last_id < *first_id) || (*count < 1 && !full_range) || *first_id < 0 ||
      *last_id < 0) {
    *count = 0;
    return kObBadArgument;
  }
  if (*first_id == 0) {
    return kObSuccess;
  }
  if (*last_id == 0) {
    *last_id = *first_id + *count - 1;
  } else if (static_cast<std::int64_t>(*count) != *last_id - *first_id + 1) {
    if (for_delete) {
      OB_LOG_WARN(
          "The number of records does not match the range. Proceeding with ID between %lld and "
          "%lld",
          static_cast<long long>(*first_id), static_cast<long long>(*last_id));
    }
    *count = static_cast<std::uint32_t>(*last_id - *first_id + 1);
  }
  return kObSuccess;
}

OB_STATUSCODE CSQLite::ReadEntry(std::uint32_t* count, std::uint8_t* buffer,
                                 std::uint32_t* buffer_size, std::uint32_t* sizes,
                                 std::int64_t first_id, std::int64_t last_id,
                                 std::uint32_t offset) {
  if (count == nullptr || buffer == nullptr || buffer_size == nullptr || sizes == nullptr) {
    return kObBadArgument;
  }
  std::int64_t rows = 0;
  if (totalRecords(&rows, *count, offset) != kObSuccess) {
    OB_LOG_ERROR("%s", kCountFailed);
    return kObFailure;
  }
  if (rows == 0) {
    OB_LOG_ERROR("Database Empty");
    return kObQueueEmpty;
  }
  const std::uint32_t capacity_slots = *count;
  if (validateRange(count, &first_id, &last_id, false) != kObSuccess) {
    *buffer_size = 0;
    return kObBadArgument;
  }
  const bool by_range = first_id > 0;
  sqlite3_stmt* statement =
      prepare(by_range ? kReadRange : (offset > 0 ? kReadLimitOffset : kReadLimit));
  if (statement == nullptr) {
    return kObFailure;
  }
  StatementUse use(statement);
  if (!BindInt(statement, 1, by_range ? first_id : *count) ||
      ((by_range || offset > 0) && !BindInt(statement, 2, by_range ? last_id : offset))) {
    return kObFailure;
  }
  // A range read can name more rows than the caller made room for; never write past either.
  const std::uint32_t slots = capacity_slots > 0 ? std::min(capacity_slots, *count) : *count;
  std::uint32_t used = 0;
  std::uint32_t copied = 0;
  int rc = SQLITE_ROW;
  while (copied < slots && (rc = sqlite3_step(statement)) == SQLITE_ROW) {
    const auto length = static_cast<std::uint32_t>(sqlite3_column_bytes(statement, 0));
    if (length > *buffer_size - used) {
      OB_LOG_ERROR(kPartialWrite, static_cast<int>(used + length));
      break;
    }
    if (length > 0) {
      std::memcpy(buffer + used, sqlite3_column_blob(statement, 0), length);
    }
    sizes[copied++] = length;
    used += length;
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    OB_LOG_ERROR(kExecutionFailed, sqlite3_errmsg(connection_.get()));
    *count = 0;
    *buffer_size = 0;
    return kObFailure;
  }
  *count = copied;
  *buffer_size = used;
  return kObSuccess;
}

OB_STATUSCODE CSQLite::totalRecords(std::int64_t* count, std::int64_t limit, std::uint32_t offset) {
  if (count == nullptr) {
    return kObBadArgument;
  }
  *count = -1;
  sqlite3_stmt* statement =
      prepare(limit < 1 ? kCountAll : (offset > 0 ? kCountLimitOffset : kCountLimit));
  if (statement == nullptr) {
    return kObFailure;
  }
  StatementUse use(statement);
  if (limit >= 1 &&
      (!BindInt(statement, 1, limit) || (offset > 0 && !BindInt(statement, 2, offset)))) {
    return kObFailure;
  }
  std::int64_t rows = 0;
  int rc = SQLITE_ROW;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    rows = limit < 1 ? sqlite3_column_int64(statement, 0) : rows + 1;
  }
  if (rc != SQLITE_DONE) {
    OB_LOG_ERROR(kExecutionFailed, sqlite3_errmsg(connection_.get()));
    return kObFailure;
  }
  *count = rows;
  return kObSuccess;
}

OB_STATUSCODE CSQLite::DeleteEntry(std::uint32_t* count, bool* size_limit, std::int64_t first_id,
                                   std::int64_t last_id) {
  if (count == nullptr || size_limit == nullptr) {
    return kObBadArgument;
  }
  const bool compact = *size_limit;
  OB_STATUSCODE status = validateRange(count, &first_id, &last_id, true);
  if (status == kObSuccess) {
    const bool by_range = first_id > 0;
    sqlite3_stmt* statement = prepare(by_range ? kDeleteRange : kDeleteOldest);
    status = kObFailure;
    if (statement != nullptr) {
      StatementUse use(statement);
      if (BindInt(statement, 1, by_range ? first_id : *count) &&
          (!by_range || BindInt(statement, 2, last_id))) {
        status = stepDone(statement);
      }
    }
  }
  if (status == kObSuccess) {
    static_cast<void>(resetKeyId());
    noteDeletions(*count, compact);
  } else {
    *count = 0;
  }
  *size_limit = IsPurgeOnSizeRequired();
  return status;
}

void CSQLite::noteDeletions(std::int64_t deleted, bool compact) {
  deleted_count_ += static_cast<std::uint32_t>(std::clamp<std::int64_t>(deleted, 0, 1 << 30));
  if (compact && deleted_count_ > kDefragThreshold && DefragDB() == kObSuccess) {
    deleted_count_ = 0;
  }
}

OB_STATUSCODE CSQLite::DeleteBasedOnDuration() {
  sqlite3_stmt* statement = prepare(kDeleteOld);
  if (statement == nullptr) {
    return kObFailure;
  }
  {
    StatementUse use(statement);
    const std::int64_t cutoff = NowSeconds() - (static_cast<std::int64_t>(max_age_) - kAgeMargin);
    if (!BindInt(statement, 1, cutoff) || stepDone(statement) != kObSuccess) {
      return kObFailure;
    }
  }
  noteDeletions(sqlite3_changes(connection_.get()), true);
  return kObSuccess;
}

OB_STATUSCODE CSQLite::GetOldestTimeStamp(std::int64_t* timestamp) {
  if (timestamp == nullptr) {
    return kObBadArgument;
  }
  *timestamp = 0;
  if (IsEmpty()) {
    return kObSuccess;
  }
  const OB_STATUSCODE status = GetMinValue("TIMESTAMP", timestamp);
  if (status != kObSuccess) {
    OB_LOG_ERROR("Failed to fetch oldest timestamp from db");
  }
  return status;
}

OB_STATUSCODE CSQLite::GetMinValue(const char* column, std::int64_t* value) {
  if (column == nullptr || value == nullptr) {
    return kObBadArgument;
  }
  sqlite3_stmt* statement = prepare(std::string("SELECT MIN(") + column + ") FROM PROCESS_DATA");
  if (statement == nullptr) {
    return kObFailure;
  }
  StatementUse use(statement);
  if (sqlite3_step(statement) != SQLITE_ROW) {
    OB_LOG_ERROR(kExecutionFailed, sqlite3_errmsg(connection_.get()));
    return kObFailure;
  }
  if (sqlite3_column_type(statement, 0) == SQLITE_NULL) {
    *value = 0;
    return kObNotFound;
  }
  *value = sqlite3_column_int64(statement, 0);
  return kObSuccess;
}

OB_STATUSCODE CSQLite::GetNextId(std::int64_t after, std::int64_t* next) {
  if (next == nullptr) {
    return kObBadArgument;
  }
  sqlite3_stmt* statement = prepare(kNextId);
  if (statement == nullptr) {
    return kObFailure;
  }
  StatementUse use(statement);
  if (!BindInt(statement, 1, after)) {
    return kObFailure;
  }
  if (sqlite3_step(statement) != SQLITE_ROW) {
    OB_LOG_ERROR(kExecutionFailed, sqlite3_errmsg(connection_.get()));
    return kObFailure;
  }
  if (sqlite3_column_type(statement, 0) == SQLITE_NULL) {
    return kObNotFound;
  }
  *next = sqlite3_column_int64(statement, 0);
  return kObSuccess;
}

OB_STATUSCODE CSQLite::ReadEntriesAfter(std::int64_t after, std::uint32_t* count,
                                        std::uint8_t* buffer, std::uint32_t* buffer_size,
                                        std::uint32_t* sizes, std::int64_t* ids) {
  if (count == nullptr || *count == 0 || buffer == nullptr || buffer_size == nullptr ||
      sizes == nullptr || ids == nullptr) {
    return kObBadArgument;
  }
  sqlite3_stmt* statement = prepare(kReadAfter);
  if (statement == nullptr) {
    return kObFailure;
  }
  StatementUse use(statement);
  if (!BindInt(statement, 1, after) || !BindInt(statement, 2, *count)) {
    return kObFailure;
  }
  std::uint32_t used = 0;
  std::uint32_t copied = 0;
  int rc = SQLITE_ROW;
  while (copied < *count && (rc = sqlite3_step(statement)) == SQLITE_ROW) {
    const auto length = static_cast<std::uint32_t>(sqlite3_column_bytes(statement, 1));
    if (length > *buffer_size - used) {
      if (copied == 0) {
        sizes[0] = length;
        ids[0] = sqlite3_column_int64(statement, 0);
      }
      break;
    }
    if (length > 0) {
      std::memcpy(buffer + used, sqlite3_column_blob(statement, 1), length);
    }
    ids[copied] = sqlite3_column_int64(statement, 0);
    sizes[copied++] = length;
    used += length;
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    OB_LOG_ERROR(kExecutionFailed, sqlite3_errmsg(connection_.get()));
    return kObFailure;
  }
  if (copied == 0 && rc == SQLITE_DONE) {
    return kObQueueEmpty;
  }
  *count = copied;
  *buffer_size = used;
  return kObSuccess;
}

OB_STATUSCODE CSQLite::DeleteRows(const std::vector<std::int64_t>& ids) {
  if (ids.empty()) {
    return kObSuccess;
  }
  static_cast<void>(FlushRecordsToDatabase());
  if (executeStatement("BEGIN TRANSACTION") != kObSuccess) {
    return kObFailure;
  }
  OB_STATUSCODE status = kObSuccess;
  sqlite3_stmt* statement = prepare(kDeleteOne);
  for (std::size_t index = 0; index < ids.size() && status == kObSuccess; ++index) {
    status = kObFailure;
    if (statement != nullptr) {
      StatementUse use(statement);
      if (BindInt(statement, 1, ids[index])) {
        status = stepDone(statement);
      }
    }
  }
  if (status != kObSuccess || executeStatement("COMMIT") != kObSuccess) {
    static_cast<void>(executeStatement("ROLLBACK"));
    return kObFailure;
  }
  static_cast<void>(resetKeyId());
  noteDeletions(static_cast<std::int64_t>(ids.size()), false);
  std::uint64_t wal = 0;
  if (OBRuntime::Utils::GetFileSize(path_ + L"-wal", wal) == kObSuccess &&
      wal > kWalCheckpointBytes) {
    truncateWal();
  }
  return kObSuccess;
}

OB_STATUSCODE CSQLite::DeleteOversized() {
  if (size_limit_ == 0) {
    return kObSuccess;
  }
  sqlite3_stmt* statement = prepare(kDeleteOversized);
  if (statement == nullptr) {
    return kObFailure;
  }
  std::int64_t deleted = 0;
  {
    StatementUse use(statement);
    if (!BindInt(statement, 1, size_limit_) || stepDone(statement) != kObSuccess) {
      return kObFailure;
    }
    deleted = sqlite3_changes(connection_.get());
  }
  if (deleted > 0) {
    OB_LOG_WARN("Deleted %lld cached records larger than the cache size limit",
                static_cast<long long>(deleted));
    static_cast<void>(resetKeyId());
    noteDeletions(deleted, false);
  }
  return kObSuccess;
}

void CSQLite::truncateWal() {
  static_cast<void>(executeStatement("PRAGMA wal_checkpoint(TRUNCATE)"));
}

std::int64_t CSQLite::pragmaValue(const char* sql) {
  sqlite3_stmt* statement = prepare(sql);
  if (statement == nullptr) {
    return -1;
  }
  StatementUse use(statement);
  return sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
}

std::uint64_t CSQLite::UsedSize() {
  const std::int64_t pages = pragmaValue("PRAGMA page_count");
  const std::int64_t free_pages = pragmaValue("PRAGMA freelist_count");
  const std::int64_t page_size = pragmaValue("PRAGMA page_size");
  if (pages < 0 || free_pages < 0 || page_size < 0) {
    return StoreFilesSize();
  }
  std::uint64_t wal = 0;
  static_cast<void>(OBRuntime::Utils::GetFileSize(path_ + L"-wal", wal));
  return static_cast<std::uint64_t>((pages - free_pages) * page_size) + wal;
}

bool CSQLite::IsEmpty() {
  std::int64_t rows = 0;
  if (totalRecords(&rows, 0, 0) != kObSuccess) {
    OB_LOG_ERROR("%s", kCountFailed);
    return false;
  }
  return rows == 0;
}

std::uint64_t CSQLite::StoreFilesSize() const {
  std::uint64_t total = 0;
  for (const wchar_t* suffix : {L"", L"-wal", L"-shm", L"-journal"}) {
    std::uint64_t size = 0;
    if (OBRuntime::Utils::GetFileSize(path_ + suffix, size) == kObSuccess) {
      total += size;
    } else if (*suffix == L'\0') {
      return OBRuntime::Utils::kInvalidFileSize;
    }
  }
  return total;
}

bool CSQLite::IsPurgeOnSizeRequired() {
  if (size_limit_ == 0) {
    return false;
  }
  if (StoreFilesSize() == OBRuntime::Utils::kInvalidFileSize) {
    OB_LOG_WARN("Unable to fetch the database file size");
    return false;
  }
  const auto limit = static_cast<std::uint64_t>(size_limit_);
  if (UsedSize() < limit) {
    return false;
  }
  // The WAL may hold what is already deleted: move it into the file before deciding.
  if (sqlite3_get_autocommit(connection_.get()) != 0) {
    truncateWal();
  }
  return limit <= UsedSize();
}

void CSQLite::SetCacheLimits(std::uint32_t size_mb, std::uint32_t age_seconds) {
  // A configured size too small for the margin still limits (never reads as "no limit").
  size_limit_ =
      size_mb == kNoSizeLimit
          ? 0
          : std::max<std::int64_t>(static_cast<std::int64_t>(size_mb) * 1048576 - kSizeMargin, 1);
  max_age_ = age_seconds;
}

OB_STATUSCODE CSQLite::resetKeyId() {
  std::int64_t rows = 0;
  if (totalRecords(&rows, 0, 0) != kObSuccess) {
    OB_LOG_ERROR("%s", kCountFailed);
    return kObFailure;
  }
  if (rows != 0) {
    return kObSuccess;
  }
  if (executeStatement(kResetSequence) != kObSuccess) {
    OB_LOG_WARN("Unable to reset the primary key id value to zero");
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CSQLite::DefragDB() {
  // VACUUM cannot run inside the open batch: commit it first.
  static_cast<void>(FlushRecordsToDatabase());
  if (executeStatement("VACUUM") != kObSuccess) {
    OB_LOG_ERROR("Unable to update/reduce cache file size as database was not cleaned efficiently");
    return kObFailure;
  }
  static_cast<void>(executeStatement("PRAGMA wal_checkpoint(TRUNCATE)"));
  return kObSuccess;
}

OB_STATUSCODE CSQLite::ReadSingleEntry(std::int64_t id, std::uint8_t* buffer,
                                       std::uint32_t* length) {
  if (buffer == nullptr || length == nullptr) {
    return kObBadArgument;
  }
  sqlite3_stmt* statement = prepare(kReadOne);
  if (statement == nullptr) {
    return kObFailure;
  }
  StatementUse use(statement);
  if (!BindInt(statement, 1, id)) {
    return kObFailure;
  }
  const int rc = sqlite3_step(statement);
  if (rc == SQLITE_DONE) {
    return kObNotFound;
  }
  if (rc != SQLITE_ROW) {
    OB_LOG_ERROR(kExecutionFailed, sqlite3_errmsg(connection_.get()));
    return kObFailure;
  }
  const auto size = static_cast<std::uint32_t>(sqlite3_column_bytes(statement, 0));
  if (size > *length) {
    OB_LOG_ERROR("Insufficient memory. Only partial write was successful memory needed=%d",
                 static_cast<int>(size));
    *length = size;
    return kObBufferTooSmall;
  }
  if (size > 0) {
    std::memcpy(buffer, sqlite3_column_blob(statement, 0), size);
  }
  *length = size;
  return kObSuccess;
}

OB_STATUSCODE CSQLite::UpdateSingleEntry(std::int64_t id, const std::uint8_t* blob,
                                         std::uint32_t length) {
  if (blob == nullptr || length == 0) {
    return kObBadArgument;
  }
  sqlite3_stmt* statement = prepare(kUpdateOne);
  if (statement == nullptr) {
    return kObFailure;
  }
  StatementUse use(statement);
  if (sqlite3_bind_blob(statement, 1, blob, static_cast<int>(length), SQLITE_STATIC) != SQLITE_OK) {
    OB_LOG_ERROR("%s", kBindBlobFailed);
    return kObFailure;
  }
  if (!BindInt(statement, 2, id)) {
    return kObFailure;
  }
  return stepDone(statement);
}

void CSQLite::finalizeAll() { statements_.clear(); }

OB_STATUSCODE CSQLite::closeDatabase() {
  if (!connection_) {
    return kObSuccess;
  }
  const OB_STATUSCODE status = FlushRecordsToDatabase();
  finalizeAll();
  connection_.reset();
  batch_count_ = 0;
  return status;
}
