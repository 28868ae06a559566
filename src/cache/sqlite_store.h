// The flow cache's SQLite store: opaque record blobs with a time stamp in PROCESS_DATA, read and
// deleted oldest first, plus the METADATA key/value table whose "VERSION" is the schema version.
//
// Inserts are batched into transactions of kBatchSize records; the open batch is committed by
// the 20th insert, FlushRecordsToDatabase or closing. The file is created with mode 0600 and run
// in WAL mode with synchronous NORMAL: a killed process loses nothing committed (the WAL lives
// in the page cache), only a power failure may lose the last commits. The size limit counts the
// database file together with its WAL, shared-memory and rollback journal files.
//
// IDs of 0 mean "not given" wherever an ID range is optional. One object is used by one thread
// at a time; a second object on the same file (schema checks) is allowed.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/status.h"

namespace internal {
struct StatementDeleter {
  void operator()(sqlite3_stmt* statement) const;
};
struct ConnectionDeleter {
  void operator()(sqlite3* connection) const;
};
}  // namespace internal

class CSQLite {
 public:
  static constexpr std::uint32_t kBatchSize = 20;
  // Records deleted since the last VACUUM after which a size-driven delete compacts the file.
  static constexpr std::uint32_t kDefragThreshold = 1000;
  // SetCacheLimits' size value meaning "no size limit".
  static constexpr std::uint32_t kNoSizeLimit = 999;
  // Margin under the configured megabytes at which purging starts.
  static constexpr std::int64_t kSizeMargin = 512000;
  // Records become due for aging this many seconds before the configured age.
  static constexpr std::int64_t kAgeMargin = 300;
  // A WAL larger than this is checkpointed and truncated after a batch of deletions.
  static constexpr std::uint64_t kWalCheckpointBytes = 1048576;

  // Opens "ORV.db" in the agent's data directory; *status is StartSQLiteEngine's result.
  CSQLite(OB_STATUSCODE* status, bool create_tables);
  // Opens the database file at path (UTF-8 or wide, as a wide path).
  CSQLite(OB_STATUSCODE* status, bool create_tables, std::wstring path);
  ~CSQLite();
  CSQLite(const CSQLite&) = delete;
  CSQLite& operator=(const CSQLite&) = delete;

  // Connects when not connected; with create_tables also creates missing tables.
  [[nodiscard]] OB_STATUSCODE StartSQLiteEngine(bool create_tables);
  // Creates PROCESS_DATA, then METADATA.
  [[nodiscard]] OB_STATUSCODE createTable();
  // Creates METADATA.
  [[nodiscard]] OB_STATUSCODE CreateMetaDataTable();
  // True when no PROCESS_DATA table exists; a file whose schema cannot be read is not fresh.
  [[nodiscard]] bool IsFreshDB();

  // Copies the value with a terminating zero into buffer; *capacity becomes length + 1 (also
  // on -9992, the buffer being too small). -9995 when the parameter has no row.
  [[nodiscard]] OB_STATUSCODE readFromMetadataTable(const char* name, char* buffer,
                                                    std::uint32_t* capacity);
  // Inserts or replaces the parameter's value.
  [[nodiscard]] OB_STATUSCODE writeToMetadataTable(const char* name, const char* value);
  // The stored "VERSION" as atoi reads it; outside 0..10 gives 11 with success. A failed read
  // gives version 0 and the read's status.
  [[nodiscard]] OB_STATUSCODE ReadDBSchemaVersion(int* version);
  // Writes version as "VERSION".
  [[nodiscard]] OB_STATUSCODE WriteDBSchemaVersion(const char* version);

  // Inserts one record into the open batch (opening one when none is), committing at the 20th.
  // *size_limit is set from IsPurgeOnSizeRequired when a batch is opened, else left alone.
  [[nodiscard]] OB_STATUSCODE WriteEntry(const std::uint8_t* blob, std::int64_t timestamp,
                                         std::uint32_t length, bool* size_limit);
  // Commits the open batch, if any; on failure the commit is retried after the next insert.
  [[nodiscard]] OB_STATUSCODE FlushRecordsToDatabase();

  // Reads up to *count records oldest first (after skipping offset rows), or the ID range
  // [first_id, last_id], appending blobs to buffer and their lengths to sizes (room for *count
  // entries). Stops quietly before the first blob that does not fit. Out: *count rows copied,
  // *buffer_size bytes used. -9991 when nothing is there to read, -9994 for bad parameters.
  [[nodiscard]] OB_STATUSCODE ReadEntry(std::uint32_t* count, std::uint8_t* buffer,
                                        std::uint32_t* buffer_size, std::uint32_t* sizes,
                                        std::int64_t first_id, std::int64_t last_id,
                                        std::uint32_t offset);
  // Deletes the *count oldest records, or the ID range; with *size_limit set on entry compacts
  // after more than 1000 deletions. *size_limit comes back as IsPurgeOnSizeRequired.
  [[nodiscard]] OB_STATUSCODE DeleteEntry(std::uint32_t* count, bool* size_limit,
                                          std::int64_t first_id, std::int64_t last_id);
  // Reads up to *count records with IDs above after, in ID order, appending blobs to buffer,
  // lengths to sizes and IDs to ids. A first record larger than *buffer_size is not copied: then
  // *count is 0, sizes[0] its length and ids[0] its ID. -9991 when no record lies above after.
  [[nodiscard]] OB_STATUSCODE ReadEntriesAfter(std::int64_t after, std::uint32_t* count,
                                               std::uint8_t* buffer, std::uint32_t* buffer_size,
                                               std::uint32_t* sizes, std::int64_t* ids);
  // Deletes the rows with these IDs in one transaction (all or none), then truncates a WAL grown
  // past kWalCheckpointBytes.
  [[nodiscard]] OB_STATUSCODE DeleteRows(const std::vector<std::int64_t>& ids);
  // Deletes records larger than the size limit itself: no purge of other records makes them fit.
  [[nodiscard]] OB_STATUSCODE DeleteOversized();
  // Deletes records older than the maximum age less 300 seconds.
  [[nodiscard]] OB_STATUSCODE DeleteBasedOnDuration();
  // The smallest time stamp, 0 for an empty store.
  [[nodiscard]] OB_STATUSCODE GetOldestTimeStamp(std::int64_t* timestamp);
  // True when PROCESS_DATA has no rows (false when that cannot be found out).
  [[nodiscard]] bool IsEmpty();
  // True when a size limit is set and the store's data has reached it: the pages in use (free
  // pages are reused before the file grows) plus the WAL, checkpointed first when that decides.
  [[nodiscard]] bool IsPurgeOnSizeRequired();
  // Size in MB (999: none) and age in seconds.
  void SetCacheLimits(std::uint32_t size_mb, std::uint32_t age_seconds);
  // Rows counted: all with limit < 1, else those of "LIMIT limit OFFSET offset". -1 on failure.
  [[nodiscard]] OB_STATUSCODE totalRecords(std::int64_t* count, std::int64_t limit,
                                           std::uint32_t offset);
  // MIN(column) over PROCESS_DATA; -9995 when the table is empty. column is one of our names.
  [[nodiscard]] OB_STATUSCODE GetMinValue(const char* column, std::int64_t* value);
  // The smallest ID above after; -9995 when there is none.
  [[nodiscard]] OB_STATUSCODE GetNextId(std::int64_t after, std::int64_t* next);
  // Restarts the ID sequence when the table is empty.
  [[nodiscard]] OB_STATUSCODE resetKeyId();
  // VACUUM, then a truncating WAL checkpoint so the WAL does not keep the copy's size.
  [[nodiscard]] OB_STATUSCODE DefragDB();
  // One record's INFO; -9992 (with *length = size needed) when it does not fit, -9995 no row.
  [[nodiscard]] OB_STATUSCODE ReadSingleEntry(std::int64_t id, std::uint8_t* buffer,
                                              std::uint32_t* length);
  // Replaces one record's INFO.
  [[nodiscard]] OB_STATUSCODE UpdateSingleEntry(std::int64_t id, const std::uint8_t* blob,
                                                std::uint32_t length);
  // Commits the open batch and closes the connection.
  [[nodiscard]] OB_STATUSCODE closeDatabase();
  // Runs sql (no parameters) directly.
  [[nodiscard]] OB_STATUSCODE executeStatement(const char* sql);

  // Bytes of every file the database uses (main file, WAL, shared memory, journal).
  [[nodiscard]] std::uint64_t StoreFilesSize() const;
  // Bytes of the pages holding data (the file less its free pages) plus the WAL.
  [[nodiscard]] std::uint64_t UsedSize();
  [[nodiscard]] std::uint32_t OpenBatchCount() const { return batch_count_; }
  // Records of open batches that SQLite rolled back on a failed insert or commit (a full disk).
  [[nodiscard]] std::uint64_t LostRecords() const { return lost_records_; }
  [[nodiscard]] std::int64_t SizeLimit() const { return size_limit_; }

 private:
  using Statement = std::unique_ptr<sqlite3_stmt, internal::StatementDeleter>;

  [[nodiscard]] OB_STATUSCODE connectToDatabase();
  // The cached prepared statement for sql, reset and unbound; null (logged) when it fails.
  sqlite3_stmt* prepare(const std::string& sql);
  [[nodiscard]] OB_STATUSCODE validateRange(std::uint32_t* count, std::int64_t* first_id,
                                            std::int64_t* last_id, bool for_delete);
  [[nodiscard]] OB_STATUSCODE stepDone(sqlite3_stmt* statement);
  void noteDeletions(std::int64_t deleted, bool compact);
  [[nodiscard]] std::int64_t pragmaValue(const char* sql);
  void truncateWal();
  void finalizeAll();

  std::uint32_t batch_count_ = 0;
  std::int64_t size_limit_ = 0;  // bytes; 0: no limit
  std::uint32_t max_age_ = 0;    // seconds
  std::uint32_t deleted_count_ = 0;
  std::uint64_t lost_records_ = 0;
  std::unique_ptr<sqlite3, internal::ConnectionDeleter> connection_;
  std::wstring path_;
  std::string path_utf8_;
  std::map<std::string, Statement> statements_;  // prepared once per connection
};
